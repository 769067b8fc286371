"""The recommendation tab's runs that do not finish, the edits typed while a run goes on, and Cancel between
the charts: what the tab shows and exports afterwards."""
import subprocess
import time

import PySimpleGUI as sg
import pytest
from addict import Dict

import fields
import progress
import provider
from fields_support import focusOn, pump
from recommendation_support import (SYMBOLS, Fixed, Slow, allocationConfig, dispatch, errorPopups,  # noqa: F401
                                    isolated, readWorkbook, realPrices, stockTable, window)

Provider = provider.Provider


def clickCancel():
    progress.QuickMeter.active_meters["OK for 1 meter"].window["Cancel"].click()


class Unfinished(Fixed):
    """Buys as `Fixed` does, unless the user is to cancel or the optimiser to fail: the same method, so that
    only the inputs that are no settings of the tab change."""
    outcome = None

    def computeRecommendation(self, owner):
        if Unfinished.outcome == "cancel":
            clickCancel()
        if Unfinished.outcome == "fail":
            raise RuntimeError("the optimiser found no solution")
        return super().computeRecommendation(owner)


def unfinished(monkeypatch):
    import sys
    monkeypatch.setattr(sys.modules["testmethods"], "Unfinished", Unfinished, raising=False)
    monkeypatch.setattr(Unfinished, "outcome", None)


def securityNames(tab):
    return sorted(tab["Recommendation"]["Security Name"])


def workbookNames(tmp_path, monkeypatch, manager, win, name):
    """The security names of the Recommendation sheet that Save Excel writes now."""
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: str(tmp_path / name))
    dispatch(manager, win, "SaveExcel")
    return sorted(row[1] for row in readWorkbook(tmp_path / name)["Recommendation"]["rows"][1:])


WITHOUT_AMAZON = {symbol: name for symbol, name in SYMBOLS.items() if symbol != "AMZN"}
WITHOUT_APPLE = {symbol: name for symbol, name in SYMBOLS.items() if symbol != "AAPL"}


def test_an_unfinished_run_brings_back_no_result_of_other_inputs(window, errorPopups, monkeypatch, tmp_path):
    unfinished(monkeypatch)
    config = allocationConfig(method="testmethods.Unfinished", cutOffDate="")
    config.progress.progressPeriod = 0.05
    config.data = Dict({"basePeriod": 365, "dataProvider": "yahoods2.YahooDataSource"})
    manager, win = window(config, Dict())
    market, tab = manager.providerList[1], manager.providerList[2]
    monkeypatch.setattr(Fixed, "shares", {"Amazon.com Inc": 10, "Apple Inc": 20})

    def computed():
        Unfinished.outcome = None
        market.publish(realPrices(), stockTable())
        dispatch(manager, win, "UpdateConfig")
        assert securityNames(tab) == ["Amazon.com Inc", "Apple Inc"]

    def empty(name):
        assert tab["Recommendation"].empty and tab["Results"].empty and tab.weightGraph is None
        assert win["RecommendationData"].Values == [] and tab.methodObj is None
        assert workbookNames(tmp_path, monkeypatch, manager, win, name) == []

    # Unchanged inputs: a cancelled run gives the result back, in the tab and the workbook.
    computed()
    Unfinished.outcome = "cancel"
    dispatch(manager, win, "UpdateConfig")
    assert securityNames(tab) == ["Amazon.com Inc", "Apple Inc"]
    assert workbookNames(tmp_path, monkeypatch, manager, win, "kept.xlsx") == ["Amazon.com Inc", "Apple Inc"]

    # Amazon removed on the selection tab, then the tab selected and the run cancelled.
    market.publish(realPrices(symbols=WITHOUT_AMAZON), stockTable(WITHOUT_AMAZON))
    dispatch(manager, win, "mainTab", mainTab="recommendation")
    empty("selected.xlsx")
    # The same cancelled from the Update button.
    computed()
    market.publish(realPrices(symbols=WITHOUT_AMAZON), stockTable(WITHOUT_AMAZON))
    Unfinished.outcome = "cancel"
    dispatch(manager, win, "UpdateConfig")
    empty("updated.xlsx")

    # Apple removed, then a failed run: the error is told, and neither the tab nor the workbook keeps Apple.
    computed()
    market.publish(realPrices(symbols=WITHOUT_APPLE), stockTable(WITHOUT_APPLE))
    Unfinished.outcome = "fail"
    dispatch(manager, win, "UpdateConfig")
    assert errorPopups[-1].endswith("the optimiser found no solution")
    empty("failed.xlsx")

    # Prices fetched anew for the same selection (another period), or changed data settings.
    for change in (lambda: market.publish(realPrices(start="2016-01-01"), stockTable()),
                   lambda: setattr(config.data, "basePeriod", 730)):
        computed()
        change()
        Unfinished.outcome = "cancel"
        dispatch(manager, win, "UpdateConfig")
        empty("changed.xlsx")

    # A download that fails after the selection changed leaves no result of the selection before.
    computed()
    market.publish(realPrices(), stockTable(WITHOUT_AMAZON))

    def failingDownload():
        raise RuntimeError("no connection")

    monkeypatch.setattr(market, "recompute", failingDownload)
    dispatch(manager, win, "UpdateConfig")
    assert errorPopups[-1].endswith("no connection")
    empty("download.xlsx")
