"""The one-line progress meter, alone and as the providers' progress reporting drives it."""
import datetime
import locale

import PySimpleGUI as sg
import pytest
from PySimpleGUI.PySimpleGUI import _QuickMeter as ToolkitMeter
from addict import Dict

import progress

DEFAULT_KEY = "OK for 1 meter"

# The meter reads the UTC clock the way the toolkit's own meter does.
pytestmark = pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")


class FixedClock(datetime.datetime):
    """A clock that stands still at `now` until a test moves it."""

    now = datetime.datetime(2024, 1, 2, 3, 4, 5)

    @classmethod
    def utcnow(cls):
        return cls.now


class ClockModule:
    timedelta = datetime.timedelta
    datetime = FixedClock


@pytest.fixture
def clock(monkeypatch):
    monkeypatch.setattr(progress, "datetime", ClockModule)
    return FixedClock


@pytest.fixture
def numbers():
    """Switches the process locale for number formatting and puts it back afterwards."""
    saved = locale.setlocale(locale.LC_ALL)
    yield lambda name: locale.setlocale(locale.LC_ALL, name)
    locale.setlocale(locale.LC_ALL, saved)


@pytest.fixture(autouse=True)
def noMeterLeft():
    yield
    for key in list(progress.QuickMeter.active_meters):
        sg.OneLineProgressMeterCancel(key)


def statistics(current, maximum, elapsed, clock):
    """The nine lines of a meter opened `elapsed` seconds ago, computed without a window;
    they are kept on the meter as well."""
    meter = progress.QuickMeter.__new__(progress.QuickMeter)
    meter.start_time = clock.now
    meter.current_value, meter.max_value = current, maximum
    clock.now = clock.now + datetime.timedelta(seconds=elapsed)
    lines = meter.ComputeProgressStats()
    assert meter.stat_messages is lines
    return lines


class TestStatistics:
    def test_nothing_done_yet(self, clock, numbers):
        numbers("en_US.UTF-8")
        assert statistics(0, 200, 0, clock) == [
            "0 of 200", "0 %", "",
            "   0.00 Iterations per Second", "   1.00 Seconds per Iteration", "",
            "0:00:00 Elapsed Time", "0:03:20 Time Remaining", "0:03:20 Estimated Total Time"]

    @pytest.mark.parametrize("language, rate, perItem",
                             [("en_US.UTF-8", "5.00", "0.20"), ("de_DE.UTF-8", "5,00", "0,20")])
    def test_rates_follow_the_locale(self, clock, numbers, language, rate, perItem):
        numbers(language)
        assert statistics(50, 200, 10, clock) == [
            "50 of 200", "25 %", "",
            f"   {rate} Iterations per Second", f"   {perItem} Seconds per Iteration", "",
            "0:00:10 Elapsed Time", "0:00:30 Time Remaining", "0:00:40 Estimated Total Time"]

    def test_counts_are_grouped_and_the_percentage_is_plain(self, clock, numbers):
        numbers("de_DE.UTF-8")
        lines = statistics(12345, 50000, 100, clock)
        assert lines[:2] == ["12.345 of 50.000", "24 %"]
        numbers("en_US.UTF-8")
        assert statistics(12345, 50000, 100, clock)[:2] == ["12,345 of 50,000", "24 %"]

    def test_percentage_rounds_down(self, clock, numbers):
        numbers("en_US.UTF-8")
        assert statistics(2, 3, 1, clock)[1] == "66 %"

    def test_a_fraction_shows_its_whole_part(self, clock, numbers):
        numbers("en_US.UTF-8")
        assert statistics(2.75, 10, 1, clock)[:2] == ["2 of 10", "27.0 %"]

    def test_texts_are_not_those_of_the_program_catalogue(self, clock, monkeypatch):
        # The program installs its own translation as the built-in `_`; the meter's texts
        # come from the default domain and stay as written.
        import builtins
        monkeypatch.setattr(builtins, "_", lambda text: "X" + text, raising=False)
        assert statistics(1, 2, 1, clock)[0] == "1 of 2"
        assert progress.Cancel().ButtonText == "Cancel"

    def test_total_of_zero_fails(self, clock):
        with pytest.raises(ZeroDivisionError):
            statistics(0, 0, 1, clock)


class TestCancelButton:
    def test_caption(self):
        assert progress.Cancel().ButtonText == "Cancel"
        assert progress.Cancel(button_text="").ButtonText == ""
        assert progress.Cancel(button_text="Stop", button_color=("red", "white")).ButtonText == "Stop"


class TestWindow:
    @pytest.mark.parametrize("orientation", ["v", "", "sideways"])
    def test_vertical_layout(self, orientation):
        meter = progress.QuickMeter("Vertical", 0, 10, "vertical", "a", 1, orientation=orientation,
                                    location=(120, 130))
        try:
            window = meter.window
            assert window.Title == "Vertical"
            bar, texts = window.Rows[0]
            assert window["-PROG-"].Orientation == "v"
            assert bar.Rows[0][0] is window["-PROG-"]
            assert texts.Rows[0][0] is window["-OPTMSG-"] and texts.Rows[1][0] is window["-STATS-"]
            assert window["-OPTMSG-"].get() == "a\n1\n"
            assert texts.Rows[2][0].ButtonText == "Cancel"
            assert window.CurrentLocation(more_accurate=True) == (120, 130)
        finally:
            meter.window.close()

    def test_close_box_does_nothing(self):
        assert progress.OneLineProgressMeter("T", 1, 10) is True
        meter = progress.QuickMeter.active_meters[DEFAULT_KEY]
        root = meter.window.TKroot
        root.tk.eval(root.protocol("WM_DELETE_WINDOW"))  # what the window manager's close box sends
        assert progress.OneLineProgressMeter("T", 2, 10) is True
        assert progress.QuickMeter.active_meters[DEFAULT_KEY] is meter

    @pytest.mark.parametrize("orientation", ["h", "Horizontal"])
    def test_horizontal_layout_without_button(self, orientation):
        meter = progress.QuickMeter("H", 0, 10, "horizontal", orientation=orientation, no_button=True)
        try:
            (column,) = meter.window.Rows[0]
            assert [row[0].Key for row in column.Rows] == ["-OPTMSG-", "-STATS-", "-PROG-"]
            assert meter.window["-PROG-"].Orientation == "h"
            assert meter.window["-OPTMSG-"].get() == ""
        finally:
            meter.window.close()

    def test_window_option_given_twice_is_refused(self):
        with pytest.raises(TypeError):
            progress.OneLineProgressMeter("T", 1, 10, disable_close=False)
        assert DEFAULT_KEY not in progress.QuickMeter.active_meters


class TestEntryPoint:
    def test_registries_are_the_toolkits(self):
        progress.OneLineProgressMeter("T", 1, 2)
        assert progress.OneLineProgressMeter is progress.one_line_progress_meter
        assert progress.OneLineProgressMeter.exit_reasons is ToolkitMeter.exit_reasons
        assert isinstance(ToolkitMeter.active_meters[DEFAULT_KEY], progress.QuickMeter)
        sg.OneLineProgressMeterCancel()
        assert DEFAULT_KEY not in progress.QuickMeter.active_meters
        sg.OneLineProgressMeterCancel()  # nothing open: nothing happens

    def test_reaching_the_total_ends_the_meter_and_goes_on(self):
        assert progress.OneLineProgressMeter("T", 5, 5) is True
        assert DEFAULT_KEY not in progress.QuickMeter.active_meters
        assert progress.QuickMeter.exit_reasons[DEFAULT_KEY] == sg.METER_REASON_REACHED_MAX
        assert progress.OneLineProgressMeter("T", 1, 5) is True
        assert DEFAULT_KEY in progress.QuickMeter.active_meters

    def test_later_calls_update_an_open_meter(self):
        progress.OneLineProgressMeter("First", 1, 10, location=(50, 60))
        meter = progress.QuickMeter.active_meters[DEFAULT_KEY]
        progress.OneLineProgressMeter("Second", 3, 20, "a", 1, location=(400, 400))
        assert meter is progress.QuickMeter.active_meters[DEFAULT_KEY]
        assert meter.window.Title == "First"
        assert meter.window.CurrentLocation(more_accurate=True) == (50, 60)
        assert (meter.current_value, meter.max_value) == (3, 20)
        assert meter.window["-OPTMSG-"].get() == "a\n1\n"
        assert meter.window["-STATS-"].get().split("\n")[0] == "3 of 20"

    def test_cancel_stops_and_the_next_call_opens_a_new_meter(self):
        assert progress.OneLineProgressMeter("T", 1, 10) is True
        meter = progress.QuickMeter.active_meters[DEFAULT_KEY]
        meter.window["Cancel"].click()
        assert progress.OneLineProgressMeter("T", 2, 10) is False
        assert DEFAULT_KEY not in progress.QuickMeter.active_meters
        assert progress.OneLineProgressMeter("T", 3, 10) is True
        assert progress.QuickMeter.active_meters[DEFAULT_KEY] is not meter


# --- progress reporting of the providers --------------------------------------------------

@pytest.fixture
def provider():
    return pytest.importorskip("provider")


@pytest.fixture
def mainWindow(provider):
    window = sg.Window("Main", [[sg.Text("main")]], location=(100, 50), size=(300, 200), finalize=True)
    saved = provider.ProviderManager.__dict__.get("MainWindow")
    provider.ProviderManager.MainWindow = window
    yield window
    window.close()
    if saved is not None:
        provider.ProviderManager.MainWindow = saved


@pytest.fixture
def worker(provider):
    return provider.Provider(Dict({"progress": {"progressPeriod": 0.5}}))


class TestProviderProgress:
    def test_meter_opens_over_the_main_window(self, mainWindow, worker):
        with worker.start(10):
            meter = progress.QuickMeter.active_meters[DEFAULT_KEY]
            x, y = mainWindow.CurrentLocation(more_accurate=True)
            assert meter.window.CurrentLocation(more_accurate=True) == (x + 300, y + 300)
            assert meter.window.Title == worker.working
            assert meter.window.KeepOnTop
            assert meter.window["-STATS-"].get().split("\n")[:2] == ["0 of 10", "0 %"]
        assert DEFAULT_KEY not in progress.QuickMeter.active_meters

    def test_cancel_stops_the_work_for_the_rest_of_the_run(self, mainWindow, worker):
        done = []
        with worker.start(50):
            for step in range(1, 51):
                worker.lastProgressUpdate = 0  # every call redraws
                if step == 3:
                    progress.QuickMeter.active_meters[DEFAULT_KEY].window["Cancel"].click()
                if not worker.update(step):
                    break
                done.append(step)
            assert done == [1, 2]
            worker.lastProgressUpdate = 0
            assert worker.update(4) is False
            assert DEFAULT_KEY not in progress.QuickMeter.active_meters
        with worker.start(5):
            assert worker.update(1) is True

    def test_meter_closes_when_an_exception_leaves_the_run(self, mainWindow, worker):
        with pytest.raises(RuntimeError):
            with worker.start(10):
                assert DEFAULT_KEY in progress.QuickMeter.active_meters
                raise RuntimeError("failed")
        assert DEFAULT_KEY not in progress.QuickMeter.active_meters
