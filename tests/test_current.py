"""The selection read at start: current and legacy form, titles, failures."""
import json
import logging

import numpy as np
import pytest
from addict import Dict

import current
import provider
from provider_support import Recorder
from selection_support import workspace  # noqa: F401


class Manager:
    def __init__(self):
        self.setTitle = Recorder()


def start(text=None):
    if text is not None:
        with open("data/config/current.stocks", "w", encoding="utf-8") as file:
            file.write(text)
    config, manager = Dict(), Manager()
    reader = current.CurrentProvider(config, providerManager=manager, userConfigParm=Dict())
    return reader, config, manager, provider.Provider.values["initialStocks"]


def test_current_form_sorted_with_title_and_nan(workspace, caplog):
    document = {"stocks": [{"Symbol": "SAP.XETRA", "Security Name": "SAP SE", "Currency": "EUR.FOREX"},
                           {"Symbol": "AAPL.US", "Security Name": "Apple", "Currency": None}],
                "selectionTitle": "Growth", "meta": {"version": "x"}}
    text = json.dumps(document, indent=2).replace("null", "NaN")
    reader, config, manager, stocks = start(text)
    assert reader.key == "current" and reader.providerManager is manager
    assert list(stocks.index) == ["AAPL.US", "SAP.XETRA"] and stocks.index.name == "Symbol"
    assert list(stocks.columns) == ["Symbol", "Security Name", "Currency"]
    assert np.isnan(stocks.loc["AAPL.US", "Currency"])
    assert config.selectionTitle == "Growth"
    assert manager.setTitle.calls == [(("data/config/current.stocks", "Growth"), {})]
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]
    # The reader computes nothing afterwards.
    assert reader.recompute() >= 0 and provider.Provider.values["initialStocks"] is stocks


def test_legacy_form_and_bare_currency_codes(workspace):
    _, config, manager, stocks = start(json.dumps({"stocks": {"SAP.XETRA": "SAP SE", "AAPL.US": "Apple"}}))
    assert list(stocks.index) == ["AAPL.US", "SAP.XETRA"]
    assert list(stocks.columns) == ["Symbol", "Security Name"]
    assert config.selectionTitle == "" and manager.setTitle.calls[0][0][1] == ""

    # A selection saved after a lookup that answered bare codes.
    _, _, _, stocks = start(json.dumps({"stocks": [{"Symbol": "SAP.XETRA", "Security Name": "SAP", "Currency": "EUR"}],
                                        "selectionTitle": {}}))
    assert list(stocks["Currency"]) == ["EUR.FOREX"]


@pytest.mark.parametrize("text", [None, "no json", '{"other": 1}', '{"stocks": 3}'])
def test_unreadable_selection_is_an_empty_one(workspace, caplog, text):
    reader, config, manager, stocks = start(text)
    assert stocks.empty and list(stocks.columns) == ["Symbol", "Security Name"] and stocks.index.name == "Symbol"
    assert [r.msg for r in caplog.records if r.levelno == logging.ERROR] == ["Loading stocklist"]
    assert caplog.records[-1].exc_info is not None
    assert "selectionTitle" not in config and manager.setTitle.calls == []


def test_empty_list_and_failing_title(workspace, caplog):
    _, config, _, stocks = start(json.dumps({"stocks": [], "selectionTitle": "T"}))
    assert stocks.empty and list(stocks.columns) == ["Symbol", "Security Name"]
    assert not caplog.records or all(r.levelno < logging.ERROR for r in caplog.records)

    # Without a manager the title cannot be shown: logged, and the stocks are dropped.
    config = Dict()
    current.CurrentProvider(config)
    assert config.selectionTitle == "T" and provider.Provider.values["initialStocks"].empty
    assert [r.msg for r in caplog.records if r.levelno == logging.ERROR] == ["Loading stocklist"]
