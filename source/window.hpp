// The main window's maximised state, as the user means it on every platform.
#pragma once

#include "pyclass.hpp"

namespace velmora {

// On Linux the toolkit's maximise means full screen; the user means the window manager's
// maximised state, which a window placed anew must restore.
inline void maximizeWindow(py::handle window) {
    py::object sg = py::module_::import("PySimpleGUI");
    if (sg.attr("running_linux")().cast<bool>()) {
        // A move or resize still waiting for idle time would reach the window manager after
        // the maximise and become the maximised geometry instead of the normal one.
        window.attr("TKroot").attr("update_idletasks")();
        window.attr("TKroot").attr("wm_attributes")("-zoomed", true);
        window.attr("maximized") = true;
    } else {
        window.attr("maximize")();
    }
}

// Leaves the maximised state and waits until the window manager has given the window
// its normal size back, since callers measure the size right afterwards.
inline void normalWindow(py::handle window) {
    py::object sg = py::module_::import("PySimpleGUI");
    window.attr("normal")();
    if (!sg.attr("running_linux")().cast<bool>()) return;
    py::object root = window.attr("TKroot");
    if (!truthy(root.attr("wm_attributes")("-zoomed"))) return;
    py::object zoomedSize = window.attr("size");
    root.attr("wm_attributes")("-zoomed", false);
    py::object time = py::module_::import("time");
    py::object deadline = time.attr("monotonic")() + py::float_(2.0);
    while (time.attr("monotonic")() < deadline) {
        root.attr("update")();
        if (!py::object(window.attr("size")).equal(zoomedSize)) break;
        time.attr("sleep")(0.01);
    }
}

}  // namespace velmora
