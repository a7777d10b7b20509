"""Pipeline nodes, as far as the helper layer reads them.

A node has an ``id`` (a string), the nodes feeding it (``inNodes``, in the
order their outputs should be considered), the tool ``manifest`` describing
its fields, and, for input nodes, the user-provided ``inputs``. A gather node
runs once per item of an upstream collection; ``split_key`` names the
upstream output that holds the collection.
"""
from __future__ import annotations

from typing import Any, Optional


class Node:
    """One step of a pipeline: a tool described by its manifest."""

    def __init__(self, id: str, manifest: Optional[dict] = None,
                 inNodes: Optional[list] = None) -> None:
        self.id = id
        self.manifest = {} if manifest is None else manifest
        self.inNodes = [] if inNodes is None else list(inNodes)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.id!r})"


class InputNode(Node):
    """User-provided values entering the pipeline."""

    def __init__(self, id: str, inputs: Optional[dict[str, Any]] = None,
                 manifest: Optional[dict] = None, inNodes: Optional[list] = None) -> None:
        super().__init__(id, manifest, inNodes)
        self.inputs = {} if inputs is None else inputs


class GatherNode(Node):
    """A step that runs once per item of an upstream collection."""

    def __init__(self, id: str, manifest: Optional[dict] = None,
                 inNodes: Optional[list] = None, split_key: Optional[str] = None) -> None:
        super().__init__(id, manifest, inNodes)
        self.split_key = split_key
