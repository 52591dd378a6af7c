import pytest
from hypothesis import given, strategies as st

from tavox.utils.strings import typecast_str


@pytest.mark.parametrize("text, expected", [
    ("8080", 8080), ("-12", -12), ("+3", 3), ("0", 0),
    ("2.5", 2.5), ("-.5", -0.5), ("1.", 1.0), ("1e3", 1000.0), ("6.02E+23", 6.02e23),
    ("true", True), ("FALSE", False), ("True", True), ("fAlSe", False),
])
def test_literal_text_becomes_its_value(text, expected):
    result = typecast_str(text)
    assert type(result) is type(expected) and result == expected


@pytest.mark.parametrize("text", [
    "", " 1", "1 ", "007", "1_000", "0x1f", "1e", ".", "-", "inf", "nan", "yes", "truee", "\u0663",
    "9" * 5000,  # beyond the interpreter's int_max_str_digits on 3.11+: stays text, no ValueError
])
def test_other_text_is_returned_as_the_same_object(text):
    assert typecast_str(text) is text


class Text(str):
    pass


@pytest.mark.parametrize("value", [None, 1, 2.5, True, b"1", ["1"], {"a": "1"}, Text("x"), object()])
def test_other_objects_are_returned_as_the_same_object(value):
    assert typecast_str(value) is value


@given(st.one_of(st.text(), st.from_regex(r"[+-]?[0-9]{0,6}(\.[0-9]{0,4})?([eE][+-]?[0-9]{1,3})?", fullmatch=True),
                 st.sampled_from(["true", "TRUE", "False"]), st.integers(), st.floats(allow_nan=False)))
def test_results_convert_to_themselves(value):
    once = typecast_str(value)
    twice = typecast_str(once)
    assert type(twice) is type(once) and twice == once
