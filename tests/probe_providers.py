"""Providers that record what the program does with them; the program tests run the real
program with these in its provider list. Copied into the program's working directory as
`probe.py`; what they do on which event comes from the configuration section `probe`."""
import atexit
import json
import logging
import time
import warnings

import PySimpleGUI as sg

import provider

logger = logging.getLogger("probe")


def record(**entry):
    with open("record.jsonl", "a", encoding="utf-8") as file:
        file.write(json.dumps(entry) + "\n")


def containers(tree):
    """The identities of every dictionary and list inside `tree`, `tree` included."""
    found = {id(tree)}
    for value in tree.values() if isinstance(tree, dict) else tree:
        if isinstance(value, (dict, list)):
            found |= containers(value)
    return found


def recordWindowsAtExit(manager, first):
    record(kind="exit", firstClosed=first.is_closed(quick_check=True),
           lastClosed=manager.window.is_closed(quick_check=True), same=manager.window is first)


class ProbeTab(provider.TabProvider):
    text = "Probe one"
    key = "probeOne"
    windows = 0

    def __init__(self, config, providerManager=None, userConfigParm=None):
        super().__init__(config, providerManager=providerManager, userConfigParm=userConfigParm)
        self.manager = providerManager
        self.failCreate = False
        # The program suppresses every warning; this one must not reach the log.
        warnings.warn("probe warning", UserWarning)
        import ssl
        record(kind="construct", key=self.key, configFile=config.configFile,
               certificatesChecked=ssl._create_default_https_context is ssl.create_default_context,
               config=config.to_dict(), userConfig=userConfigParm.to_dict(),
               shared=bool(containers(config) & containers(userConfigParm)))

    def script(self, name):
        return self.config.probe[name] or []

    def createTab(self):
        if self.failCreate:
            raise RuntimeError("probe cannot make its tab")
        self.title = _(self.text)
        self.layout = [[sg.Text(_(self.text), key=self.key + "Text")]]
        return super().createTab()

    def bind(self, window):
        if self.key != "probeOne":
            return
        ProbeTab.windows += 1
        if ProbeTab.windows == 1:
            atexit.register(recordWindowsAtExit, self.manager, window)
        tabs = [tab for row in window["mainTab"].Rows for tab in row]
        record(kind="window", number=ProbeTab.windows, title=window.TKroot.title(),
               location=list(window.CurrentLocation(more_accurate=True)), size=list(window.size),
               tabs=[[tab.Key, tab.Title] for tab in tabs])
        for event in self.config.probe.post[str(ProbeTab.windows)] or []:
            window.write_event_value(event, None)

    def handleEvent(self, window, event, values):
        logger.info("%s handles %s", self.key, event)
        record(kind="event", key=self.key, event=str(event), window=ProbeTab.windows)
        answer = super().handleEvent(window, event, values)
        if self.key != "probeOne":
            return answer
        if event in self.script("recreateOn"):
            answer = True
        if event in self.script("germanOn"):
            self.config.gui.language = "de_DE.UTF-8"
            answer = True
        if event in self.script("breakOn"):
            for each in self.manager.providerList:
                each.failCreate = True
            answer = True
        if event in self.script("nestOn"):
            # As the field framework does on Enter: a dispatch inside the dispatch.
            self.manager.handleEvent(window, "probeNested", values)
        if event == "probeNested":
            answer = True
        if event in self.script("closeOn"):
            window.close()
        return answer


class ProbeTabTwo(ProbeTab):
    text = "Probe two"
    key = "probeTwo"


class ProbeWorker(provider.Provider):
    """A provider without a tab that runs a long operation on the event "probeWork"."""

    key = "probeWorker"

    def handleEvent(self, window, event, values):
        logger.info("%s handles %s", self.key, event)
        record(kind="event", key=self.key, event=str(event))
        if event == "probeWork":
            self.work(window)
        return False

    def work(self, window):
        import progress

        draws, meter = [], progress.OneLineProgressMeter

        def drawing(*args, **kwargs):
            draws.append(time.time())
            return meter(*args, **kwargs)

        progress.OneLineProgressMeter = drawing
        try:
            self.runSteps(window, progress, draws)
        finally:
            progress.OneLineProgressMeter = meter

    def runSteps(self, window, progress, draws):
        steps, answers, shown, seen = 40, [], [], {}
        with self.start(steps):
            for step in range(1, steps + 1):
                time.sleep(0.05)
                meter = progress.QuickMeter.active_meters.get("OK for 1 meter")
                if meter is not None and "meter" not in seen:
                    seen = {"meter": list(meter.window.CurrentLocation(more_accurate=True)),
                            "main": list(window.CurrentLocation(more_accurate=True)),
                            "title": meter.window.TKroot.title()}
                if step == self.config.probe.cancelAt:
                    meter.window["Cancel"].click()
                answer = self.update(step)
                answers.append(answer)
                meter = progress.QuickMeter.active_meters.get("OK for 1 meter")
                shown.append(None if meter is None else meter.current_value)
                if meter is not None:
                    seen["stats"] = meter.window["-STATS-"].get().split("\n")
                if not answer:
                    break
            seen["openInside"] = "OK for 1 meter" in progress.QuickMeter.active_meters
        record(kind="work", answers=answers, shown=shown, draws=draws,
               openAfter="OK for 1 meter" in progress.QuickMeter.active_meters, **seen)
