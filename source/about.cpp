// The About tab: the program's title, pictures, versions and notice, and the user's way to the online update.
#include "pyclass.hpp"

#include <initializer_list>
#include <utility>

namespace {

// Files of the program beside it, named as the working directory sees them.
constexpr const char *productPicture = "pfront_300x327.png";
constexpr const char *makerLogo = "zeltralogo.png";
constexpr const char *notice = "\n\nCopyright (c) 2025 Zeltra. All rights reserved.\n"
                               "Zeltra Velmora is a product of Zeltra.";

// Looked up at every call, so that the update module's operations can be stood in for.
py::object updateModule() { return py::module_::import("update"); }

// The toolkit answers a picture file that cannot be read with a modal error window, which
// would stop the program before its main window opens: a missing picture shows nothing.
py::object picture(const char *fileName) {
    py::object image = velmora::sg().attr("Image");
    if (!velmora::truthy(py::module_::import("os").attr("path").attr("isfile")(fileName))) return image();
    return image("filename"_a = fileName);
}

void construct(const py::module_ &m, py::object self, py::object config, py::kwargs keywords) {
    velmora::super(m.attr("AboutProvider"), self).attr("__init__")(config, **py::dict(keywords));
    self.attr("config") = config;
    py::dict information;
    information["version"] = "";
    self.attr("updateInfo") = py::module_::import("addict").attr("Dict")(information);
    self.attr("updateNeeded") = false;
    self.attr("firstEvent") = true;
}

// The offered version as the tab shows it: cut as the error popup cuts a text, since a text of some
// hundred thousand characters needs a window larger than the display server can make.
py::object shownVersion(py::object self) { return velmora::shownText(self.attr("updateInfo")["version"]); }

// Keeps what the last check found when this one found nothing: the tab goes on showing the
// version it knew.
void takeCheck(py::object self, py::object check) {
    py::tuple answer = check;
    self.attr("updateNeeded") = answer[0];
    if (!answer[1].is_none()) self.attr("updateInfo") = answer[1];
}

py::object createTab(const py::module_ &m, py::object self, py::kwargs kwargs) {
    self.attr("title") = velmora::translate("About");
    self.attr("working") = velmora::translate("Downloading");
    takeCheck(self, updateModule().attr("CheckForUpdate")(self.attr("config")));
    py::object Text = velmora::sg().attr("Text"), Button = velmora::sg().attr("Button");
    py::object labelSize = py::make_tuple(20, 1);
    py::list layout;
    layout.append(velmora::list({Text("")}));
    layout.append(velmora::list({Text(velmora::translate("Zeltra Velmora"), "font"_a = "Helvetica, 20")}));
    layout.append(velmora::list({picture(productPicture), picture(makerLogo)}));
    layout.append(velmora::list({Text(velmora::translate("Installed Version:"), "size"_a = labelSize),
                                 Text(py::module_::import("version").attr("version"))}));
    layout.append(velmora::list({Text(velmora::translate("Current Version:"), "size"_a = labelSize),
                                 Text(shownVersion(self), "key"_a = "CurrentVersion"),
                                 Button(velmora::translate("Check for Updates"), "key"_a = "CheckUpdate"),
                                 Button(velmora::translate("Update"), "key"_a = "UpdateSoftware",
                                        "disabled"_a = !velmora::truthy(self.attr("updateNeeded")))}));
    layout.append(velmora::list({Text(notice)}));
    self.attr("layout") = layout;
    return velmora::super(m.attr("AboutProvider"), self).attr("createTab")(**kwargs);
}

void announceUpdate(py::object self, py::object window) {
    window["about"].attr("select")();
    py::object message = velmora::translate(
        "A new version ({}) of Velmora is available.\n\nPlease update to the latest version.");
    velmora::sg().attr("Popup")(velmora::translate("Update available"),
                                message.attr("format")(shownVersion(self)),
                                "keep_on_top"_a = true);
}

// The user's check shows the progress meter while it waits, with its Cancel; a check that was
// cancelled says nothing, one that failed says so. Without a service to ask (the program ships
// without its address) there is nothing to wait for, and the user is told why nothing happens.
void checkAgain(py::object self, py::object window) {
    py::object check = updateModule();
    if (!velmora::truthy(check.attr("HasAddress")(self.attr("config")))) {
        velmora::showError(velmora::translate(
            "No update address is configured: the check for updates needs the setting updateInfo.url."));
        return;
    }
    py::object tenths = py::int_(py::float_(check.attr("longestCheck")) * py::float_(10.0));
    self.attr("working") = velmora::translate("Checking for updates");
    py::object answer;
    try {
        velmora::within(self.attr("start")(tenths), [&](py::object) {
            answer = check.attr("CheckForUpdate")(self.attr("config"), "flush"_a = true,
                                                  "progress"_a = self.attr("update"));
            return py::none();
        });
    } catch (...) {
        self.attr("working") = velmora::translate("Downloading");
        throw;
    }
    self.attr("working") = velmora::translate("Downloading");
    if (velmora::truthy(py::getattr(check, "checkFailed", py::bool_(false))))
        velmora::showError(velmora::translate("The check for updates failed. Please try again later."));
    takeCheck(self, answer);
    py::tuple pair = answer;
    if (pair[1].is_none()) return;
    window["UpdateSoftware"].attr("update")("disabled"_a = !velmora::truthy(self.attr("updateNeeded")));
    window["CurrentVersion"].attr("update")(shownVersion(self));
}

// The Update button's state is the only guard of the installation: it is enabled exactly
// when the last check offered a newer version.
py::object handleEvent(py::object self, py::object window, py::object event, py::object values) {
    if (velmora::truthy(self.attr("firstEvent")) && velmora::truthy(self.attr("updateNeeded")))
        announceUpdate(self, window);
    self.attr("firstEvent") = false;
    if (event.equal(py::str("CheckUpdate")))
        checkAgain(self, window);
    else if (event.equal(py::str("UpdateSoftware")))
        updateModule().attr("InstallUpdate")(self, self.attr("config"), self.attr("updateInfo"));
    return py::bool_(false);
}

void defineAboutProvider(py::module_ &m) {
    py::object tabProvider = velmora::classOf("provider", "TabProvider");
    py::object cls = velmora::makeClass(m, "AboutProvider", py::make_tuple(tabProvider));
    cls.attr("title") = velmora::translate("About");
    cls.attr("key") = "about";
    cls.attr("working") = velmora::translate("Downloading");
    velmora::constructor(cls, std::as_const(m), &construct, "config"_a);
    velmora::method(cls, "createTab", std::as_const(m), &createTab);
    velmora::method(cls, "handleEvent", &handleEvent, "window"_a, "event"_a, "values"_a);
}

}  // namespace

PYBIND11_MODULE(about, m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")(m.attr("__file__"));
    defineAboutProvider(m);
}
