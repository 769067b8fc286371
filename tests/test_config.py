"""The settings tab in a real window: rows, options, storage in both trees, reconfiguration, language."""

import tkinter.font
import webbrowser

import pytest
from addict import Dict

import config as configTab
from selection_support import byKey, defaults, popups, pump, startProgram, stub, workspace  # noqa: F401


@pytest.fixture
def program(workspace, stub, popups):
    config, userConfig = defaults(), Dict()
    manager, window = startProgram(config, userConfig)
    yield manager, window, config, userConfig
    manager.window.close()


def choose(manager, window, key, shown):
    window[key].update(value=shown)
    values = pump(window)
    return manager.handleEvent(window, key, values)


def type_(manager, window, key, text):
    window[key].update(text)
    values = pump(window)
    return manager.handleEvent(window, key, values)


def labels(window):
    tab = window["configuration"]
    return [
        [e.DisplayText if hasattr(e, "DisplayText") else getattr(e, "ButtonText", None) for e in row]
        for row in tab.Rows
    ]


def cutLabels(window):
    """The texts of the field rows' labels that their label cannot show whole."""
    cut = []
    for row in window["configuration"].Rows[1:13]:
        label = row[0].Widget
        room = label.winfo_reqwidth() - 2 * sum(int(str(label.cget(side))) for side in ("padx", "borderwidth"))
        if tkinter.font.Font(font=label.cget("font")).measure(label.cget("text")) > room:
            cut.append(label.cget("text"))
    return cut


def test_rows_and_options(program):
    manager, window, config, _ = program
    tab = byKey(manager, "configuration")
    assert isinstance(tab, configTab.ConfigProvider) and tab.title == "Configuration"
    assert len(tab.layout) == 15
    shown = labels(window)
    assert shown[0] == ["Configuration"] and shown[5][-1] == "Buy EOD Data Subscription"
    assert shown[13] == [""] and shown[14] == ["Help"]
    assert [row[0] for row in shown[1:13]] == [
        "Language",
        "Paper Size",
        "Title",
        "Data Provider",
        "API Key",
        "Local Currency",
        "Start Date",
        "Base Period",
        "Trading days per year",
        "Sigma Clip Low",
        "Sigma Clip High",
        "Fractional Pieces",
    ]
    assert cutLabels(window) == []
    currencies = window["localCurrency"].Values
    assert len(currencies) == 46 and currencies[:4] == ["", "USD", "EUR", "AED"]
    assert currencies.index("TWD") + 1 == currencies.index("TRY")
    assert window["localCurrency"].get() == "USD"
    # The drop-down list, opened, leaves every code whole beside its scrollbar.
    window["configuration"].select()
    box = window["localCurrency"].Widget
    box.update()
    box.tk.eval(f"ttk::combobox::Post {box}")
    listbox = box.tk.eval(f"ttk::combobox::PopdownWindow {box}") + ".f.l"
    box.update()
    room = int(box.tk.eval(f"winfo width {listbox}")) - 2 * sum(
        int(box.tk.eval(f"{listbox} cget -{side}")) for side in ("borderwidth", "highlightthickness"))
    listFont = tkinter.font.Font(font=box.tk.eval(f"{listbox} cget -font"))
    box.tk.eval(f"ttk::combobox::Unpost {box}")
    assert max(listFont.measure(code) for code in currencies) < room
    assert window["basePeriod"].Values == [
        "1 month",
        "3 months",
        "6 months",
        "1 year",
        "2 years",
        "5 years",
        "10 years",
    ]
    assert window["paperSize"].get() == "A4" and window["fractional"].Values == ["No", "Yes"]
    assert window["apiKey"].Tooltip == "API key (only needed for End of Day Historical Data)"


def test_settings_are_stored_and_the_marked_ones_reconfigure(program):
    manager, window, config, userConfig = program
    data = byKey(manager, "data")
    source = data.dataSource

    window = choose(manager, window, "paperSize", "Letter")
    window = choose(manager, window, "basePeriod", "2 years")
    window = type_(manager, window, "tradingDays", "250")
    window = type_(manager, window, "sigmaClipLow", "3.5")
    window = type_(manager, window, "titleField", "Plan")
    assert config.print.paperSize == userConfig.print.paperSize == (850, 1100)
    assert config.data.basePeriod == userConfig.data.basePeriod == 730
    assert config.allocation.tradingDaysPerYear == userConfig.allocation.tradingDaysPerYear == 250
    assert config.data.sigmaClipLow == userConfig.data.sigmaClipLow == 3.5
    assert config.title == userConfig.title == "Plan"
    assert data.dataSource is source  # none of these rebuilds the data source

    for key, shown, path, stored in [
        ("dataProvider", "End of Day Historical Data", "dataProvider", "eodds.EodDataSource"),
        ("localCurrency", "EUR", "localCurrency", "EUR.FOREX"),
    ]:
        window = choose(manager, window, key, shown)
        assert config.data[path] == userConfig.data[path] == stored
        assert data.dataSource is not source and type(data.dataSource.rawProvider).__name__ == "EodDataSource"
        source = data.dataSource
    window = type_(manager, window, "apiKey", "K" * 12)
    assert config.data.apiKey == "K" * 12 and data.dataSource is not source
    assert data.dataSource.rawProvider.apiKey == "K" * 12
    source = data.dataSource
    window = choose(manager, window, "fractional", "Yes")
    assert config.allocation.fractional == userConfig.allocation.fractional == "YES"
    assert data.dataSource is not source

    # Refused input is only coloured.
    window = type_(manager, window, "apiKey", "K" * 33)
    window = type_(manager, window, "tradingDays", "1001")
    window = type_(manager, window, "sigmaClipHigh", "1.5")
    assert config.data.apiKey == "K" * 12 and config.allocation.tradingDaysPerYear == 250
    assert (
        str(window["apiKey"].Widget.cget("fg")) == "red"
        and str(window["sigmaClipHigh"].Widget.cget("fg")) == "red"
    )


def test_subscription_page_and_title_events(program, monkeypatch):
    manager, window, config, userConfig = program
    opened = []
    monkeypatch.setattr(webbrowser, "open", opened.append)
    before = config.to_dict()
    tab = byKey(manager, "configuration")
    assert tab.handleEvent(window, "buySubscription", pump(window)) is False
    assert opened == [config.monetization.buySubscriptionUrl] and opened[0].startswith("https://")
    assert tab.handleEvent(window, "titleField", pump(window)) is False
    assert config.to_dict() == before and userConfig.to_dict() == {}


def test_language_rebuilds_the_window_in_german(program):
    manager, window, config, userConfig = program
    window = choose(manager, window, "language", "German")
    try:
        assert config.gui.language == userConfig.gui.language == "de_DE.UTF-8"
        assert window is manager.window and window["configuration"].Title == "Konfiguration"
        shown = labels(window)
        assert shown[1][0] == "Sprache" and shown[5][-1] == "EOD-Datenabo kaufen" and shown[14] == ["Hilfe"]
        assert cutLabels(window) == []
        assert window["language"].Values == ["Deutsch", "Englisch"] and window["fractional"].get() == "Nein"
        assert window["localCurrency"].Values[1:3] == ["USD", "EUR"]
        assert window["basePeriod"].get() == "1 Jahr"
        assert window["startDate"].Tooltip == "Startdatum für das Laden der Daten"
        assert window["selections"].Title == "Auswahl"
    finally:
        import gettext

        gettext.NullTranslations().install()
