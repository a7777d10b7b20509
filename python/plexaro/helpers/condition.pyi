"""Branch conditions: a comparator and a right-hand value."""



_OPS: dict = ...

class Condition:
    """A comparator of _OPS and the value `a` it compares against."""

    def __init__(self, comparator: object | None, a: object | None) -> None: ...

    def check(self, x: object | None) -> object:
        """Compare the run-time value `x` (left) with `a` (right)."""
