"""The selection read at start: current and legacy form, titles, failures."""

import json
import logging
import os

import numpy as np
import PySimpleGUI as sg
import pytest
from addict import Dict

import current
import provider
from provider_support import Recorder
from selection_support import workspace  # noqa: F401
from velmora_support import Workspace, logMessages


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
    document = {
        "stocks": [
            {"Symbol": "SAP.XETRA", "Security Name": "SAP SE", "Currency": "EUR.FOREX"},
            {"Symbol": "AAPL.US", "Security Name": "Apple", "Currency": None},
        ],
        "selectionTitle": "Growth",
        "meta": {"version": "x"},
    }
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
    # A delisted symbol needs no lookup here.
    _, config, manager, stocks = start(
        json.dumps({"stocks": {"SAP.XETRA": "SAP SE", "AAPL.US": "Apple", "GONE": "Delisted Co"}}))
    assert list(stocks.index) == ["AAPL.US", "GONE", "SAP.XETRA"]
    assert list(stocks.columns) == ["Symbol", "Security Name"]
    assert config.selectionTitle == "" and manager.setTitle.calls[0][0][1] == ""

    # A selection saved after a lookup that answered bare codes.
    _, _, _, stocks = start(
        json.dumps(
            {
                "stocks": [{"Symbol": "SAP.XETRA", "Security Name": "SAP", "Currency": "EUR"}],
                "selectionTitle": {},
            }
        )
    )
    assert list(stocks["Currency"]) == ["EUR.FOREX"]

    # As Windows editors save it: with a byte-order mark.
    _, config, _, stocks = start("\ufeff" + json.dumps({"stocks": [APPLE], "selectionTitle": "Marked"}))
    assert list(stocks.index) == ["AAPL.US"] and config.selectionTitle == "Marked"


APPLE = {"Symbol": "AAPL.US", "Security Name": "Apple", "Currency": "USD.FOREX"}


CURRENT = "data/config/current.stocks"


@pytest.mark.parametrize(
    "damage",
    [
        None,
        "no json",
        '{"other": 1}',
        '{"stocks": 3}',
        '{"stocks": [1, 2]}',
        json.dumps({"stocks": [APPLE, {"Symbol": 1, "Security Name": "One", "Currency": "USD.FOREX"}]}),
        json.dumps({"stocks": [{"Symbol": "AAPL.US", "Currency": "USD.FOREX"}]}),
        json.dumps({"stocks": [{"Security Name": "Apple"}]}),
        lambda: os.mkfifo(CURRENT),
        lambda: os.symlink("/dev/zero", CURRENT),
        lambda: open(CURRENT, "w").write(json.dumps({"stocks": [APPLE]})) and os.truncate(CURRENT, 2**26 + 1),
        json.dumps({"stocks": [APPLE, {"Symbol": "B.US", "Security Name": "\ud800", "Currency": "USD.FOREX"}]}),
        json.dumps({"stocks": [APPLE], "selectionTitle": "T\udfff"}),
        json.dumps({"stocks": [dict(APPLE, Extra={"a": 1})]}),
        json.dumps({"stocks": {"AAPL.US": ["Apple"]}}),
    ],
)
def test_unreadable_selection_is_an_empty_one(workspace, caplog, damage):
    if callable(damage):
        damage()
    reader, config, manager, stocks = start(None if callable(damage) else damage)
    assert (
        stocks.empty and list(stocks.columns) == ["Symbol", "Security Name"] and stocks.index.name == "Symbol"
    )
    [failure] = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
    assert failure.startswith("Loading stocklist from data/config/current.stocks")
    assert caplog.records[-1].exc_info is not None
    assert "selectionTitle" not in config and manager.setTitle.calls == []
    # What the start could not read is kept aside, where the close-time save does not reach.
    if damage is not None:
        assert failure.endswith("kept as data/config/current.stocks.damaged")
        assert os.path.lexists(CURRENT + ".damaged") and not os.path.lexists(CURRENT)


def test_empty_list_and_failing_title(workspace, caplog):
    _, config, _, stocks = start(json.dumps({"stocks": [], "selectionTitle": "T"}))
    assert stocks.empty and list(stocks.columns) == ["Symbol", "Security Name"]
    assert not caplog.records or all(r.levelno < logging.ERROR for r in caplog.records)

    # Without a manager the title cannot be shown: logged, and the stocks are dropped.
    config = Dict()
    current.CurrentProvider(config)
    assert config.selectionTitle == "T" and provider.Provider.values["initialStocks"].empty
    [failure] = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
    assert failure == "Loading stocklist from data/config/current.stocks" and os.path.exists(CURRENT)


def test_the_program_starts_past_a_damaged_selection_and_does_not_write_it_back(tmp_path):
    program = Workspace(tmp_path / "program")
    program.default["providers"] = [
        "fields.FieldProvider",
        "current.CurrentProvider",
        "selection.SelectionProvider",
        "probe.ProbeTab",
    ]
    program.user = {"probe": {"post": {"1": [sg.WIN_CLOSE_ATTEMPTED_EVENT]}}}
    # A text that is no character: the window could not show it.
    damaged = {"stocks": [APPLE, {"Symbol": "B.US", "Security Name": "\ud800", "Currency": "USD.FOREX"}]}
    (program.path / CURRENT).write_text(json.dumps(damaged))
    run = program.run()
    assert run.returncode == 0, run.stderr
    assert len(program.records("window")) == 1
    assert f"Loading stocklist from {CURRENT}, kept as {CURRENT}.damaged" in logMessages(run.stderr)
    # The close saves the selection the user had, the empty one, beside the damaged file.
    with open(program.path / CURRENT, encoding="ascii") as file:
        assert json.load(file)["stocks"] == []
    assert json.loads((program.path / (CURRENT + ".damaged")).read_text()) == damaged


@pytest.mark.parametrize("kind", ["long-title", "folder", "pipe", "link-to-folder", "second-damaged"])
def test_the_program_starts_past_whatever_its_own_files_hold(tmp_path, kind):
    """The selection file and the price cache are the program's own: what they hold is their readers' to
    handle, and no configuration check blames default.json for it."""
    program = Workspace(tmp_path / "program")
    program.default["providers"] = ["fields.FieldProvider", "current.CurrentProvider", "selection.SelectionProvider",
                                    "probe.ProbeTab"]
    program.user = {"probe": {"post": {"1": [sg.WIN_CLOSE_ATTEMPTED_EVENT]}}}
    selection, cache = program.path / CURRENT, program.path / program.default["data"]["cacheName"]
    first = {"stocks": "the first damaged selection"}
    if kind == "long-title":
        selection.write_text(json.dumps({"stocks": [APPLE], "selectionTitle": "T" * 65}))
    elif kind == "folder":
        selection.mkdir()
        cache.mkdir()
    elif kind == "pipe":
        os.mkfifo(selection)
        os.mkfifo(cache)
    elif kind == "link-to-folder":
        (program.path / "elsewhere").mkdir()
        selection.symlink_to(program.path / "elsewhere")
        cache.symlink_to(program.path / "elsewhere")
    else:
        (program.path / (CURRENT + ".damaged")).write_text(json.dumps(first))
        selection.write_text("{ not json")
    run = program.run()
    assert run.returncode == 0, run.stderr
    assert len(program.records("window")) == 1
    saved = json.loads(selection.read_text())  # the close writes the selection it had
    if kind == "long-title":
        assert saved["selectionTitle"] == "T" * 64 and [s["Symbol"] for s in saved["stocks"]] == ["AAPL.US"]
        return
    assert saved["stocks"] == []
    kept = program.path / (CURRENT + ".damaged")
    if kind == "second-damaged":
        assert json.loads(kept.read_text()) == first
        assert (program.path / (CURRENT + ".damaged-2")).read_text() == "{ not json"
        assert f"Loading stocklist from {CURRENT}, kept as {CURRENT}.damaged-2" in logMessages(run.stderr)
    else:
        assert os.path.lexists(kept) and not os.path.isfile(kept)
        assert os.path.lexists(cache)  # an unreadable cache is no cache, and is left as it is
