import operator

import pytest

from plexaro.helpers import condition
from plexaro.helpers.condition import Condition


def test_ops_table_in_order_with_the_hosts_operator_functions():
    assert list(condition._OPS) == [">", "<", ">=", "<=", "==", "!="]
    assert list(condition._OPS.values()) == [
        operator.gt, operator.lt, operator.ge, operator.le, operator.eq, operator.ne]


@pytest.mark.parametrize("comparator, a, x, expected", [
    (">", 5, 7, True), (">", 5, 5, False),
    ("<", 5, 4, True), ("<", 5, 5, False),
    (">=", 5, 5, True), (">=", 5, 4, False),
    ("<=", 5, 5, True), ("<=", 5, 6, False),
    ("==", "a", "a", True), ("==", 1, "1", False),
    ("!=", 1, 1.0, False), ("!=", 1, 2, True),
])
def test_check_compares_runtime_value_on_the_left(comparator, a, x, expected):
    assert Condition(comparator, a).check(x) is expected


def test_check_returns_what_the_comparison_produced():
    class Vector:
        def __gt__(self, other):
            return "elementwise"
    assert Condition(">", 0).check(Vector()) == "elementwise"


@pytest.mark.parametrize("bad", [" >", "=>", "", "gt", ">= "])
def test_unknown_comparator_is_a_value_error_naming_the_choices(bad):
    with pytest.raises(ValueError) as err:
        Condition(bad, 5)
    assert str(err.value) == (f"Unsupported comparator {bad!r}. "
                              "Use one of: ['>', '<', '>=', '<=', '==', '!=']")


class Text(str):
    pass


@pytest.mark.parametrize("bad, type_name", [(5, "int"), (None, "NoneType"), (Text(">"), "Text"),
                                            (b">", "bytes")])
def test_comparator_must_be_exactly_str(bad, type_name):
    with pytest.raises(TypeError) as err:
        Condition(bad, 5)
    assert str(err.value) == (
        f"Argument 'comparator' has incorrect type (expected str, got {type_name})")


def test_operands_are_not_converted():
    with pytest.raises(TypeError):
        Condition(">", 5).check("7")


def test_replaced_comparator_is_followed_and_unknown_one_is_a_key_error():
    cond = Condition(">", 5)
    cond.comparator = "<"
    assert cond.check(3) is True
    cond.comparator = "=>"
    with pytest.raises(KeyError):
        cond.check(3)


def test_plain_host_class_with_replaceable_attributes(monkeypatch):
    assert Condition.__bases__ == (object,)
    cond = Condition("==", 1)
    assert vars(cond) == {"comparator": "==", "a": 1}
    cond.note = "anything"
    cond.a = 2
    assert cond.check(2) is True
    monkeypatch.setattr(Condition, "check", lambda self, x: "patched")
    assert cond.check(0) == "patched"


def test_table_edits_by_the_host_are_obeyed(monkeypatch):
    monkeypatch.setitem(condition._OPS, "~", lambda x, a: abs(x - a) < 1)
    assert Condition("~", 5).check(5.5) is True
