"""
Connector functions between pipeline steps, written by the LLM and kept in one file.
"""

import logging

from plexaro.helpers.paths import (
    get_connectors_path as _get_connectors_path
)
from plexaro.helpers.promptel import Promptel as Promptel


logger: logging.Logger = ...

def _connectors_path() -> object:
    """Path of the connectors file, asked of the host afresh on every use."""

def _ident(node_id: object | None) -> str:
    """
    Identifier fragment of a node id (text after the last '.', \\W -> '_').
    """

def _edge_fn(u_id: object | None, v_id: object | None) -> str:
    """Connector function name of the edge u_id -> v_id."""

def _default_llm() -> object:
    """A new LLM client chosen from the environment."""

class Weftling:
    """Writes, stores and loads the connector functions of one pipeline."""

    def __init__(self) -> None:
        """
        Start a pipeline's connectors: the connectors file is reset to its header.
        """

    def set_llm(self, provider: object | None, model: object | None, api_key: object | None) -> None:
        """Use another LLM client for later connectors."""

    def generateConnector(self, upstream: object | None, downstream: object | None, extra_context: object | None = None, scatter_source: object | None = False) -> str:
        """
        Name of the connector of the edge upstream -> downstream; the connectors of every edge into `downstream` that has none yet are written in one LLM call.
        """

    def getConnector(self, in_node: object | None, node: object | None) -> object:
        """
        The connector function of the edge in_node -> node, or None when none was generated.
        """

    def get_edge_connectors(self) -> object:
        """The live mapping (upstream id, downstream id) -> connector name."""

    def _build_prompt(self, v: object | None, edges_to_generate: object | None, cached_siblings: object | None, extra_context: object | None, scatter_fn: object | None = None) -> str:
        """The whole connector prompt for one batch of edges into v."""

    def _downstream_block(self, v: object | None) -> str:
        """The block describing the downstream node's fields."""

    def _upstream_block(self, u: object | None, fn_name: object | None) -> str:
        """The block describing one upstream node and its connector's name."""

    def _format_field(self, k: object | None, meta: object | None, include_required: object | None = False) -> str:
        """One line describing field k."""

    def _call_and_clean(self, prompt: object | None) -> str:
        """Ask the LLM and return its reply without Markdown fences."""

    def _postprocess_code(self, code: object | None) -> str:
        """Clean a reply into function definitions ready for the connectors file."""

    def _strip_toplevel_imports(self, code: object | None) -> str:
        """The code without its module-level import statements (whole lines)."""

    def _inject_missing_imports(self, code: object | None) -> str:
        """
        The code with the standard-library imports each function lacks added inside it.
        """
