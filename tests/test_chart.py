"""Chart images: scaling, the chart element, the chart field with its enlarged view and the chart tab."""
import io
import subprocess
import time

import PySimpleGUI as sg
import pytest
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from PIL import Image, UnidentifiedImageError

import chart
import fields
from provider_support import settle


def png(width, height):
    """A chart rendered the way the tabs render theirs, exactly width x height pixels."""
    figure = Figure(figsize=(width / 100, height / 100), dpi=100)
    FigureCanvasAgg(figure)
    figure.add_subplot().plot([1, 3, 2])
    stream = io.BytesIO()
    figure.savefig(stream, format="png", dpi=100)
    return stream.getvalue()


def sizeOf(data):
    image = Image.open(io.BytesIO(data))
    assert image.format == "PNG"
    return image.size


def xdotool(*args):
    subprocess.run(["xdotool", *map(str, args)], check=True, timeout=10)


def click(widget):
    widget.update()
    xdotool("mousemove", widget.winfo_rootx() + widget.winfo_width() // 2,
            widget.winfo_rooty() + widget.winfo_height() // 2, "click", 1)


# -- resize ---------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "source, target, expected",
    [((800, 600), (500, 500), (500, 375)), ((900, 700), (500, 500), (500, 388)),
     ((300, 400), (500, 500), (300, 400)), ((1000, 400), (900, 500), (900, 360))],
)
def test_resize_fits_keeps_the_aspect_and_never_enlarges(source, target, expected):
    original = png(*source)
    data, size = chart.resize(original, target)
    assert size == expected and sizeOf(data) == expected and data != original


def test_resize_of_no_image_and_of_too_small_targets():
    assert chart.resize(None, (640, 480)) == (None, (640, 480))
    with pytest.raises(ValueError):
        chart.resize(png(900, 700), (0, 500))
    with pytest.raises(UnidentifiedImageError):
        chart.resize(b"not a picture", (500, 500))


# -- the chart element in a window ----------------------------------------------------------

def test_element_scales_to_its_widget_and_keeps_the_full_image_for_the_view(openWindow, monkeypatch):
    row = chart.ChartField(key="stockChart", title="Prices")
    field = fields.handlers["stockChart"]
    window = openWindow("Chart", [row])
    element = window["stockChart"]
    assert isinstance(element, chart.ChartElement) and element.metadata is field

    full = png(900, 700)
    monkeypatch.setattr(element.Widget, "winfo_width", lambda: 1)
    monkeypatch.setattr(element.Widget, "winfo_height", lambda: 1)
    element.update(full)
    assert sizeOf(element.ImageData) == (500, 388) and field.source == full

    big = png(2000, 1000)
    monkeypatch.setattr(element.Widget, "winfo_width", lambda: 900)
    monkeypatch.setattr(element.Widget, "winfo_height", lambda: 450)
    element.update(big, visible=True)
    assert sizeOf(element.ImageData) == (900, 450) and field.source == big
    assert element.Widget.cget("image") != ""


def test_element_without_image_shows_an_empty_image(openWindow):
    window = openWindow("Chart", [chart.ChartField(key="emptyChart", title="Prices")])
    element = window["emptyChart"]
    element.update(png(600, 600))
    assert element.Widget.cget("image") != ""
    place = (element.Widget.winfo_reqwidth(), element.Widget.winfo_reqheight())
    # Other options beside no image used to keep the old chart on screen; the chart's place stays, empty.
    element.update(None, visible=True)
    blank = element.Widget.image
    assert blank.transparency_get(250, 250) and element.metadata.source is None
    assert (element.Widget.winfo_reqwidth(), element.Widget.winfo_reqheight()) == place
    element.update(png(600, 600))
    element.update(None)
    assert element.Widget.image is not blank and element.Widget.image.transparency_get(0, 0)


# -- field, factory and tab -----------------------------------------------------------------

def test_field_stores_its_options_and_builds_one_clickable_element():
    field = chart.ChartFieldClass("riskChart", "Risk", b"png", size=(600, 400), expand_x=True)
    assert isinstance(field, fields.FieldClass) and fields.handlers["riskChart"] is field
    assert (field.key, field.title, field.source) == ("riskChart", "Risk", b"png")
    assert field.kwargs == {"size": (600, 400), "expand_x": True}
    assert field.configPath is None and field.initialValue is None and field.dependencies == []
    (element,) = field.create()
    assert isinstance(element, chart.ChartElement) and isinstance(element, sg.Image)
    assert element.Key == "riskChart" and element.ImageData == b"png" and element.metadata is field
    assert element.EnableEvents is True and element.ImageSize == (600, 400) and element.expand_x is True
    field.update(None)
    assert field.source is None


def test_factory_takes_keywords_only():
    with pytest.raises(TypeError, match=r"^ChartField\(\) takes 0 positional arguments but 2 were given$"):
        chart.ChartField("k", "t")
    (element,) = chart.ChartField(key="kwChart", title="T")
    assert fields.handlers["kwChart"].title == "T" and element.ImageData is None


def test_tab_holds_one_chart_and_hands_options_to_the_image(openWindow):
    source = png(700, 500)
    tab = chart.ChartTab("Backtest", key="backtest", source=source, expand_x=True, size=(640, 480))
    assert isinstance(tab, sg.Tab) and tab.Key == "backtestTab" and tab.Title == "Backtest"
    assert len(tab.Rows) == 1 and len(tab.Rows[0]) == 1
    (element,) = tab.Rows[0]
    assert isinstance(element, chart.ChartElement) and element.Key == "backtest"
    assert element.expand_x is True and element.ImageSize == (640, 480) and element.ImageData == source
    assert tab.expand_x is False and fields.handlers["backtest"].title == "Backtest"
    window = openWindow("Tabs", [[sg.TabGroup([[tab]], key="mainTab")]])
    assert window["backtestTab"] is tab and window["backtest"] is element


# -- the enlarged view over the main window -------------------------------------------------

class Views:
    """Stands in for the toolkit's window class while a chart field shows its enlarged view.

    Once the view is on screen at its final place and size, it notes what the view shows and acts
    on it, with `repeat` again every second while the view stays open. The view reads its events
    without a time-out, so a view still open at the deadline is closed from here: the test then
    fails instead of hanging the run.
    """

    SETTLE_SECONDS = 5
    DEADLINE_MS = 15000

    def __init__(self, monkeypatch, main, act, repeat=False):
        self.opened, self.moves, self.seen, self.gaveUp = [], [], {}, False
        self.main, self.act, self.repeat, self.timers = main, act, repeat, []
        views = self

        class Recording(sg.Window):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                views.opened.append((self, args, kwargs))

            def Move(self, x, y):
                views.moves.append((x, y))
                return super().Move(x, y)

        monkeypatch.setattr(sg, "Window", Recording)

    def __enter__(self):
        self.settleBy = time.monotonic() + self.SETTLE_SECONDS
        self.later(100, self.poll)
        self.later(self.DEADLINE_MS, self.giveUp)
        return self

    def __exit__(self, *exc):
        for timer in self.timers:
            self.main.TKroot.after_cancel(timer)

    def later(self, ms, callback):
        self.timers.append(self.main.TKroot.after(ms, callback))

    def poll(self):
        view = self.opened[-1][0] if self.opened else None
        shown = view is not None and view.TKroot.winfo_viewable()
        if shown:
            view.TKroot.update()
        # The window manager places and sizes the view a moment after it is mapped.
        if not (shown and view.size == self.main.size) and time.monotonic() < self.settleBy:
            self.later(50, self.poll)
            return
        if shown:
            self.seen = {"location": view.CurrentLocation(), "size": view.size, "view": view,
                         "image": view["popup_bigChart"]}
            self.actOn(view)

    def actOn(self, view):
        if view.is_closed():
            return
        self.act(view)
        if self.repeat:
            self.later(1000, lambda: self.actOn(view))

    def giveUp(self):
        for view, _, _ in self.opened:
            if not view.is_closed():
                self.gaveUp = True
                view.write_event_value(sg.WIN_CLOSED, None)


@pytest.fixture
def mainWindow(openWindow):
    source = png(1200, 900)
    # The button above the chart, which is larger than the window.
    layout = [[sg.Button("Ping")], chart.ChartField(key="bigChart", title="Allocation", source=source)]
    window = openWindow("Main", layout, location=(120, 80), size=(900, 700))
    settle(window, lambda: window.size == (900, 700), seconds=5)
    return window, source


def test_click_opens_the_view_over_the_main_window_and_a_click_on_it_closes_it(mainWindow, monkeypatch):
    window, source = mainWindow
    click(window["bigChart"].Widget)
    event, values = window.read(timeout=5000)
    assert event == "bigChart"

    main_size, main_location = window.size, window.CurrentLocation()
    with Views(monkeypatch, window, lambda view: click(view["popup_bigChart"].Widget)) as views:
        assert fields.handlers[event].validate(window, event, values) is True

    view, args, kwargs = views.opened[-1]
    assert args[0] == "Allocation" and kwargs == {"resizable": True, "modal": True}
    assert views.moves == [main_location] and not views.gaveUp
    assert views.seen["size"] == main_size
    # Where the window manager puts the title bar may shift the view by its height.
    assert abs(views.seen["location"][0] - main_location[0]) <= 2
    assert abs(views.seen["location"][1] - main_location[1]) <= 40
    image = views.seen["image"]
    expected = chart.resize(source, (main_size[0] - 100, main_size[1] - 50))[1]
    assert sizeOf(image.ImageData) == expected and image.EnableEvents and image.ImageSize == (700, 500)
    assert view.is_closed()

    # The main window takes clicks again.
    click(window["Ping"].Widget)
    assert window.read(timeout=5000)[0] == "Ping"


def test_closing_the_view_returns_to_a_responsive_main_window(mainWindow, monkeypatch):
    window, source = mainWindow
    # An empty chart opens no view.
    fields.handlers["bigChart"].update(None)
    with Views(monkeypatch, window, lambda view: None) as views:
        assert fields.handlers["bigChart"].validate(window, "bigChart", {}) is True
    assert views.opened == []
    fields.handlers["bigChart"].update(source)

    def close(view):
        # The window manager's own close, as the user asks for it. Now and then the window
        # manager lets the keys pass that arrive just after it activated the view, hence repeat.
        xdotool("search", "--name", "^Allocation$", "windowactivate", "--sync", "key", "alt+F4")

    with Views(monkeypatch, window, close, repeat=True) as views:
        assert fields.handlers["bigChart"].validate(window, "bigChart", {}) is True
    view = views.seen["view"]
    assert not views.gaveUp
    assert view.is_closed() and views.seen["image"].ImageData is not None
    window.write_event_value("Later", 1)
    assert window.read(timeout=5000)[0] == "Later"
    click(window["Ping"].Widget)
    assert window.read(timeout=5000)[0] == "Ping"
