"""The recommendation tab's files: the user configuration, the PDF report and the Excel workbook."""
import json
import os
import re
import stat
import subprocess
import sys
import types
import zipfile
from pathlib import Path

import PySimpleGUI as sg
import pytest
from addict import Dict
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import fields
import provider
import recommendation
import recommendation_support as support
from fields_support import focusOn, pump
from recommendation_support import (Fixed, MarketData, allocationConfig, dispatch, errorPopups,  # noqa: F401
                                    isolated, makeManager, readWorkbook, window)

Provider = provider.Provider
RecommendationProvider = recommendation.RecommendationProvider


class Dialogs:
    """Stands in for the file dialog (answers given in turn) and records the error popups."""

    def __init__(self, monkeypatch):
        self.answers, self.asked, self.errors = [], [], []
        monkeypatch.setattr(provider, "GetFileName", self.getFileName)
        monkeypatch.setattr(sg, "Popup", support.errorPopupsInto(self.errors, sg.Popup))

    def getFileName(self, title, extension, default="", save=False):
        self.asked.append((extension, default, save))
        return self.answers.pop(0)


@pytest.fixture
def dialogs(monkeypatch):
    return Dialogs(monkeypatch)


def deepCopy(tree):
    return json.loads(json.dumps(tree))


# --- the user configuration file ------------------------------------------------------------

def test_closing_writes_the_user_configuration(window, dialogs, tmp_path, monkeypatch):
    import risk

    monkeypatch.setattr(risk, "translations", {"Weights", "Ärger", ""})
    configFile = tmp_path / "velmora.json"
    config = allocationConfig()
    config.configFile = str(configFile)
    user = Dict({"allocation": {"capital": 50000}, "title": "Müller Depot",
                 "translations": {"Alpha": "kept only as a key", "": ""}})
    manager, win = window(config, user)

    # A new file gets the permissions the umask gives.
    umask = os.umask(0o027)
    try:
        dispatch(manager, win, sg.WIN_CLOSE_ATTEMPTED_EVENT)
    finally:
        os.umask(umask)
    assert stat.S_IMODE(configFile.stat().st_mode) == 0o640
    # Written in UTF-8 as the start reads it, texts as they stand.
    text = configFile.read_text(encoding="utf-8")
    saved = json.loads(text)
    assert text == json.dumps(saved, indent=2, ensure_ascii=False) and "Ärger" in text and "configFile" not in text
    assert list(saved) == ["allocation", "title", "translations", "meta", "gui"]
    assert saved["title"] == "Müller Depot" and saved["allocation"] == {"capital": 50000}
    assert saved["translations"] == {"Alpha": "", "Weights": "", "Ärger": ""}
    assert list(saved["translations"]) == ["Alpha", "Weights", "Ärger"]
    meta = saved["meta"]
    assert list(meta) == ["createdWith", "version", "timestamp"]
    assert meta["createdWith"] == "Zeltra Velmora" and meta["version"] == recommendation_version()
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", meta["timestamp"])
    gui = saved["gui"]
    assert list(gui) == ["position", "size", "maximized"] and gui["maximized"] is False
    assert gui["size"] == list(win.size) and all(isinstance(n, int) for n in gui["position"] + gui["size"])
    # The running configuration keeps what only the defaults held there.
    assert config.gui.language == "en_US.UTF-8" and list(config.gui.size) == gui["size"]
    assert dialogs.errors == []

    # A maximised window is written with its normal geometry and stays maximised; installing
    # an update saves as closing does.
    normalSize = win.size
    win.TKroot.wm_attributes("-zoomed", True)
    sizes = []
    for _ in range(300):
        pump(win)
        sizes.append(win.size)
        if sizes[-1] != normalSize and sizes[-20:] == [sizes[-1]] * 20:
            break
    assert win.size != normalSize
    configFile.unlink()
    dispatch(manager, win, "UpdateSoftware")
    gui = json.loads(configFile.read_text())["gui"]
    assert gui["maximized"] is True and tuple(gui["size"]) == normalSize
    for _ in range(100):
        if win.TKroot.wm_attributes("-zoomed"):
            break
        pump(win)
    assert win.TKroot.wm_attributes("-zoomed")

    # A save that fails keeps the previous file whole, leaves nothing beside it and is shown.
    before = configFile.read_text()
    user.allocation.capital = {1, 2}  # no JSON value
    dispatch(manager, win, sg.WIN_CLOSE_ATTEMPTED_EVENT)
    assert configFile.read_text() == before and list(tmp_path.iterdir()) == [configFile]
    assert len(dialogs.errors) == 1 and dialogs.errors[0].startswith("The configuration could not be saved")
    # A replaced file keeps its permissions.
    configFile.chmod(0o604)
    user.allocation.capital = 40000
    dispatch(manager, win, sg.WIN_CLOSE_ATTEMPTED_EVENT)
    assert json.loads(configFile.read_text())["allocation"] == {"capital": 40000}
    assert stat.S_IMODE(configFile.stat().st_mode) == 0o604


def recommendation_version():
    import version
    return version.version


def writeDefaults(folder, **allocation):
    defaults = allocationConfig(**allocation)
    defaults.data = {"dataProvider": "yahoods2.YahooDataSource", "localCurrency": "USD.FOREX", "apiKey": "",
                     "cacheName": "data/cache/prices.cache"}
    defaults.gui.language = "en_US.UTF-8"
    defaults.update({"providers": ["fields.FieldProvider"], "logging": {"version": 1}, "title": "",
                     "stocks": {"plotLog": False},
                     "updateInfo": {"url": ""}, "selectionName": "data/config/current.stocks",
                     "monetization": {"buySubscriptionUrl": "https://eodhistoricaldata.com/pricing"}})
    (folder / "default.json").write_text(json.dumps(defaults, indent=2))
    # A working folder holds the folders of the files the defaults name, as the program's own does.
    for name in (defaults.selectionName, defaults.data["cacheName"]):
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
    return defaults


def test_save_and_load_config_round_trip(window, dialogs, tmp_path, monkeypatch, caplog):
    monkeypatch.chdir(tmp_path)
    defaults = writeDefaults(tmp_path, cutOffDate="")
    config = Dict(deepCopy(defaults))
    config.configFile = "data/velmora.json"
    user = Dict()
    manager, win = window(config, user)
    tab = manager.providerList[2]

    # Cancelled dialogs change nothing.
    dialogs.answers = ["", ""]
    snapshot = (deepCopy(config), deepCopy(user))
    assert dispatch(manager, win, "SaveConfig") is win
    assert dispatch(manager, win, "LoadConfig") is win
    assert (deepCopy(config), deepCopy(user)) == snapshot and tab["Recommendation"].empty
    assert dialogs.asked == [("json", "data/velmora.json", True), ("json", "data/velmora.json", False)]

    # Save Config under a new name: later saves and dialogs use it.
    user.allocation.capital = 30000
    dialogs.answers = [str(tmp_path / "mine.json")]
    dispatch(manager, win, "SaveConfig")
    assert config.configFile == str(tmp_path / "mine.json")
    assert json.loads((tmp_path / "mine.json").read_text())["allocation"] == {"capital": 30000}
    # A failed save is shown and logged with its cause, and keeps the file in use.
    dialogs.answers = [str(tmp_path / "missing" / "other.json")]
    dispatch(manager, win, "SaveConfig")
    assert len(dialogs.errors) == 1 and dialogs.errors[0].startswith("Error saving config file\n\n")
    assert "No such file or directory" in dialogs.errors[0] and "Save Config" in caplog.messages
    assert config.configFile == str(tmp_path / "mine.json")

    # Load Config: the loaded settings over the defaults, the data settings applied, a run. What names
    # code, a file or a network address keeps its running value; Letter stored in points reads as Letter.
    config.selectionName = "data/config/mine.stocks"
    (tmp_path / "loaded.json").write_text(json.dumps(
        {"allocation": {"capital": 25000},
         "data": {"localCurrency": "EUR.FOREX", "cacheName": str(tmp_path / "elsewhere.cache"),
                  "endDate": "2017-12-31"},
         "gui": {"size": [900, 700]}, "print": {"paperSize": [612, 792]}, "providers": ["about.AboutProvider"],
         "logging": {"version": 1, "root": {"level": "DEBUG"}}, "updateInfo": {"url": "http://example.org"},
         "selectionName": "/etc/passwd", "monetization": {"buySubscriptionUrl": "http://example.org"}}))
    dialogs.answers = [str(tmp_path / "loaded.json")]
    newWindow = dispatch(manager, win, "LoadConfig")
    try:
        loadedAndBroken(manager, win, newWindow, defaults, dialogs, tmp_path)
    finally:
        newWindow.close()
        manager.window.close()


def loadedAndBroken(manager, win, newWindow, defaults, dialogs, tmp_path):
    """The state after a load, and loads that fail."""
    config, user, tab = manager.config, manager.userConfig, manager.providerList[2]
    assert newWindow is not win
    loaded = json.loads((tmp_path / "loaded.json").read_text())
    loaded["print"]["paperSize"] = [850, 1100]
    assert user == loaded
    assert config.allocation.capital == 25000 and config.allocation.method == defaults.allocation.method
    assert config.data.localCurrency == "EUR.FOREX" and config.data.dataProvider == "yahoods2.YahooDataSource"
    assert config.providers == defaults.providers and config.logging == defaults.logging
    assert config.updateInfo == defaults.updateInfo and config.monetization == defaults.monetization
    assert config.data.cacheName == defaults.data["cacheName"]
    assert config.selectionName == "data/config/mine.stocks"
    assert config.print.paperSize == [850, 1100] and len(dialogs.errors) == 1
    assert "endDate" not in config.data
    assert config.configFile == str(tmp_path / "loaded.json") and "mine" not in json.dumps(user)
    assert manager.reconfigured == [config]
    assert not tab["Recommendation"].empty and tab["Recommendation"]["Value"].sum() <= 25000
    assert newWindow["Capital"].get().replace(",", "") == "25000"
    win = newWindow

    # The file saved on closing keeps its own values of the settings the load left running.
    dispatch(manager, win, sg.WIN_CLOSE_ATTEMPTED_EVENT)
    saved = json.loads((tmp_path / "loaded.json").read_text())
    assert saved["allocation"] == {"capital": 25000} and saved["print"] == {"paperSize": [850, 1100]}
    own = {key: value for key, value in loaded.items() if key != "gui"}  # the geometry is the window's
    assert {key: saved[key] for key in own} == own

    # A file that is no configuration, holds nothing loadable, a setting of another kind than the
    # defaults hold or a value that the form would refuse or the code reading it can't use, defaults
    # that can't be read, or settings that can't be applied change nothing at all: neither the trees,
    # nor the file in use, nor the file chosen; the user is told which setting.
    snapshot = (deepCopy(config), deepCopy(user))
    refused = {"broken.json": "{ not json", "list.json": "[1, 2]", "empty.json": {}, "data.json": {"data": "text"},
               "package.json": {"name": "app", "version": "1.0.0", "dependencies": {"left-pad": "1.3.0"}},
               "shape.json": {"allocation": 5}, "section.json": {"allocation": {"capital": 1}, "title": {"x": 1}},
               "capital.json": {"allocation": {"capital": "abc"}}, "flag.json": {"stocks": {"plotLog": 1}},
               "size.json": {"gui": {"size": "900x700"}}, "number.json": {"allocation": {"maxWeight": True}},
               "days.json": {"allocation": {"tradingDaysPerYear": 0}}, "paper.json": {"print": {"paperSize": [0, 0]}},
               "cutoff.json": {"allocation": {"cutOffDate": "garbage"}},
               "position.json": {"gui": {"position": ["a", "b"]}}, "low.json": {"allocation": {"capital": -5}},
               "weight.json": {"allocation": {"capital": 20000.0, "maxWeight": 1e6}},
               "method.json": {"allocation": {"method": "os.system"}},
               "sizes.json": {"gui": {"size": [1200.0, 800.0]}},
               "source.json": {"data": {"dataProvider": "eodds.EodDataSource"}},
               # A setting the load does not take, which the file in use would keep and the close write back.
               "period.json": {"allocation": {"capital": 20000}, "progress": {"progressPeriod": -1}},
               "huge.json": {"allocation": {"capital": 25000}, "padding": "x" * (2 << 20)},
               "long.json": {"allocation": "A" * 200000}}
    for name, content in refused.items():
        (tmp_path / name).write_text(content if isinstance(content, str) else json.dumps(content))
        dialogs.answers = [str(tmp_path / name)]
        assert dispatch(manager, win, "LoadConfig") is win
        assert (deepCopy(config), deepCopy(user)) == snapshot
    loadErrors = [error.split("\n\n")[-1] for error in dialogs.errors[1:]]
    assert len(loadErrors) == len(refused) and all(error.startswith("The configuration file could not be loaded:")
                                                   for error in dialogs.errors[1:])
    # A value where the data settings belong is refused by name, as the start refuses it, naming the file.
    assert loadErrors[2:5] == [str(tmp_path / "empty.json") + " holds none of the settings of a configuration file.",
                               str(tmp_path / "data.json") + ": The setting data must be a group of settings, not "
                               "'text'.",
                               str(tmp_path / "package.json") + " holds none of the settings of a configuration file."]
    messages = ["The setting allocation must be a group of settings, not 5.",
               "The setting title must be a text, not {'x': 1}.",
               "The setting allocation.capital must be a number, not 'abc'.",
               "The setting stocks.plotLog must be true or false, not 1.",
               "The setting gui.size must be two whole numbers, not '900x700'.",
               "The setting allocation.maxWeight must be a number, not True.",
               "The setting allocation.tradingDaysPerYear must be a whole number above 0, not 0.",
               "The setting print.paperSize must be two numbers from 100 to 10000 (hundredths of an inch), "
               "not [0, 0].",
               "The setting allocation.cutOffDate must be a date written year-month-day, or empty, not "
               "'garbage'.",
               "The setting gui.position must be two whole numbers, not ['a', 'b'].",
               "The setting allocation.capital must be a whole number from 100 to 1000000000, not -5.",
               "The setting allocation.maxWeight must be a number of at most 100, not 1000000.0.",
               # The methods as the form offers them.
               "The setting allocation.method must be one of 'Minimum Volatility', 'Maximum Sharpe', "
               "'Minimum Semivariance', 'Hierarchical Risk Parity', 'Minimum Volatility Differential Evolution', "
               "'Maximum Sharpe Differential Evolution', 'Risk Folio Efficient Frontier', "
               "'Risk Folio Hierarchical Risk Parity', not 'os.system'.",
               "The setting gui.size must be two whole numbers, not [1200.0, 800.0].",
               # No settings tab here, whose choice a data source would be.
               "The setting data.dataProvider must be one of the choices of the Configuration tab, not "
               "'eodds.EodDataSource'.",
               "The setting progress.progressPeriod must be a number from 0 to 10, not -1."]
    assert loadErrors[5:-2] == [str(tmp_path / name) + ": " + message
                                for name, message in zip(list(refused)[5:-2], messages)]
    assert loadErrors[-2] == str(tmp_path / "huge.json") + " is larger than 1048576 bytes"
    # A value of a few hundred thousand characters is quoted in part: a popup that large would end the program.
    assert loadErrors[-1].startswith(str(tmp_path / "long.json") + ": The setting allocation must be a group of "
                                     "settings, not 'AAA")
    assert len(dialogs.errors[len(refused)]) < 1000
    dispatch(manager, win, sg.WIN_CLOSE_ATTEMPTED_EVENT)
    assert all(json.loads((tmp_path / name).read_text()) == content
               for name, content in refused.items() if not isinstance(content, str))
    assert json.loads((tmp_path / "loaded.json").read_text())["allocation"] == {"capital": 25000}
    win = defaultsNeverWritten(manager, win, defaults, dialogs, tmp_path)
    snapshot = (deepCopy(config), deepCopy(user))
    (tmp_path / "other.json").write_text(json.dumps({"allocation": {"capital": 12345}}))

    def failing(config):
        raise ValueError("no data source for these settings")

    manager.reconfigure = failing
    dialogs.answers = [str(tmp_path / "other.json")]
    assert dispatch(manager, win, "LoadConfig") is win
    assert (deepCopy(config), deepCopy(user)) == snapshot
    assert dialogs.errors[-1].endswith("no data source for these settings")
    (tmp_path / "default.json").rename(tmp_path / "moved.json")
    dialogs.answers = [str(tmp_path / "other.json")]
    dispatch(manager, win, "LoadConfig")
    assert (deepCopy(config), deepCopy(user)) == snapshot and len(dialogs.errors) == len(refused) + 4


def defaultsNeverWritten(manager, win, defaults, dialogs, tmp_path):
    """The defaults loaded, and saves onto them and onto another file."""
    config, user = manager.config, manager.userConfig
    defaultsText = (tmp_path / "default.json").read_text()
    own = {key: user[key] for key in ("providers", "selectionName", "data")}
    # Loaded: the defaults' values taken, the file in use and its own settings kept; the close writes
    # the file in use, not the defaults, and the program starts with them again.
    dialogs.answers = ["default.json"]
    win = dispatch(manager, win, "LoadConfig")
    assert config.configFile == str(tmp_path / "loaded.json") and config.allocation.capital == 100000
    dispatch(manager, win, sg.WIN_CLOSE_ATTEMPTED_EVENT)
    assert (tmp_path / "default.json").read_text() == defaultsText
    saved = json.loads((tmp_path / "loaded.json").read_text())
    assert saved["allocation"] == defaults.allocation and {key: saved[key] for key in own} == {
        **own, "data": {**own["data"], "localCurrency": "USD.FOREX", "apiKey": "",
                        "dataProvider": "yahoods2.YahooDataSource"}}
    # Save Config onto the defaults is refused, naming the file; onto another file it keeps that file's own
    # settings, there and in the user configuration, once it is the file in use.
    (tmp_path / "linked.json").symlink_to(tmp_path / "default.json")
    dialogs.answers = [str(tmp_path / "linked.json")]
    dispatch(manager, win, "SaveConfig")
    assert (tmp_path / "default.json").read_text() == defaultsText
    assert dialogs.errors[-1].startswith("Error saving config file\n\n" + str(tmp_path / "linked.json"))
    (tmp_path / "c.json").write_text(json.dumps({"selectionName": "c.stocks", "allocation": {"capital": 5}}))
    dialogs.answers = [str(tmp_path / "c.json")]
    dispatch(manager, win, "SaveConfig")
    saved = json.loads((tmp_path / "c.json").read_text())
    assert saved["selectionName"] == "c.stocks" and saved["allocation"]["capital"] == 100000
    # What it holds none of it gets as a new file would: the running settings, never the loaded file's.
    assert user.selectionName == "c.stocks" and saved["providers"] == user.providers == defaults.providers
    assert config.configFile == str(tmp_path / "c.json")
    return win


def test_letter_paper_is_stored_in_hundredths_of_an_inch():
    import config as settings

    tab = settings.ConfigProvider(allocationConfig())
    tab.createTab()
    assert fields.handlers["paperSize"].revMap == {"A4": (827, 1169), "Letter": (850, 1100)}
    # Files that hold Letter in points, as stored before, are read as Letter.
    config, user = allocationConfig(), Dict({"print": {"paperSize": [612, 792]}})
    config.print.paperSize = [612, 792]
    MarketData(config)
    RecommendationProvider(config, userConfigParm=user)
    assert config.print.paperSize == user.print.paperSize == [850, 1100]


# --- the PDF report -----------------------------------------------------------------------------

def pdfPages(path):
    info = subprocess.run(["pdfinfo", "-f", "1", "-l", "99", str(path)], capture_output=True, text=True,
                          check=True).stdout
    sizes = [tuple(round(float(n) / 72, 2) for n in size)
             for size in re.findall(r"Page\s+\d+ size:\s+([\d.]+) x ([\d.]+)", info)]
    fields_ = dict(re.findall(r"^(\w+):\s+(.*)$", info, re.M))
    return sizes, fields_


def pdfText(path, page):
    return subprocess.run(["pdftotext", "-layout", "-f", str(page), "-l", str(page), str(path), "-"],
                          capture_output=True, text=True, check=True).stdout


class OwnPages(Fixed):
    """Draws its two charts at a size of its own and saves the first into the report itself, as the
    Riskfolio methods do."""

    def plotAnalysis(self, figsize=None, pdf=None):
        import matplotlib.pyplot as plt
        plt.close("all")
        plt.subplots(figsize=(9, 7))[1].plot([1, 2])
        if pdf is not None:
            pdf.savefig()
            plt.close()
        ax = plt.subplots(figsize=(9, 7))[1]
        ax.plot([2, 1])
        return ax, None


class FailingSecondChart(OwnPages):
    """Saves its first chart into the report and fails on its second."""

    def plotAnalysis(self, figsize=None, pdf=None):
        super().plotAnalysis(figsize=figsize, pdf=pdf)
        raise IndexError("index 5 is out of bounds for axis 0 with size 5")


class ChartWithoutStyle(OwnPages):
    """Saves its first chart into the report; its second needs a file that is not there."""

    def plotAnalysis(self, figsize=None, pdf=None):
        super().plotAnalysis(figsize=figsize, pdf=pdf)
        raise FileNotFoundError("no such style sheet: velmora.mplstyle")


def test_pdf_report(window, dialogs, tmp_path, caplog):
    config = allocationConfig()
    config.print.paperSize = [827, 1169]
    manager, win = window(config, Dict())
    tab = manager.providerList[2]

    # Before any run there are no weights: the report holds the two empty tables only.
    report = tmp_path / "results.pdf"
    report.write_text("older report")
    dialogs.answers = [str(report)]
    dispatch(manager, win, "SaveGraph")
    landscape, upright = (11.69, 8.27), (8.27, 11.69)
    assert pdfPages(report)[0] == [landscape, landscape] and list(tmp_path.iterdir()) == [report]
    assert dialogs.asked == [("pdf", "results.pdf", True)] and dialogs.errors == []

    dispatch(manager, win, "UpdateConfig")
    dialogs.answers = [str(report)]
    dispatch(manager, win, "SaveGraph")
    sizes, info = pdfPages(report)
    assert sizes == [landscape, upright, landscape, upright, upright]
    assert info["Title"] == "Stock Recommendation" and info["Subject"] == "Stocks"
    assert info["Keywords"] == "Stocks"
    assert info["Creator"] == "Zeltra Velmora " + recommendation_version() == info["Producer"]
    assert dialogs.errors == []
    # Numbers as the tab shows them: whole shares without decimals, money with two, grouped.
    allocation, table = tab["Recommendation"], pdfText(report, 1)
    assert table.split()[:6] == ["Symbol", "Security", "Name", "Weight", "Price", "Count"]
    for row in allocation.itertuples():
        assert re.search(rf"{row.Symbol}\s.*\s{row.Shares:,d}\s+{row.Value:,.2f}\n", table)
    assert not re.search(r"\d\.0\b", table)

    # Through a symbolic link the file it points to is written and the link stays.
    link = tmp_path / "link.pdf"
    link.symlink_to(report)
    report.write_text("older report")
    dialogs.answers = [str(link)]
    dispatch(manager, win, "SaveGraph")
    assert link.is_symlink() and report.read_bytes().startswith(b"%PDF")

    # Fractional shares with four decimals; a method without analysis charts leaves no blank page, and
    # one that draws at a size of its own is printed on the paper chosen.
    config.allocation.update(method="testmethods.Fixed", fractional="YES")
    Fixed.shares = {"Apple Inc": 16.3774584, "Walmart Inc": 2}
    dispatch(manager, win, "UpdateConfig")
    dialogs.answers = [str(report)]
    dispatch(manager, win, "SaveGraph")
    assert pdfPages(report)[0] == [landscape, upright, landscape, upright]
    assert "16.3775" in pdfText(report, 1) and "2.0000" in pdfText(report, 1)
    sys.modules["testmethods"].OwnPages = OwnPages
    config.allocation.method = "testmethods.OwnPages"
    dispatch(manager, win, "UpdateConfig")
    dialogs.answers = [str(report)]
    dispatch(manager, win, "SaveGraph")
    assert pdfPages(report)[0] == [landscape, upright, landscape, upright, upright, upright]
    # A chart that cannot be drawn is left out and logged: the report keeps every other page, the page the
    # method saved before it failed too.
    sys.modules["testmethods"].FailingSecondChart = FailingSecondChart
    config.allocation.method = "testmethods.FailingSecondChart"
    dispatch(manager, win, "UpdateConfig")
    dialogs.answers = [str(report)]
    caplog.clear()
    dispatch(manager, win, "SaveGraph")
    assert pdfPages(report)[0] == [landscape, upright, landscape, upright, upright] and dialogs.errors == []
    assert "The chart could not be drawn" in caplog.messages and "index 5 is out of bounds" in caplog.text
    # Told apart by where it arises, not by its kind: a chart missing a file is left out, a page that cannot
    # be written fails the report.
    sys.modules["testmethods"].ChartWithoutStyle = ChartWithoutStyle
    config.allocation.method = "testmethods.ChartWithoutStyle"
    dispatch(manager, win, "UpdateConfig")
    dialogs.answers = [str(report)]
    dispatch(manager, win, "SaveGraph")
    assert pdfPages(report)[0] == [landscape, upright, landscape, upright, upright] and dialogs.errors == []
    from matplotlib.backends.backend_pdf import PdfPages
    before, savefig, written = report.read_bytes(), PdfPages.savefig, []

    def diskGoneAtTheChartsPage(*args, **named):  # the tables and the weights written, then the method's chart
        written.append(1)
        if len(written) == 4:
            raise FileNotFoundError("the disk was taken away")
        return savefig(*args, **named)

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(PdfPages, "savefig", diskGoneAtTheChartsPage)
        dialogs.answers = [str(report)]
        dispatch(manager, win, "SaveGraph")
    assert report.read_bytes() == before and dialogs.errors[-1].startswith("The PDF report could not be written")
    dialogs.errors.clear()
    config.allocation.update(method="testmethods.MinVolatility", fractional="NO")
    dispatch(manager, win, "UpdateConfig")

    # Letter paper, no backtest: four pages of 8.5 by 11 inches.
    config.print.paperSize = [850, 1100]
    dispatch(manager, win, "clearCutOffDate")
    assert tab.futureValue is None
    dialogs.answers = [str(tmp_path / "letter.pdf"), ""]
    dispatch(manager, win, "SaveGraph")
    sizes, _ = pdfPages(tmp_path / "letter.pdf")
    assert sizes == [(11.0, 8.5), (8.5, 11.0), (11.0, 8.5), (8.5, 11.0)]
    # Cancelled: nothing written.
    dispatch(manager, win, "SaveGraph")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["letter.pdf", "link.pdf", "results.pdf"]

    # A run that fails under another method, from an event or from selecting the tab, leaves a report of the
    # two empty tables: no allocation of the method before.
    config.allocation.method = "testmethods.Failing"
    dispatch(manager, win, "UpdateConfig")
    manager.providerList[1].publish(tab["prices"], tab["stocks"])
    dispatch(manager, win, "mainTab", mainTab="recommendation")
    dialogs.answers = [str(report)]
    dispatch(manager, win, "SaveGraph")
    assert pdfPages(report)[0] == [(11.0, 8.5), (11.0, 8.5)] and len(dialogs.errors) == 2
    assert all(error.startswith("The recommendation could not be computed") for error in dialogs.errors)

    # A cut-off date after the last price is told, and the report holds the empty tables.
    config.allocation.method = "testmethods.MinVolatility"
    dispatch(manager, win, "CutOffDate", CutOffDate="2018-05-02")
    assert dialogs.errors[-1].startswith("The cut-off date 2018-05-02 lies outside the prices")
    dialogs.answers = [str(report)]
    dispatch(manager, win, "SaveGraph")
    assert pdfPages(report)[0] == [(11.0, 8.5), (11.0, 8.5)] and len(dialogs.errors) == 3

    # A failed report keeps the old file, leaves no partial one and is told.
    dispatch(manager, win, "clearCutOffDate")
    before = report.read_bytes()
    tab.printTable = lambda *args, **named: 1 / 0  # its tables cannot be printed
    dialogs.answers = [str(report)]
    dispatch(manager, win, "SaveGraph")
    del tab.printTable
    assert report.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["letter.pdf", "link.pdf", "results.pdf"]
    assert len(dialogs.errors) == 4 and dialogs.errors[-1].startswith("The PDF report could not be written")


def test_table_page_rounds_cells(tmp_path):
    import pandas as pd
    from matplotlib.backends.backend_pdf import PdfPages

    config = allocationConfig()
    config.print.paperSize = [827, 1169]
    data, tab = MarketData(config), RecommendationProvider(config, userConfigParm=Dict())
    drawn = []
    import matplotlib.axes

    original = matplotlib.axes.Axes.table

    def table(ax, **options):
        drawn.append(options)
        return original(ax, **options)

    matplotlib.axes.Axes.table = table
    try:
        with PdfPages(tmp_path / "t.pdf") as pdf:
            tab.printTable(pdf, pd.DataFrame({"Name": ["Sharpe", "Sum"], "Value": [12.3456, 100]}))
            tab.printTable(pdf, tab["Results"])
    finally:
        matplotlib.axes.Axes.table = original
    assert [list(row) for row in drawn[0]["cellText"]] == [["Sharpe", "12.35"], ["Sum", "100.00"]]
    assert list(drawn[0]["colLabels"]) == ["Name", "Value"]
    # A table without rows still prints its headings.
    assert list(drawn[1]["colLabels"]) == ["Name", "Value"]
    assert pdfPages(tmp_path / "t.pdf")[0] == [(11.69, 8.27)] * 2


# --- the Excel workbook -------------------------------------------------------------------------

def columnsOf(sheet):
    """(width, style) of every column, in order."""
    return [(width, style) for first, last, width, style in sheet["columns"] for _ in range(first, last + 1)]


def test_excel_workbook(window, dialogs, tmp_path):
    config = allocationConfig()
    config.data.apiKey = "private-key-1234"
    config.configFile = "data/config/velmora.json"
    config.empty = {}
    manager, win = window(config, Dict())
    tab = manager.providerList[2]

    # Before a run the tables hold only their headings.
    dialogs.answers = [str(tmp_path / "empty.xlsx")]
    dispatch(manager, win, "SaveExcel")
    sheets = readWorkbook(tmp_path / "empty.xlsx")
    headings = ["Symbol", "Security Name", "Weight", "Price", "Count", "Value"]
    assert sheets["Recommendation"]["rows"] == [headings]
    assert sheets["Results"]["rows"] == [["Name", "Value"]]

    dispatch(manager, win, "UpdateConfig")
    dialogs.answers = [str(tmp_path / "results.xlsx")]
    dispatch(manager, win, "SaveExcel")
    assert dialogs.asked[-1] == ("xlsx", "results.xlsx", True) and dialogs.errors == []
    sheets = readWorkbook(tmp_path / "results.xlsx")
    assert list(sheets) == ["Recommendation", "Results", "Stocks", "Prices", "Configuration"]
    assert all(sheet["pane"] == ("1", "1", "frozen") for sheet in sheets.values())

    allocation = tab["Recommendation"]
    rows = sheets["Recommendation"]["rows"]
    assert len(rows) == len(allocation) + 1
    assert rows[1][:2] == list(allocation.iloc[0][["Symbol", "Security Name"]])
    # Money and weights with two decimals and a digit before the point, whole shares without decimals,
    # and every column as wide as what it shows.
    number = ("#,##0.00", None)
    assert [style for _, style in columnsOf(sheets["Recommendation"])] == [
        (None, None), (None, None), number, number, ("#,##0", None), number]
    assert [style for _, style in columnsOf(sheets["Results"])] == [(None, None), ("#,##0.00", "right")]
    for sheet in ("Recommendation", "Results", "Stocks", "Configuration"):
        for row in sheets[sheet]["rows"]:
            assert all(width >= min(len(cell or ""), 64)
                       for (width, style), cell in zip(columnsOf(sheets[sheet]), row) if style[0] is None)
    assert sheets["Results"]["rows"][-1][0] == "Backtest Sharpe"
    assert sheets["Stocks"]["rows"][:2] == [["Symbol", "Security Name", "Currency"],
                                            ["AAPL.US", "Apple Inc", "USD"]]
    prices = tab["prices"]
    assert sheets["Prices"]["rows"][0] == ["Date"] + [c for c in prices.columns if c != "Date"]
    assert len(sheets["Prices"]["rows"]) == len(prices) + 1
    priceStyles = [style for _, style in columnsOf(sheets["Prices"])]
    assert priceStyles == [(None, None)] + [number] * (len(prices.columns) - 1)
    assert columnsOf(sheets["Prices"])[0][0] >= len("yyyy-mm-dd")
    # The dates show as dates: a number of days with the date format on the cell.
    assert float(sheets["Prices"]["rows"][1][0]) == pytest.approx(42006)

    configuration = {row[0]: (row[1] if len(row) > 1 else None)
                     for row in sheets["Configuration"]["rows"][1:]}
    assert sheets["Configuration"]["rows"][0] == ["Key", "Value"]
    assert configuration["allocation.method"] == "testmethods.MinVolatility"
    assert configuration["configFile"] == "data/config/velmora.json"
    assert configuration["meta.createdWith"] == "Zeltra Velmora" and "meta.timestamp" in configuration
    assert configuration["gui.size"] == "[1300, 900]" and "empty" not in configuration
    # The key's row is there, its value is not.
    assert "data.apiKey" in configuration and configuration["data.apiKey"] in (None, "")
    with zipfile.ZipFile(tmp_path / "results.xlsx") as book:
        assert all(b"private-key-1234" not in book.read(name) for name in book.namelist())

    # Prices that could not be fetched leave no result; the workbook is written all the same.
    manager.providerList[1].publish(prices.iloc[:, :0], tab["stocks"].iloc[:0])
    dispatch(manager, win, "UpdateConfig")
    dialogs.answers = [str(tmp_path / "none.xlsx")]
    dispatch(manager, win, "SaveExcel")
    sheets = readWorkbook(tmp_path / "none.xlsx")
    assert list(sheets) == ["Recommendation", "Results", "Stocks", "Prices", "Configuration"]
    assert sheets["Recommendation"]["rows"] == [headings] and len(sheets["Stocks"]["rows"]) == 1
    assert dialogs.errors == []

    # A failure leaves no file behind and is shown.
    tab.recommendationTableHeadings = ["Symbol"]
    dialogs.answers = [str(tmp_path / "failed.xlsx")]
    dispatch(manager, win, "SaveExcel")
    assert len(dialogs.errors) == 1 and dialogs.errors[0].startswith("The workbook could not be written")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty.xlsx", "none.xlsx", "results.xlsx"]


def test_to_record_flattens_depth_first():
    tree = Dict({"data": {"basePeriod": 365, "sigmaClipLow": 3}, "empty": {}, "providers": ["a.B"],
                 "gui": {"language": "de", "size": [1, 2], "inner": {"deep": None}}})
    assert list(RecommendationProvider.toRecord(tree)) == [
        ("data.basePeriod", 365), ("data.sigmaClipLow", 3), ("providers", ["a.B"]), ("gui.language", "de"),
        ("gui.size", [1, 2]), ("gui.inner.deep", None)]
    assert list(RecommendationProvider.toRecord(7, "x")) == [("x", 7)]


# --- as a new user: a recommendation, both exports, closing and starting again ---------------

from selection_support import defaults, loadMarket, popups, startProgram, stub, workspace  # noqa: E402,F401

FLOW_PROVIDERS = ["fields.FieldProvider", "current.CurrentProvider", "selection.SelectionProvider",
                  "dataprov.DataProvider", "config.ConfigProvider", "recommendation.RecommendationProvider"]


def test_exports_and_settings_survive_a_restart(stub, workspace, popups, monkeypatch):
    import velmora

    loadMarket(stub)
    answers = [str(workspace / "report.pdf"), str(workspace / "report.xlsx")]
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: answers.pop(0))
    config = defaults()
    config.allocation.update({"method": "minvol.MinVolatility", "cutOffDate": "2017-12-01"})
    config.configFile = "data/config/velmora.json"
    user = Dict()
    manager, win = startProgram(config, user, providers=FLOW_PROVIDERS)
    try:
        win = dispatch(manager, win, "searchButton", search="apple")
        win = dispatch(manager, win, "addStock", searchResults=[0, 1])
        win = dispatch(manager, win, "mainTab", mainTab="recommendation")
        win = dispatch(manager, win, "Capital", Capital="30000")
        win = dispatch(manager, win, "UpdateConfig")
        tab = manager.providerList[-1]
        assert 0 < tab["Recommendation"]["Value"].sum() <= 30000
        win = dispatch(manager, win, "SaveGraph")
        win = dispatch(manager, win, "SaveExcel")
        position, size = win.current_location(more_accurate=True), win.size
        symbols = set(manager.providerList[2]["stocks"]["Symbol"])
        win = dispatch(manager, win, sg.WIN_CLOSE_ATTEMPTED_EVENT)
    finally:
        win.close()
    assert popups.kinds() == []
    assert len(pdfPages(workspace / "report.pdf")[0]) == 5
    sheets = readWorkbook(workspace / "report.xlsx")
    assert len(sheets["Stocks"]["rows"]) == 3 and len(sheets["Recommendation"]["rows"]) > 1

    saved = json.loads((workspace / "data" / "config" / "velmora.json").read_text())
    assert saved["allocation"]["capital"] == 30000
    assert saved["gui"] == {"position": list(position), "size": list(size), "maximized": False}

    # Started again as the program starts: the saved settings over the defaults.
    monkeypatch.setattr(Provider, "values", {})
    monkeypatch.setattr(Provider, "origin", {})
    again = velmora.merge(Dict(saved), defaults())
    manager, win = startProgram(again, Dict(saved), providers=FLOW_PROVIDERS)
    try:
        assert win["Capital"].get().replace(",", "") == "30000" and again.allocation.capital == 30000
        assert win.size == size and tuple(win.current_location(more_accurate=True)) == tuple(position)
        assert set(manager.providerList[2]["stocks"]["Symbol"]) == symbols and len(symbols) == 2

        # The saved file loaded with another base period: the run right after the load estimates on
        # prices fetched for that period.
        tab = manager.providerList[-1]
        win = dispatch(manager, win, "mainTab", mainTab="recommendation")
        assert str(tab.prices.index[0].date()) >= "2017-03-31"
        (workspace / "default.json").write_text(json.dumps(defaults()))
        saved["data"] = {"basePeriod": 730}
        (workspace / "longer.json").write_text(json.dumps(saved))
        answers.append(str(workspace / "longer.json"))
        win = dispatch(manager, win, "LoadConfig", mainTab="recommendation")
        assert again.data.basePeriod == 730 and again.allocation.capital == 30000
        assert "2016-03-31" <= str(tab.prices.index[0].date()) < "2016-04-10"
        assert 0 < tab["Recommendation"]["Value"].sum() <= 30000
    finally:
        win.close()
    assert popups.kinds() == []


def test_the_data_source_chosen_on_the_settings_tab_travels_with_every_save(market_stub, workspace, popups,
                                                                            monkeypatch):
    import velmora

    answers = []
    monkeypatch.setattr(provider, "GetFileName", lambda *args, **kwargs: answers.pop(0))
    (workspace / "default.json").write_text(json.dumps(defaults()))
    user = Dict({"data": {"apiKey": "k"}, "selectionName": "data/config/mine.stocks"})
    config = velmora.merge(Dict(deepCopy(user)), defaults())
    config.configFile = "data/config/velmora.json"
    (workspace / "older.json").write_text(json.dumps({"data": {"cacheName": "data/cache/older.cache"}}))
    (workspace / "empty.json").write_text("{}")
    eod, yahoo = "End of Day Historical Data", "Yahoo Historical Data"
    manager, win = startProgram(config, user, providers=FLOW_PROVIDERS)
    try:
        # Saved over an existing file, and over an empty one after the language was switched.
        win = dispatch(manager, win, "dataProvider", dataProvider=eod)
        answers.append(str(workspace / "older.json"))
        win = dispatch(manager, win, "SaveConfig")
        win = dispatch(manager, win, "language", language="German")
        answers.append(str(workspace / "empty.json"))
        win = dispatch(manager, win, "SaveConfig")
        win = dispatch(manager, win, sg.WIN_CLOSE_ATTEMPTED_EVENT)
    finally:
        win.close()
    older = json.loads((workspace / "older.json").read_text())
    assert older["data"] == {"cacheName": "data/cache/older.cache", "apiKey": "k",
                             "dataProvider": "eodds.EodDataSource"}
    # What the file held none of is written as a new file would hold it: the running settings.
    assert older["selectionName"] == "data/config/mine.stocks" and "gui" in older
    empty = json.loads((workspace / "empty.json").read_text())
    assert empty["data"] == {"apiKey": "k", "dataProvider": "eodds.EodDataSource", "cacheName": config.data.cacheName}
    assert empty["selectionName"] == "data/config/mine.stocks" and empty["gui"]["language"] == "de_DE.UTF-8"

    # The next start on the file uses the source chosen; the form shows it. Another source chosen, then a
    # file loaded that names one: the tab shows the loaded one, and the close writes what it shows.
    monkeypatch.setattr(Provider, "values", {})
    monkeypatch.setattr(Provider, "origin", {})
    again = velmora.merge(Dict(deepCopy(older)), defaults())
    again.configFile = str(workspace / "older.json")
    manager, win = startProgram(again, Dict(older), providers=FLOW_PROVIDERS)
    data = next(each for each in manager.providerList if each.key == "data")
    try:
        assert type(data.dataSource.rawProvider).__name__ == "EodDataSource" and win["dataProvider"].get() == eod
        win = dispatch(manager, win, "dataProvider", dataProvider=yahoo)
        assert type(data.dataSource.rawProvider).__name__ == "YahooDataSource"
        answers.append(str(workspace / "empty.json"))
        win = dispatch(manager, win, "LoadConfig")
        assert again.data.dataProvider == "eodds.EodDataSource" and win["dataProvider"].get() == eod
        assert type(data.dataSource.rawProvider).__name__ == "EodDataSource"
        assert again.configFile == str(workspace / "empty.json")
        win = dispatch(manager, win, sg.WIN_CLOSE_ATTEMPTED_EVENT)
    finally:
        win.close()
    assert json.loads((workspace / "empty.json").read_text())["data"]["dataProvider"] == "eodds.EodDataSource"
    # The run after the load, with no stocks selected, is the one message.
    assert [message for kind, message, options in popups.shown] == [
        "You need to select at least 2 stocks to compute an allocation"]


# --- every path to the configuration files, as a property ----------------------------------------

class FilePaths:
    """The recommendation tab's paths to the configuration files without its window: Load Config, Save
    Config and the close-time save, on the trees the start makes of a user file."""

    def __init__(self, startFile, defaults):
        import velmora

        user = Dict(json.loads(startFile.read_text()))
        self.config = Dict(velmora.merge(deepCopy(user), deepCopy(defaults)))
        self.config.configFile = str(startFile)
        self.userConfig, self.providerManager, self.loading = user, None, False

    def __getattr__(self, name):
        return types.MethodType(getattr(RecommendationProvider, name), self)

    def close(self):
        self.save(self.config.configFile, None)


# A tab of its own in each file's provider list: the start runs only tabs it finds.
MARKED_TABS = {"start": "about.AboutProvider", "A": "config.ConfigProvider", "B": "current.CurrentProvider"}


def programSettings(folder, marker):
    """Settings a load does not take, each naming the file that holds them."""
    return {"logging": {"version": 1, "marker": marker}, "providers": ["fields.FieldProvider", MARKED_TABS[marker]],
            "updateInfo": {"url": f"http://{marker}.example"},
            "monetization": {"buySubscriptionUrl": f"http://{marker}.example/buy"},
            "data": {"cacheName": str(folder / f"{marker}.cache")},
            "selectionName": str(folder / f"{marker}.stocks")}


def namings(text, marker):
    """How often `text` names a setting of the file `marker` ("RUB.FOREX" names none of "B")."""
    return len(re.findall(rf"\b{re.escape(marker)}\.", text))


def withProgramSettings(loadable, folder, marker):
    """A file of `loadable` and the program settings of `marker`; a `data` that is no section stays."""
    own = programSettings(folder, marker)
    if isinstance(loadable.get("data", {}), dict):
        own["data"] = dict(loadable.get("data", {}), **own["data"])
    else:
        del own["data"]
    return dict(loadable, **own)


loadableSettings = st.fixed_dictionaries({}, optional={
    "allocation": st.fixed_dictionaries({}, optional={"capital": st.integers(100, 10**6)}),
    "data": st.one_of(st.fixed_dictionaries({}, optional={
        "apiKey": st.text("abc", max_size=4), "localCurrency": st.sampled_from(["EUR.FOREX", "USD.FOREX"]),
        "startDate": st.sampled_from(["", "2017-6-3", "2018-01-02"]),
        "dataProvider": st.sampled_from(["eodds.EodDataSource", "yahoods2.YahooDataSource"])}),
        st.sampled_from([None, "x", [1, 2]])),
    "title": st.text("xyz ", max_size=8),
    "gui": st.fixed_dictionaries({}, optional={"position": st.none() | st.lists(st.integers(0, 900), min_size=2,
                                                                                     max_size=2)}),
    "progress": st.fixed_dictionaries({"progressPeriod": st.sampled_from([0, 0.5, 10])})})

# Settings a load does not take, of values the start refuses, what it runs among them, and a data source the
# settings tab does not offer: a file holding one is refused on every path.
REFUSED = [
    {"data": {"endDate": True}}, {"data": {"endDate": {}}}, {"data": {"endDate": "x" * 1500}},
    {"progress": 2.5}, {"progress": "\ud800"}, {"progress": {"progressPeriod": -1}},
    {"progress": {"progressPeriod": ""}}, {"progress": {"progressPeriod": float("inf")}},
    {"selectionTitle": float("inf")}, {"selectionTitle": float("-inf")}, {"selectionTitle": "x" * 1500}]
# What the start runs, and the data source, which it resolves.
RUN_REFUSED = [
    {"logging": {"version": 2}}, {"logging": {"root": {"level": "NO-SUCH-LEVEL"}}},
    {"logging": {"root": {"handlers": ["nowhere"]}}}, {"logging": {"handlers": {"h": {"class": "os.system"}}}},
    {"logging": {"formatters": {"f": {"format": "%(x", "style": "%"}}}},
    {"providers": ["nosuch.Provider"]}, {"providers": ["os.system"]}, {"data": {"dataProvider": "eodds"}},
    {"data": {"dataProvider": "current.CurrentProvider"}}]
refusedSettings = st.sampled_from(REFUSED + RUN_REFUSED)


def withRefused(loadable, refused):
    """`loadable` with the refused setting of `refused` over it, when there is one."""
    if refused is None:
        return loadable
    tree = deepCopy(loadable)
    for key, value in refused.items():
        if isinstance(value, dict) and isinstance(tree.get(key), dict):
            tree[key] = dict(tree[key], **value)
        else:
            tree[key] = value
    return tree


fileSettings = st.tuples(loadableSettings, st.none() | refusedSettings)

NAMES = ["start", "A", "B", "empty", "new1", "new2"]
operations = st.lists(st.one_of(st.tuples(st.just("load"), st.sampled_from(NAMES)),
                                st.tuples(st.just("save"), st.sampled_from(NAMES)), st.just(("close", "")),
                                st.tuples(st.just("edit"), st.tuples(st.integers(0, 99), st.integers(0, 10**6)))),
                      max_size=8)


def registerForms(tab, monkeypatch):
    """The fields of the selection, settings and recommendation tabs, writing the trees of `tab` as in the
    window; answers the keys of those that write a setting of the configuration file (the selection's
    title is the selection file's)."""
    import config as settings
    import selection

    monkeypatch.setattr(fields, "config", tab.config)
    monkeypatch.setattr(fields, "userConfig", tab.userConfig)
    monkeypatch.setattr(fields, "manager", types.SimpleNamespace(reconfigure=lambda config: None))
    if "Capital" not in fields.handlers:
        Provider(tab.config)["initialStocks"] = support.stockTable()
        monkeypatch.setattr(selection, "selectionProvider", None, raising=False)
        selection.SelectionProvider(tab.config).createTab()
        settings.ConfigProvider(tab.config).createTab()
        MarketData(tab.config)
        RecommendationProvider(tab.config).createTab()
        del fields.handlers["selectionTitle"]
    return sorted(key for key, field in fields.handlers.items() if field.configPath)


def edited(field, seed):
    """A value the field takes, picked by `seed`, as the user would choose or type it."""
    if isinstance(field, fields.SelectionFieldClass):
        return list(field.options)[seed % len(field.options)]
    if isinstance(field, fields.NumFieldClass):
        low = field.minValue if field.minValue is not None else 0
        high = field.maxValue if field.maxValue is not None else 1000
        if field.isInt:
            return low + seed % (int(high - low) + 1)
        return round(low + (seed % 1001) / 1000 * (high - low), field.precision)
    if isinstance(field, fields.BoolFieldClass):
        return bool(seed % 2)
    if isinstance(field, fields.DateFieldClass):
        return ["2017-06-30", "2018-01-02", ""][seed % (3 if field.allowBlank else 2)]
    return "abc"[:seed % 4]


class NoWindow:
    """What the fields update of a window that is not there."""

    def __getitem__(self, key):
        return types.SimpleNamespace(update=lambda *args, **kwargs: None)


def settingAt(tree, path):
    for part in path.split("."):
        tree = tree[part]
    return tree


def shownSettings(config):
    """What the form fields show of `config`."""
    return {key: json.dumps(field.formatValue(settingAt(config, field.configPath)))
            for key, field in fields.handlers.items() if field.configPath}


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(files=st.tuples(loadableSettings, fileSettings, fileSettings), steps=operations)
def test_every_file_written_is_one_the_next_start_takes_and_holds_no_other_files_program_settings(
        dialogs, monkeypatch, files, steps):
    import tempfile

    import velmora

    with open("default.json", encoding="utf-8") as file:
        defaults = Dict(json.load(file))
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        paths = {name: folder / f"{name}.json" for name in NAMES}
        for name, (loadable, refused) in zip(["start", "A", "B"], [(files[0], None), *files[1:]]):
            paths[name].write_text(json.dumps(withRefused(withProgramSettings(loadable, folder, name), refused)))
        paths["empty"].write_text("{}")
        assume(fields.refusedSetting(Dict(json.loads(paths["start"].read_text())), defaults) is None)
        tab = FilePaths(paths["start"], defaults)
        formKeys = registerForms(tab, monkeypatch)
        # What the forms showed when each file was written last: the next start on it shows the same.
        written = {}
        errors = len(dialogs.errors)
        for kind, name in steps:
            if kind == "edit":
                field = fields.handlers[formKeys[name[0] % len(formKeys)]]
                field.set(NoWindow(), edited(field, name[1]))
            elif kind == "load":
                dialogs.answers = [str(paths[name])]
                tree = Dict(json.loads(paths[name].read_text())) if paths[name].exists() else {}
                try:
                    loaded = tab.loadConfig()
                except Exception:  # told to the user by the event dispatch; changes nothing
                    loaded = False
                # A file of settings a load takes is loaded exactly when the start takes it.
                if fields.loadedPart(tree):
                    assert loaded == (fields.refusedSetting(tree, defaults) is None), paths[name].read_text()
            elif kind == "save":
                dialogs.answers = [str(paths[name])]
                own = fields.loadedPart(tab.userConfig).get("data")
                before = paths[name].read_text() if paths[name].exists() else None
                tab.saveConfig(None)
                if len(dialogs.errors) > errors:  # a file holding what the next start refuses stays as it was
                    assert paths[name].read_text() == before and paths[name].stem in dialogs.errors.pop()
                    continue
                written[str(paths[name])] = shownSettings(tab.config)
                # The user's data settings are written whatever the target held.
                assert fields.loadedPart(Dict(json.loads(paths[name].read_text()))).get("data") == own
            else:
                tab.close()
                written[tab.config.configFile] = shownSettings(tab.config)
            # The running program settings are the start file's throughout.
            running = json.dumps({key: value for key, value in tab.config.items() if key != "configFile"})
            assert namings(running, "start") == 4 and namings(running, "A") == namings(running, "B") == 0
            assert MARKED_TABS["start"] in running and MARKED_TABS["A"] not in running
        assert dialogs.errors == []
        for fileName, shown in written.items():
            text = Path(fileName).read_text()
            saved = Dict(json.loads(text))
            assert fields.refusedSetting(saved, defaults) is None
            started = velmora.merge(deepCopy(saved), deepCopy(defaults))
            assert shownSettings(started) == shown, (fileName, text)
            own = Path(fileName).stem
            foreign = [name for name in NAMES if name not in (own, "start") and
                       (namings(text, name) or name in MARKED_TABS and MARKED_TABS[name] in text)]
            assert foreign == [], (fileName, text)
            if own.startswith("new") or own == "empty":  # a file written anew, or one that held none, holds what runs
                assert saved.providers[1] == MARKED_TABS["start"] and saved.logging.marker == "start"
            if own in ("A", "B") and isinstance(files["AB".index(own) + 1][0].get("data", {}), dict):
                assert saved.data.cacheName == str(folder / f"{own}.cache")


@pytest.mark.parametrize("refused", RUN_REFUSED, ids=lambda refused: json.dumps(refused)[:40])
def test_the_start_refuses_what_load_config_refuses_in_the_same_words(dialogs, tmp_path, monkeypatch, refused):
    import builtins
    import gettext

    from velmora_support import Workspace

    monkeypatch.setattr(builtins, "_", gettext.NullTranslations().gettext)  # the start's language

    tree = withRefused({"allocation": {"capital": 20000}}, refused)
    workspace = Workspace(tmp_path / "workspace")
    workspace.user = tree
    run = workspace.run()
    start, other = tmp_path / "start.json", tmp_path / "other.json"
    start.write_text(json.dumps({"title": "mine"}))
    other.write_text(json.dumps(tree))
    dialogs.answers = [str(other)]
    with open("default.json", encoding="utf-8") as file, pytest.raises(ValueError) as loadRefused:
        FilePaths(start, Dict(json.load(file))).loadConfig()
    assert run.returncode == 1
    said = run.stderr.strip().splitlines()[-1]
    assert said.split(": setting ", 1)[1].split(": ", 1)[1] == str(loadRefused.value).split(": ", 1)[1]


def test_the_file_in_use_is_written_in_the_order_of_its_settings(dialogs, tmp_path):
    with open("default.json", encoding="utf-8") as file:
        defaults = Dict(json.load(file))
    own = {"data": {"endDate": "", "apiKey": "k", "cacheName": str(tmp_path / "p.cache"), "startDate": ""},
           "providers": list(defaults.providers), "title": "t", "logging": dict(defaults.logging),
           "selectionName": str(tmp_path / "s.stocks"), "allocation": {"capital": 5000}}
    start = tmp_path / "start.json"
    start.write_text(json.dumps(own))
    tab = FilePaths(start, defaults)
    tab.close()
    saved = json.loads(start.read_text())
    assert list(saved) == list(own) + ["meta", "gui", "translations"] and list(saved["data"]) == list(own["data"])
    assert {key: saved[key] for key in own} == own
    # Loaded, the file keeps its order too; a setting the user changes stays where it stood.
    other = tmp_path / "other.json"
    other.write_text(json.dumps(dict(reversed(own.items()))))
    dialogs.answers = [str(other)]
    assert tab.loadConfig()
    tab.userConfig.title = "u"
    tab.close()
    saved = json.loads(other.read_text())
    assert list(saved)[:len(own)] == list(reversed(own)) and saved["title"] == "u"


# A text of another script is written as it stands, a long list without the indentation, a lone surrogate
# (which UTF-8 cannot hold) as an escape: the file stays one the start reads; a tree larger still is not
# written, and the file stays as it was.
@pytest.mark.parametrize("note", ["\u4e2d" * 300000, [0] * 300000, ["\ud800", ["x \udfff"]], "a" * ((1 << 20) - 40)],
                         ids=["text", "list", "surrogates", "too-large"])
def test_the_close_and_save_config_write_no_file_larger_than_the_start_reads(dialogs, tmp_path, monkeypatch, note):
    import builtins
    import gettext

    monkeypatch.setattr(builtins, "_", gettext.NullTranslations().gettext)
    with open("default.json", encoding="utf-8") as file:
        defaults = Dict(json.load(file))
    start = tmp_path / "start.json"
    document = {"title": "mine", "note": note}
    try:
        start.write_text(json.dumps(document, ensure_ascii=False, separators=(",", ":")), encoding="utf-8")
    except UnicodeEncodeError:
        start.write_text(json.dumps(document))
    before = start.read_bytes()
    assert len(before) <= 1 << 20
    tab = FilePaths(start, defaults)
    if isinstance(note, str) and note.startswith("a"):
        with pytest.raises(ValueError, match=f"^{re.escape(str(start))} would be larger than the 1048576 bytes"):
            tab.close()
        dialogs.answers = [str(start)]
        tab.saveConfig(None)
        assert "would be larger than" in dialogs.errors.pop() and start.read_bytes() == before
        return
    tab.close()
    assert start.stat().st_size <= 1 << 20 and json.loads(start.read_text(encoding="utf-8"))["note"] == note


def test_save_config_into_a_missing_folder_names_the_users_file_and_loads_dates_in_full(dialogs, tmp_path,
                                                                                          monkeypatch):
    with open("default.json", encoding="utf-8") as file:
        defaults = Dict(json.load(file))
    start = tmp_path / "start.json"
    start.write_text(json.dumps({"data": {"apiKey": "mine", "localCurrency": "EUR.FOREX"}}))
    tab = FilePaths(start, defaults)
    target = tmp_path / "nofolder" / "mine.json"
    dialogs.answers = [str(target)]
    tab.saveConfig(None)
    assert str(target) in dialogs.errors[-1] and ".velmora-" not in dialogs.errors[-1]
    assert tab.config.configFile == str(start) and not target.parent.exists()

    # Saved over a file whose data is no section, the user's data settings stay, in the file and the session.
    other = tmp_path / "other.json"
    other.write_text(json.dumps({"data": None, "providers": ["about.AboutProvider"]}))
    dialogs.answers = [str(other)]
    tab.saveConfig(None)
    saved = json.loads(other.read_text())
    assert saved["data"] == {"apiKey": "mine", "localCurrency": "EUR.FOREX"} and saved["providers"] == ["about.AboutProvider"]
    assert tab.userConfig.data.apiKey == "mine" and tab.config.data.localCurrency == "EUR.FOREX"
    assert fields.refusedSetting(Dict(saved), defaults) is None

    # A short-form date is loaded in the full form, in both trees, before anything reads it.
    short = tmp_path / "short.json"
    short.write_text(json.dumps({"data": {"startDate": "2017-6-3"}}))
    monkeypatch.setattr(fields, "config", tab.config)
    fields.DateFieldClass("startDate", "Start", configPath="data.startDate")
    dialogs.answers = [str(short)]
    assert tab.loadConfig()
    assert tab.config.data.startDate == "2017-06-03" and tab.userConfig.data.startDate == "2017-06-03"


def test_enter_that_confirms_a_file_dialog_starts_no_run(window, tmp_path, monkeypatch):
    """The real save dialog, confirmed with a real Enter key while a field of the tab held the focus: the
    dialog closes as the key is pressed, and the key's release reaches the main window."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(Fixed, "shares", {"Apple Inc": 10})
    config = allocationConfig(method="testmethods.Fixed", cutOffDate="")
    manager, win = window(config, Dict())
    manager.window = win
    dispatch(manager, win, "UpdateConfig")
    runs = len(Fixed.owners)
    focusOn(win, "Capital")
    typing = subprocess.Popen(["bash", "-c", "xdotool search --sync --onlyvisible --name '^Save As$' "
                               "windowactivate --sync; sleep 0.3; xdotool type --delay 30 mine; "
                               "xdotool keydown Return; sleep 0.3; xdotool keyup Return"])
    seen = []
    dispatch(manager, win, "SaveExcel")
    typing.wait(timeout=30)
    deadline = 20
    while deadline and not any(str(event).startswith("Return:") for event in seen):
        event, values = win.read(timeout=100)
        if event != sg.TIMEOUT_KEY:
            seen.append(event)
            manager.handleEvent(win, event, values)
        deadline -= 1
    assert any(str(event).startswith("Return:") for event in seen)
    assert len(Fixed.owners) == runs
    assert readWorkbook(tmp_path / "mine.xlsx")["Recommendation"]["rows"][1][1] == "Apple Inc"


def tickLabelsApart(figure):
    """Whether the tick labels of every axes read apart: none runs into its neighbour or, in the corner,
    into a label of the other axis. Answers the texts shown."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    renderer = FigureCanvasAgg(figure).get_renderer()  # the tab's figures are closed once rendered
    figure.draw_without_rendering()
    shown = []
    for ax in figure.axes:
        boxes = []
        for axis in (ax.xaxis, ax.yaxis):
            low, high = sorted(axis.get_view_interval())
            for tick, label in zip(axis.get_majorticklocs(), axis.get_majorticklabels()):
                if label.get_text() and low - 1e-12 <= tick <= high + 1e-12:
                    boxes.append(label.get_window_extent(renderer))
                    shown.append(label.get_text())
        if any(a.overlaps(b) for i, a in enumerate(boxes) for b in boxes[i + 1:]):
            return None
    return shown


def frontierLike(size):
    """A chart drawn as the chart library draws the efficient frontier: its tick places chosen for the size
    it draws at, then fixed with labels in percent."""
    import matplotlib.pyplot as plt

    figure, ax = plt.subplots(figsize=size)
    ax.scatter([0.112, 0.118, 0.13, 0.16, 0.21, 0.26], [0.05, 0.1, 0.2, 0.3, 0.4, 0.45])
    figure.colorbar(ax.collections[0], ax=ax)
    for axis, ticks in ((ax.xaxis, ax.get_xticks()), (ax.yaxis, ax.get_yticks())):
        axis.set_ticks(ticks.tolist(), ["{:.2%}".format(tick) for tick in ticks])
    return figure


class Frontier(Fixed):
    """Its analysis chart drawn as the chart library draws the efficient frontier."""

    def plotAnalysis(self, figsize=None, pdf=None):
        return frontierLike((6.4, 4.8)).axes[0], None


@pytest.mark.parametrize("language", ["en_US.UTF-8", "de_DE.UTF-8"])
def test_numbers_at_fixed_places_read_apart_on_the_page_and_in_the_tab(tmp_path, monkeypatch, language):
    import matplotlib.pyplot as plt
    from matplotlib.backends.backend_pdf import PdfPages

    from fields_support import processLocale

    percent = "20,00" if language.startswith("de") else "20.00%"
    with processLocale(language), PdfPages(tmp_path / "page.pdf") as pdf:
        # An A4 page, the places chosen for a wide figure.
        frontierLike((14, 7))
        recommendation.ReportPages(pdf, (8.27, 11.69)).savefig()
        shown = tickLabelsApart(plt.gcf())
        assert shown and any(text.startswith(percent) for text in shown)
        assert len([text for text in shown if text.endswith("%")]) >= 8
        plt.close("all")

        # The tab's image of it.
        monkeypatch.setattr(sys.modules["testmethods"], "Frontier", Frontier, raising=False)
        monkeypatch.setattr(Fixed, "shares", {"Apple Inc": 10, "Walmart Inc": 10})
        config = allocationConfig(method="testmethods.Frontier", cutOffDate="")
        MarketData(config)
        tab = RecommendationProvider(config, providerManager=None, userConfigParm=Dict())
        drawn = []
        monkeypatch.setattr(tab, "axToPng", lambda ax: drawn.append(ax.get_figure(root=True)) or b"")
        tab.compute()
        shown = tickLabelsApart(drawn[0])
        assert shown and any(text.startswith(percent) for text in shown)
