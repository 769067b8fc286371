"""The stock table as it is shown and exported, and the program version."""
import pandas as pd
import pandas.testing as pdt
import pytest

import utils
import version
from frames_support import stockTable


def test_version_text():
    assert version.version == "0.02.0013"


def test_display_keeps_the_three_columns_and_cuts_the_currency():
    stocks = stockTable([["SAP.XETRA", "SAP SE", "EUR.FOREX"], ["X.LSE", "X plc", "GB"]],
                        Exchange=["XETRA", "LSE"])
    shown = utils.dspStocks(stocks)
    expected = stockTable([["SAP.XETRA", "SAP SE", "EUR"], ["X.LSE", "X plc", "GB"]])
    pdt.assert_frame_equal(shown, expected)
    assert list(stocks["Currency"]) == ["EUR.FOREX", "GB"] and "Exchange" in stocks


def test_unknown_currency_shows_empty_without_breaking_the_others():
    shown = utils.dspStocks(stockTable([["A.US", "A", None], ["B.US", "B", 3.0], ["C.US", "C", "USD.FOREX"]]))
    assert list(shown["Currency"]) == ["", "", "USD"]


def test_table_without_currency_comes_back_as_an_equal_copy():
    frame = pd.DataFrame({"Symbol": ["A.US"], "Weight": [0.5], "Shares": [3]})
    shown = utils.dspStocks(frame)
    pdt.assert_frame_equal(shown, frame)
    shown.loc[0, "Weight"] = 1.0
    assert frame.loc[0, "Weight"] == 0.5


def test_empty_stock_table_keeps_exactly_the_three_columns():
    shown = utils.dspStocks(stockTable([], Extra=[]))
    assert shown.empty and list(shown.columns) == ["Symbol", "Security Name", "Currency"]


def test_changing_the_display_leaves_the_stock_table_alone():
    stocks = stockTable([["A.US", "A", "USD.FOREX"]])
    shown = utils.dspStocks(stocks)
    shown.iloc[0, 1] = "changed"
    assert stocks.iloc[0, 1] == "A"


def test_missing_name_columns_fail_with_key_error():
    with pytest.raises(KeyError):
        utils.dspStocks(pd.DataFrame({"Currency": ["USD.FOREX"]}))


@pytest.mark.parametrize("title, read", [("Growth", "Growth"), (float("nan"), ""), ({"a": [1, 2]}, ""), ({}, ""),
                                         (3, ""), (None, "")])
def test_a_title_that_is_no_text_is_no_title(title, read):
    assert utils.selectionTitle({"selectionTitle": title}) == read


def test_currencies_are_read_as_the_conversion_knows_them():
    # Yahoo's bare codes gain the suffix; a hundredth of a currency keeps its own code, which the
    # conversion takes at a hundredth of its main currency.
    read = ["EUR", "EUR.FOREX", "GBp", "GBp.FOREX", "GBX.FOREX", "ZAc", "", None]
    assert [utils.currencySymbol(c) for c in read] == ["EUR.FOREX", "EUR.FOREX", "GBp.FOREX", "GBp.FOREX",
                                                      "GBX.FOREX", "ZAc.FOREX", "", None]
