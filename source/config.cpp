// The settings tab: language, paper size, title, market data, local currency, analysis period, cleaning.
#include "pyclass.hpp"

#include <algorithm>
#include <utility>

namespace {

py::object fields() { return py::module_::import("fields"); }

using Option = std::pair<py::object, const char *>;

// Stored value -> shown text, in the order the selection box offers them.
py::dict optionsOf(std::initializer_list<Option> options, bool translated = true) {
    py::dict mapping;
    for (const auto &[stored, label] : options)
        mapping[stored] = translated ? velmora::translate(label) : py::object(py::str(label));
    return mapping;
}

py::dict languages() {
    return optionsOf({{py::str("de_DE.UTF-8"), "German"}, {py::str("en_US.UTF-8"), "English"}});
}

// Hundredths of an inch, width first, as the report reads them.
py::dict paperSizes() {
    return optionsOf({{py::make_tuple(827, 1169), "A4"}, {py::make_tuple(850, 1100), "Letter"}});
}

py::dict dataSources() {
    return optionsOf({{py::str("eodds.EodDataSource"), "End of Day Historical Data"},
                      {py::str("yahoods2.YahooDataSource"), "Yahoo Historical Data"}});
}

py::dict analysisPeriods() {
    return optionsOf({{py::int_(30), "1 month"},
                      {py::int_(90), "3 months"},
                      {py::int_(182), "6 months"},
                      {py::int_(365), "1 year"},
                      {py::int_(730), "2 years"},
                      {py::int_(1826), "5 years"},
                      {py::int_(3652), "10 years"}});
}

py::dict fractionalShares() { return optionsOf({{py::str("NO"), "No"}, {py::str("YES"), "Yes"}}); }

py::dict localCurrencies() {
    py::dict mapping;
    mapping[py::str("")] = py::str("");
    for (const char *code :
         {"USD", "EUR", "AED", "ARS", "AUD", "BRL", "CAD", "CHF", "CLP", "CNY", "COP", "CZK",
          "DKK", "EGP", "GBP", "HKD", "HUF", "IDR", "ILS", "INR", "JPY", "KES", "KRW", "KWD",
          "LKR", "MAD", "MXN", "MYR", "NGN", "NOK", "NZD", "PEN", "PHP", "PKR", "PLN", "RUB",
          "SAR", "SEK", "SGD", "THB", "TND", "TWD", "TRY", "ZAR", "ZMW"})
        mapping[py::str(code) + py::str(".FOREX")] = py::str(code);
    return mapping;
}

// The fields cut their labels at a width fit for short texts. Here all labels get the width of
// the longest one in the current language, so that each shows whole and the inputs line up.
void fitLabels(py::list rows) {
    size_t longest = 0;
    for (py::handle row : rows)
        longest = std::max(longest, py::len(row[py::int_(0)].attr("DisplayText")));
    for (py::handle row : rows) row[py::int_(0)].attr("Size") = py::make_tuple(longest + 1, 1);
}

py::list fieldRows() {
    py::object f = fields();
    auto _ = [](const char *text) { return velmora::translate(text); };
    py::list rows;
    rows.append(f.attr("SelectionField")("language", _("Language"), languages(),
                                         "configPath"_a = "gui.language", "recreateOnChange"_a = true));
    rows.append(f.attr("SelectionField")("paperSize", _("Paper Size"), paperSizes(),
                                         "configPath"_a = "print.paperSize"));
    rows.append(f.attr("TextField")("titleField", _("Title"), "configPath"_a = "title",
                                    "tooltip"_a = _("Title of configuration to display")));
    rows.append(f.attr("SelectionField")("dataProvider", _("Data Provider"), dataSources(),
                                         "configPath"_a = "data.dataProvider",
                                         "reconfigureOnChange"_a = true));
    py::list apiKey =
        f.attr("TextField")("apiKey", _("API Key"), "configPath"_a = "data.apiKey", "maxLen"_a = 32,
                            "reconfigureOnChange"_a = true,
                            "tooltip"_a = _("API key (only needed for End of Day Historical Data)"));
    apiKey.append(velmora::sg().attr("Button")(_("Buy EOD Data Subscription"), "key"_a = "buySubscription"));
    rows.append(apiKey);
    rows.append(f.attr("SelectionField")("localCurrency", _("Local Currency"), localCurrencies(),
                                         "configPath"_a = "data.localCurrency",
                                         "reconfigureOnChange"_a = true));
    rows.append(f.attr("DateField")("startDate", _("Start Date"), "configPath"_a = "data.startDate",
                                    "reconfigureOnChange"_a = true,
                                    "tooltip"_a = _("Start date for data load")));
    rows.append(f.attr("SelectionField")("basePeriod", _("Base Period"), analysisPeriods(),
                                         "configPath"_a = "data.basePeriod",
                                         "tooltip"_a = _("Base period for data analysis")));
    rows.append(f.attr("NumField")("tradingDays", _("Trading days per year"),
                                   "configPath"_a = "allocation.tradingDaysPerYear", "minValue"_a = 1,
                                   "maxValue"_a = 1000, "maxLen"_a = 4, "isInt"_a = true));
    rows.append(f.attr("NumField")(
        "sigmaClipLow", _("Sigma Clip Low"), "configPath"_a = "data.sigmaClipLow", "precision"_a = 2,
        "minValue"_a = 2, "maxValue"_a = 10,
        "tooltip"_a = _("The number of standard deviations to clip the low end of the distribution")));
    rows.append(f.attr("NumField")(
        "sigmaClipHigh", _("Sigma Clip High"), "configPath"_a = "data.sigmaClipHigh", "precision"_a = 2,
        "minValue"_a = 2, "maxValue"_a = 10,
        "tooltip"_a = _("The number of standard deviations to clip the high end of the distribution")));
    rows.append(f.attr("SelectionField")("fractional", _("Fractional Pieces"), fractionalShares(),
                                         "configPath"_a = "allocation.fractional",
                                         "reconfigureOnChange"_a = true));
    fitLabels(rows);
    return rows;
}

py::list layoutRows() {
    py::list rows;
    py::list heading;
    heading.append(velmora::sg().attr("Text")(velmora::translate("Configuration"),
                                              "font"_a = py::make_tuple("Helvetica", 14)));
    rows.append(heading);
    for (py::handle row : fieldRows()) rows.append(row);
    py::list spacer;
    spacer.append(velmora::sg().attr("Text")(""));
    rows.append(spacer);
    py::list help;
    help.append(velmora::sg().attr("Button")(velmora::translate("Help"), "key"_a = "HelpConfig"));
    rows.append(help);
    return rows;
}

py::object createTab(const py::module_ &m, py::object self, py::kwargs kwargs) {
    self.attr("title") = velmora::translate("Configuration");
    self.attr("layout") = layoutRows();
    return velmora::super(m.attr("ConfigProvider"), self).attr("createTab")(**kwargs);
}

py::object handleEvent(const py::module_ &m, py::object self, py::object window, py::object event,
                       py::object values) {
    // The field itself stores the title; nothing in the window shows it elsewhere.
    if (event.equal(py::str("titleField"))) return py::bool_(false);
    if (event.equal(py::str("buySubscription"))) {
        py::module_::import("webbrowser")
            .attr("open")(self.attr("config")["monetization"]["buySubscriptionUrl"]);
        return py::bool_(false);
    }
    return velmora::super(m.attr("ConfigProvider"), self).attr("handleEvent")(window, event, values);
}

void defineConfigProvider(py::module_ &m) {
    py::object cls =
        velmora::makeClass(m, "ConfigProvider", py::make_tuple(velmora::classOf("provider", "TabProvider")));
    cls.attr("key") = "configuration";
    velmora::method(cls, "createTab", std::as_const(m), &createTab);
    velmora::method(cls, "handleEvent", std::as_const(m), &handleEvent, "window"_a, "event"_a, "values"_a);
}

}  // namespace

PYBIND11_MODULE(config, m) {
    defineConfigProvider(m);
    // The start checks the language and the data source against these before any tab is made.
    m.def("languages", &languages);
    m.def("dataSources", &dataSources);
}
