"""The About tab in a real window with the update check stood in for, and the whole update road in the
real program: the announcement, the saves of the other tabs and the hand-over to a stub installer."""
import gettext
import json
import shutil
import subprocess
import sysconfig
import time

import PIL.Image
import PySimpleGUI as sg
import pytest
from addict import Dict

import about
import provider
import update
from provider_support import Recorder, settle
from update_stub import SigningKey, UpdateStub
from velmora_support import ROOT, Workspace, waitForWindow

VERSION = "0.02.0013"
NEWER = "0.02.0014"
ANNOUNCEMENT = "A new version (0.02.0014) of Velmora is available.\n\nPlease update to the latest version."


class Checks:
    """Stands in for the update check: answers the pairs of `answers` in turn, the last one again."""

    def __init__(self, *answers):
        self.answers, self.calls = list(answers), []

    def __call__(self, config, **kwargs):
        self.calls.append((config, kwargs))
        return self.answers.pop(0) if len(self.answers) > 1 else self.answers[0]


@pytest.fixture
def stand_ins(monkeypatch):
    """The update module's operations and the popup recorded; run where the program's pictures are."""
    monkeypatch.chdir(ROOT)
    monkeypatch.setattr(update, "InstallUpdate", Recorder())
    monkeypatch.setattr(sg, "Popup", Recorder())
    monkeypatch.setattr(update, "checkFailed", False)  # the stand-in's checks never fail

    def install(*answers):
        checks = Checks(*answers)
        monkeypatch.setattr(update, "CheckForUpdate", checks)
        return checks

    return install


class Tabs:
    """A main window of another tab and the About tab, built as the provider manager builds it."""

    def __init__(self, provider):
        self.provider, self.window = provider, None

    def open(self):
        rows = [[sg.Tab("Other", [[sg.Text("other")]], key="other")]] + self.provider.createTab()
        self.window = sg.Window("Velmora", [[sg.TabGroup(rows, key="mainTab", enable_events=True)]],
                                finalize=True)
        provider.ProviderManager.MainWindow = self.window  # where the meter and popups are placed
        settle(self.window, seconds=0.2)
        return self.window

    def event(self, event):
        answer = self.provider.handleEvent(self.window, event, {"mainTab": self.window["mainTab"].get()})
        settle(self.window, seconds=0.1)
        return answer

    def enabled(self):
        return str(self.window["UpdateSoftware"].Widget.cget("state")) != "disabled"

    def shown(self):
        return self.window["CurrentVersion"].get()

    def close(self):
        if self.window is not None:
            self.window.close()


@pytest.fixture
def tabs(monkeypatch):
    monkeypatch.setattr(provider.ProviderManager, "MainWindow", None, raising=False)
    made = []

    def make(**keywords):
        config = Dict({"updateInfo": {"url": "x"}, "progress": {"progressPeriod": 0.1}})
        made.append(Tabs(about.AboutProvider(config, **keywords)))
        return made[-1]

    yield make
    for each in made:
        each.close()


def texts(window):
    return [element.get() for row in window["about"].Rows for element in row if isinstance(element, sg.Text)]


class TestAboutTab:
    def test_no_newer_version(self, stand_ins, tabs):
        checks = stand_ins((False, Dict(version=VERSION, url="u")))
        tab = tabs(providerManager="manager", userConfigParm=Dict())
        assert checks.calls == [] and tab.provider.updateInfo == {"version": ""}
        window = tab.open()
        assert checks.calls == [(tab.provider.config, {})]
        assert tab.event("mainTab") is False and tab.event("CheckUpdate") is False
        assert sg.Popup.calls == [] and window["mainTab"].get() == "other"
        assert not tab.enabled() and tab.shown() == VERSION
        shown = texts(window)
        assert ["Zeltra Velmora", "Installed Version:", VERSION, "Current Version:"] == shown[1:5]
        assert shown[-1].startswith("\n\n") and shown[-1].count("\n") == 3 and "Zeltra" in shown[-1]
        assert window["about"].Title == "About" and tab.provider.working == "Downloading"

    def test_newer_version_is_announced_once_at_the_first_event(self, stand_ins, tabs, monkeypatch):
        stand_ins((True, Dict(version=NEWER)))
        tab = tabs()
        window = tab.open()
        assert window["mainTab"].get() == "other" and tab.enabled() and tab.shown() == NEWER
        assert tab.event("someKey") is False
        assert window["mainTab"].get() == "about"
        assert sg.Popup.calls == [(("Update available", ANNOUNCEMENT), {"keep_on_top": True})]
        tab.event("mainTab")
        assert len(sg.Popup.calls) == 1

        # A window made anew in German builds the tab again from a new check, without announcing.
        german = gettext.translation("velmora", str(ROOT / "locale"), languages=["de_DE.UTF-8"])
        german.install()
        try:
            tab.close()
            window = tab.open()
            tab.event("mainTab")
        finally:
            gettext.NullTranslations().install()
        assert len(sg.Popup.calls) == 1 and tab.enabled()
        assert window["about"].Title == "Über" and tab.provider.working == "Herunterladen"
        assert texts(window)[2:5] == ["Installierte Version:", VERSION, "Aktuelle Version:"]

    def test_check_for_updates(self, stand_ins, tabs):
        held = Dict(version=VERSION)
        checks = stand_ins((False, held), (True, Dict(version=NEWER)), (False, None))
        tab = tabs()
        tab.open()
        tab.event("CheckUpdate")
        assert checks.calls[1] == (tab.provider.config, {"flush": True, "progress": tab.provider.update})
        assert tab.enabled() and tab.shown() == NEWER and sg.Popup.calls == []

        # A check that brings no information changes nothing in the window.
        tab.event("CheckUpdate")
        assert tab.enabled() and tab.shown() == NEWER and tab.provider.updateInfo.version == NEWER

    def test_check_for_updates_without_an_address_says_that_none_is_configured(self, stand_ins, tabs,
                                                                                   monkeypatch):
        # As the program ships: no update service named in the settings.
        checks = stand_ins((False, None))
        tab = tabs()
        del tab.provider.config["updateInfo"]
        tab.open()
        opened = Recorder()
        monkeypatch.setattr(tab.provider, "start", opened)
        german = gettext.translation("velmora", str(ROOT / "locale"), languages=["de_DE.UTF-8"])
        for language in (gettext.NullTranslations(), german):
            language.install()
            try:
                tab.event("CheckUpdate")
            finally:
                gettext.NullTranslations().install()
        assert [call[0] for call in sg.Popup.calls] == [
            ("No update address is configured: the check for updates needs the setting updateInfo.url.",),
            ("Es ist keine Update-Adresse eingestellt: Die Suche nach Updates braucht die Einstellung "
             "updateInfo.url.",)]
        assert len(checks.calls) == 1 and opened.calls == [] and tab.shown() == "" and not tab.enabled()

    def test_texts_of_the_update_information_are_shown_cut(self, stand_ins, tabs):
        # A popup or text of some hundred thousand characters is more than the display server can make.
        stand_ins((True, Dict(version="9" * 150_000)), (True, Dict(version="8" * 150_000)))
        tab = tabs()
        tab.open()
        assert tab.shown() == "9" * 400 + "\u2026"
        tab.event("CheckUpdate")
        assert tab.shown() == "8" * 400 + "\u2026"
        assert sg.Popup.calls[0][0][1] == ANNOUNCEMENT.replace(NEWER, "9" * 400 + "\u2026")

    def test_no_information_at_all(self, stand_ins, tabs):
        stand_ins((False, None))
        tab = tabs()
        tab.open()
        assert tab.shown() == "" and not tab.enabled()
        assert tab.provider.updateInfo == {"version": ""}

    def test_pictures_are_files_of_the_program(self, stand_ins, tabs, tmp_path, monkeypatch):
        stand_ins((False, None))
        tab = tabs()
        window = tab.open()
        pictures = [each for row in window["about"].Rows for each in row if isinstance(each, sg.Image)]
        assert [picture.Source for picture in pictures] == ["pfront_300x327.png", "zeltralogo.png"]
        assert PIL.Image.open(ROOT / "pfront_300x327.png").size == (300, 327)
        tab.close()

        # Without them the tab still opens, and without the toolkit's modal error window.
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(sg.PySimpleGUI, "_error_popup_with_traceback", Recorder())
        window = tab.open()
        assert sg.PySimpleGUI._error_popup_with_traceback.calls == [] and window["about"].Title == "About"

    def test_update_hands_the_record_to_the_installation(self, stand_ins, tabs):
        information = Dict(version=NEWER, url="u")
        stand_ins((True, information))
        tab = tabs()
        tab.open()
        assert tab.event("UpdateSoftware") is False
        assert update.InstallUpdate.calls == [((tab.provider, tab.provider.config, information), {})]


def test_check_for_updates_shows_its_wait_can_be_cancelled_and_says_when_it_failed(tabs, tmp_path, monkeypatch):
    """The real check against a service that stalls: the meter opens with its Cancel, which ends the wait
    without a word; against no service at all the user is told."""
    import progress

    monkeypatch.chdir(tmp_path)
    (tmp_path / "data" / "cache").mkdir(parents=True)
    monkeypatch.setattr(update, "update", None)
    monkeypatch.setattr(update, "askedByItself", True)  # the start's own check is not this test's
    monkeypatch.setattr(sg, "Popup", Recorder())
    service = UpdateStub()
    service.info, service.infoPause = (200, service.record(NEWER)), 1.0
    tab = tabs()
    tab.provider.config.updateInfo.url = service.url + "/info"
    tab.open()
    seen = []
    provided = tab.provider.update

    def cancelOnceOpen(*args, **kwargs):
        answer = provided(*args, **kwargs)
        meter = progress.QuickMeter.active_meters.get("OK for 1 meter")
        if meter is not None:
            seen.append(meter.window.Title)
            meter.window["Cancel"].click()
        return answer

    tab.provider.update = cancelOnceOpen
    try:
        tab.event("CheckUpdate")
    finally:
        service.close()
    assert seen[:1] == ["Checking for updates"] and len(service.requests) == 1
    assert sg.Popup.calls == [] and tab.shown() == "" and not tab.enabled()
    assert tab.provider.working == "Downloading"

    tab.provider.config.updateInfo.url = "http://127.0.0.1:1/info"
    tab.event("CheckUpdate")
    assert [call[0] for call in sg.Popup.calls] == [("The check for updates failed. Please try again later.",)]
    assert not progress.QuickMeter.active_meters


# --- the real program -----------------------------------------------------------------------

INSTALLER = """#!/bin/sh
echo '{"kind": "installer"}' >> record.jsonl
{ echo "$0"; for argument in "$@"; do echo "$argument"; done; cat data/cache/oldVersion.json; } \
    > installed.txt
"""


def dismiss(name, process, timeout=30):
    """Closes the window `name` with the window manager's close key until it is gone (or the process
    has ended); the popup may not have the focus yet when it first appears."""
    window = waitForWindow(name, timeout)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.poll() is None:
        subprocess.run(["xdotool", "windowactivate", window], capture_output=True, timeout=10)
        subprocess.run(["xdotool", "key", "--clearmodifiers", "alt+F4"], capture_output=True, timeout=10)
        found = subprocess.run(["xdotool", "search", "--name", f"^{name}$"], capture_output=True, text=True)
        if window not in found.stdout.split():
            return
        time.sleep(0.3)


# Stands first in the provider list of the signed run: the test key's public half in place of the
# program's, inside the program's own process.
TEST_KEY_PROVIDER = """import provider
import velmora


class TestKey(provider.Provider):
    def __init__(self, config, **keywords):
        super().__init__(config, **keywords)
        velmora.publicKey = config.testKey
"""


@pytest.mark.parametrize("form", ["plain", "signed"])
def test_program_announces_saves_and_hands_over_to_the_installer(tmp_path, form):
    service = UpdateStub()
    try:
        service.installer = INSTALLER.encode()
        workspace = Workspace(tmp_path)
        for picture in ("pfront_300x327.png", "zeltralogo.png"):
            shutil.copy(ROOT / picture, tmp_path / picture)
        workspace.default["providers"].append("about.AboutProvider")
        if form == "signed":
            key = SigningKey()
            (tmp_path / "testkey.py").write_text(TEST_KEY_PROVIDER)
            workspace.default["providers"].insert(0, "testkey.TestKey")
            workspace.default["testKey"] = key.publicPem
            service.info = (200, key.sign(service.record(NEWER)))
        else:
            service.info = (200, service.record(NEWER))
        address = service.url + ("/info.jwt" if form == "signed" else "/info")
        workspace.default["updateInfo"] = {"url": address}
        workspace.user = {"probe": {"post": {"1": ["UpdateSoftware"]}}}
        # A fresh cached record whose version is no version: the service is asked all the same.
        (tmp_path / "data" / "cache" / "update.json").write_text(
            json.dumps(service.record("9" * 150_000, checked=time.time())))
        program = workspace.start()
        try:
            dismiss("Update available", program)
            out, err = program.communicate(timeout=60)
        finally:
            if program.poll() is None:
                program.kill()
        assert program.returncode == 0, err
    finally:
        service.close()

    assert service.requests[0] == (address[len(service.url):],
                                   [("version", VERSION), ("platform", sysconfig.get_platform())])
    assert service.requests[1:] == [("/installer", [])]
    # Every other provider had the event (and so saved what it owns) before the installer ran.
    kinds = [(entry["kind"], entry.get("key"), entry.get("event")) for entry in workspace.records()]
    assert kinds[-1] == ("installer", None, None)
    handled = [key for kind, key, event in kinds if event == "UpdateSoftware"]
    assert handled == ["probeOne", "probeTwo", "probeWorker"]
    installed = (tmp_path / "installed.txt").read_text().splitlines()
    assert installed[:3] == ["data/cache/update.exe", "/SILENT", "two words"]
    assert json.loads(installed[3]) == {"version": VERSION, "installtionDir": str(tmp_path)}
    cached = json.loads((tmp_path / "data" / "cache" / "update.json").read_text())
    assert cached["version"] == NEWER and ("token" in cached) == (form == "signed")
