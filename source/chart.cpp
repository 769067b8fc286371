// Chart images: the image element that scales charts to its size, the chart field with its enlarged
// view, the chart tab and image scaling.
#include "pyclass.hpp"

#include <algorithm>

namespace {

// A chart is never scaled below this in either direction, also while the window is not
// laid out yet and its widgets report a tiny size.
constexpr long minimumTarget = 500;
// What the enlarged view leaves of the main window's size for its frame.
constexpr long popupMarginWidth = 100;
constexpr long popupMarginHeight = 50;

// Takes the chart away and leaves its place empty at the size the chart had: the toolkit's own
// clearing shrinks the element to a dot, and the charts beside it and everything below them would
// move while a run computes.
void showNothing(py::object element) {
    py::object label = element.attr("Widget");
    // Without an image the label's size would count in characters.
    if (py::getattr(label, "image", py::none()).is_none()) return;
    py::object width = label.attr("cget")("width"), height = label.attr("cget")("height");
    py::object blank = py::module_::import("tkinter").attr("PhotoImage")(
        "master"_a = label, "width"_a = width, "height"_a = height);
    label.attr("configure")("image"_a = blank, "width"_a = width, "height"_a = height);
    // Tk forgets an image that Python no longer holds.
    label.attr("image") = blank;
}

void defineChartElement(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "ChartElement", py::make_tuple(m.attr("sg").attr("Image")));
    velmora::method(cls, "update", [m, cls](py::object self, py::object source, py::kwargs kwargs) {
        py::object widget = self.attr("Widget");
        long width = std::max(widget.attr("winfo_width")().cast<long>(), minimumTarget);
        long height = std::max(widget.attr("winfo_height")().cast<long>(), minimumTarget);
        py::object scaled = m.attr("resize")(source, py::make_tuple(width, height))[py::int_(0)];
        // The enlarged view starts from the full-size image, not from the scaled one.
        self.attr("metadata").attr("update")(source);
        py::object update = velmora::super(cls, self).attr("update");
        if (!scaled.is_none()) {
            update(scaled, **kwargs);
            return;
        }
        // Given no image and no option, the toolkit would clear the element again.
        showNothing(self);
        if (!kwargs.empty()) update(scaled, **kwargs);
    }, "source"_a);
}

// The enlarged view: a modal window over the main window, at its place and size, until the
// user closes it or clicks the image; only for a chart that is drawn.
bool showEnlarged(const py::module_ &m, py::object self, py::object window, py::object event,
                  py::object values) {
    // An empty chart has nothing to enlarge.
    if (self.attr("source").is_none()) return true;
    py::object sg = m.attr("sg");
    py::tuple size = window.attr("size");
    py::tuple location = window.attr("CurrentLocation")();
    py::object target = py::make_tuple(size[0].cast<long>() - popupMarginWidth,
                                       size[1].cast<long>() - popupMarginHeight);
    py::object scaled = m.attr("resize")(self.attr("source"), target)[py::int_(0)];
    py::str popupKey = py::str("popup_") + py::str(self.attr("key"));
    py::object image = sg.attr("Image")("key"_a = popupKey, "source"_a = scaled, "expand_x"_a = true,
                                        "expand_y"_a = true, "enable_events"_a = true,
                                        "size"_a = py::make_tuple(700, 500));
    py::list layout = velmora::list({velmora::list({image})});
    py::object popup = sg.attr("Window")(self.attr("title"), layout, "resizable"_a = true, "modal"_a = true);
    popup.attr("finalize")();
    popup.attr("Move")(location[0], location[1]);
    popup.attr("size") = size;
    py::object closed = sg.attr("WIN_CLOSED");
    while (true) {
        py::object viewEvent = popup.attr("read")()[py::int_(0)];
        if (viewEvent.equal(closed) || viewEvent.equal(popupKey)) break;
    }
    popup.attr("close")();
    return true;
}

void defineChartFieldClass(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "ChartFieldClass", py::make_tuple(m.attr("FieldClass")));
    velmora::constructor(cls, [cls](py::object self, py::object key, py::object title, py::object source,
                                    py::kwargs kwargs) {
        self.attr("kwargs") = kwargs;
        self.attr("source") = source;
        velmora::super(cls, self).attr("__init__")(key, title);
    }, "key"_a = py::none(), "title"_a = py::none(), "source"_a = py::none());
    velmora::method(cls, "create", [m](py::object self) {
        py::dict options = self.attr("kwargs");
        py::object element =
            m.attr("ChartElement")("key"_a = self.attr("key"), "source"_a = self.attr("source"),
                                   "enable_events"_a = true, "metadata"_a = self, **options);
        return velmora::list({element});
    });
    velmora::method(cls, "validate", m, &showEnlarged, "window"_a, "event"_a, "values"_a);
    velmora::method(cls, "update", [](py::object self, py::object source) { self.attr("source") = source; },
                    "source"_a);
}

py::object chartField(const py::module_ &m, py::args args, py::kwargs kwargs) {
    if (!args.empty()) {
        std::string given = std::to_string(args.size()) + (args.size() == 1 ? " was" : " were");
        velmora::raise(PyExc_TypeError, "ChartField() takes 0 positional arguments but " + given + " given");
    }
    return m.attr("ChartFieldClass")(**kwargs).attr("create")();
}

void defineChartTab(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "ChartTab", py::make_tuple(m.attr("sg").attr("Tab")));
    velmora::constructor(cls, [m, cls](py::object self, py::object title, py::object key, py::object source,
                                       py::kwargs kwargs) {
        py::object row =
            m.attr("ChartField")("key"_a = key, "title"_a = title, "source"_a = source, **kwargs);
        py::list layout = velmora::list({row});
        // Every further option belongs to the image; the tab gets only its title and key.
        velmora::super(cls, self).attr("__init__")(title, layout, "key"_a = py::str(key) + py::str("Tab"));
    }, "title"_a, "key"_a = py::none(), "source"_a = py::none());
}

py::tuple resize(const py::module_ &m, py::object source, py::object targetSize) {
    if (source.is_none()) return py::make_tuple(py::none(), targetSize);
    py::object io = m.attr("io");
    py::object image = m.attr("PillowImage").attr("open")(io.attr("BytesIO")(source));
    py::tuple sourceSize = image.attr("size");
    double sourceWidth = sourceSize[0].cast<double>(), sourceHeight = sourceSize[1].cast<double>();
    double factor = std::min({targetSize[py::int_(1)].cast<double>() / sourceHeight,
                              targetSize[py::int_(0)].cast<double>() / sourceWidth, 1.0});
    // Truncated toward zero, as the interpreter's int() does.
    auto newSize =
        py::make_tuple(static_cast<long>(sourceWidth * factor), static_cast<long>(sourceHeight * factor));
    py::object resized = image.attr("resize")(newSize);
    py::object stream = io.attr("BytesIO")();
    resized.attr("save")(stream, "format"_a = "PNG");
    return py::make_tuple(stream.attr("getvalue")(), resized.attr("size"));
}

}  // namespace

PYBIND11_MODULE(chart, m) {
    m.attr("io") = py::module_::import("io");
    m.attr("sg") = py::module_::import("PySimpleGUI");
    m.attr("FieldClass") = velmora::classOf("fields", "FieldClass");
    m.attr("PillowImage") = py::module_::import("PIL.Image");
    defineChartElement(m);
    defineChartFieldClass(m);
    velmora::function(m, "ChartField", &chartField);
    defineChartTab(m);
    velmora::function(m, "resize", &resize, "source"_a, "targetSize"_a);
}
