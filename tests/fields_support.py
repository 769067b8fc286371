"""A main window with one field of each kind, built by the real provider manager's window code."""
import gettext
import json
import locale
import subprocess
import time
from contextlib import contextmanager

import PySimpleGUI as sg
from addict import Dict

gettext.NullTranslations().install()  # the provider module translates while it is loaded

import fields  # noqa: E402
import provider  # noqa: E402
from provider_support import bareManager  # noqa: E402

FIELDS_CONFIG = {
    "gui": {"language": "en_US.UTF-8", "title": "Plan", "size": [1000, 700], "position": [20, 20]},
    "data": {"startDate": "2020-01-02", "cacheName": "data/cache/prices.pkl", "currency": "EUR.FOREX"},
    "allocation": {"cutOffDate": "", "capital": 20000, "maxWeight": 12.5, "method": "minvol.MinVolatility",
                   "fractional": False, "bounds": [10, 20]},
}

METHODS = {"minvol.MinVolatility": "Minimum volatility", "hrp.HRPOptimization": "Hierarchical risk parity"}
BOUNDS = {(0, 100): "Unlimited", (10, 20): "Narrow"}


class FieldsTab(provider.TabProvider):
    """A tab whose form holds one field of each kind; HRP forces fractional shares on."""

    key = "fieldsTab"
    title = "Fields"

    def __init__(self, config, providerManager=None, userConfigParm=None):
        super().__init__(config, providerManager, userConfigParm)
        self.events = []

    def createTab(self, **kwargs):
        self.layout = [
            fields.DateField("startDate", "Start", configPath="data.startDate"),
            fields.DateField("CutOffDate", "Cut-off", allowBlank=True, configPath="allocation.cutOffDate"),
            fields.TextField("title", "Title", maxLen=8, configPath="gui.title"),
            fields.NumField("capital", "Capital", minValue=1000, maxValue=1000000, isInt=True,
                            configPath="allocation.capital"),
            fields.NumField("maxWeight", "Max. weight", minValue=0, maxValue=100, precision=2,
                            configPath="allocation.maxWeight"),
            fields.FileField("cacheName", "Cache", extension="pkl", configPath="data.cacheName"),
            fields.SelectionField("currency", "Currency", {"USD.FOREX": "USD", "EUR.FOREX": "EUR"},
                                  configPath="data.currency"),
            fields.SelectionField("method", "Method", METHODS, configPath="allocation.method"),
            fields.BoolField("fractional", "Fractional", dependingOn="method",
                             dependencyRule={"hrp.HRPOptimization": True},
                             configPath="allocation.fractional"),
            fields.SelectionField("bounds", "Bounds", BOUNDS, compact=True, configPath="allocation.bounds"),
            [sg.Button("Other", key="other")],
        ]
        return super().createTab(**kwargs)

    def handleEvent(self, window, event, values):
        self.events.append((event, dict(values) if values else values))
        return super().handleEvent(window, event, values)


def makeManager(config, userConfig):
    """A provider manager with a field provider and the test tab, without a data source."""
    manager = bareManager(config, userConfig, tuple(config.gui.size))
    manager.reconfigured = []
    manager.reconfigure = manager.reconfigured.append
    manager.providerList = [
        fields.FieldProvider(config, providerManager=manager, userConfigParm=userConfig),
        FieldsTab(config, providerManager=manager, userConfigParm=userConfig),
    ]
    return manager


def installTranslation():
    gettext.NullTranslations().install()


def pump(window):
    """The current values of every input, as the main loop would read them with an event."""
    event, values = window.read(timeout=10)
    return values


def runLoop(manager, window, until, seconds=3):
    """The main loop for a while: every event the window reports is dispatched, until `until()` holds."""
    deadline = time.time() + seconds
    while time.time() < deadline and not until():
        event, values = window.read(timeout=100)
        if event != sg.TIMEOUT_KEY:
            window = manager.handleEvent(window, event, values)
    return window


def focusOn(window, key):
    """Gives the element the keyboard focus, so that real key presses reach it."""
    window.TKroot.focus_force()
    window[key].set_focus()
    window.refresh()
    time.sleep(0.2)


def press(*keys):
    """Real key presses through the X server."""
    subprocess.run(["xdotool", "key", "--delay", "30", *keys], check=True)


def typeText(text):
    subprocess.run(["xdotool", "type", "--delay", "30", text], check=True)


def textColour(window, key):
    return str(window[key].Widget.cget("fg"))


def savedUserConfig(userConfig):
    """The user configuration as it is saved: strict JSON."""
    return json.loads(json.dumps(userConfig, allow_nan=False))


@contextmanager
def processLocale(name):
    saved = locale.setlocale(locale.LC_ALL)
    locale.setlocale(locale.LC_ALL, name)
    try:
        yield
    finally:
        locale.setlocale(locale.LC_ALL, saved)


def freshConfig():
    return Dict(json.loads(json.dumps(FIELDS_CONFIG)))
