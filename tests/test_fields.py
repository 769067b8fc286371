"""Fields bound to configuration paths, their event routing, and the class resolver."""
import datetime
import json
import locale
import logging
import os
import stat
import sys
from contextlib import contextmanager

import pytest
import PySimpleGUI as sg
from addict import Dict

from fields_support import (METHODS, focusOn, freshConfig, installTranslation, makeManager, press,
                            processLocale, pump, runLoop, savedUserConfig, textColour, typeText)

import fields  # noqa: E402  (after fields_support, which installs the translation first)
import provider  # noqa: E402


# ---------------------------------------------------------------------------------------
# The class resolver

class RawStub:
    """A class that satisfies the raw market-data source's contract."""

    def __init__(self, apiKey):
        self.apiKey = apiKey

    def get(self, *args):
        return None

    def queryStocks(self, *args):
        return None


def test_resolve_returns_the_named_class():
    import table
    assert fields.resolve("table.Table") is table.Table
    assert fields.resolve("table.Table", kind=sg.Table, setting="x.y") is table.Table
    assert fields.resolve(__name__ + ".RawStub", kind=lambda c: hasattr(c, "queryStocks")) is RawStub


def test_resolve_failures_of_the_name(monkeypatch):
    with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 2, got 1\)$"):
        fields.resolve("minvol")
    monkeypatch.delitem(sys.modules, "version", raising=False)
    with pytest.raises(KeyError) as refused:
        fields.resolve("version.NoSuchMethod", setting="allocation.method")
    assert refused.value.args == ("allocation.method: 'version.NoSuchMethod' names no class of its module",)
    assert "version" in sys.modules  # imported before the class was looked up


@pytest.mark.parametrize("name, error, text", [
    ("os.system", TypeError, "data.dataProvider: 'os.system' is not a class"),
    ("utils.dspStocks", TypeError, "data.dataProvider: 'utils.dspStocks' is not a class"),
    ("antigravity.fly", ValueError, "data.dataProvider: 'antigravity.fly' names no module of the program"),
    (5, TypeError, "data.dataProvider: a class name must be a text, not 5"),
    ("subprocess.Popen", TypeError,
     "data.dataProvider: 'subprocess.Popen' is not a class of the expected kind"),
])
def test_resolve_refuses_what_is_not_a_class_of_the_kind(name, error, text, monkeypatch):
    called = []
    monkeypatch.setattr("os.system", lambda *args: called.append(args))
    with pytest.raises(error) as refused:
        fields.resolve(name, kind=lambda c: hasattr(c, "queryStocks"), setting="data.dataProvider")
    assert str(refused.value) == text
    assert called == []
    assert "antigravity" not in sys.modules


def test_resolve_checks_base_classes():
    with pytest.raises(TypeError, match="'table.Table' is not a class of the expected kind"):
        fields.resolve("table.Table", kind=int, setting="allocation.method")
    with pytest.raises(TypeError) as refused:
        fields.resolve("sys.path")
    assert str(refused.value) == "'sys.path' is not a class"


# ---------------------------------------------------------------------------------------
# Framework operations on a stand-in window

class FakeElement:
    def __init__(self):
        self.updates = []

    def update(self, *args, **kwargs):
        self.updates.append((args, kwargs))


class FakeWindow:
    def __init__(self):
        self.elements = {}

    def __getitem__(self, key):
        return self.elements.setdefault(key, FakeElement())

    def find_element_with_focus(self):
        return None


class RecordingManager:
    def __init__(self):
        self.reconfigured = []
        self.events = []

    def reconfigure(self, config):
        self.reconfigured.append(config)

    def handleEvent(self, window, event, values):
        self.events.append(event)
        return window


@pytest.fixture(autouse=True)
def isolated(monkeypatch):
    """A registry of this test's own fields; a missing element raises instead of a blocking popup."""
    monkeypatch.setattr(fields, "handlers", {})
    toolkit = sys.modules["PySimpleGUI.PySimpleGUI"]
    monkeypatch.setattr(toolkit, "SUPPRESS_ERROR_POPUPS", True)
    monkeypatch.setattr(toolkit, "SUPPRESS_RAISE_KEY_ERRORS", False)
    monkeypatch.setattr(toolkit, "SUPPRESS_KEY_GUESSING", True)


@pytest.fixture
def state():
    config = Dict({"a": {"n": 3, "s": "x"}, "gui": {"language": "en_US.UTF-8"}})
    user = Dict()
    manager = RecordingManager()
    fieldProvider = fields.FieldProvider(config, providerManager=manager, userConfigParm=user, other=1)
    return config, user, manager, fieldProvider


def test_field_provider_sets_the_module_state(state):
    config, user, manager, fieldProvider = state
    assert fields.config is config and fields.userConfig is user and fields.manager is manager
    assert fieldProvider.key == "field" and fieldProvider.lastGeneration == -1
    assert isinstance(fieldProvider, provider.Provider)
    assert not isinstance(fieldProvider, provider.TabProvider)


def test_python_override_is_honoured_through_the_compiled_bases(state, monkeypatch):
    # FieldProvider is compiled in this module, its base Provider in the module provider; the
    # operations of both reach a Python subclass's own through self.
    config, user, manager, _ = state
    for name, value in (("values", {}), ("origin", {}), ("generation", 0)):
        monkeypatch.setattr(provider.Provider, name, value)
    seen = []

    class Publishing(fields.FieldProvider):
        def compute(self):
            seen.append("compute")
            self["published"] = fields.config.a.n

        def updateConfig(self, window, configObj):
            seen.append(("updateConfig", window, configObj))

    publisher = Publishing(config, providerManager=manager, userConfigParm=user)
    assert type(publisher).__mro__[1:3] == (fields.FieldProvider, provider.Provider)
    assert publisher.recompute() == 1 and provider.Provider.values["published"] == 3
    publisher.bind("window")
    assert seen == ["compute", ("updateConfig", "window", config)]


def test_construction_reads_the_configuration_and_registers(state):
    config, user, manager, fieldProvider = state
    field = fields.FieldClass("k1", "K", initialValue=7, configPath="a.n")
    assert field.initialValue == 3 and fields.handlers["k1"] is field and field.dependencies == []
    assert fields.FieldClass("k2", "K", initialValue=7).initialValue == 7
    with pytest.raises(KeyError):
        fields.FieldClass("k3", "K", dependingOn="noSuchMaster", dependencyRule={})
    later = fields.FieldClass("k1", "K", configPath="a.s")
    assert fields.FieldProvider.get("k1") == "x" and fields.handlers["k1"] is later
    fieldProvider.handleEvent(FakeWindow(), "k1", {"k1": "y"})
    assert config.a == {"n": 3, "s": "y"}
    with pytest.raises(KeyError):
        fields.FieldProvider.get("neverRegistered")


def test_unknown_events_pass_untouched(state):
    config, user, manager, fieldProvider = state
    fields.recreateNeeded = True
    assert fieldProvider.handleEvent(FakeWindow(), "mainTab", {"mainTab": "x"}) is False
    assert fieldProvider.handleEvent(FakeWindow(), "\r", {}) is False
    assert manager.events == [] and user == {}


def test_reconfigure_and_recreate_flags(state):
    config, user, manager, fieldProvider = state
    window = FakeWindow()
    fields.NumFieldClass("rc", "N", isInt=True, maxValue=99, configPath="a.n", reconfigureOnChange=True)
    fields.SelectionFieldClass("lang", "L", ["de_DE.UTF-8", "en_US.UTF-8"], configPath="gui.language",
                               recreateOnChange=True)
    for text in ("1", "12", "123"):
        try:
            fieldProvider.handleEvent(window, "rc", {"rc": text})
        except ValueError:
            pass
    assert manager.reconfigured == [config, config] and config.a.n == 12 and user.a.n == 12
    assert fieldProvider.handleEvent(window, "lang", {"lang": "de_DE.UTF-8"}) is True
    assert config.gui.language == "de_DE.UTF-8" and user.gui.language == "de_DE.UTF-8"
    assert fieldProvider.handleEvent(window, "other", {}) is False


def test_field_without_path_notifies_dependents(state):
    config, user, manager, fieldProvider = state
    window = FakeWindow()
    master = fields.FieldClass("m", "M", reconfigureOnChange=True)
    dependent = fields.FieldClass("d", "D", dependingOn="m", dependencyRule={"on": "forced"},
                                  configPath="a.s")
    master.set(window, "on")
    assert config.a.s == "forced" and user.a.s == "forced" and "m" not in config
    assert manager.reconfigured == [config]
    assert window["d"].updates == [(("forced",), {}), ((), {"disabled": True})]
    master.set(window, ["a", "list"])  # no rule can be keyed by a list: the dependent becomes editable
    assert window["d"].updates[-1] == ((), {"disabled": False})
    assert master.dependencies == [dependent]
    fields.FieldClass("plain", "P", recreateOnChange=True)
    assert fieldProvider.handleEvent(window, "plain", {"plain": 1}) is True
    fields.FieldProvider.updateConfig(window, config)
    assert "plain" not in window.elements and config.a == {"n": 3, "s": "forced"}


def test_separator_rule_depends_on_the_maximum(state):
    config, user, manager, fieldProvider = state
    window = FakeWindow()
    fields.NumFieldClass("small", "S", maxValue=999.99, configPath="a.small")
    fields.NumFieldClass("thousand", "T", maxValue=1000, configPath="a.thousand")
    fields.NumFieldClass("unbounded", "U", configPath="a.unbounded")
    fields.NumFieldClass("int", "I", maxValue=20, isInt=True, configPath="a.int")
    with processLocale("en_US.UTF-8"):
        for key in ("small", "thousand", "unbounded", "int"):
            fieldProvider.handleEvent(window, key, {key: "2,5" if key != "int" else "1,5"})
    assert user.a == {"small": 2.5, "thousand": 25.0, "unbounded": 25.0, "int": 15}
    assert window["small"].updates[0] == (("2.5",), {})  # the corrected text is shown
    for key in ("thousand", "unbounded", "int"):  # the typed text stays
        assert window[key].updates == [((), {"text_color": "black"})]


def test_selection_options(state):
    config, user, manager, fieldProvider = state
    window = FakeWindow()
    config.a.cur = "EUR.FOREX"
    currencies = {"USD.FOREX": "USD", "EUR.FOREX": "EUR"}
    field = fields.SelectionFieldClass("cur", "C", currencies, configPath="a.cur")
    assert field.dspOptions == ["USD", "EUR"] and field.initialValue == "EUR"
    same = fields.SelectionFieldClass("same", "S", {"a": "L", "b": "L"}, configPath="a.s")
    assert same.revMap == {"L": "b"} and same.initialValue == "x"
    values = {"same": "L"}
    assert same.validate(window, "same", values) and values["same"] == "b" and config.a.s == "b"
    empty = fields.SelectionFieldClass("empty", "E", {}, configPath="a.n")
    assert empty.dspOptions == [] and empty.revMap == {} and empty.initialValue == 3
    options = ["A4", "Letter"]
    plain = fields.SelectionFieldClass("paper", "P", options, compact=True)
    assert plain.dspOptions is options and plain.revMap is None and len(plain.create()) == 1
    assert fields.SelectionFieldClass("x1", "X").options is fields.SelectionFieldClass("x2", "X").options


def test_rows_of_the_selection_and_boolean_fields(state):
    config, user, manager, fieldProvider = state
    config.a.on = True
    compact = fields.BoolField("on1", "Fractional", compact=True, configPath="a.on")
    assert [type(e) for e in compact] == [sg.Checkbox]
    assert compact[0].Text == "Fractional" and compact[0].InitialState is True and compact[0].Key == "on1"
    labelled = fields.BoolField("on2", "Fractional", configPath="a.on")
    assert [type(e) for e in labelled] == [sg.Text, sg.Checkbox]
    assert labelled[0].DisplayText == "Fractional" and labelled[0].Size == (15, 1)
    assert labelled[1].Text == "" and labelled[1].InitialState is True
    currencies = {"USD.FOREX": "USD", "EUR.FOREX": "EUR"}
    selection = fields.SelectionField("cur", "Currency", currencies, configPath="a.s")
    assert [type(e) for e in selection] == [sg.Text, sg.Combo] and selection[0].DisplayText == "Currency"
    assert selection[1].Values == ["USD", "EUR"] and selection[1].DefaultValue == "x"


# ---------------------------------------------------------------------------------------
# A real main window with one field of each kind

@contextmanager
def openForm(config):
    installTranslation()
    saved = locale.setlocale(locale.LC_ALL)
    user = Dict()
    manager = makeManager(config, user)
    window = manager.createWindow()
    try:
        yield manager, window, config, user, manager.providerList[1]
    finally:
        manager.window.close()
        locale.setlocale(locale.LC_ALL, saved)


@pytest.fixture
def form(caplog):
    caplog.set_level(logging.ERROR)
    with openForm(freshConfig()) as opened:
        yield opened


def typeIn(manager, window, key, text):
    """Puts the text into the input and dispatches its event with the window's values."""
    window[key].update(text)
    values = pump(window)
    return manager.handleEvent(window, key, values), values


def failures(caplog):
    return [r for r in caplog.records
            if r.getMessage() == "Test" and r.exc_info and r.exc_info[0] is ValueError]


def test_bind_shows_the_configuration(form):
    manager, window, config, user, tab = form
    values = pump(window)
    assert values["capital"] == "20,000" and values["maxWeight"] == "12.50"
    assert values["startDate"] == "2020-01-02" and values["CutOffDate"] == "" and values["title"] == "Plan"
    assert values["currency"] == "EUR" and values["method"] == METHODS["minvol.MinVolatility"]
    assert values["bounds"] == "Narrow" and values["fractional"] is False
    assert user == {}  # no rule applied, nothing written
    today = datetime.date.today()
    assert window["setCutOffDate"].calendar_default_date_M_D_Y == (today.month, today.day, today.year)
    assert window["setstartDate"].calendar_default_date_M_D_Y == (1, 2, 2020)


def test_binding_the_window_applies_the_rules():
    config = freshConfig()
    config.allocation.method = "hrp.HRPOptimization"
    config.data.startDate = "2024-3-5"  # a stored date of the short form names the same day
    with openForm(config) as (manager, window, config, user, tab):
        assert pump(window)["startDate"] == config.data.startDate == "2024-03-05"
        assert user == {"allocation": {"fractional": True}, "data": {"startDate": "2024-03-05"}}
        assert pump(window)["fractional"] is True
        assert str(window["fractional"].Widget.cget("state")) == "disabled"


@pytest.mark.parametrize("key, text, path, stored", [
    ("startDate", "2024-03-05", "data.startDate", "2024-03-05"),
    ("title", "12345678", "gui.title", "12345678"),
    ("capital", "250,000", "allocation.capital", 250000),
    ("capital", "1000", "allocation.capital", 1000),
    ("capital", "1000000", "allocation.capital", 1000000),
    ("capital", "000000000001000", "allocation.capital", 1000),  # longer than the input is wide
    ("CutOffDate", "", "allocation.cutOffDate", ""),
    ("maxWeight", "0", "allocation.maxWeight", 0.0),
    ("maxWeight", "100", "allocation.maxWeight", 100.0),
])
def test_valid_input_is_stored_in_both_trees(form, key, text, path, stored):
    manager, window, config, user, tab = form
    assert typeIn(manager, window, key, text)[0] is window
    section, name = path.split(".")
    assert config[section][name] == stored and user[section][name] == stored
    assert type(user[section][name]) is type(stored)
    assert savedUserConfig(user) == {section: {name: stored}}
    assert textColour(window, key) == "black" and tab.events[-1][0] == key


@pytest.mark.parametrize("key, text", [
    ("startDate", "2023-02-30"), ("startDate", "2024-3-5"), ("startDate", "2016-06-3"), ("startDate", " 2024-03-05"), ("startDate", "05.03.2024"), ("startDate", ""),
    ("title", "123456789"), ("capital", "999"), ("capital", "1000001"), ("capital", "1.5"), ("capital", ""),
    ("maxWeight", "-0.01"), ("maxWeight", "100.01"), ("maxWeight", "nan"), ("maxWeight", "inf"),
    ("maxWeight", "-Infinity"), ("maxWeight", "1e999"), ("maxWeight", "abc"),
])
def test_invalid_input_turns_red_and_stores_nothing(form, caplog, key, text):
    manager, window, config, user, tab = form
    before = freshConfig()
    assert typeIn(manager, window, key, text)[0] is window
    assert textColour(window, key) == "red"
    assert config == before and user == {}
    assert len(failures(caplog)) == 1 and tab.events == []  # the event went no further
    assert failures(caplog)[0].exc_info[1].args == ()
    assert pump(window)[key] == text  # the rejected text stays
    typeIn(manager, window, "title", "Next")  # event handling goes on
    assert user == {"gui": {"title": "Next"}} and [e for e, v in tab.events] == ["title"]


def test_values_from_a_file_are_checked_as_typed_ones(form, tmp_path):
    manager, window, config, user, tab = form
    config.data.basePeriod = 365
    fields.SelectionFieldClass("period", "Period", {30: "1 month", 3652: "10 years"},
                               configPath="data.basePeriod")

    def refused(setting, value, defaults=None):
        tree = Dict()
        tree[setting] = value  # a dotted name as a member of its own, split below
        if "." in setting:
            section, name = setting.split(".")
            tree = Dict({section: {name: value}})
        found = fields.refusedSetting(tree, defaults)
        return found and found[0]

    os.mkfifo(tmp_path / "pipe")
    (tmp_path / "made.stocks").write_text("{}")
    taken = {"data": {"startDate": "2024-3-5", "basePeriod": 1095, "endDate": "", "cacheName": "new.pkl"},
             "gui": {"title": "12345678", "position": None, "size": [9, 9]}, "progress": {"progressPeriod": 0.1},
             "allocation": {"capital": 1000.0, "maxWeight": 0, "cutOffDate": "", "method": "hrp.HRPOptimization"},
             "print": {"paperSize": [100, 10000]}, "selectionName": str(tmp_path / "made.stocks")}
    assert fields.refusedSetting(Dict(taken)) is None
    # A meter redrawn at every step; a name made where a link leads, in a folder that exists.
    (tmp_path / "link.stocks").symlink_to(tmp_path / "made-later.stocks")
    (tmp_path / "lost.stocks").symlink_to(tmp_path / "nofolder" / "mine.stocks")
    assert fields.refusedSetting(Dict({"progress": {"progressPeriod": 0}, "selectionName": str(tmp_path / "link.stocks"),
                                       "data": {"cacheName": str(tmp_path / "new.cache")}})) is None
    assert fields.refusedSetting(Dict({"selectionName": str(tmp_path / "lost.stocks")}))[1] == (
        "The setting selectionName must be the name of a regular file, or of one not made yet in a folder that "
        f"exists, not '{tmp_path / 'lost.stocks'}'.")
    for setting, value in [("data.startDate", ""), ("data.startDate", "2023-02-30"), ("gui.title", "123456789"),
                           ("gui.title", 5), ("gui.title", "\ud800"), ("allocation.capital", 999),
                           ("allocation.capital", 1000.5), ("allocation.capital", True),
                           ("allocation.capital", 10**400), ("allocation.maxWeight", float("nan")),
                           ("allocation.maxWeight", "50"), ("allocation.cutOffDate", None),
                           ("allocation.method", "any.Thing"), ("data.currency", "CHF.FOREX"),
                           ("data.basePeriod", "abc"), ("data.basePeriod", 1e308), ("data.basePeriod", 0),
                           ("data.basePeriod", 3653), ("data.basePeriod", 365.0), ("data.endDate", "2020-02-30"),
                           ("progress.progressPeriod", "x"), ("progress.progressPeriod", -0.1),
                           ("progress.progressPeriod", 1e300), ("progress.progressPeriod", 10.5),
                           ("data.sigmaClipLow", 0), ("gui.size", [900.0, 700]), ("print.paperSize", [827]),
                           ("print.paperSize", [1e308, 1]), ("print.paperSize", [100000, 100000]),
                           ("data.cacheName", str(tmp_path)), ("data.cacheName", "/dev/zero"),
                           ("selectionName", str(tmp_path / "pipe")), ("selectionName", ""),
                           ("selectionName", str(tmp_path / "nofolder" / "mine.stocks")),
                           ("data.cacheName", str(tmp_path / "nowhere" / "prices.cache")),
                           ("allocation.capital", None)]:
        assert refused(setting, value) == setting, (setting, value)
    # What the defaults hold is taken, as the program runs with it wherever a file holds none; the same
    # value of another kind is not.
    assert not refused("data.startDate", "", Dict({"data": {"startDate": ""}}))
    assert refused("gui.size", [1200.0, 800.0], Dict({"gui": {"size": [1200, 800]}})) == "gui.size"
    assert refused("allocation.maxWeight", True, Dict({"allocation": {"maxWeight": 1.0}})) == "allocation.maxWeight"
    assert fields.refusedSetting(Dict({"allocation": {"method": "os.system"}}))[1] == (
        "The setting allocation.method must be one of 'Minimum volatility', 'Hierarchical risk parity', "
        "not 'os.system'.")
    assert fields.refusedSetting(Dict({"data": {"basePeriod": 1e308}}))[1] == (
        "The setting data.basePeriod must be a whole number of days from 1 to 3652, not 1e+308.")
    assert stat.S_ISFIFO(os.stat(tmp_path / "pipe").st_mode)
    # Against the shipped defaults: a value where they hold a section, or another kind of value, is refused by
    # name, as are a name and a text no UTF-8 file takes; a window without a position is not.
    with open("default.json") as file:
        shipped = Dict(json.load(file))
    for setting, value in [("data", None), ("print", "text"), ("gui", [1, 2]), ("logging", "x"), ("title", {"x": 1}),
                           ("data.apiKey", 5), ("stocks.plotLog", "yes"), ("updateInfo", None)]:
        assert refused(setting, value, shipped) == setting, (setting, value)
    assert not refused("gui.position", None, shipped)
    assert fields.refusedSetting(Dict({"allocation": {"\ud800": 1}}), shipped) == (
        "allocation.'\\ud800'", "The setting allocation.'\\ud800' has a name that is no Unicode text.")
    assert refused("updateInfo.url", "\udc80", shipped) == "updateInfo.url"
    assert fields.refusedSetting(Dict({"allocation": {"capital": 5}})) == (
        "allocation.capital", "The setting allocation.capital must be a whole number from 1000 to 1000000, not 5.")


def test_a_refusal_names_the_choices_as_the_form_shows_them_in_the_same_words_on_every_path(form):
    config = form[2]
    config.data.dataProvider, config.allocation.tradingDaysPerYear = "yahoods2.YahooDataSource", 252
    fields.SelectionFieldClass("source", "Source", {"eodds.EodDataSource": "End of Day Historical Data",
                                                    "yahoods2.YahooDataSource": "Yahoo Historical Data"},
                               configPath="data.dataProvider")
    assert fields.refusedSetting(Dict({"data": {"dataProvider": "os.system"}}))[1] == (
        "The setting data.dataProvider must be one of 'End of Day Historical Data', 'Yahoo Historical Data', "
        "not 'os.system'.")
    # The language is refused as the settings tab offers it, with or without the tab.
    assert fields.refusedSetting(Dict({"gui": {"language": "fr_FR.UTF-8"}}))[1] == (
        "The setting gui.language must be one of 'German', 'English', not 'fr_FR.UTF-8'.")
    assert fields.refusedSetting(Dict({"gui": {"language": "de_DE.UTF-8"}})) is None
    # What the code reading a setting needs is said alike whether a form of it exists yet or not.
    before = fields.refusedSetting(Dict({"allocation": {"tradingDaysPerYear": 0}}))
    fields.NumFieldClass("days", "Days", configPath="allocation.tradingDaysPerYear", minValue=1, maxValue=1000,
                         isInt=True)
    assert fields.refusedSetting(Dict({"allocation": {"tradingDaysPerYear": 0}})) == before == (
        "allocation.tradingDaysPerYear", "The setting allocation.tradingDaysPerYear must be a whole number above 0, "
        "not 0.")
    # A long value is quoted in part, where the refusal is made.
    refused = fields.refusedSetting(Dict({"data": {"endDate": "x" * 150000}}))[1]
    assert len(refused) < 1000 and refused.startswith("The setting data.endDate must be a date written")


def test_number_correction_and_locales(form):
    manager, window, config, user, tab = form
    typeIn(manager, window, "maxWeight", "2,5")
    assert pump(window)["maxWeight"] == "2.5" and user.allocation.maxWeight == 2.5
    assert tab.events[-1][1]["maxWeight"] == 2.5  # later providers see the number
    field = fields.handlers["capital"]
    assert field.formatValue(1234567) == "1,234,567"
    assert fields.handlers["maxWeight"].formatValue(1234567.891) == "1,234,567.89"
    with processLocale("de_DE.UTF-8"):
        typeIn(manager, window, "capital", "1.000.000")
        assert user.allocation.capital == 1000000
        typeIn(manager, window, "maxWeight", "3.5")
        assert pump(window)["maxWeight"] == "3,5" and user.allocation.maxWeight == 3.5
        assert field.formatValue(1234567) == "1.234.567"
        assert fields.handlers["maxWeight"].formatValue(1234567.891) == "1.234.567,89"
    with processLocale("C"):  # no thousands separator: nothing to correct
        typeIn(manager, window, "maxWeight", "4.5")
        assert pump(window)["maxWeight"] == "4.5" and user.allocation.maxWeight == 4.5
    typeIn(manager, window, "capital", "1,5")  # integer fields never correct: fifteen, too small
    assert textColour(window, "capital") == "red" and user.allocation.capital == 1000000


def test_input_widths(form):
    manager, window, config, user, tab = form
    keys = ("title", "capital", "startDate", "cacheName")
    widths = {key: int(window[key].Widget.cget("width")) for key in keys}
    assert widths == {"title": 8, "capital": 10, "startDate": 10, "cacheName": 64}


def test_disabled_number_field_is_grey(form):
    manager, window, config, user, tab = form
    typeIn(manager, window, "maxWeight", "x")
    field = fields.handlers["maxWeight"]
    field.disable(window, True)
    assert textColour(window, "maxWeight") == "grey"
    field.disable(window, False)
    assert textColour(window, "maxWeight") == "black"


def test_date_clear_button(form, caplog):
    manager, window, config, user, tab = form
    typeIn(manager, window, "CutOffDate", "2024-03-05")
    assert user.allocation.cutOffDate == "2024-03-05"
    assert window["setCutOffDate"].calendar_default_date_M_D_Y == (3, 5, 2024)
    typeIn(manager, window, "CutOffDate", "2024-13-01")
    assert textColour(window, "CutOffDate") == "red"
    manager.handleEvent(window, "clearCutOffDate", pump(window))
    assert pump(window)["CutOffDate"] == "" and textColour(window, "CutOffDate") == "black"
    assert config.allocation.cutOffDate == "" and user.allocation.cutOffDate == ""
    assert window["setCutOffDate"].calendar_default_date_M_D_Y == (3, 5, 2024)
    assert "setCutOffDate" not in fields.handlers
    assert fields.handlers["clearCutOffDate"] is fields.handlers["CutOffDate"]


def test_selection_and_boolean_fields(form):
    manager, window, config, user, tab = form
    window["currency"].update("USD")
    manager.handleEvent(window, "currency", pump(window))
    assert config.data.currency == "USD.FOREX" and user.data.currency == "USD.FOREX"
    window["bounds"].update("Unlimited")
    manager.handleEvent(window, "bounds", pump(window))
    assert savedUserConfig(user)["allocation"]["bounds"] == [0, 100]
    window["fractional"].update(True)
    manager.handleEvent(window, "fractional", pump(window))
    assert config.allocation.fractional is True and user.allocation.fractional is True
    window["fractional"].update(False)
    manager.handleEvent(window, "fractional", pump(window))
    assert savedUserConfig(user)["allocation"]["fractional"] is False


def test_master_rule_sets_stores_and_disables_the_dependent(form):
    manager, window, config, user, tab = form
    window["method"].update(METHODS["hrp.HRPOptimization"])
    manager.handleEvent(window, "method", pump(window))
    assert user.allocation == {"method": "hrp.HRPOptimization", "fractional": True}
    assert config.allocation.fractional is True and pump(window)["fractional"] is True
    assert str(window["fractional"].Widget.cget("state")) == "disabled"
    window["method"].update(METHODS["minvol.MinVolatility"])
    manager.handleEvent(window, "method", pump(window))
    assert str(window["fractional"].Widget.cget("state")) == "normal"
    assert pump(window)["fractional"] is True and user.allocation.fractional is True


def test_file_field_writes_only_a_chosen_name(form, monkeypatch):
    manager, window, config, user, tab = form
    answers = ["", "/tmp/prices.pkl"]
    asked = []
    monkeypatch.setattr(provider, "GetFileName", lambda *a, **k: asked.append((a, k)) or answers.pop(0))
    assert type(window["setcacheName"]) is sg.Button and window["setcacheName"].ButtonText == "Set"
    assert not window["cacheName"].ChangeSubmits  # typing raises no event, so it is never written
    window["cacheName"].update("typed.pkl")
    manager.handleEvent(window, "setcacheName", pump(window))
    assert user == {} and pump(window)["cacheName"] == "typed.pkl"
    manager.handleEvent(window, "setcacheName", pump(window))
    assert pump(window)["cacheName"] == "/tmp/prices.pkl"
    assert config.data.cacheName == "/tmp/prices.pkl" and user.data.cacheName == "/tmp/prices.pkl"
    assert asked[0] == (("Cache", "pkl"), {"default": None, "save": False})


def test_enter_as_a_character_raises_one_nested_update(form, caplog):
    """The Enter key as Windows reports it, as it is released, whatever has the focus."""
    manager, window, config, user, tab = form
    focusOn(window, "title")
    window["title"].Widget.event_generate("<KeyPress-Return>")
    manager.handleEvent(window, "\r", pump(window))
    assert [e for e, v in tab.events] == ["UpdateConfig", "\r"]
    tab.events.clear()
    # A release whose press reached another window (a file dialog confirmed with Enter) updates nothing,
    # and one press counts once.
    manager.handleEvent(window, "\r", pump(window))
    assert [e for e, v in tab.events] == ["\r"]
    tab.events.clear()
    focusOn(window, "other")
    manager.handleEvent(window, "\r", pump(window))
    window.TKroot.focus_force()
    window.refresh()
    assert window.find_element_with_focus() is None
    manager.handleEvent(window, "\r", pump(window))
    assert [e for e, v in tab.events] == ["\r", "\r"] and caplog.records == []


@pytest.mark.parametrize("enterKey", ["Return", "KP_Enter"])
@pytest.mark.parametrize("focus, nested",
                         [("title", 1), ("CutOffDate", 1), ("clearCutOffDate", 1), ("other", 0)])
def test_enter_key_pressed_in_the_running_window(form, caplog, enterKey, focus, nested):
    """A real Enter key, as X11 reports it: by its key name and key code."""
    manager, window, config, user, tab = form
    focusOn(window, focus)
    press(enterKey)
    runLoop(manager, window, until=lambda: any(str(e).startswith(enterKey + ":") for e, v in tab.events))
    # the keypad's Enter key is a keystroke of the input, too
    events = [e for e, v in tab.events if e != focus]
    assert events[:nested] == ["UpdateConfig"] * nested and events[nested].startswith(enterKey + ":")
    assert len(events) == nested + 1 and caplog.records == []


def test_keystrokes_in_the_running_window(form, caplog):
    """Real key presses: every keystroke is checked and written; Enter then has every provider recompute."""
    manager, window, config, user, tab = form
    focusOn(window, "capital")
    window["capital"].update("")
    typeText("5000")
    window = runLoop(manager, window, until=lambda: user.allocation.capital == 5000)
    # 5, 50 and 500 lie below the minimum; 5000 is written
    assert user.allocation.capital == 5000 and textColour(window, "capital") == "black"
    assert len(failures(caplog)) == 3
    press("Return")
    window = runLoop(manager, window, until=lambda: str(tab.events[-1][0]).startswith("Return:"))
    assert [e for e, v in tab.events][-2] == "UpdateConfig" and tab.events[-2][1]["capital"] == "5000"
    # The update took the edit: the number shows in the field's own format.
    assert pump(window)["capital"] == "5,000"
    # So does leaving the field; a refused text stays as typed.
    focusOn(window, "maxWeight")
    window["maxWeight"].update("")
    typeText("100")
    window = runLoop(manager, window, until=lambda: user.allocation.maxWeight == 100)
    typeIn(manager, window, "capital", "12x")
    focusOn(window, "title")
    assert pump(window)["maxWeight"] == "100.00" and pump(window)["capital"] == "12x"


def test_picked_date_is_checked_and_stored(form, monkeypatch):
    manager, window, config, user, tab = form
    asked = []
    toolkit = sys.modules["PySimpleGUI.PySimpleGUI"]
    monkeypatch.setattr(toolkit, "popup_get_date", lambda **kwargs: asked.append(kwargs) or (3, 5, 2024))
    window["setstartDate"].click()
    window = runLoop(manager, window, until=lambda: tab.events)
    assert config.data.startDate == "2024-03-05" and user.data.startDate == "2024-03-05"
    assert [e for e, v in tab.events] == ["startDate"]
    shown = (asked[0]["start_mon"], asked[0]["start_day"], asked[0]["start_year"], asked[0]["title"])
    assert shown == (1, 2, 2020, "Start")
    assert window["setstartDate"].calendar_default_date_M_D_Y == (3, 5, 2024)
