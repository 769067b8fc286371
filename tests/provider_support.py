"""Providers, stand-ins and window helpers for the provider framework's tests."""
import sys
import time
import types

import pytest
from addict import Dict

import provider

# Every provider of these tests appends (key, what, ...) here, so the order of calls
# across providers can be checked.
calls = []


class Recorder:
    """Stands in for a callable and keeps every call; answers `answer`."""

    def __init__(self, answer=None):
        self.calls, self.answer = [], answer

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.answer


def makeProvider(key, base=None, compute=None):
    """A provider class with `key` that counts its computations; `compute` adds to them."""
    def computeBody(self):
        type(self).computed += 1
        calls.append((self.key, "compute"))
        if compute:
            compute(self)

    return type(key.capitalize() + "Provider", (base or provider.Provider,),
                {"key": key, "computed": 0, "compute": computeBody})


# --- the manager's neighbours --------------------------------------------------------------

class RawSource:
    """A raw market-data source as the manager may accept it."""
    made = []

    def __init__(self, apiKey):
        self.apiKey = apiKey
        RawSource.made.append(self)

    def get(self, stocks, startDate=None, endDate=None, removeAdjusted=False, progress=None):
        return None

    def queryStocks(self, search):
        return None


class NotASource:
    """A class without the raw source's operations."""
    made = []

    def __init__(self, apiKey):
        NotASource.made.append(self)


def notAClass(apiKey):
    calls.append(("notAClass", apiKey))


class CachedDataSource:
    """Stands in for the cached data source; keeps its keywords."""

    def __init__(self, fileName=None, rawProvider=None, config=None):
        self.fileName, self.rawProvider, self.config = fileName, rawProvider, config


class Loaded(provider.Provider):
    """A provider loaded by dotted name; records its construction and its calls."""
    key = "loaded"

    def __init__(self, config, providerManager=None, userConfigParm=None):
        super().__init__(config, providerManager, userConfigParm)
        self.manager, self.userConfig = providerManager, userConfigParm
        calls.append((self, "construct"))

    def reconfigure(self, config, **kwargs):
        calls.append((self, "reconfigure", config, kwargs))
        self.dataSource = kwargs.get("dataSource")

    def recompute(self):
        calls.append((self, "recompute"))
        return super().recompute()


@pytest.fixture
def sources(monkeypatch):
    """A module of raw sources on the interpreter's module table, and the cached source's stand-in."""
    module = types.ModuleType("testsources")
    module.RawSource, module.NotASource, module.notAClass = RawSource, NotASource, notAClass
    monkeypatch.setitem(sys.modules, "testsources", module)
    cached = types.ModuleType("pdatasource")
    cached.CachedDataSource = CachedDataSource
    monkeypatch.setitem(sys.modules, "pdatasource", cached)
    RawSource.made.clear()
    NotASource.made.clear()
    return module


def managerConfig(dataProvider="testsources.RawSource", **gui):
    return Dict({"data": {"dataProvider": dataProvider, "apiKey": "KEY", "cacheName": "cache.pkl"},
                 "gui": {"language": "en_US.UTF-8", "size": [640, 480], **gui},
                 "progress": {"progressPeriod": 0.5}})


# --- real windows ---------------------------------------------------------------------------

def settle(window, until=lambda: True, seconds=3.0):
    """Lets the window manager act on the window until `until` holds (or time runs out)."""
    deadline = time.monotonic() + seconds
    while True:
        window.TKroot.update()
        if until() or time.monotonic() > deadline:
            return until()
        time.sleep(0.02)


def zoomed(window):
    return bool(int(window.TKroot.wm_attributes("-zoomed")))


def placed(window, position, size):
    """Whether the window stands at `position` with `size`, once the window manager has acted."""
    return settle(window,
                  lambda: window.CurrentLocation(more_accurate=True) == position and window.size == size)


def bareManager(config, userConfig, size, icon=None):
    """A provider manager made without its constructor, which would build the market-data
    source; its window and its event dispatch need none. The test adds the providers."""
    manager = provider.ProviderManager.__new__(provider.ProviderManager)
    manager.title, manager.size, manager.icon = "Velmora test", size, icon
    manager.config, manager.userConfig, manager.window = config, userConfig, None
    manager.providerList = []
    return manager
