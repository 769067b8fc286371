"""The provider framework: value store and recompute, progress, tab providers, the manager and its main
window."""
import builtins
import locale
import logging
import os
import sys
import webbrowser
from pathlib import Path

import pytest
from PIL import Image
import PySimpleGUI as sg
from addict import Dict

import provider
import provider_support as support
from provider_support import (Loaded, RawSource, NotASource, Recorder, makeProvider, managerConfig, placed,
                              settle, sources, zoomed)  # noqa: F401 (fixture)

ROOT = Path(__file__).resolve().parent.parent
Provider, TabProvider, ProviderManager = provider.Provider, provider.TabProvider, provider.ProviderManager
CONFIG = Dict({"progress": {"progressPeriod": 0.5}})


@pytest.fixture(autouse=True)
def store(monkeypatch):
    """A fresh value store for every test; the process-wide one comes back afterwards."""
    monkeypatch.setattr(Provider, "values", {})
    monkeypatch.setattr(Provider, "origin", {})
    monkeypatch.setattr(Provider, "generation", 0)
    support.calls.clear()


@pytest.fixture
def debugLog(caplog):
    caplog.set_level(logging.DEBUG)
    caplog.clear()
    return lambda: [record.getMessage() for record in caplog.records if record.levelno == logging.DEBUG]


def failures(caplog):
    return [record for record in caplog.records if record.getMessage() == "Test"]


# ---------------------------------------------------------------------------------------
# Value store and recompute

class TestStore:
    def test_fresh_provider_computes_once(self, debugLog):
        p = makeProvider("a")(CONFIG)
        assert (p.dependingOn, p.lastGeneration, p.config) == (set(), -1, CONFIG)
        assert p.recompute() == 0 and p.recompute() == 0 and p.computed == 1
        assert debugLog() == [
            "Starting recompute self.key='a'",
            "Check recompute self.key='a' self.lastGeneration=-1 maxGeneration:maxGeneration=0",
            "compute self.key='a'",
            "Starting recompute self.key='a'",
            "Check recompute self.key='a' self.lastGeneration=0 maxGeneration:maxGeneration=0"]

    def test_writes_raise_the_counter_and_name_the_writer(self, debugLog):
        w = makeProvider("w")(CONFIG)
        value = [1]
        w["k"] = value
        assert Provider.generation == 1 and Provider.values["k"] is value and Provider.origin["k"] is w
        assert w.lastGeneration == -1 and debugLog() == []  # a write before computing keeps "never computed"
        w.recompute()
        w["k"] = [1]  # an equal value is a change like any other
        assert Provider.generation == 2 and w.lastGeneration == 2
        assert debugLog()[-1] == "setting key='k' lastGeneration self.key='w' self.lastGeneration=2"

    def test_reader_before_writer(self, debugLog):
        w = makeProvider("w", compute=lambda self: self.__setitem__("k", "computed"))(CONFIG)
        value = ["published"]
        w["k"] = value
        r = makeProvider("r")(CONFIG)
        assert r["k"] is value and r.dependingOn == {w}
        assert debugLog() == [f"self.key='r' depends on Provider.origin[key]={w!r}"]
        assert r.recompute() == 2 and Provider.values["k"] == "computed"
        r.recompute()  # the writer's own writes during compute make nobody compute again
        assert support.calls == [("w", "compute"), ("r", "compute")]

    def test_self_reads_and_unknown_keys(self, debugLog):
        p = makeProvider("p")(CONFIG)
        p["own"] = 1
        assert p["own"] == 1 and p.dependingOn == set() and debugLog() == []
        with pytest.raises(KeyError) as failure:
            p["missing"]
        assert failure.value.args == ("missing",) and p.dependingOn == set()

    def test_only_writes_after_computing_recompute_readers(self):
        w, r = makeProvider("w")(CONFIG), makeProvider("r")(CONFIG)
        w["k"] = 1
        r["k"]
        r.recompute()
        Provider.generation += 1  # a reconfiguration alone
        r.recompute()
        assert (w.computed, r.computed) == (1, 1)
        w["k"] = 1
        assert w.lastGeneration == Provider.generation
        assert r.recompute() == Provider.generation and (w.computed, r.computed) == (1, 2)

    def test_overwritten_keys_keep_both_writers(self):
        a, b, r = makeProvider("a")(CONFIG), makeProvider("b")(CONFIG), makeProvider("r")(CONFIG)
        a["k"] = 1
        r["k"]
        b["k"] = 2
        assert Provider.origin["k"] is b and r["k"] == 2 and r.dependingOn == {a, b}

    def test_diamond(self, debugLog, caplog):
        A, B, C, D = (makeProvider(k) for k in "abcd")
        d = D(CONFIG)
        d["d"] = 0
        b, c = B(CONFIG), C(CONFIG)
        b["d"], c["d"]
        b["b"], c["c"] = 1, 2
        a = A(CONFIG)
        a["b"], a["c"]
        a.recompute()
        assert support.calls[0] == ("d", "compute") and D.computed == 1
        assert sorted(support.calls[1:3]) == [("b", "compute"), ("c", "compute")]
        assert support.calls[3:] == [("a", "compute")]
        support.calls.clear()
        d["d"] = 5  # d has computed, so its write moves its generation
        caplog.clear()
        a.recompute()
        assert sorted(support.calls) == [("a", "compute"), ("b", "compute"), ("c", "compute")]
        assert D.computed == 1
        assert sum(line.endswith("depending on thisProvider.key='d'") for line in debugLog()) == 2

    def test_failed_compute_is_tried_again(self):
        attempts = []

        def compute(self):
            self["out"] = len(attempts)
            attempts.append(1)
            if len(attempts) == 2:
                raise RuntimeError("broken")

        w = makeProvider("w")(CONFIG)
        w["in"] = 0
        p = makeProvider("p", compute=compute)(CONFIG)
        p["in"]
        p.recompute()
        w["in"] = 1
        before = p.lastGeneration
        with pytest.raises(RuntimeError, match="broken"):
            p.recompute()
        assert p.lastGeneration == before and Provider.values["out"] == 1  # the write stays
        p.recompute()
        assert len(attempts) == 3 and p.lastGeneration == Provider.generation

    def test_dependency_cycle_is_reported(self):
        a, b, c = makeProvider("a")(CONFIG), makeProvider("b")(CONFIG), makeProvider("c")(CONFIG)
        a["x"], b["y"], c["z"] = 1, 2, 3
        a["y"], b["z"], c["x"]
        cycle = "dependency cycle between providers: 'a' -> 'b' -> 'c' -> 'a'"
        with pytest.raises(RuntimeError, match=cycle):
            a.recompute()
        lone = makeProvider("lone")(CONFIG)
        assert lone.recompute() == Provider.generation  # the failed walk left nothing behind

    def test_base_operations(self):
        p = Provider(CONFIG, providerManager=object(), userConfigParm={})
        assert p.handleEvent(None, "e", {}) is False and p.updateUI(None) is False
        assert p.createTab(extra=1) == [] and p.createTab() is not p.createTab()
        assert not hasattr(p, "providerManager") and Provider.working == "Computing"


# ---------------------------------------------------------------------------------------
# Progress reporting

class FakeMain:
    def __init__(self, x, y):
        self.location = (x, y)

    def CurrentLocation(self, more_accurate=False):
        return self.location


@pytest.fixture
def meter(monkeypatch):
    import progress
    draw, close = Recorder(True), Recorder()
    monkeypatch.setattr(progress, "OneLineProgressMeter", draw)
    monkeypatch.setattr(sg, "OneLineProgressMeterCancel", close)
    monkeypatch.setattr(ProviderManager, "MainWindow", FakeMain(10, 20), raising=False)
    clock = [1000.0]
    monkeypatch.setattr("time.time", lambda: clock[0])
    return draw, close, clock


class TestProgress:
    def test_totals_offsets_and_periods(self, meter):
        draw, close, clock = meter
        worker = makeProvider("w")(CONFIG)
        with pytest.raises(AttributeError):
            worker.update(1)  # the progress state comes with start
        worker.working = "Loading"
        with worker.start(0) as bound:
            assert bound is None and draw.calls == []
            assert worker.update(None, maxValue=40) is True and draw.calls == []
            assert worker.update(None, addValue=3) is True and worker.update(None, addValue=4) is True
            assert worker.update(5) is True  # the first count after start draws at once
            clock[0] += 0.5
            assert worker.update(6) is True  # not later than the period: no redraw
            clock[0] += 0.01
            worker.update(8)
        drawn = {"title": "Loading", "max_value": 40, "location": (310, 320), "keep_on_top": True}
        assert [c[1] for c in draw.calls] == [dict(drawn, current_value=12), dict(drawn, current_value=15)]
        assert close.calls == [((), {})]

    def test_cancel_holds_until_the_next_start(self, meter):
        draw, close, clock = meter
        worker = makeProvider("w")(CONFIG)
        with worker.start(10):
            draw.answer = False
            clock[0] += 1
            assert worker.update(2) is False
            draw.answer = True
            clock[0] += 1
            assert worker.update(3) is False and worker.update(None, addValue=1) is False
            assert len(draw.calls) == 2  # the start's draw and the one that saw the cancel
        with pytest.raises(ValueError), worker.start(10):
            assert worker.update(1) is True
            raise ValueError("stop")
        assert len(close.calls) == 2  # the meter closes however the scope is left


# ---------------------------------------------------------------------------------------
# Tab providers

def makeTab(key, answer=False):
    def updateUI(self, window):
        support.calls.append((self.key, "updateUI", window))
        return answer
    cls = makeProvider(key, base=TabProvider)
    cls.updateUI = updateUI
    cls.title = key.upper()
    return cls


class TestTabProvider:
    def test_create_tab(self):
        tab = makeTab("one")(CONFIG)
        tab.layout = [[sg.Text("x")]]
        Provider.generation = 7
        rows = tab.createTab(anything=1)
        assert len(rows) == 1 and len(rows[0]) == 1 and tab.uiGeneration == 7
        element = rows[0][0]
        assert isinstance(element, sg.Tab) and element.Key == "one" and element.Title == "ONE"
        assert element.expand_x is True and TabProvider.layout == []

    def test_lazy_refresh(self):
        tab = makeTab("one")(CONFIG)
        window = object()
        tab.createTab()
        assert tab.handleEvent(window, "mainTab", {"mainTab": "one"}) is False  # computes, nothing moved
        assert support.calls == [("one", "compute")]
        tab["k"] = 1  # a write after computing: the tab is behind
        assert tab.handleEvent(window, "other", {"mainTab": "one"}) is False
        assert tab.handleEvent(window, "mainTab", {"mainTab": "two"}) is False
        assert support.calls == [("one", "compute")]
        assert tab.handleEvent(window, "mainTab", {"mainTab": "one"}) is False
        assert support.calls[-1] == ("one", "updateUI", window) and tab.uiGeneration == Provider.generation
        tab.handleEvent(window, "mainTab", {"mainTab": "one"})
        assert len(support.calls) == 2  # a second selection redraws nothing

    def test_update_ui_asking_for_a_new_window(self):
        tab = makeTab("one", answer=True)(CONFIG)
        tab.createTab()
        Provider.generation += 1  # a reconfiguration since the tab was made
        assert tab.handleEvent(object(), "mainTab", {"mainTab": "one"}) is True
        assert tab.uiGeneration == 0


# ---------------------------------------------------------------------------------------
# Manager: construction and reconfiguration

@pytest.fixture
def pathModule(tmp_path, monkeypatch):
    """An ordinary Python module on the search path holding a provider."""
    (tmp_path / "plainproviders.py").write_text(
        "import provider_support\n"
        "class Plain(provider_support.Loaded):\n"
        "    key = 'plain'\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "plainproviders", raising=False)


class TestManager:
    def test_construction_order_and_one_data_source(self, sources, pathModule, debugLog):
        config, user = managerConfig(), Dict({"gui": {}})
        names = ["provider_support.Loaded", "plainproviders.Plain", "provider_support.Loaded"]
        manager = ProviderManager(names, config, "Title", (640, 480), icon="velmora.ico", userConfig=user)
        made = (manager.title, manager.size, manager.icon, manager.config, manager.userConfig, manager.window)
        assert made == ("Title", (640, 480), "velmora.ico", config, user, None)
        providers = manager.providerList
        assert [type(p).__name__ for p in providers] == ["Loaded", "Plain", "Loaded"]
        # each provider is reconfigured right after its own construction
        assert [(c[0], c[1]) for c in support.calls] == [(p, what) for p in providers
                                                         for what in ("construct", "reconfigure")]
        source = providers[0].dataSource
        assert all(p.dataSource is source and p.manager is manager for p in providers)
        assert all(p.userConfig is user for p in providers)
        assert all(c[2] is config for c in support.calls if c[1] == "reconfigure")
        assert (source.fileName, source.config, source.rawProvider.apiKey) == ("cache.pkl", config, "KEY")
        assert isinstance(source.rawProvider, RawSource)
        assert [line for line in debugLog() if line.startswith("Loading")] == ["Loading " + n for n in names]
        assert all(p.lastGeneration == -1 for p in providers)  # nothing recomputed

    def test_empty_list_still_builds_the_source(self, sources):
        manager = ProviderManager([], managerConfig(), "T", (1, 1))
        assert manager.providerList == [] and len(RawSource.made) == 1

    def test_refusals(self, sources):
        with pytest.raises(TypeError, match="title"):
            ProviderManager([], managerConfig(), None, (1, 1))
        with pytest.raises(ValueError, match="not enough values to unpack"):
            ProviderManager(["nodots"], managerConfig(), "T", (1, 1))
        with pytest.raises(ImportError):
            ProviderManager(["no_such_module_here.P"], managerConfig(), "T", (1, 1))
        with pytest.raises(KeyError, match="names no class"):
            ProviderManager(["provider_support.Missing"], managerConfig(), "T", (1, 1))
        # Only a provider class is called: a function of a loaded module is refused, not run.
        for name, refusal in [("os.system", "is not a class"), ("provider_support.RawSource", "expected kind"),
                              (None, "must be a text")]:
            with pytest.raises(TypeError, match=refusal):
                ProviderManager([name], managerConfig(), "T", (1, 1))

    @pytest.mark.parametrize("name", ["testsources.NotASource", "testsources.notAClass", "os.system",
                                      "provider.Provider", "unloaded.Source", None, 5])
    def test_only_a_raw_source_class_is_called(self, sources, tmp_path, monkeypatch, name):
        # a raw source in every respect, but in a module that importing would run
        (tmp_path / "unloaded.py").write_text(
            "import provider_support\n"
            "provider_support.calls.append('imported')\n"
            "from provider_support import RawSource as Source\n")
        monkeypatch.syspath_prepend(str(tmp_path))
        with pytest.raises((TypeError, ValueError), match="data.dataProvider"):
            ProviderManager(["provider_support.Loaded"], managerConfig(name), "T", (1, 1))
        assert NotASource.made == [] and support.calls == []  # nothing was called, no provider made

    def test_reconfigure(self, sources):
        loaded = ["provider_support.Loaded", "provider_support.Loaded"]
        manager = ProviderManager(loaded, managerConfig(), "T", (1, 1))
        a, b = manager.providerList
        first = a.dataSource
        support.calls.clear()
        config = managerConfig()
        manager.reconfigure(config)
        assert manager.config is config and Provider.generation == 1
        reconfigured = [(c[0], c[1]) for c in support.calls if c[1] != "recompute"]
        assert reconfigured == [(a, "reconfigure"), (b, "reconfigure")]
        assert [(c[0], c[1]) for c in support.calls[2:4]] == [(a, "recompute"), (b, "recompute")]
        assert a.dataSource is b.dataSource and a.dataSource is not first and len(RawSource.made) == 2
        support.calls.clear()
        foreign = managerConfig("testsources.NotASource")
        with pytest.raises(TypeError, match="data.dataProvider"):
            manager.reconfigure(foreign)
        assert manager.config is foreign and Provider.generation == 2
        assert support.calls == [] and NotASource.made == []

    def test_linked_provider_module(self, sources, monkeypatch):
        import fields
        for name in ("config", "userConfig", "manager"):
            monkeypatch.setattr(fields, name, getattr(fields, name))
        manager = ProviderManager(["fields.FieldProvider"], managerConfig(), "T", (1, 1), userConfig=Dict())
        assert isinstance(manager.providerList[0], fields.FieldProvider) and fields.manager is manager

    def test_real_cached_source(self, tmp_path):
        import pdatasource
        import yahoods2
        config = managerConfig("yahoods2.YahooDataSource")
        config.data.cacheName = str(tmp_path / "missing.pkl")
        manager = ProviderManager(["provider_support.Loaded"], config, "T", (1, 1))
        source = manager.providerList[0].dataSource
        assert isinstance(source, pdatasource.CachedDataSource)
        assert isinstance(source.rawProvider, yahoods2.YahooDataSource)


# ---------------------------------------------------------------------------------------
# Popup placement and the file dialog

class TestPopups:
    @pytest.mark.parametrize("at,expected",
                             [((0, 0), (300, 300)), ((100, 50), (400, 350)), ((-20, 10), (280, 310))])
    def test_popup_location(self, monkeypatch, at, expected):
        monkeypatch.setattr(ProviderManager, "MainWindow", FakeMain(*at), raising=False)
        assert ProviderManager.popupLocation() == expected

    def test_popup_location_needs_a_window(self, monkeypatch):
        monkeypatch.delattr(ProviderManager, "MainWindow", raising=False)
        with pytest.raises(AttributeError):
            ProviderManager.popupLocation()
        with pytest.raises(AttributeError):
            provider.GetFileName("t", "json")

    def test_get_file_name(self, monkeypatch):
        dialog = Recorder("/tmp/out.xlsx")
        monkeypatch.setattr(sg, "PopupGetFile", dialog)
        monkeypatch.setattr(ProviderManager, "MainWindow", FakeMain(100, 50), raising=False)
        assert provider.GetFileName("Save as", "xlsx", "report.xlsx", True) == "/tmp/out.xlsx"
        assert dialog.calls[-1] == (("Save as",), {
            "title": "Save as", "default_extension": ".xlsx", "save_as": True, "no_window": True,
            "initial_folder": os.getcwd(), "default_path": "report.xlsx",
            "file_types": (("xlsx File", "*.xlsx"),), "keep_on_top": True, "location": (400, 350)})
        # A relative proposal names its folder in full: the dialog would take it from the last one shown.
        provider.GetFileName("Save as", "stocks", "data/config/current.stocks", True)
        assert (dialog.calls[-1][1]["initial_folder"], dialog.calls[-1][1]["default_path"]) == (
            os.path.join(os.getcwd(), "data", "config"), "current.stocks")
        dialog.answer = ""
        assert provider.GetFileName("Open", "json") == ""
        assert dialog.calls[-1][1]["save_as"] is False and dialog.calls[-1][1]["default_path"] == ""


# ---------------------------------------------------------------------------------------
# Main window and event dispatch (real windows)

def answering(key, answers=None, fail=None):
    """A tab provider whose handleEvent records the call and answers per event."""
    def handleEvent(self, window, event, values):
        support.calls.append((self.key, event, window))
        if fail and event in fail:
            raise RuntimeError(f"{self.key} failed on {event}")
        return (answers or {}).get(event, False)

    def createTab(self, **kwargs):
        self.layout = [[sg.Text(f"tab {self.key}", key=f"text-{self.key}")]]
        return TabProvider.createTab(self)

    cls = makeTab(key)
    cls.handleEvent, cls.createTab = handleEvent, createTab
    return cls


def plainManager(providers, **gui):
    """A manager holding `providers`, made without the constructor."""
    config = managerConfig(**gui)
    userConfig = Dict({"gui": {"language": config.gui.language}})
    manager = support.bareManager(config, userConfig, [640, 480], "velmora.ico")  # the size as JSON gives it
    manager.providerList = [cls(manager.config) for cls in providers]
    return manager


@pytest.fixture
def windows(monkeypatch, openedWindows):
    """Tracks the windows the manager makes, and keeps the process locale and translation."""
    monkeypatch.chdir(ROOT)
    monkeypatch.setattr(builtins, "_", builtins._)
    saved = locale.setlocale(locale.LC_ALL)
    original = ProviderManager.createWindow

    def tracking(self):
        openedWindows.append(original(self))
        return openedWindows[-1]

    monkeypatch.setattr(ProviderManager, "createWindow", tracking)
    monkeypatch.setattr(ProviderManager, "MainWindow", None, raising=False)
    yield openedWindows
    locale.setlocale(locale.LC_ALL, saved)


class TestWindow:
    @pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")  # the meter's own clock
    def test_create_window(self, windows):
        import progress
        seen = []

        class Binder(answering("one")):
            def bind(self, window):
                seen.append((window, ProviderManager.MainWindow, window["text-one"].get()))

        manager = plainManager([Binder, answering("two"), makeProvider("plain")], position=[120, 80])
        manager.setTitle("data/config/current.stocks", "Tech")
        assert manager.window is None and manager.title == "Zeltra Velmora - data/config/current.stocks- Tech"
        progress.OneLineProgressMeter("left open", 1, 10)
        window = manager.createWindow()
        assert manager.window is window and ProviderManager.MainWindow is window
        assert seen == [(window, window, "tab one")]  # bind runs once the window exists
        assert "OK for 1 meter" not in progress.QuickMeter.active_meters
        assert window.TKroot.title() == manager.title and not zoomed(window)
        assert window.WindowIcon.width() == Image.open(ROOT / "velmora.ico").width  # X11 shows no .ico itself
        group = window["mainTab"]
        assert isinstance(group, sg.TabGroup) and [row[0].Key for row in group.Rows] == ["one", "two"]
        assert placed(window, (120, 80), (640, 480))
        assert all(p.uiGeneration == 0 for p in manager.providerList[:2])
        manager.setTitle("other.stocks", "Mine")
        assert window.TKroot.title() == "Zeltra Velmora - other.stocks- Mine"
        manager.setTitle("untitled.stocks")
        assert manager.title == "Zeltra Velmora - untitled.stocks- "

    def test_maximized_setting(self, windows):
        manager = plainManager([answering("one")], maximized=True)
        window = manager.createWindow()
        assert settle(window, lambda: window.size[0] > 1000) and zoomed(window)
        assert window.TKroot.attributes("-fullscreen") == 0

    def test_window_speaks_the_configured_language(self, windows, monkeypatch):
        dialog = Recorder("")
        monkeypatch.setattr(sg, "PopupGetFile", dialog)
        manager = plainManager([answering("one")], language="de_DE.UTF-8")
        manager.createWindow()
        assert locale.getlocale(locale.LC_NUMERIC) == ("de_DE", "UTF-8")
        provider.GetFileName("Konfiguration", "json")
        assert dialog.calls[-1][1]["file_types"] == (("json Datei", "*.json"),)

    def test_dispatch_without_recreation(self, windows):
        manager = plainManager([answering("one"), answering("two")])
        window = manager.createWindow()
        assert manager.handleEvent(window, "button", {"mainTab": "one"}) is window
        assert [c[:2] for c in support.calls] == [("one", "button"), ("two", "button")]
        assert len(windows) == 1

    def test_recreation_keeps_place_size_tab_and_title(self, windows, debugLog):
        manager = plainManager([answering("one", {"go": True}), answering("two")], position=[50, 40])
        old = manager.createWindow()
        manager.setTitle("a.stocks", "A")
        old.Move(150, 120)
        old.size = (700, 500)
        old["two"].select()
        assert placed(old, (150, 120), (700, 500))
        new = manager.handleEvent(old, "go", {"mainTab": old["mainTab"].get()})
        assert new is not old and new is manager.window is ProviderManager.MainWindow and len(windows) == 2
        # the later one still hears it
        assert [c[:2] for c in support.calls] == [("one", "go"), ("two", "go")]
        assert old.was_closed() and not new.was_closed()
        assert placed(new, (150, 120), (700, 500))
        assert new["mainTab"].get() == "two" and not zoomed(new)
        assert new.TKroot.title() == "Zeltra Velmora - a.stocks- A"
        assert "realPos=(150, 120) realSize=(700, 500) curPos=(150, 120) curSize=(700, 500)" in debugLog()

    def test_recreation_of_a_maximized_window(self, windows):
        manager = plainManager([answering("one", {"go": True})], position=[60, 70])
        old = manager.createWindow()
        settle(old, lambda: old.CurrentLocation(more_accurate=True) == (60, 70))
        old.TKroot.wm_attributes("-zoomed", True)
        assert settle(old, lambda: old.size[0] > 1000)
        new = manager.handleEvent(old, "go", {"mainTab": "one"})
        assert settle(new, lambda: zoomed(new) and new.size[0] > 1000)
        new.TKroot.wm_attributes("-zoomed", False)  # the normal place and size were kept under it
        assert placed(new, (60, 70), (640, 480))

    def test_help_opens_the_guide_and_nothing_else(self, windows, tmp_path, monkeypatch):
        record = tmp_path / "opened.txt"
        browser = tmp_path / "browser.sh"
        browser.write_text(f'#!/bin/sh\necho "$1" >> {record}\n')
        browser.chmod(0o755)
        monkeypatch.setenv("BROWSER", str(browser))
        monkeypatch.setattr(webbrowser, "_tryorder", None)
        monkeypatch.setattr(webbrowser, "_browsers", {})
        manager = plainManager([answering("one", {"HelpConfig": True})])
        window = manager.createWindow()
        for event in ("HelpSelection", "HelpRecommendation", "HelpConfig"):
            assert manager.handleEvent(window, event, {}) is window
        assert support.calls == [] and len(windows) == 1
        expected = os.path.join(os.getcwd(), "userguide/en/site/index.html")
        assert record.read_text().split() == [expected] * 3

    @pytest.mark.parametrize("fault", [RuntimeError, TypeError])
    def test_failing_provider_stops_an_ordinary_event(self, windows, caplog, fault):
        if fault is RuntimeError:
            first = answering("one", {"go": True}, fail={"go"})
        else:
            first = answering("one", {"go": None})
        manager = plainManager([first, answering("two")])
        window = manager.createWindow()
        assert manager.handleEvent(window, "go", {"mainTab": "one"}) is window
        assert [c[:2] for c in support.calls] == [("one", "go")] and len(windows) == 1
        assert [r.exc_info[0] for r in failures(caplog)] == [fault]

    @pytest.mark.parametrize("event", [sg.WIN_CLOSE_ATTEMPTED_EVENT, "UpdateSoftware"])
    def test_closing_reaches_every_provider(self, windows, caplog, event):
        manager = plainManager([answering("one", fail={event}), answering("two", fail={event}),
                                answering("three")])
        window = manager.createWindow()
        assert manager.handleEvent(window, event, {"mainTab": "one"}) is window
        assert [c[:2] for c in support.calls] == [("one", event), ("two", event), ("three", event)]
        logged = [str(r.exc_info[1]) for r in failures(caplog)]
        assert logged == [f"one failed on {event}", f"two failed on {event}"]
        assert all(r.exc_info[2] is not None for r in failures(caplog))

    def test_recreation_without_a_selected_tab(self, windows, caplog):
        manager = plainManager([answering("one", {"go": True})])
        old = manager.createWindow()
        new = manager.handleEvent(old, "go", {})
        assert new is manager.window and new is not old and old.was_closed() and not new.was_closed()
        assert [r.exc_info[0] for r in failures(caplog)] == [KeyError]

    def test_failed_recreation_keeps_a_working_window(self, windows, monkeypatch, caplog):
        popup = Recorder()
        monkeypatch.setattr(sg, "Popup", popup)

        class Switcher(answering("one")):
            failOnce = False

            def handleEvent(self, window, event, values):
                if event == "language":
                    self.config.gui.language = "xx_XX.UTF-8"  # as the language field writes it
                    self.userConfig.gui.language = "xx_XX.UTF-8"
                return True

            def createTab(self, **kwargs):
                if Switcher.failOnce:
                    Switcher.failOnce = False
                    raise RuntimeError("no tab this time")
                return super().createTab(**kwargs)

        manager = plainManager([Switcher, answering("two")])
        manager.providerList[0].userConfig = manager.userConfig
        old = manager.createWindow()
        new = manager.handleEvent(old, "language", {"mainTab": "two"})
        assert new is manager.window and new is not old and not new.was_closed() and old.was_closed()
        assert manager.config.gui.language == "en_US.UTF-8" == manager.userConfig.gui.language
        assert locale.getlocale(locale.LC_NUMERIC) == ("en_US", "UTF-8")
        assert settle(new, lambda: new["mainTab"].get() == "two")
        # The popup names the failure; only a new language is said to be put back.
        assert len(popup.calls) == 1 and popup.calls[0][1]["title"] == "Error"
        assert popup.calls[0][0] == ("The window could not be rebuilt with the new settings; the language stays "
                                     "as it was.\n\nunsupported locale setting",)
        Switcher.failOnce = True
        newer = manager.handleEvent(new, "other", {"mainTab": "two"})
        assert newer is manager.window and not newer.was_closed()
        assert popup.calls[1][0] == ("The window could not be rebuilt with the new settings:\n\nno tab this time",)
        rebuilds = [r for r in caplog.records if r.getMessage() == "The window could not be rebuilt"]
        assert [r.exc_info[0] for r in rebuilds] == [locale.Error, RuntimeError] and failures(caplog) == []

    def test_nested_recreation_hands_back_the_live_window(self, windows):
        class Outer(answering("one")):
            def handleEvent(self, window, event, values):
                support.calls.append((self.key, event, window))
                if event == "\r":
                    self.manager.handleEvent(window, "UpdateConfig", values)
                return False

        manager = plainManager([Outer, answering("two", {"UpdateConfig": True}), answering("three")])
        manager.providerList[0].manager = manager
        old = manager.createWindow()
        result = manager.handleEvent(old, "\r", {"mainTab": "one"})
        assert result is manager.window and result is not old and not result.was_closed()
        assert [c[:2] for c in support.calls] == [
            ("one", "\r"), ("one", "UpdateConfig"), ("two", "UpdateConfig"), ("three", "UpdateConfig"),
            ("two", "\r"), ("three", "\r")]
        assert support.calls[-1][2] is result  # providers after the nested re-creation get the live window
