"""The main module: merging of configuration trees, its module names, and the real program
started, driven through its event loop and closed (with the providers of probe_providers)."""
import json
import logging
import os
import ssl
import stat
import sys

import pytest
from addict import Dict
from cryptography.hazmat.primitives import serialization

import velmora
from velmora_support import ROOT, Workspace, logMessages, pressCloseKey, waitForWindow

CLOSE = "-WINDOW CLOSE ATTEMPTED-"


class TestMerge:
    def test_only_the_nested_key_both_hold_is_replaced(self):
        source = {"first": {"all_rows": {"fail": "cat", "number": 5}}}
        destination = {"first": {"all_rows": {"pass": "dog", "number": 1}}}
        assert velmora.merge(source, destination) is destination
        assert destination == {"first": {"all_rows": {"pass": "dog", "fail": "cat", "number": 5}}}
        assert source == {"first": {"all_rows": {"fail": "cat", "number": 5}}}

    def test_lists_replace_whole_and_sections_are_added(self):
        source = Dict({"providers": ["b.B"], "extra": {"x": 1}})
        destination = Dict({"providers": ["a.A", "c.C"], "gui": {"size": [1, 2]}})
        velmora.merge(source=source, destination=destination)
        assert destination.providers is source.providers
        assert destination.extra == {"x": 1} and destination.gui.size == [1, 2]

    def test_values_of_any_type_are_replaced(self):
        destination = {"a": {"b": 1}, "c": [1], "d": "text"}
        velmora.merge({"a": None, "c": "now a text", "d": 4}, destination)
        assert destination == {"a": None, "c": "now a text", "d": 4}

    def test_section_over_a_plain_value(self):
        destination = {"a": 1, "b": "keep"}
        velmora.merge({"b": {}}, destination)
        assert destination == {"a": 1, "b": "keep"}
        with pytest.raises(TypeError):
            velmora.merge({"a": {"x": 1}}, destination)


class TestModule:
    def test_names(self):
        assert velmora.logger is logging.getLogger()
        assert velmora.version == "0.02.0013"
        assert sys.executable in sys.path

    def test_public_key_is_a_p256_key(self):
        assert len(velmora.publicKey) == 178
        lines = velmora.publicKey.split("\n")
        assert lines[0] == "-----BEGIN PUBLIC KEY-----" and lines[3] == "-----END PUBLIC KEY-----"
        assert [len(line) for line in lines] == [26, 64, 60, 24, 0]
        public = serialization.load_pem_public_key(velmora.publicKey.encode())
        assert public.curve.name == "secp256r1"

    def test_user_guide_for_both_languages(self):
        for language in ("en", "de"):
            page = ROOT / "userguide" / language / "site" / "index.html"
            assert f'<html lang="{language}">' in page.read_text(encoding="utf-8")

    def test_certificate_checks_stay_on(self):
        import PySimpleGUI  # noqa: F401  (the import that switched them off)

        assert ssl._create_default_https_context is ssl.create_default_context
        assert ssl._create_default_https_context().verify_mode == ssl.CERT_REQUIRED


@pytest.fixture
def workspace(tmp_path):
    return Workspace(tmp_path)


def events(workspace, key):
    return [entry["event"] for entry in workspace.records("event") if entry["key"] == key]


class TestCommandLine:
    def test_help(self, workspace):
        run = workspace.run("--help")
        assert run.returncode == 0
        assert "Zeltra Velmora" in run.stdout
        assert "--config CONFIG  Configuration file (default: data/config/velmora.json)" in run.stdout
        assert "Copyright" in run.stdout
        assert workspace.records() == []

    def test_unknown_option(self, workspace):
        run = workspace.run("--colour", "red")
        assert run.returncode == 2
        assert "unrecognized arguments: --colour red" in run.stderr

    def test_other_configuration_file(self, workspace):
        workspace.user = {"gui": {"position": [200, 210]}, "probe": {"post": {"1": [CLOSE]}}}
        workspace.write(userFile="data/config/other.json")
        run = workspace.run("--config", "data/config/other.json", write=False)
        assert run.returncode == 0, run.stderr
        assert workspace.records("construct")[0]["configFile"] == "data/config/other.json"
        assert workspace.records("window")[0]["location"] == [200, 210]


# Every tab a value may be shown in, the recommendation tab's sources before it, and the probe, which records
# a window once it is made.
FLOW_PROVIDERS = ["fields.FieldProvider", "current.CurrentProvider", "selection.SelectionProvider",
                  "dataprov.DataProvider", "config.ConfigProvider", "recommendation.RecommendationProvider",
                  "probe.ProbeTab"]


def lastLine(run):
    return run.stderr.strip().splitlines()[-1]


class TestStartFailures:
    """A broken configuration ends the start with status 1, before any window is made; the traceback's last
    line names the file and, for a value, the setting; nothing is written back."""

    @pytest.mark.parametrize("content, cause, named", [
        (None, "FileNotFoundError", ""),
        ("{ not json", "JSONDecodeError", "Expecting property name"),
        ('[["gui", {}]]', "", "does not hold a JSON object"),
        ("null", "", "does not hold a JSON object"),
        ("pipe", "", "data/config/velmora.json is not a regular file"),
        ("device", "", "data/config/velmora.json is not a regular file"),
        ('{"title": {"x": 1}}', "TypeError", "setting title: "),
        ('{"gui": {"position": [1]}}', "",
         "setting gui.position: The setting gui.position must be two whole numbers, not [1]."),
        ('{"providers": ["nodot"]}', "", "setting providers: The setting providers must be names of tab classes "
         "that the program finds, not 'nodot'."),
        ('{"providers": ["os.system"]}', "", "setting providers: The setting providers must be names of tab classes "
         "that the program finds, not 'os.system'."),
        ('{"data": ""}', "TypeError", "setting data: "),
        ('{"print": null}', "TypeError", "setting print: "),
        ("\ufeff{\"title\": {\"x\": 1}}", "TypeError", "setting title: "),
        ('{"allocation": {"tradingDaysPerYear": 0}}', "", "setting allocation.tradingDaysPerYear: The setting "
         "allocation.tradingDaysPerYear must be a whole number above 0, not 0."),
        ('{"providers": ["fields.FieldProvider", "config.ConfigProvider"], "data": {"sigmaClipHigh": 20}}', "",
         "setting data.sigmaClipHigh: The setting data.sigmaClipHigh must be a number from 2 to 10, not 20."),
        ('{"providers": %s, "allocation": {"capital": "abc"}}' % json.dumps(FLOW_PROVIDERS), "",
         "setting allocation.capital: The setting allocation.capital must be a number, not 'abc'."),
        ('{"data": {"endDate": "2020-02-30"}}', "", "setting data.endDate: The setting data.endDate must be a date "
         "written year-month-day, or empty, not '2020-02-30'."),
        ('{"progress": {"progressPeriod": "x"}}', "", "setting progress.progressPeriod: The setting "
         "progress.progressPeriod must be a number from 0 to 10, not 'x'."),
        ('{"print": {"paperSize": [1e308, 1]}}', "", "setting print.paperSize: The setting print.paperSize must be "
         "two numbers from 100 to 10000 (hundredths of an inch), not [1e+308, 1]."),
        ('{"data": {"cacheName": "data"}}', "", "setting data.cacheName: The setting data.cacheName must be the name "
         "of a regular file, or of one not made yet in a folder that exists, not 'data'."),
        ('{"gui": {"size": [1200.0, 800.0]}}', "", "setting gui.size: The setting gui.size must be two whole "
         "numbers, not [1200.0, 800.0]."),
        ('{"data": {"dataProvider": "fields.FieldProvider"}}', "", "setting data.dataProvider: The setting "
         "data.dataProvider must be one of 'End of Day Historical Data', 'Yahoo Historical Data', not "
         "'fields.FieldProvider'."),
        ('{"providers": %s, "data": {"basePeriod": 1e308}}' % json.dumps(FLOW_PROVIDERS), "",
         "setting data.basePeriod: The setting data.basePeriod must be a whole number of days from 1 to 3652, "
         "not 1e+308."),
        ('{"providers": %s, "title": "\\ud800"}' % json.dumps(FLOW_PROVIDERS), "",
         "setting title: The setting title must be a text, not '\\ud800'."),
        ('{"providers": %s, "allocation": {"capital": 1%s}}' % (json.dumps(FLOW_PROVIDERS), "0" * 400), "",
         "setting allocation.capital: The setting allocation.capital must be a whole number from 100 to "
         "1000000000, not 1000"),
        ('{"selectionName": "nofolder/mine.stocks"}', "", "setting selectionName: The setting selectionName must be "
         "the name of a regular file, or of one not made yet in a folder that exists, not 'nofolder/mine.stocks'."),
        ('{"data": {"cacheName": "nofolder/prices.cache"}}', "", "setting data.cacheName: "),
        ('{"progress": {"progressPeriod": 1e300}}', "", "setting progress.progressPeriod: The setting "
         "progress.progressPeriod must be a number from 0 to 10, not 1e+300."),
        ('{"a": ' * 500 + "1" + "}" * 500, "RecursionError", "maximum recursion depth"),
        ('{"logging": "x"}', "", "setting logging: "),
        ('{"gui": {"\\ud800": 1}}', "", "setting gui.'\\ud800': The setting gui.'\\ud800' has a name that is no "
         "Unicode text."),
    ], ids=["missing", "not-json", "list", "null", "pipe", "device", "section-over-value", "position",
            "provider", "provider-function", "value-over-section", "null-over-section", "byte-order-mark",
            "unshown-range", "field-range", "field-kind", "end-date", "progress-period", "paper-size",
            "cache-folder", "size-of-floats", "data-provider", "day-count", "lone-surrogate", "huge-number",
            "missing-folder", "cache-in-missing-folder", "endless-period", "nested-deep", "logging-value",
            "surrogate-name"])
    def test_user_configuration(self, workspace, content, cause, named):
        workspace.write()
        user = workspace.path / "data" / "config" / "velmora.json"
        user.unlink()
        if content == "pipe":
            os.mkfifo(user)
        elif content == "device":
            user.symlink_to("/dev/zero")
        elif content is not None:
            user.write_text(content)
        run = workspace.run(write=False)
        assert run.returncode == 1
        assert cause in run.stderr
        assert lastLine(run).startswith("ValueError: data/config/velmora.json: " + named)
        assert workspace.records("window") == workspace.records("exit") == []
        if content not in (None, "pipe", "device"):
            assert user.read_text() == content

    def test_selection_naming_a_pipe_leaves_it_as_it_was(self, workspace):
        os.mkfifo(workspace.path / "data" / "config" / "current.stocks")
        workspace.user = {"selectionName": "data/config/current.stocks"}
        run = workspace.run()
        assert run.returncode == 1
        assert lastLine(run) == ("ValueError: data/config/velmora.json: setting selectionName: The setting "
                                 "selectionName must be the name of a regular file, or of one not made yet in a folder that exists, not "
                                 "'data/config/current.stocks'.")
        assert stat.S_ISFIFO(os.stat(workspace.path / "data" / "config" / "current.stocks").st_mode)

    def test_a_meter_redrawn_at_every_step_and_a_window_without_position_start(self, workspace):
        workspace.user = {"progress": {"progressPeriod": 0}, "gui": {"position": None},
                          "probe": {"post": {"1": [CLOSE]}}}
        run = workspace.run()
        assert run.returncode == 0, run.stderr
        assert workspace.records("construct")[0]["config"]["progress"] == {"progressPeriod": 0}

    def test_missing_default_configuration(self, workspace):
        workspace.write()
        (workspace.path / "default.json").unlink()
        run = workspace.run(write=False)
        assert run.returncode == 1
        assert lastLine(run).startswith("ValueError: default.json: [Errno 2]") and workspace.records() == []

    @pytest.mark.parametrize("section", [{}, {"version": 1, "root": {"handlers": ["nowhere"]}}],
                             ids=["empty", "unknown-handler"])
    def test_rejected_logging_section(self, workspace, section):
        workspace.default["logging"] = section
        run = workspace.run()
        assert run.returncode == 1
        assert lastLine(run).startswith("ValueError: default.json: setting logging: ")
        assert workspace.records() == []

    @pytest.mark.parametrize("language", ["xx_YY.UTF-8", "fr_FR.UTF-8"])
    def test_unknown_locale(self, workspace, language):
        workspace.user = {"gui": {"language": language}}
        run = workspace.run()
        assert run.returncode == 1
        # In the settings tab's words, as Load Config refuses it.
        assert lastLine(run) == ("ValueError: data/config/velmora.json: setting gui.language: The setting "
                                 f"gui.language must be one of 'German', 'English', not '{language}'.")
        assert workspace.records() == []

    # So is a long name of a setting.
    @pytest.mark.parametrize("user, named", [
        ({"data": {"endDate": "x" * 150000}}, "setting data.endDate: The setting data.endDate must be a date "
                                              "written year-month-day, or empty, not 'xxx"),
        ({"x" * 150000: "\ud800"}, "setting xxx"), ({"gui": {"\ud800" * 50000: 1}}, "setting gui.'\\ud800")],
        ids=["value", "name", "surrogate-name"])
    def test_a_long_refused_value_is_quoted_in_part(self, workspace, user, named):
        workspace.user = user
        run = workspace.run()
        assert run.returncode == 1 and "x" * 1000 not in run.stderr and "\\ud800" * 1000 not in run.stderr
        assert lastLine(run).startswith("ValueError: data/config/velmora.json: " + named)
        assert len(lastLine(run)) < 1000


class TestConfigurationTrees:
    def test_empty_user_file(self, workspace):
        workspace.default["probe"] = {"post": {"1": [CLOSE]}}
        assert workspace.run().returncode == 0
        construct = workspace.records("construct")[0]
        assert construct["config"] == {**workspace.default, "configFile": "data/config/velmora.json"}
        assert construct["userConfig"] == {}

    def test_user_values_win_and_the_trees_share_nothing(self, workspace):
        workspace.user = {"providers": ["fields.FieldProvider", "probe.ProbeTab"],
                          "gui": {"position": [60, 70]}, "logging": {"root": {"level": "INFO"}},
                          "probe": {"post": {"1": [CLOSE]}}}
        run = workspace.run()
        assert run.returncode == 0, run.stderr
        construct = workspace.records("construct")[0]
        config = construct["config"]
        assert config["providers"] == ["fields.FieldProvider", "probe.ProbeTab"]
        assert config["gui"] == {**workspace.default["gui"], "position": [60, 70]}
        assert config["logging"]["root"] == {"level": "INFO", "handlers": ["console"]}
        assert config["probe"] == {"post": {"1": [CLOSE]}}
        assert construct["userConfig"] == workspace.user
        assert not construct["shared"]
        assert workspace.records("window")[0]["tabs"] == [["probeOne", "Probe one"]]
        assert not any(message.startswith("Event:") for message in logMessages(run.stderr))


class TestRun:
    def test_window_events_and_close(self, workspace):
        workspace.user = {"probe": {"post": {"1": ["probePing", CLOSE]}}}
        run = workspace.run()
        assert run.returncode == 0, run.stderr
        (window,) = workspace.records("window")
        assert window["title"] == "Velmora"
        assert window["location"] == [140, 120] and window["size"] == [700, 500]
        assert window["tabs"] == [["probeOne", "Probe one"], ["probeTwo", "Probe two"]]
        construct = workspace.records("construct")[0]
        assert construct["configFile"] == "data/config/velmora.json" and construct["certificatesChecked"]
        for key in ("probeOne", "probeTwo", "probeWorker"):
            assert events(workspace, key) == ["probePing", CLOSE]

        log = logMessages(run.stderr)
        started = log.index("velmora 0.02.0013 started")
        names = ("fields.FieldProvider", "probe.ProbeTab", "probe.ProbeTabTwo", "probe.ProbeWorker")
        loading = [log.index(f"Loading {name}") for name in names]
        firstEvent = min(i for i, message in enumerate(log) if message.startswith("Event:"))
        assert started < min(loading) and max(loading) < firstEvent
        for event in ("probePing", CLOSE):
            logged = [i for i, message in enumerate(log) if message.startswith(f"Event:{event} values:")]
            assert len(logged) == 1
            assert log[logged[0]] == f"Event:{event} values:{{'mainTab': 'probeOne', '{event}': None}}"
            assert logged[0] < log.index(f"probeOne handles {event}")
        assert "probe warning" not in run.stderr

    def test_window_larger_than_the_screen_or_off_it_is_brought_inside(self, workspace):
        import PySimpleGUI as sg

        width, height = sg.Window.get_screen_size()
        workspace.user = {"gui": {"size": [40000, 700], "position": [-500, 10 * height]},
                          "probe": {"post": {"1": [CLOSE]}}}
        run = workspace.run()
        assert run.returncode == 0, run.stderr
        (window,) = workspace.records("window")
        assert window["size"][0] <= width and window["size"][1] <= height
        assert 0 <= window["location"][0] < width and 0 <= window["location"][1] < height

    def test_recreation_on_the_close_attempt_closes_the_new_window(self, workspace):
        workspace.user = {"probe": {"recreateOn": [CLOSE], "post": {"1": [CLOSE]}}}
        run = workspace.run()
        assert run.returncode == 0, run.stderr
        assert len(workspace.records("window")) == 2
        exits = [{"kind": "exit", "firstClosed": True, "lastClosed": True, "same": False}]
        assert workspace.records("exit") == exits
        for key in ("probeOne", "probeTwo", "probeWorker"):
            assert events(workspace, key) == [CLOSE]

    def test_close_button(self, workspace):
        program = workspace.start()
        try:
            window = waitForWindow("Velmora")
            pressCloseKey(window, program)
            assert program.wait(timeout=30) == 0
        finally:
            if program.poll() is None:
                program.kill()
            program.communicate()
        for key in ("probeOne", "probeTwo", "probeWorker"):
            assert events(workspace, key)[-1:] == [CLOSE]

    def test_default_configuration(self, workspace):
        # The shipped defaults as they are (every tab, no update address), logging everything, with a
        # probe that closes the window.
        with open(ROOT / "default.json", encoding="utf-8") as file:
            workspace.default = json.load(file)
        workspace.default["providers"].append("probe.ProbeTab")
        workspace.default["logging"]["root"]["level"] = "DEBUG"
        # A value the defaults hold is taken, though the start date's field would refuse it typed.
        workspace.user = {"data": {"apiKey": "users-own-key", "startDate": ""},
                          "probe": {"post": {"1": ["probePing", CLOSE]}}}
        (workspace.path / "data" / "config" / "current.stocks").write_text('{"stocks": []}')
        run = workspace.run()
        assert run.returncode == 0, run.stderr
        assert "velmora 0.02.0013 started" in run.stderr
        assert workspace.records("window")[0]["size"] == workspace.default["gui"]["size"]
        assert " ERROR " not in run.stderr and "Traceback" not in run.stderr
        # The events are logged with their values, the API key's as stars.
        events = [message for message in logMessages(run.stderr) if message.startswith("Event:")]
        assert len(events) == 2 and all("'apiKey': '***'" in message for message in events)
        assert "users-own-key" not in run.stderr

    def test_german(self, workspace):
        workspace.user = {"gui": {"language": "de_DE.UTF-8"}, "probe": {"post": {"1": [CLOSE]}}}
        assert workspace.run().returncode == 0
        tabs = [["probeOne", "Probe eins"], ["probeTwo", "Probe zwei"]]
        assert workspace.records("window")[0]["tabs"] == tabs

    def test_language_change_recreates_the_window(self, workspace):
        workspace.user = {"probe": {"germanOn": ["probeGerman"],
                                    "post": {"1": ["probeGerman"], "2": [CLOSE]}}}
        assert workspace.run().returncode == 0
        first, second = workspace.records("window")
        assert [title for _, title in first["tabs"]] == ["Probe one", "Probe two"]
        assert [title for _, title in second["tabs"]] == ["Probe eins", "Probe zwei"]
        assert events(workspace, "probeWorker") == ["probeGerman", CLOSE]


class TestWindowLost:
    def test_nested_recreation_goes_on_with_the_new_window(self, workspace):
        workspace.user = {"probe": {"nestOn": ["probeNest"],
                                    "post": {"1": ["probeNest"], "2": ["probePing", CLOSE]}}}
        run = workspace.run()
        assert run.returncode == 0, run.stderr
        assert len(workspace.records("window")) == 2
        assert [(e["event"], e["window"]) for e in workspace.records("event") if e["key"] == "probeOne"] == [
            ("probeNest", 1), ("probeNested", 1), ("probePing", 2), (CLOSE, 2)]

    def test_failed_recreation_ends_the_loop(self, workspace):
        workspace.user = {"probe": {"breakOn": ["probeBreak"], "post": {"1": ["probeBreak"]}}}
        run = workspace.run(timeout=60)
        assert run.returncode == 0, run.stderr
        log = logMessages(run.stderr)
        assert "Test" in log
        assert [message for message in log if message.startswith("Event:")] == [
            "Event:probeBreak values:{'mainTab': 'probeOne', 'probeBreak': None}", "Event:None values:None"]

    def test_closed_window_ends_the_loop(self, workspace):
        workspace.user = {"probe": {"closeOn": ["probeClose"], "post": {"1": ["probeClose"]}}}
        run = workspace.run(timeout=60)
        assert run.returncode == 0, run.stderr
        log = logMessages(run.stderr)
        assert log[-1] == "Event:None values:None"
        assert events(workspace, "probeOne") == ["probeClose"]


class TestProgressInProgram:
    def run(self, workspace, **probe):
        workspace.user = {"probe": {"post": {"1": ["probeWork", CLOSE]}, **probe}}
        run = workspace.run()
        assert run.returncode == 0, run.stderr
        (work,) = workspace.records("work")
        return work

    def test_meter_over_the_main_window_until_the_work_ends(self, workspace):
        work = self.run(workspace)
        assert work["meter"] == [work["main"][0] + 300, work["main"][1] + 300]
        assert work["title"] == "Computing"
        assert work["answers"] == [True] * 40
        assert not work["openAfter"]
        assert len(work["stats"]) == 9 and work["stats"][0].endswith(" of 40")
        # 40 steps of 0.05 s or more take two seconds at least: redrawn several times, but
        # never twice within the period of 0.5 s (a little slack for the recording itself).
        draws = work["draws"]
        assert len(draws) >= 3
        assert all(later - earlier > 0.49 for earlier, later in zip(draws, draws[1:]))

    def test_cancel_stops_the_work(self, workspace):
        work = self.run(workspace, cancelAt=12)
        assert work["answers"][-1] is False and all(work["answers"][:-1])
        assert len(work["answers"]) < 40
        assert not work["openInside"] and not work["openAfter"]
