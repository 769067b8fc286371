"""The table element filled from a data frame, with numbers in the locale's format."""
import locale
import math

import numpy as np
import pandas as pd
import PySimpleGUI as sg
import pytest

import table
from frames_support import stockTable

# decimal mark, thousands separator
MARKS = {"en_US.UTF-8": (".", ","), "de_DE.UTF-8": (",", ".")}


@pytest.fixture(params=list(MARKS))
def marks(request):
    saved = locale.setlocale(locale.LC_ALL)
    locale.setlocale(locale.LC_ALL, request.param)
    point, group = MARKS[request.param]
    yield lambda text: text.replace(",", "\0").replace(".", point).replace("\0", group)
    locale.setlocale(locale.LC_ALL, saved)


def valuesWith(df, rounding):
    """getValues needs nothing of the element but its rounding."""
    element = table.Table.__new__(table.Table)
    element.rounding = rounding
    return element.getValues(df)


def mixedFrame():
    return stockTable([["SAP.XETRA", "SAP SE"], ["AAPL.US", "Apple Inc."]],
                      columns=["Symbol", "Security Name"], Price=[1234.5, 1.5], Shares=[1234567, 7],
                      Held=[True, False])


def test_cells_follow_the_locale_with_default_rounding(marks):
    element = table.Table(df=mixedFrame(), key="t")
    assert element.rounding == 2
    assert element.getValues(mixedFrame()) == [
        ["SAP.XETRA", "SAP SE", marks("1,234.50"), marks("1,234,567"), "1"],
        ["AAPL.US", "Apple Inc.", marks("1.50"), "7", "0"],
    ]


def test_rounding_zero_rounds_halves_to_even_and_shows_no_mark(marks):
    rows = valuesWith(pd.DataFrame({"x": [2.5, 3.5, 12345.4]}), rounding=0)
    assert rows == [["2"], ["4"], [marks("12,345")]]


def test_dictionary_rounding_names_columns_and_leaves_the_others_as_numbers(marks):
    frame = pd.DataFrame({"Weight": [12.3456, 1000.0], "Raw": [1.23456, 2.0], "Shares": [1500, 2]})
    rows = valuesWith(frame, rounding={"Weight": 1})
    assert rows == [[marks("12.3"), 1.23456, marks("1,500")], [marks("1,000.0"), 2.0, "2"]]
    assert isinstance(rows[0][1], float)


def test_integers_stay_integers_beside_floating_point_columns(marks):
    # A frame of numbers only: its plain array would turn the counts into floats.
    rows = valuesWith(pd.DataFrame({"Shares": [1234567], "Price": [9.999]}), rounding=2)
    assert rows == [[marks("1,234,567"), marks("10.00")]]
    rows = valuesWith(pd.DataFrame({"Shares": np.array([3], dtype=np.int32), "Held": [True]}), rounding=2)
    assert rows == [["3", "1"]]


@pytest.mark.filterwarnings("ignore:obj.round has no effect")
def test_other_cells_are_shown_as_they_are():
    day = pd.Timestamp("2024-01-31")
    frame = pd.DataFrame({"Date": [day], "Name": ["1,5 Müller & Co."], "Missing": [math.nan]})
    rows = valuesWith(frame, rounding=2)
    assert rows == [[day, "1,5 Müller & Co.", "nan"]]


def test_empty_frame_shows_headings_and_no_rows(openWindow):
    element = table.Table(df=pd.DataFrame(columns=["Symbol", "Weight"]), key="t")
    openWindow("Table", [[element]])
    assert element.Values == [] and element.ColumnHeadings == ["Symbol", "Weight"]
    assert element.Widget.get_children() == ()
    assert element.AutoSizeColumns is False


def test_window_shows_the_frame_and_refills_by_position(openWindow, marks):
    element = table.Table(df=mixedFrame(), key="stockList", num_rows=5, col_widths=[10, 20, 8, 8, 4])
    win = openWindow("Table", [[element]])
    assert win["stockList"] is element and element.NumRows == 5
    tree = element.Widget
    assert [tree.heading(c)["text"] for c in tree["columns"]] == list(mixedFrame().columns)
    assert len(tree.get_children()) == 2

    element.update(df=pd.DataFrame({"A": [1.0, 2.0, 3.0], "B": ["x", "y", "z"]}), select_rows=[1])
    assert element.Values == [[marks("1.00"), "x"], [marks("2.00"), "y"], [marks("3.00"), "z"]]
    assert element.ColumnHeadings == list(mixedFrame().columns)
    assert [tree.heading(c)["text"] for c in tree["columns"]] == list(mixedFrame().columns)
    assert len(tree.get_children()) == 3 and len(tree.selection()) == 1
    assert tree.set(tree.get_children()[2], "Symbol") == marks("3.00")

    # Without a frame the toolkit's own update gets the arguments unchanged.
    element.update(values=[["raw", "row"]])
    assert element.Values == [["raw", "row"]] and len(tree.get_children()) == 1
    assert element.update(visible=False) is None


def test_given_headings_and_options_reach_the_toolkit():
    element = table.Table(df=mixedFrame(), headings=list("ABCDE"), auto_size_columns=True, rounding=0,
                          key="t")
    assert element.ColumnHeadings == list("ABCDE") and element.AutoSizeColumns is True
    assert element.Values[0][2] == locale.format_string("%.0f", 1234.0, grouping=True)


def test_table_without_frame_takes_the_callers_values():
    element = table.Table([["a", 1]], headings=["x", "y"], rounding={"y": 0}, key="t")
    assert element.Values == [["a", 1]] and element.ColumnHeadings == ["x", "y"]
    assert element.rounding == {"y": 0}


def test_values_beside_a_frame_and_bad_rounding_fail(openWindow):
    twice = "PySimpleGUI.PySimpleGUI.Table.{}() got multiple values for keyword argument 'values'"
    with pytest.raises(TypeError) as raised:
        table.Table(df=mixedFrame(), values=[])
    assert str(raised.value) == twice.format("__init__")
    element = table.Table(df=mixedFrame(), key="t")
    openWindow("Table", [[element]])
    with pytest.raises(TypeError) as raised:
        element.update(df=mixedFrame(), values=[])
    assert str(raised.value) == twice.format("update")
    with pytest.raises(TypeError, match="^decimals must be an integer, a dict-like or a Series$"):
        table.Table(df=mixedFrame(), rounding="two")


def test_subclass_formats_through_its_own_get_values():
    class Upper(table.Table):
        def getValues(self, df):
            return [[str(v).upper() for v in row] for row in df.values.tolist()]

    element = Upper(df=pd.DataFrame({"a": ["x"]}), key="t")
    assert element.Values == [["X"]] and isinstance(element, sg.Table)
