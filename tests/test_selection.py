"""The selection tab in a real window against the loopback market-data stub: search, add, remove, charts,
selection files, saving on close, and the prices of the selection."""

import io
import json
import logging
import os
import re
import socket
import subprocess
import time

import httpx
import numpy as np
import pandas as pd
import pandas.testing as pdt
import PIL.Image
import PySimpleGUI as sg
import pytest
from addict import Dict

import current
import eodds
import pdatasource
import provider
import selection
from fields_support import focusOn, press
from marketdata_stub import real_prices
from selection_support import (
    byKey,
    defaults,
    loadMarket,
    meters,
    popups,
    pump,
    runLoop,  # noqa: F401
    startProgram,
    stub,
    workspace,
)

CLOSE = sg.WIN_CLOSE_ATTEMPTED_EVENT


def writeCurrent(document):
    with open("data/config/current.stocks", "w", encoding="utf-8") as file:
        json.dump(document, file)


@pytest.fixture
def launch(workspace, stub, popups, meters):
    loadMarket(stub, recent=True)
    started = []

    def start(document=None, language=None, **data):
        if document is not None:
            writeCurrent(document)
        config = defaults(endDate="", **data)
        if language is not None:
            config.gui.language = language
        manager, window = startProgram(config)
        started.append(manager)
        return manager, window, config, byKey(manager, "selections")

    yield start
    for manager in started:
        manager.window.close()


def rows(window, key):
    return [list(row) for row in window[key].Values]


def stocks():
    return provider.Provider.values["stocks"]


def test_start_shows_the_saved_selection_and_its_title(launch):
    writeCurrent({"stocks": {"XOM.US": "Exxon Mobil", "AAPL.US": "Apple Inc."}, "selectionTitle": "Old"})
    manager, window, config, tab = launch()
    assert selection.selectionProvider is tab and tab.key == "selections"
    assert window.TKroot.title() == "Zeltra Velmora - data/config/current.stocks- Old"
    assert rows(window, "stockList") == [["AAPL.US", "Apple Inc."], ["XOM.US", "Exxon Mobil"]]
    assert [c for c in window["stockList"].ColumnHeadings] == ["Symbol", "Security Name", "Currency"]
    assert rows(window, "searchResults") == [] and window["searchResults"].ColumnHeadings[2] == "Currency"
    assert stocks() is provider.Provider.values["initialStocks"]
    assert window["selectionTitle"].get() == "Old"


def elementsOf(container):
    for row in container.Rows:
        for element in row:
            yield element
            if hasattr(element, "Rows"):
                yield from elementsOf(element)


def layoutFaults(window):
    """Elements of the selection tab that are not shown, lie outside the window, or show less of
    their text than they ask for."""
    root = window.TKroot
    root.update()
    left, top = root.winfo_rootx(), root.winfo_rooty()
    right, bottom = left + root.winfo_width(), top + root.winfo_height()
    faults = []
    for element in elementsOf(window["selections"]):
        widget = element.Widget
        name = getattr(element, "ButtonText", None) or getattr(element, "DisplayText", None) or element.Key
        x, y = widget.winfo_rootx(), widget.winfo_rooty()
        if not widget.winfo_ismapped():
            faults.append((name, "not shown"))
        elif x < left or y < top or x + widget.winfo_width() > right or y + widget.winfo_height() > bottom:
            faults.append((name, "outside"))
        elif isinstance(element, (sg.Button, sg.Text, sg.Checkbox)) and (
            widget.winfo_width() < widget.winfo_reqwidth()
        ):
            faults.append((name, f"cut to {widget.winfo_width()} of {widget.winfo_reqwidth()}"))
    return faults


@pytest.mark.parametrize("language", ["en_US.UTF-8", "de_DE.UTF-8"])
def test_the_tab_fits_the_default_window(launch, language):
    manager, window, config, tab = launch(
        {"stocks": [{"Symbol": "AAPL", "Security Name": "Apple Inc.", "Currency": "USD.FOREX"}]},
        language=language,
    )
    assert tuple(window.size) == (1200, 800) and window["selections"].Title in ("Selection", "Auswahl")
    assert layoutFaults(window) == []
    # A drawn chart moves nothing out of the window either.
    values = pump(window)
    values.update(stockList=[0], searchResults=[])
    window = manager.handleEvent(window, "plotMode", values)
    assert window["stockChart"].metadata.source is not None
    assert layoutFaults(window) == []


def freePort():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_search_add_and_remove(launch, stub, popups, monkeypatch):
    manager, window, config, tab = launch()
    window["search"].update("  apple ")
    window = manager.handleEvent(window, "searchButton", pump(window))
    assert rows(window, "searchResults") == [["AAPL", "Apple Inc.", "USD"], ["SAP.DE", "SAP SE", "EUR"]]
    assert [r.query for r in stub.requests if r.path == "/v1/finance/search"] == [[("q", "apple")]]
    assert list(tab.searchResults["Currency"]) == ["USD.FOREX", "EUR.FOREX"]

    values = pump(window)
    values["searchResults"] = [1, 0]
    window = manager.handleEvent(window, "addStock", values)
    assert list(stocks().index) == ["AAPL", "SAP.DE"] and list(stocks().columns) == [
        "Symbol",
        "Security Name",
        "Currency",
    ]
    assert rows(window, "stockList") == [["AAPL", "Apple Inc.", "USD"], ["SAP.DE", "SAP SE", "EUR"]]
    generation = provider.Provider.generation
    window = manager.handleEvent(window, "addStock", values)  # both there already: nothing written
    assert provider.Provider.generation == generation and len(stocks()) == 2

    # A failed search says why, in the user's words with the detail last, and keeps the previous
    # results; one that finds nothing says nothing.
    def search(text):
        window["search"].update(text)
        return manager.handleEvent(window, "searchButton", pump(window))

    source = tab.dataSource.rawProvider
    reachable, source.client = source.client, httpx.Client(base_url=f"http://127.0.0.1:{freePort()}")
    window = search("other")
    source.client = reachable
    stub.fix("/v1/finance/search", 500, "broken")
    window = search("other")
    stub.fix("/v1/finance/search", 200, "no json")
    window = search("other")
    reasons = [
        ("could not be reached", "ConnectError: "),
        ("answered with an error", "HTTPStatusError: HTTP 500 Internal Server Error"),
        ("could not be read", "JSONDecodeError: "),
    ]
    assert popups.kinds() == ["PopupError"] * 3
    for (_, message, keywords), (reason, detail) in zip(popups.shown, reasons):
        summary, technical = message.split("\n\n")
        assert summary.startswith("The search failed: ") and reason in summary
        assert technical.startswith(detail) and keywords["title"] == "Error"
    assert len(rows(window, "searchResults")) == 2
    del stub.fixed["/v1/finance/search"]
    window = search("nothing")
    assert len(popups.shown) == 3 and rows(window, "searchResults") == []

    # The same on the other service: no match empties the results, without a popup.
    monkeypatch.setenv("VELMORA_EOD_URL", stub.url)
    yahoo, tab.dataSource = tab.dataSource, pdatasource.CachedDataSource(rawProvider=eodds.EodDataSource(""))
    stub.eod_search["apple"] = [{"Code": "AAPL", "Exchange": "US", "Name": "Apple Inc", "Currency": "USD"}]
    window = search("apple")
    assert rows(window, "searchResults") == [["AAPL.US", "Apple Inc", "USD"]]
    window = search("zzzznothing")
    assert len(popups.shown) == 3 and rows(window, "searchResults") == [] and tab.searchResults.empty
    tab.dataSource = yahoo

    values = pump(window)
    values["stockList"] = []
    window = manager.handleEvent(window, "removeStock", values)
    assert provider.Provider.generation > generation and len(stocks()) == 2
    values["stockList"] = [0]
    window = manager.handleEvent(window, "removeStock", values)
    assert list(stocks().index) == ["SAP.DE"] and rows(window, "stockList") == [["SAP.DE", "SAP SE", "EUR"]]

    with pytest.raises(KeyError):
        tab.removeStocks(["SAP.DE", "NOPE"])
    assert list(stocks().index) == ["SAP.DE"]


def doubleClick(window, key, row):
    tree = window[key].Widget
    x, y, width, height = tree.bbox(tree.get_children()[row])
    subprocess.run(
        [
            "xdotool",
            "mousemove",
            str(tree.winfo_rootx() + x + width // 2),
            str(tree.winfo_rooty() + y + height // 2),
            "click",
            "--repeat",
            "2",
            "--delay",
            "80",
            "1",
        ],
        check=True,
    )


def test_real_keys_and_double_clicks(launch, stub):
    manager, window, config, tab = launch()
    focusOn(window, "search")
    window["search"].update("apple")
    press("Return")
    window = runLoop(manager, window, lambda: len(rows(window, "searchResults")) == 2)
    assert len(rows(window, "searchResults")) == 2

    doubleClick(window, "searchResults", 1)
    window = runLoop(manager, window, lambda: len(stocks()) == 1)
    assert list(stocks().index) == ["SAP.DE"]

    window = runLoop(manager, window, lambda: False, seconds=1)  # the table reports its selection
    focusOn(window, "searchResults")
    values = pump(window)
    values["searchResults"] = [0]
    window = manager.handleEvent(window, "\r", values)  # Enter as Windows reports it
    assert list(stocks().index) == ["AAPL", "SAP.DE"]

    focusOn(window, "stockList")
    window["stockList"].update(select_rows=[1])
    press("Delete")
    window = runLoop(manager, window, lambda: len(stocks()) == 1)
    assert list(stocks().index) == ["AAPL"]

    doubleClick(window, "stockList", 0)
    window = runLoop(manager, window, lambda: len(stocks()) == 0)
    assert stocks().empty and rows(window, "stockList") == []


def test_charts_and_pdf(launch, stub, tmp_path, monkeypatch, popups, caplog):
    manager, window, config, tab = launch(
        {
            "stocks": [
                {"Symbol": "AAPL", "Security Name": "Apple Inc.", "Currency": "USD.FOREX"},
                {"Symbol": "SAP.DE", "Security Name": "SAP SE", "Currency": "EUR.FOREX"},
            ]
        }
    )
    values = pump(window)
    values.update(stockList=[0, 1], searchResults=[])
    config.stocks.update(
        plotMode="Value", plotPeriod=90, plotLog=False, plotCorrelated=False, plotConverted=False
    )
    axes = tab.plotStocks(values, size=(350, 300))
    assert [line.get_label() for line in axes.get_lines()] == ["AAPL", "SAP.DE"]
    assert np.allclose(axes.get_figure().get_size_inches(), (350 / 72, 300 / 72))
    first = axes.get_lines()[0].get_ydata()
    assert 55 <= len(first) <= 91

    config.stocks.plotMode = "Relative"
    relative = tab.plotStocks(values).get_lines()[0].get_ydata()
    assert relative[0] == pytest.approx(100) and relative[-1] == pytest.approx(100 * first[-1] / first[0])
    config.stocks.update(plotMode="Change", plotLog=True)
    change = tab.plotStocks(values)
    assert change.get_yscale() == "log"
    config.stocks.update(plotCorrelated=True, plotLog=False)
    heat = tab.plotStocks(values, size=(350, 300))
    assert [t.get_text() for t in heat.get_xticklabels()] == ["AAPL", "SAP.DE"] and heat.collections

    # The chart element shows what a plot option's event draws; Reset clears it.
    config.stocks.update(plotCorrelated=False, plotMode="Relative")
    window = manager.handleEvent(window, "plotMode", values)
    chart = window["stockChart"].metadata.source
    assert chart.startswith(b"\x89PNG")
    window = manager.handleEvent(window, "resetStocks", values)
    assert window["stockChart"].metadata.source is None and values["stockList"] == []
    assert tab.plotStocks({"stockList": [], "searchResults": []}) is None

    # A stock cached up to today whose prices end before the chart's year: an empty chart of the
    # usual size, and nothing logged.
    stub.add_yahoo("GE", real_prices("GE", "2016-01-01", "2017-12-29"))
    tab.dataSource.get(["GE"], "2016-01-01", time.strftime("%Y-%m-%d"))
    tab.searchResults = pd.DataFrame([["GE", "General Electric", "USD.FOREX"]],
                                     columns=["Symbol", "Security Name", "Currency"])
    config.stocks.plotPeriod = 365
    window = manager.handleEvent(window, "searchResults", dict(values, searchResults=[0]))
    empty = window["stockChart"].metadata.source
    size = lambda image: PIL.Image.open(io.BytesIO(image)).size  # noqa: E731
    assert size(empty) == size(chart) and empty != chart
    assert not [record for record in caplog.records if record.levelno >= logging.ERROR]
    config.stocks.plotPeriod = 90

    # A row that no chart can be drawn for (a list in a cell, which no reader lets in) gets the
    # empty chart, and the log says why.
    tab.searchResults = pd.DataFrame([["GE", ["General", "Electric"], "USD.FOREX"]],
                                     columns=["Symbol", "Security Name", "Currency"])
    window["stockChart"].update(None)
    window = manager.handleEvent(window, "searchResults", dict(values, searchResults=[0]))
    assert size(window["stockChart"].metadata.source) == size(chart)
    [failure] = [record for record in caplog.records if record.levelno >= logging.ERROR]
    assert failure.getMessage() == "The chart could not be drawn" and failure.exc_info is not None
    caplog.clear()

    path = tmp_path / "chart.pdf"
    monkeypatch.setattr(provider, "GetFileName", lambda *a, **k: str(path))
    values.update(stockList=[0, 1])
    window = manager.handleEvent(window, "saveStockGraph", values)
    info = subprocess.run(["pdfinfo", str(path)], capture_output=True, text=True, check=True).stdout
    fields = dict(line.split(":", 1) for line in info.splitlines() if ":" in line)
    assert fields["Title"].strip() == "Stock Selection" and fields["Subject"].strip() == "Stocks"
    assert fields["Keywords"].strip() == "Stocks"
    assert fields["Creator"].strip() == fields["Producer"].strip() == "Zeltra Velmora 0.02.0013"
    assert str(time.localtime().tm_year) in fields["CreationDate"]

    # A write that fails shows its cause and leaves the previous file whole, with nothing beside it.
    import matplotlib.pyplot as plt  # as the charts above chose its backend

    before = path.read_bytes()

    def brokenSave(fileName, **kwargs):
        with open(fileName, "wb") as file:
            file.write(b"%PDF-1.4 cut")
        raise OSError("disk full")

    monkeypatch.setattr(plt, "savefig", brokenSave)
    window = manager.handleEvent(window, "saveStockGraph", values)
    assert path.read_bytes() == before and list(tmp_path.glob(".velmora-*")) == []
    assert popups.kinds() == ["PopupError"]
    assert popups.shown[0][1] == "The chart could not be saved:\n\ndisk full"

    # A failure while fetching or drawing is logged, and gives no chart.
    tab.dataSource.get = lambda *a, **k: (_ for _ in ()).throw(RuntimeError("offline"))
    assert tab.plotStocks(values) is None

    # Save Graph writes nothing then, and says why.
    path.unlink()
    window = manager.handleEvent(window, "saveStockGraph", values)
    assert not path.exists() and popups.kinds()[1:] == ["PopupError"] and "no prices" in popups.shown[-1][1]
    values.update(stockList=[], searchResults=[])
    window = manager.handleEvent(window, "saveStockGraph", values)
    assert popups.shown[-1][1] == "Select the stocks to chart first."


def test_selection_files(launch, stub, tmp_path, monkeypatch, popups):
    manager, window, config, tab = launch(
        {
            "stocks": [
                {"Symbol": "SAP.DE", "Security Name": "Société Générale", "Currency": "EUR.FOREX"},
                {"Symbol": "AAPL", "Security Name": "Apple Inc.", "Currency": "USD.FOREX"},
            ]
        }
    )
    chosen = []
    monkeypatch.setattr(provider, "GetFileName", lambda *a, **k: chosen.append((a, k)) or target)

    target = str(tmp_path / "mine.stocks")
    config.selectionTitle = Dict()  # a tree without a title
    window = manager.handleEvent(window, "SaveSelection", pump(window))
    text = open(target, encoding="ascii").read()
    document = json.loads(text, object_pairs_hook=list)
    assert [key for key, _ in document] == ["stocks", "selectionTitle", "meta"]
    assert dict(document)["selectionTitle"] == ""
    assert [key for key, _ in dict(document)["meta"]] == ["version", "timestamp", "createdWith"]
    meta = dict(dict(document)["meta"])
    assert meta["version"] == "0.02.0013" and meta["createdWith"] == "Zeltra Velmora"
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", meta["timestamp"])
    assert "Soci\\u00e9t\\u00e9 G\\u00e9n\\u00e9rale" in text and not text.endswith("\n")
    assert text.startswith('{\n  "stocks": [\n    {\n      "Symbol": "AAPL",\n')
    assert config.selectionName == target and window.TKroot.title() == f"Zeltra Velmora - {target}- "
    assert chosen[-1] == (("Output file", "stocks"), {"default": "data/config/current.stocks", "save": True})

    # Saved through one of two hard links: the other name gets the new content too.
    os.link(target, tmp_path / "linked.stocks")
    config.selectionTitle = "Linked"
    window = manager.handleEvent(window, "SaveSelection", pump(window))
    assert json.loads((tmp_path / "linked.stocks").read_text())["selectionTitle"] == "Linked"

    # A failed save leaves the file and the name as they were.
    target = str(tmp_path / "missing" / "other.stocks")
    window = manager.handleEvent(window, "SaveSelection", pump(window))
    assert popups.shown[-1][0] == "PopupError" and "Error saving selection" in popups.shown[-1][1]
    assert config.selectionName == str(tmp_path / "mine.stocks")

    # A write that fails midway leaves the previous file whole.
    before = open(config.selectionName).read()
    realDump = json.dump

    def brokenDump(document, file, **kwargs):
        file.write('{"stocks": [')
        raise OSError("disk full")

    monkeypatch.setattr(json, "dump", brokenDump)
    with pytest.raises(OSError):
        tab.save(config.selectionName)
    monkeypatch.setattr(json, "dump", realDump)
    assert open(config.selectionName).read() == before and list(tmp_path.glob(".velmora-*")) == []

    # Loading a current-form file keeps its order; the title follows.
    target = str(tmp_path / "ordered.stocks")
    with open(target, "w", encoding="utf-8") as file:
        file.write(
            "\ufeff"  # as Windows editors save it
            + json.dumps(
                {
                    "stocks": [
                        {"Symbol": "SAP.DE", "Security Name": "SAP SE", "Currency": "EUR"},
                        {"Symbol": "AAPL", "Security Name": "Apple", "Currency": float("nan")},
                    ],
                    "selectionTitle": "Ordered",
                }
            )
        )
    window = manager.handleEvent(window, "LoadSelection", pump(window))
    assert list(stocks().index) == ["SAP.DE", "AAPL"] and stocks().loc["SAP.DE", "Currency"] == "EUR.FOREX"
    assert rows(window, "stockList") == [["SAP.DE", "SAP SE", "EUR"], ["AAPL", "Apple", ""]]
    assert config.selectionName == target and config.selectionTitle == "Ordered"
    assert (
        window.TKroot.title().endswith(f"{target}- Ordered") and window["selectionTitle"].get() == "Ordered"
    )
    assert chosen[-1] == (("Data file", "stocks"), {"default": str(tmp_path / "mine.stocks")})

    # The older form, with Yahoo: currencies looked up and brought into the program's form.
    target = str(tmp_path / "legacy.stocks")
    with open(target, "w") as file:
        json.dump({"stocks": {"SAP.DE": "SAP SE", "AAPL": "Apple", "GONE": "Delisted Co"}}, file)
    shown = len(popups.shown)
    window = manager.handleEvent(window, "LoadSelection", pump(window))
    # A delisted symbol, whose currency the service cannot give, stays without one; one popup names it.
    assert list(stocks()["Currency"]) == ["USD.FOREX", "", "EUR.FOREX"] and config.selectionTitle == ""
    assert config.selectionName == target and [kind for kind, _, _ in popups.shown[shown:]] == ["Popup"]
    assert "GONE" in popups.shown[-1][1] and "AAPL" not in popups.shown[-1][1]

    # With a source that cannot look currencies up: loaded without them, and the user is told.
    import eodds

    tab.dataSource.rawProvider = eodds.EodDataSource("")
    shown = len(popups.shown)
    window = manager.handleEvent(window, "LoadSelection", pump(window))
    assert list(stocks()["Currency"]) == ["", "", ""] and popups.shown[shown][0] == "Popup"

    # A file that is no selection is refused with its cause and changes nothing; nor does a
    # special file hang the window.
    loaded, shown = stocks(), len(popups.shown)
    damaged = [
        "{no json",
        json.dumps({"stocks": [{"Symbol": "A", "Security Name": "A"}, {"Symbol": 1, "Security Name": "1"}]}),
        json.dumps({"stocks": [{"Symbol": "A", "Currency": "USD.FOREX"}]}),
        json.dumps({"stocks": [{"Symbol": "A.US", "Currency": "C" * 150_000}]}),
        json.dumps({"stocks": [{"Symbol": "A", "Security Name": "A"}, {"Symbol": "B", "Security Name": "\ud800"}]}),
        json.dumps({"stocks": [{"Symbol": "A", "Security Name": "A"}], "selectionTitle": "\udc00"}),
        json.dumps({"stocks": [{"Symbol": "A", "Security Name": "A", "Extra": {"a": 1}}]}),
        json.dumps({"stocks": {"A": ["A"]}}),
    ]
    for text in damaged:
        with open(target, "w") as file:
            file.write(text)
        window = manager.handleEvent(window, "LoadSelection", pump(window))
    target = str(tmp_path / "pipe.stocks")
    os.mkfifo(target)
    window = manager.handleEvent(window, "LoadSelection", pump(window))
    assert config.selectionName == str(tmp_path / "legacy.stocks") and stocks() is loaded
    assert popups.kinds()[shown:] == ["PopupError"] * 9
    causes = ["Expecting property name", "no text symbol", "no security name", "no security name",
              "no Unicode", "no Unicode", "no text or number", "no text or number", "not a regular file"]
    for (_, message, options), cause in zip(popups.shown[shown:], causes):
        assert message.startswith("The selection could not be loaded:\n\n") and cause in message
        assert len(message) < 1000 and options["custom_text"] == options["title"] == "Error"
    assert rows(window, "stockList") == [["AAPL", "Apple", ""], ["GONE", "Delisted Co", ""],
                                         ["SAP.DE", "SAP SE", ""]]

    # An empty selection saved is loaded as the empty selection.
    tab.removeStocks(list(stocks().index))
    target = str(tmp_path / "empty.stocks")
    window = manager.handleEvent(window, "SaveSelection", pump(window))
    window = manager.handleEvent(window, "LoadSelection", pump(window))
    assert stocks().empty and config.selectionName == target and popups.kinds()[shown + 9 :] == []

    # Cancelled dialogs do nothing.
    target = None
    for event in ("LoadSelection", "SaveSelection", "saveStockGraph"):
        window = manager.handleEvent(window, event, pump(window))
    assert config.selectionName == str(tmp_path / "empty.stocks")


def test_close_saves_the_selection_and_the_next_start_shows_it(launch, popups, monkeypatch):
    manager, window, config, tab = launch()
    window["search"].update("apple")
    window = manager.handleEvent(window, "searchButton", pump(window))
    values = pump(window)
    values["searchResults"] = [0, 1]
    window = manager.handleEvent(window, "addStock", values)
    config.selectionTitle = "Mine"
    window = manager.handleEvent(window, CLOSE, pump(window))
    saved = json.load(open("data/config/current.stocks"))
    assert [s["Symbol"] for s in saved["stocks"]] == ["AAPL", "SAP.DE"] and saved["selectionTitle"] == "Mine"

    # A selection that no reader would take back (a service that answered a number for a symbol)
    # is not written over the last one.
    stocks().loc[1] = [1, "One", "USD.FOREX"]
    window = manager.handleEvent(window, CLOSE, pump(window))
    assert popups.kinds() == ["PopupError"] and json.load(open("data/config/current.stocks")) == saved
    tab.removeStocks([1])

    restarted = current.CurrentProvider(Dict(), providerManager=manager)
    again = provider.Provider.values["initialStocks"]
    assert list(again.index) == ["AAPL", "SAP.DE"] and list(again["Currency"]) == ["USD.FOREX", "EUR.FOREX"]

    # 20,000 stocks with long accented names, as the close writes them, read back whole at the next
    # start and by Load Selection.
    name = "Société Générale d’Électricité de Côte d’Ivoire, Übersee-Ölförderung AG"
    symbols = [f"S{i:05d}.XETRA" for i in range(20_000)]
    many = pd.DataFrame({"Symbol": symbols, "Security Name": [f"{name} {i}" for i in range(20_000)],
                         "Currency": "EUR.FOREX"}).set_index("Symbol", drop=False)
    tab["stocks"] = many
    window = manager.handleEvent(window, CLOSE, pump(window))
    assert os.path.getsize("data/config/current.stocks") > 2**20
    current.CurrentProvider(Dict(), providerManager=manager)
    pdt.assert_frame_equal(provider.Provider.values["initialStocks"], many)
    tab["stocks"] = many.iloc[:1]
    monkeypatch.setattr(provider, "GetFileName", lambda *a, **k: "data/config/current.stocks")
    window = manager.handleEvent(window, "LoadSelection", pump(window))
    pdt.assert_frame_equal(stocks(), many)
    tab.removeStocks(symbols)

    # An unwritable name: the user is told, and the providers after this one still see the event.
    seen = []
    prices = byKey(manager, "pricesTab")
    prices.handleEvent = lambda window, event, values: seen.append(event) or False
    for name in ("/nonexistent/folder/current.stocks", Dict()):
        config.selectionName = name
        window = manager.handleEvent(window, "UpdateSoftware", pump(window))
        assert popups.shown[-1][0] == "PopupError" and "could not be saved" in popups.shown[-1][1]
    assert seen == ["UpdateSoftware", "UpdateSoftware"]


def test_every_search_result_can_be_added_and_saved(launch, stub, popups):
    manager, window, config, tab = launch()
    odd = [None, 7, True, float("nan"), "\ud800", {"a": 1}]
    stub.yahoo_search["odd"] = [{"symbol": value, "shortname": "Odd", "quoteType": "EQUITY"} for value in odd] + [
        {"symbol": "AAPL", "shortname": {"a": 1}, "quoteType": "EQUITY"},
        {"symbol": "SAP.DE", "longname": ["SAP", "SE"], "quoteType": "EQUITY"},
        {"symbol": "XOM", "shortname": "\udc80", "quoteType": "EQUITY"},
    ]
    window["search"].update("odd")
    window = manager.handleEvent(window, "searchButton", pump(window))
    shown = rows(window, "searchResults")
    assert [row[0] for row in shown] == ["AAPL", "SAP.DE", "XOM"]
    values = pump(window)
    values["searchResults"] = list(range(len(shown)))
    window = manager.handleEvent(window, "addStock", values)
    window = manager.handleEvent(window, CLOSE, pump(window))
    assert popups.kinds() == []
    saved = json.load(open("data/config/current.stocks"))
    assert [(s["Symbol"], s["Security Name"]) for s in saved["stocks"]] == [
        ("AAPL", "AAPL"), ("SAP.DE", "SAP.DE"), ("XOM", "XOM")]


def selectTab(manager, window, key):
    values = pump(window)
    values["mainTab"] = key
    return manager.handleEvent(window, "mainTab", values)


def test_the_tab_that_needs_prices_downloads_them(launch, stub, popups, meters):
    manager, window, config, tab = launch(
        {"stocks": [{"Symbol": "AAPL", "Security Name": "Apple Inc.", "Currency": "USD.FOREX"}]},
        localCurrency="EUR.FOREX",
    )
    pricesTab = byKey(manager, "pricesTab")
    window = selectTab(manager, window, "pricesTab")
    assert popups.shown[-1][0] == "Popup" and "at least 2 stocks" in popups.shown[-1][1]
    assert pricesTab.seen and list(pricesTab.seen[-1].columns) == ["Date"]

    window["search"].update("apple")
    window = manager.handleEvent(window, "searchButton", pump(window))
    values = pump(window)
    values["searchResults"] = [1]
    window = manager.handleEvent(window, "addStock", values)
    tab.removeStocks([])  # written anew, so that the next look downloads
    stocks().loc["ZZZ"] = ["ZZZ", "Unknown", "USD.FOREX"]
    popups.answers = ["Yes"]
    window = selectTab(manager, window, "pricesTab")
    prices = pricesTab.seen[-1]
    assert list(prices.columns) == ["Date", "AAPL", "SAP.DE"] and "Downloading" in meters.titles
    assert popups.shown[-1][0] == "PopupYesNo" and "\tZZZ\n" in popups.shown[-1][1]
    assert list(stocks().index) == ["AAPL", "SAP.DE"] and len(rows(window, "stockList")) == 2

    # Cancelled: no prices of the earlier period stay, and the window goes on working.
    config.data.basePeriod = 730
    meters.titles.clear()
    meters.cancelAt = 1
    window = selectTab(manager, window, "pricesTab")
    assert list(provider.Provider.values["prices"].columns) == ["Date"]
    meters.cancelAt = None
    window = selectTab(manager, window, "pricesTab")
    assert provider.Provider.values["prices"] is not prices and len(provider.Provider.values["prices"]) > len(
        prices
    )


def test_an_older_file_looks_its_currencies_up_at_once_with_the_meter_and_its_cancel(launch, stub, tmp_path,
                                                                                   monkeypatch, popups, meters):
    manager, window, config, tab = launch({"stocks": []})
    target = str(tmp_path / "older.stocks")
    monkeypatch.setattr(provider, "GetFileName", lambda *a, **k: target)
    days = real_prices("AAPL", "2024-01-02", "2024-01-10")
    older = {f"S{i:03d}": f"Stock {i}" for i in range(60)}
    for symbol in older:
        stub.add_yahoo(symbol, days, currency="EUR")
    with open(target, "w") as file:
        json.dump({"stocks": older}, file)
    # No lookup is answered before all have arrived: made one after another, the load would not end.
    stub.hold_until = stub.arrived + len(older)
    window = manager.handleEvent(window, "LoadSelection", pump(window))
    assert list(stocks().index) == sorted(older) and set(stocks()["Currency"]) == {"EUR.FOREX"}
    assert sorted(r.path for r in stub.requests[-len(older):]) == [f"/v8/finance/chart/{s}" for s in sorted(older)]
    assert popups.shown == [] and config.selectionName == target and meters.titles

    # Cancelled in the meter while the service is silent: the selection stays, and nothing is said.
    loaded, other = stocks(), str(tmp_path / "other.stocks")
    with open(other, "w") as file:
        json.dump({"stocks": {"SLOW.A": "Slow A", "SLOW.B": "Slow B"}}, file)
    target = other
    stub.hold_until = stub.arrived + 1000
    meters.cancelAt = len(meters.titles) + 1
    window = manager.handleEvent(window, "LoadSelection", pump(window))
    stub.hold_until = 0
    stub.release()
    assert stocks() is loaded and config.selectionName == str(tmp_path / "older.stocks")
    assert popups.shown == []
