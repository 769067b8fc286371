"""Shared fixtures: the tests run inside the program's own interpreter, with its linked modules."""
import os
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"


@pytest.fixture
def program():
    """Path of the program executable beside the test runner."""
    return Path(sys.executable).with_name("velmora")


# The program installs its translation function `_` before it loads a module that
# translates while it is loaded (provider and the tabs); the tests import those modules
# directly, so the untranslated texts stand in until a test installs a catalogue.
import builtins as _builtins  # noqa: E402
import gettext as _gettext  # noqa: E402

if not hasattr(_builtins, "_"):
    _gettext.NullTranslations().install()


def _refreshDebugger():
    """The toolkit's refresh of its debugger windows at every read, with the reading function's frame taken
    directly: the toolkit finds it with inspect.stack(), which looks up the module and source of every frame
    of pytest's deep stack, some hundredths of a second a read once the libraries are loaded."""
    toolkit = sys.modules["PySimpleGUI.PySimpleGUI"]
    if toolkit._Debugger.debugger is None:
        toolkit._Debugger.debugger = toolkit._Debugger()
    debugger = toolkit._Debugger.debugger
    toolkit.Window._read_call_from_debugger = True
    rc = None
    frame = sys._getframe(1)
    try:
        debugger.locals = frame.f_back.f_locals
        debugger.globals = frame.f_back.f_globals
    finally:
        del frame
    if debugger.popout_window:
        rc = debugger._refresh_floating_window()
    if debugger.watcher_window:
        rc = debugger._refresh_main_debugger_window(debugger.locals, debugger.globals)
    toolkit.Window._read_call_from_debugger = False
    return rc


import PySimpleGUI.PySimpleGUI  # noqa: E402

sys.modules["PySimpleGUI.PySimpleGUI"]._refresh_debugger = _refreshDebugger


@pytest.fixture(params=["UTC", "Etc/GMT-1"], ids=["utc", "one-hour-east"])
def zone(request):
    """Runs the test with the computer's time zone set to UTC and to one hour east of it."""
    saved = os.environ.get("TZ")
    os.environ["TZ"] = request.param
    time.tzset()
    yield request.param
    if saved is None:
        del os.environ["TZ"]
    else:
        os.environ["TZ"] = saved
    time.tzset()


@pytest.fixture(scope="session")
def market_server():
    """One stub of both market-data services on 127.0.0.1 for the whole run."""
    from marketdata_stub import MarketDataStub

    stub = MarketDataStub()
    yield stub
    stub.close()


@pytest.fixture
def market_stub(market_server, monkeypatch):
    """The market-data stub, emptied, as the service of both raw sources."""
    market_server.reset()
    monkeypatch.setenv("VELMORA_EOD_URL", market_server.url)
    monkeypatch.setenv("VELMORA_YAHOO_URL", market_server.url)
    return market_server


@pytest.fixture
def openedWindows():
    """The windows a test has opened, closed after it: whatever makes a window appends it here."""
    made = []
    yield made
    for window in made:
        window.close()


@pytest.fixture
def openWindow(openedWindows):
    """Makes a finalised window from sg.Window's arguments; it is closed after the test."""
    import PySimpleGUI as sg

    def make(*args, **kwargs):
        openedWindows.append(sg.Window(*args, finalize=True, **kwargs))
        return openedWindows[-1]

    return make


@pytest.fixture(autouse=True)
def chart_texts(monkeypatch):
    """Every test starts with no chart texts recorded, as every start of the program does:
    the texts one test's charts record would otherwise reach the next test's saves."""
    risk = sys.modules.get("risk")
    if risk is not None:
        monkeypatch.setattr(risk, "translations", set())
    yield


@pytest.fixture(autouse=True)
def no_figures_left():
    """Figures a test leaves open would become the next test's current figure."""
    yield
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is not None:
        pyplot.close("all")
