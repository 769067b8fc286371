// The selection tab: selected stocks, symbol search, selection files, price and correlation charts.
#include "rawsource.hpp"

#include <string>
#include <utility>

namespace {

py::object utils() { return py::module_::import("utils"); }

py::object dspStocks(py::handle stocks) { return utils().attr("dspStocks")(stocks); }

// ---------------------------------------------------------------------------------------
// Provider, layout and bindings

void construct(const py::module_ &m, py::object self, py::object config, py::object providerManager,
               py::kwargs kws) {
    self.attr("config") = config;
    self.attr("providerManager") = providerManager;
    velmora::super(m.attr("SelectionProvider"), self).attr("__init__")(config, **kws);
    self.attr("searchResults") =
        velmora::pandas().attr("DataFrame")("columns"_a = velmora::list({"Symbol", "Security Name"}));
    self["stocks"] = self["initialStocks"];
    self.attr("reconfigure")(config);
    m.attr("selectionProvider") = self;
}

void reconfigure(py::object self, py::object config, py::object dataSource) {
    self.attr("dataSource") = dataSource;
}

py::object stockTable(py::object key, py::object stocks, py::list headings, py::tuple size, py::list widths) {
    return py::module_::import("table").attr("Table")(
        "df"_a = dspStocks(stocks), "key"_a = key, "headings"_a = headings, "size"_a = size,
        "col_widths"_a = widths, "auto_size_columns"_a = false, "max_col_width"_a = 200,
        "enable_events"_a = true, "expand_y"_a = true, "alternating_row_color"_a = "lightblue");
}

py::list concatenated(std::initializer_list<py::object> parts) {
    py::list list;
    for (const py::object &part : parts)
        for (py::handle element : part) list.append(element);
    return list;
}

py::object leftColumn(py::object self, py::object stocks, py::list headings) {
    auto tr = [](const char *text) { return velmora::translate(text); };
    py::object fields = py::module_::import("fields");
    py::list rows;
    rows.append(velmora::list(
        {velmora::sg().attr("Text")(tr("Selected Stocks"), "font"_a = py::make_tuple("Helvetica", 15))}));
    py::list titleRow =
        fields.attr("TextField")("selectionTitle", tr("Selection Title"), "configPath"_a = "selectionTitle");
    // The title holds up to 64 characters, but a box that shows them all left the other column
    // too little room in the default window: the text scrolls in a narrower one.
    for (py::handle element : titleRow)
        if (py::isinstance(element, velmora::sg().attr("Input")))
            element.attr("Size") = py::make_tuple(40, 1);
    rows.append(titleRow);
    rows.append(velmora::list({stockTable(py::str("stockList"), stocks, headings, py::make_tuple(50, 15),
                                          py::list(py::make_tuple(10, 22, 7)))}));
    rows.append(velmora::list({velmora::sg().attr("Button")(tr("Remove"), "key"_a = "removeStock"),
                               velmora::sg().attr("Button")(tr("Load Selection"), "key"_a = "LoadSelection"),
                               velmora::sg().attr("Button")(tr("Save Selection"), "key"_a = "SaveSelection"),
                               velmora::sg().attr("Button")(tr("Help"), "key"_a = "HelpSelection")}));
    return velmora::sg().attr("Column")(rows, "expand_x"_a = true, "expand_y"_a = true);
}

// The chart element's size before and after a chart is drawn, so that drawing one moves nothing.
py::tuple chartSize() { return py::make_tuple(500, 400); }

py::object rightColumn(py::object self, py::list headings, py::dict periods, py::dict modes) {
    auto tr = [](const char *text) { return velmora::translate(text); };
    py::object fields = py::module_::import("fields");
    py::list rows;
    rows.append(velmora::list(
        {velmora::sg().attr("Text")(tr("Add Stock"), "font"_a = py::make_tuple("Helvetica", 15))}));
    // The column must fit beside the selected stocks in the default window, in every language:
    // a search box of the default width squeezed the buttons beside it, and a taller chart
    // pushed the chart's own controls below the window's edge.
    py::object searchBox = velmora::sg().attr("Input")("key"_a = "search", "size"_a = py::make_tuple(30, 1));
    rows.append(velmora::list({velmora::sg().attr("Text")(tr("Search")), searchBox,
                               velmora::sg().attr("Button")(tr("Search"), "key"_a = "searchButton")}));
    rows.append(velmora::list({stockTable(py::str("searchResults"), self.attr("searchResults"), headings,
                                          py::make_tuple(30, 5), py::list(py::make_tuple(10, 25, 8))),
                               velmora::sg().attr("Button")(tr("Add"), "key"_a = "addStock")}));
    rows.append(py::module_::import("chart").attr("ChartField")(
        "key"_a = "stockChart", "title"_a = tr("Chart"), "size"_a = chartSize(),
        "expand_x"_a = true));
    rows.append(concatenated({
        fields.attr("SelectionField")("plotMode", tr("Plot Mode"), modes, "configPath"_a = "stocks.plotMode",
                                      "compact"_a = true),
        fields.attr("BoolField")("plotConverted", tr("Converted"), "configPath"_a = "stocks.plotConverted",
                                 "compact"_a = true, "tooltip"_a = tr("Convert into local currency")),
        fields.attr("BoolField")("plotInterpolated", tr("Interpolate"),
                                 "configPath"_a = "stocks.plotInterpolated", "compact"_a = true,
                                 "tooltip"_a = tr("Interpolate between data points")),
        fields.attr("BoolField")("plotLog", tr("Log"), "configPath"_a = "stocks.plotLog", "compact"_a = true,
                                 "tooltip"_a = tr("Plot logarithmic values")),
        fields.attr("BoolField")("plotCorrelated", tr("Correlate"), "configPath"_a = "stocks.plotCorrelated",
                                 "compact"_a = true, "tooltip"_a = tr("Plot correlation graph")),
    }));
    rows.append(concatenated({
        fields.attr("SelectionField")("plotPeriod", tr("Period"), periods,
                                      "configPath"_a = "stocks.plotPeriod", "compact"_a = true),
        velmora::list({velmora::sg().attr("Button")(tr("Reset"), "key"_a = "resetStocks"),
                       velmora::sg().attr("Button")(tr("Save Graph"), "key"_a = "saveStockGraph")}),
    }));
    return velmora::sg().attr("Column")(rows, "expand_x"_a = true, "expand_y"_a = true);
}

py::dict plotPeriods() {
    py::dict periods;
    const std::pair<int, const char *> entries[] = {{30, "1 month"},   {90, "3 months"}, {182, "6 months"},
                                                    {365, "1 year"},   {730, "2 years"}, {1826, "5 years"},
                                                    {3652, "10 years"}};
    for (const auto &[days, label] : entries) periods[py::int_(days)] = velmora::translate(label);
    return periods;
}

py::dict plotModes() {
    py::dict modes;
    for (const char *mode : {"Value", "Relative", "Change"}) modes[py::str(mode)] = velmora::translate(mode);
    return modes;
}

py::object createTab(const py::module_ &m, py::object self, py::kwargs kwargs) {
    self.attr("title") = velmora::translate("Selection");
    py::object stocks = self["stocks"];
    py::list headings;
    for (const char *heading : {"Symbol", "Security Name", "Currency"})
        headings.append(velmora::translate(heading));
    py::dict periods = plotPeriods();
    py::dict modes = plotModes();
    py::list layout;
    layout.append(
        velmora::list({leftColumn(self, stocks, headings), rightColumn(self, headings, periods, modes)}));
    self.attr("layout") = layout;
    return velmora::super(m.attr("SelectionProvider"), self).attr("createTab")(**kwargs);
}

void bind(py::object self, py::object window) {
    self.attr("window") = window;
    window[py::str("stockList")].attr("bind")("<Double-Button-1>", "*removeStock");
    window[py::str("searchResults")].attr("bind")("<Double-Button-1>", "*addStock");
}

void removeStocks(py::object self, py::object stockNames) {
    py::object stocks = self["stocks"];
    py::list names(stockNames);
    // Checked before anything is dropped, so that an unknown name leaves the selection whole.
    for (py::handle name : names)
        if (!stocks.attr("index").contains(name)) throw py::key_error(py::repr(name).cast<std::string>());
    stocks = stocks.attr("drop")("index"_a = names);
    self["stocks"] = stocks;
    self.attr("window")[py::str("stockList")].attr("update")("df"_a = dspStocks(stocks));
}

// ---------------------------------------------------------------------------------------
// Selection file

// A selection without a title is written, and read, with the empty title: the
// configuration tree answers an empty tree for a missing key, which is no text.
py::object titleText(py::object title) {
    if (py::isinstance<py::str>(title)) return title;
    return velmora::truthy(title) ? py::object(py::str(title)) : py::object(py::str(""));
}

// A selection that no reader would take back is not written: the close-time save would
// otherwise hand it to every later start.
py::dict fileDocument(py::object self) {
    py::object datetime = py::module_::import("datetime").attr("datetime");
    py::dict meta;
    meta["version"] = py::module_::import("version").attr("version");
    meta["timestamp"] =
        py::str(datetime.attr("now")().attr("isoformat")())[py::slice(0, 19, 1)].attr("replace")("T", " ");
    meta["createdWith"] = velmora::translate("Zeltra Velmora");
    py::dict document;
    py::object records = py::object(self["stocks"]).attr("to_dict")("orient"_a = "records");
    utils().attr("selectionStocks")(records);
    document["stocks"] = records;
    document["selectionTitle"] = titleText(self.attr("config").attr("selectionTitle"));
    document["meta"] = meta;
    return document;
}

// The previous selection stays intact until the new one is complete.
void save(py::object self, py::object fileName) {
    py::dict document = fileDocument(self);
    velmora::replaceWhenWritten(fileName, ".stocks", [&](py::object temporary) {
        velmora::within(py::module_::import("builtins").attr("open")(temporary, "w"), [&](py::object file) {
            py::module_::import("json").attr("dump")(document, file, "indent"_a = 2);
        });
    });
}

// ---------------------------------------------------------------------------------------
// Events

bool isEnter(py::handle event) {
    if (!py::isinstance<py::str>(event)) return false;
    std::string name = event.cast<std::string>();
    // Windows reports the key's character; X11 names the key released, with its key code.
    return name == "\r" || name.starts_with("Return:") || name.starts_with("KP_Enter:");
}

bool isDelete(py::handle event) {
    if (!py::isinstance<py::str>(event)) return false;
    // "Delete:46" on Windows, "Delete:119" on X11 (the code depends on the keyboard).
    return event.cast<std::string>().starts_with("Delete:");
}

py::object focusedKey(py::object window) {
    py::object focused = window.attr("find_element_with_focus")();
    return focused.is_none() ? py::none() : py::object(focused.attr("Key"));
}

// Other events reach the base class as they came.
py::object mappedEvent(py::object window, py::object event) {
    if (isEnter(event)) {
        py::object key = focusedKey(window);
        if (key.equal(py::str("search"))) return py::str("searchButton");
        if (key.equal(py::str("searchResults"))) return py::str("addStock");
    } else if (isDelete(event)) {
        if (focusedKey(window).equal(py::str("stockList"))) return py::str("removeStock");
    }
    return event;
}

bool isOneOf(py::handle event, std::initializer_list<const char *> names) {
    for (const char *name : names)
        if (py::reinterpret_borrow<py::object>(event).equal(py::str(name))) return true;
    return false;
}

bool endsWith(py::handle event, const char *suffix) {
    return py::isinstance<py::str>(event) && event.attr("endswith")(suffix).cast<bool>();
}

void saveOnLeaving(const py::module_ &m, py::object self) {
    try {
        self.attr("save")(self.attr("config").attr("selectionName"));
    } catch (...) {
        velmora::logFailure(m, "Saving the selection failed");
        velmora::showError(velmora::translate("The selection could not be saved:"), velmora::currentException());
    }
}

void removeSelected(py::object self, py::object values) {
    py::object stocks = self["stocks"];
    py::list symbols;
    for (py::handle position : values["stockList"]) symbols.append(stocks.attr("iloc")[position]["Symbol"]);
    self.attr("removeStocks")(symbols);
}

py::object selectedRows(py::object self, py::object values);
py::object emptyChart(py::object size);

// Chosen stocks without a price to draw get an empty chart: without one the chart's place
// would shrink to nothing and move the search results beside it. A chart that fails gets one
// too, and the log says why.
bool drawChart(const py::module_ &m, py::object self, py::object values, py::object size) {
    try {
        if (velmora::truthy(self.attr("plotStocks")(values, "size"_a = size))) return true;
        if (py::len(selectedRows(self, values)) == 0) return false;
    } catch (...) {
        velmora::logFailure(m, "The chart could not be drawn");
    }
    return velmora::truthy(emptyChart(size));
}

void redrawChart(const py::module_ &m, py::object self, py::object event, py::object values) {
    py::object window = self.attr("window");
    if (py::str(event).equal(py::str("resetStocks"))) {
        window[py::str("stockList")].attr("update")("select_rows"_a = py::list());
        window[py::str("searchResults")].attr("update")("select_rows"_a = py::list());
        values["stockList"] = py::list();
        values["searchResults"] = py::list();
        window[py::str("stockChart")].attr("update")(py::none(), "size"_a = chartSize());
    }
    py::object image = py::none(), size = py::make_tuple(350, 300);
    if (drawChart(m, self, values, size)) {
        py::object buffer = py::module_::import("io").attr("BytesIO")();
        velmora::pyplot().attr("savefig")(buffer, "format"_a = "png");
        image = buffer.attr("getvalue")();
    }
    window[py::str("stockChart")].attr("update")(image, "size"_a = chartSize());
}

// The chart replaces an existing file only when complete.
void saveGraph(const py::module_ &m, py::object self, py::object values) {
    py::object path = py::module_::import("provider")
                          .attr("GetFileName")(velmora::translate("PDF File"), "pdf",
                                               "default"_a = "selection.pdf", "save"_a = true);
    if (!velmora::truthy(path)) return;
    if (!velmora::truthy(self.attr("plotStocks")(values))) {
        bool chosen = py::len(selectedRows(self, values)) > 0;
        velmora::showError(velmora::translate(chosen ? "The chart could not be drawn: no prices of the selected "
                                                       "stocks could be fetched."
                                                     : "Select the stocks to chart first."));
        return;
    }
    py::object now = py::module_::import("datetime").attr("datetime").attr("now");
    py::object producer =
        py::str("Zeltra Velmora ") + py::str(py::module_::import("version").attr("version"));
    py::dict metadata;
    metadata["Title"] = velmora::translate("Stock Selection");
    metadata["Subject"] = velmora::translate("Stocks");
    metadata["Keywords"] = velmora::translate("Stocks");
    metadata["Creator"] = producer;
    metadata["Producer"] = producer;
    metadata["CreationDate"] = now();
    metadata["ModDate"] = now();
    try {
        velmora::replaceWhenWritten(path, ".pdf", [&](py::object temporary) {
            velmora::pyplot().attr("savefig")(temporary, "format"_a = "pdf", "metadata"_a = metadata);
        });
    } catch (py::error_already_set &) {
        velmora::logFailure(m, "Saving the chart failed");
        velmora::showError(velmora::translate("The chart could not be saved:"), velmora::currentException());
    }
}

void addSelected(py::object self, py::object values) {
    py::object stocks = self["stocks"];
    py::object results = self.attr("searchResults");
    bool changed = false;
    for (py::handle position : values["searchResults"]) {
        py::list one;
        one.append(position);
        py::object found = results.attr("iloc")[one];
        py::object symbol = py::object(found["Symbol"]).attr("iloc")[py::int_(0)];
        if (stocks.attr("index").contains(symbol)) continue;
        stocks = velmora::pandas().attr("concat")(py::make_tuple(stocks, found));
        changed = true;
    }
    if (!changed) return;
    stocks = stocks.attr("sort_index")();
    self["stocks"] = stocks;
    self.attr("window")[py::str("stockList")].attr("update")("df"_a = dspStocks(stocks));
}

// The user's words for why the search failed; the error itself follows as the detail.
py::object searchFailureText(py::object failure) {
    switch (velmora::rawsource::failureOf(failure)) {
    case velmora::rawsource::Failure::unreachable:
        return velmora::translate("The search failed: the market data service could not be reached.");
    case velmora::rawsource::Failure::errorAnswer:
        return velmora::translate("The search failed: the market data service answered with an error.");
    default:
        return velmora::translate(
            "The search failed: the answer of the market data service could not be read.");
    }
}

// The source answers a failed search with none and keeps why; a search that found nothing
// leaves no failure behind.
void reportSearchFailure(py::object self) {
    py::object rawSource = py::getattr(self.attr("dataSource"), "rawProvider", py::none());
    py::object failure = py::getattr(rawSource, "queryFailure", py::none());
    if (failure.is_none()) return;
    velmora::showError(searchFailureText(failure),
                       py::str("{}: {}").format(py::type::of(failure).attr("__name__"), failure));
}

void search(py::object self, py::object values) {
    py::object text = py::str(values["search"]).attr("strip")();
    py::object found = self.attr("dataSource").attr("queryStocks")(text);
    if (found.is_none()) {
        reportSearchFailure(self);
        return;
    }
    utils().attr("normalizeCurrencies")(found);
    self.attr("searchResults") = found;
    self.attr("window")[py::str("searchResults")].attr("update")("df"_a = dspStocks(found));
}

// The records of an older file, and what its currencies' lookup could not give.
struct LegacySelection {
    py::list records;
    bool lookedUp = true;
    py::list unknown;
};

// The user's Cancel while the currencies are looked up: the file is not loaded, and nothing is said.
struct LoadCancelled {};

// The currency the source gives for each symbol, or "" where it gives none: a delisted stock is still
// the user's, kept without a currency like the stocks of a source without the lookup. A source that
// looks many up at once does so as its downloads are made, with the progress meter and its Cancel.
py::list currenciesOf(py::object self, py::object rawSource, py::list symbols, py::list &unknown) {
    py::list found;
    py::object batch = py::getattr(rawSource, "getCurrencies", py::none());
    if (!batch.is_none()) {
        try {
            velmora::within(self.attr("start")(py::len(symbols)), [&](py::object) {
                found = batch(symbols, "progress"_a = self.attr("update"));
                return py::none();
            });
        } catch (py::error_already_set &) {
            bool cancelled = velmora::truthy(py::getattr(self, "progressCancelled", py::bool_(false)));
            if (cancelled) throw LoadCancelled{};
            throw;
        }
    } else {
        py::object lookup = rawSource.attr("getCurrency");
        for (py::handle symbol : symbols) {
            try {
                found.append(lookup(symbol));
            } catch (py::error_already_set &) {
                found.append(py::none());
            }
        }
    }
    py::list currencies;
    for (size_t i = 0; i < symbols.size(); ++i) {
        bool given = velmora::truthy(found[i]);
        if (!given) unknown.append(symbols[i]);
        currencies.append(given ? py::object(found[i]) : py::str(""));
    }
    return currencies;
}

// Older files hold symbol -> name and no currency. Only some market-data sources can look
// a currency up; with the others the stocks come without one.
LegacySelection legacyRecords(py::object self, py::dict stocks) {
    py::object rawSource = self.attr("dataSource").is_none()
                               ? py::none()
                               : py::getattr(self.attr("dataSource"), "rawProvider", py::none());
    LegacySelection legacy;
    legacy.lookedUp = !rawSource.is_none() && (py::hasattr(rawSource, "getCurrencies") ||
                                               py::hasattr(rawSource, "getCurrency"));
    py::list pairs = py::module_::import("builtins").attr("sorted")(stocks.attr("items")()), symbols;
    for (py::handle pair : pairs) symbols.append(pair[py::int_(0)]);
    py::list currencies;
    if (legacy.lookedUp && !symbols.empty())
        currencies = currenciesOf(self, rawSource, symbols, legacy.unknown);
    for (size_t i = 0; i < pairs.size(); ++i) {
        py::dict record;
        record["Symbol"] = symbols[i];
        record["Security Name"] = pairs[i][py::int_(1)];
        record["Currency"] = currencies.empty() ? py::str("") : py::object(currencies[i]);
        legacy.records.append(record);
    }
    return legacy;
}

void tellWithoutCurrencies(py::object text) {
    velmora::sg().attr("Popup")(text, "title"_a = velmora::translate("Error"), "keep_on_top"_a = true,
                                "location"_a = velmora::popupLocation());
}

// Told once the file is loaded: a file refused needs no word on its currencies.
void tellMissingCurrencies(const LegacySelection &legacy) {
    if (!legacy.lookedUp && py::len(legacy.records) > 0)
        tellWithoutCurrencies(velmora::translate(
            "The data source cannot look up the currencies of the stocks in this older selection file. Their "
            "prices cannot be converted into the local currency until they are added again from a search."));
    if (py::len(legacy.unknown) > 0)
        tellWithoutCurrencies(
            velmora::translate("The market data service gave no currency for these stocks: {}. Their prices "
                               "cannot be converted into the local currency.")
                .attr("format")(velmora::shownText(py::str(", ").attr("join")(legacy.unknown))));
}

// A file that is no selection leaves the selection as it was, and the user learns why.
void loadSelection(const py::module_ &m, py::object self) {
    py::object config = self.attr("config");
    py::object path =
        py::module_::import("provider")
            .attr("GetFileName")("Data file", "stocks", "default"_a = config.attr("selectionName"));
    if (!velmora::truthy(path)) return;
    py::object stocks, title;
    LegacySelection legacy;
    try {
        py::object document = utils().attr("readSelectionFile")(path);
        py::object records = document["stocks"];
        if (py::isinstance<py::dict>(records)) {
            legacy = legacyRecords(self, records);
            records = legacy.records;
        }
        stocks = utils().attr("selectionStocks")(records);
        title = utils().attr("selectionTitle")(document);
    } catch (LoadCancelled &) {
        return;
    } catch (...) {
        velmora::logFailure(m, "Loading the selection failed");
        velmora::showError(velmora::translate("The selection could not be loaded:"),
                           velmora::currentException());
        return;
    }
    self.attr("window")[py::str("stockList")].attr("update")("df"_a = dspStocks(stocks));
    self["stocks"] = stocks;
    config["selectionName"] = path;
    config["selectionTitle"] = title;
    // The title field shows the loaded selection's title, not the previous one's.
    self.attr("window")[py::str("selectionTitle")].attr("update")(title);
    self.attr("providerManager").attr("setTitle")(path, title);
    tellMissingCurrencies(legacy);
}

void saveSelection(py::object self) {
    py::object config = self.attr("config");
    py::object path = py::module_::import("provider")
                          .attr("GetFileName")(velmora::translate("Output file"), "stocks",
                                               "default"_a = config.attr("selectionName"), "save"_a = true);
    if (!velmora::truthy(path)) return;
    try {
        self.attr("save")(path);
        config["selectionName"] = path;
        self.attr("providerManager").attr("setTitle")(path, titleText(config.attr("selectionTitle")));
    } catch (py::error_already_set &error) {
        velmora::showError(velmora::translate("Error saving selection"), error.value());
    }
}

py::object handleEvent(const py::module_ &m, py::object self, py::object window, py::object event,
                       py::object values) {
    self.attr("window") = window;
    if (event.equal(velmora::sg().attr("WIN_CLOSE_ATTEMPTED_EVENT")) ||
        event.equal(py::str("UpdateSoftware"))) {
        saveOnLeaving(m, self);
        return py::bool_(false);
    }
    event = mappedEvent(window, event);
    // A double click reaches the window before the table has reported the row that its
    // first click selected: the table itself knows it already.
    if (isOneOf(event, {"stockList*removeStock"}))
        values["stockList"] = window[py::str("stockList")].attr("get")();
    if (isOneOf(event, {"searchResults*addStock"}))
        values["searchResults"] = window[py::str("searchResults")].attr("get")();
    if (isOneOf(event, {"removeStock", "stockList*removeStock"})) {
        removeSelected(self, values);
    } else if (isOneOf(event, {"resetStocks", "plotMode", "plotPeriod", "plotConverted", "plotInterpolated",
                               "plotLog", "plotCorrelated", "searchResults", "stockList"})) {
        redrawChart(m, self, event, values);
    } else if (isOneOf(event, {"saveStockGraph"})) {
        saveGraph(m, self, values);
    } else if (isOneOf(event, {"addStock", "searchResults*addStock"})) {
        addSelected(self, values);
    } else if (isOneOf(event, {"searchButton"})) {
        search(self, values);
    } else if (endsWith(event, "::LOAD") || isOneOf(event, {"LoadSelection"})) {
        loadSelection(m, self);
    } else if (endsWith(event, "::SAVE") || isOneOf(event, {"SaveSelection"})) {
        saveSelection(self);
    } else {
        return velmora::super(m.attr("SelectionProvider"), self).attr("handleEvent")(window, event, values);
    }
    return py::bool_(false);
}

// ---------------------------------------------------------------------------------------
// Stock charts

py::object selectedRows(py::object self, py::object values) {
    py::object stocks = self["stocks"];
    py::list parts;
    parts.append(stocks.attr("iloc")[py::list(values["stockList"])]);
    parts.append(py::object(self.attr("searchResults")).attr("iloc")[py::list(values["searchResults"])]);
    return velmora::pandas().attr("concat")(parts).attr("drop_duplicates")();
}

py::object transformed(py::object prices, py::object mode) {
    if (mode.equal(py::str("Relative"))) {
        for (py::handle column : prices.attr("columns")) {
            py::object series = prices[column];
            // A stock without a price in the period has no value to start from: its line stays empty.
            py::object firstDate = series.attr("first_valid_index")();
            if (firstDate.is_none()) continue;
            py::object first = series.attr("loc")[firstDate];
            prices[column] = series.attr("__truediv__")(first.attr("__truediv__")(100));
        }
        return prices;
    }
    if (mode.equal(py::str("Change"))) return prices.attr("pct_change")();
    return prices;
}

py::object plotStocks(const py::module_ &m, py::object self, py::object values, py::kwargs kwargs) {
    py::object selected = selectedRows(self, values);
    py::list symbols =
        py::module_::import("builtins").attr("sorted")(py::set(selected["Symbol"].attr("unique")()));
    py::object stocksConfig = self.attr("config")["stocks"];
    py::object plotMode = stocksConfig["plotMode"];
    py::object plotPeriod = stocksConfig["plotPeriod"];
    py::object plotConverted = stocksConfig["plotConverted"];
    py::object plotInterpolated = stocksConfig["plotInterpolated"];
    py::object plotLog = stocksConfig["plotLog"];
    py::object plotCorrelated = stocksConfig["plotCorrelated"];
    try {
        if (py::len(symbols) == 0) return py::none();
        py::object datetime = py::module_::import("datetime");
        py::object end = datetime.attr("date").attr("today")();
        py::object start = end - datetime.attr("timedelta")(
                                     "days"_a = py::module_::import("builtins").attr("int")(plotPeriod));
        py::object currency = velmora::truthy(plotConverted)
                                  ? py::object(self.attr("config")["data"]["localCurrency"])
                                  : py::none();
        py::object prices =
            self.attr("dataSource")
                .attr("get")(selected, "startDate"_a = start.attr("strftime")("%Y-%m-%d"),
                             "endDate"_a = end.attr("strftime")("%Y-%m-%d"), "currency"_a = currency,
                             "cleaned"_a = velmora::truthy(plotInterpolated), "partial"_a = true);
        // Prices that end before the period leave nothing to draw, which is no failure.
        if (!velmora::truthy(prices.attr("notna")().attr("to_numpy")().attr("any")())) return py::none();
        prices = transformed(prices, plotMode);
        if (velmora::truthy(plotCorrelated)) {
            if (velmora::truthy(plotLog)) prices = py::module_::import("numpy").attr("log")(prices);
            return self.attr("genCorrelation")(prices.attr("corr")(), **kwargs);
        }
        return self.attr("genGraphic")(prices, "plotLog"_a = plotLog, **kwargs);
    } catch (...) {
        m.attr("logger").attr("error")("Conversion", "exc_info"_a = velmora::currentException());
        return py::none();
    }
}

py::object inches(py::object size) {
    return py::make_tuple(py::float_(size[py::int_(0)]).attr("__truediv__")(72),
                          py::float_(size[py::int_(1)]).attr("__truediv__")(72));
}

py::object genGraphic(py::object self, py::object data, py::object plotLog, py::object size) {
    py::object plt = velmora::pyplot();
    plt.attr("close")();
    py::object seaborn = py::module_::import("seaborn");
    seaborn.attr("set_theme")();
    py::object figureSize = size.is_none() ? py::none() : inches(size);
    if (py::len(data) < 2) return py::none();
    if (py::len(data.attr("columns")) == 0) return py::none();
    py::object axes = data.attr("plot")("figsize"_a = figureSize, "logy"_a = plotLog,
                                        "xlabel"_a = velmora::translate("Date"));
    axes.attr("get_figure")().attr("tight_layout")();
    return axes;
}

// Axes without data, of the size of the charts drawn for the tab.
py::object emptyChart(py::object size) {
    py::object plt = velmora::pyplot();
    plt.attr("close")();
    py::module_::import("seaborn").attr("set_theme")();
    py::object axes = plt.attr("figure")("figsize"_a = inches(size)).attr("add_subplot")();
    axes.attr("set_xlabel")(velmora::translate("Date"));
    axes.attr("get_figure")().attr("tight_layout")();
    return axes;
}

py::object genCorrelation(py::object self, py::object data, py::object size) {
    py::object plt = velmora::pyplot();
    plt.attr("close")();
    py::object seaborn = py::module_::import("seaborn");
    seaborn.attr("set_theme")();
    // A figure of its own: after the one closed above, pyplot would make current whatever
    // figure another chart left open, with that figure's layout engine and size. Its size is its
    // own too: as the default size it would shrink every later chart of the program, the
    // recommendation's drawdown chart until its legend no longer fits.
    plt.attr("figure")("figsize"_a = size.is_none() ? py::none() : inches(size));
    py::object axes = seaborn.attr("heatmap")(data);
    axes.attr("set_xticklabels")(axes.attr("get_xmajorticklabels")(), "fontsize"_a = 8);
    axes.attr("set_yticklabels")(axes.attr("get_ymajorticklabels")(), "fontsize"_a = 8);
    plt.attr("tight_layout")();
    return axes;
}

void defineSelectionProvider(py::module_ &m) {
    const py::module_ &module = m;
    py::object cls = velmora::makeClass(m, "SelectionProvider",
                                        py::make_tuple(velmora::classOf("provider", "TabProvider")));
    cls.attr("key") = "selections";
    velmora::constructor(cls, module, &construct, "config"_a, "providerManager"_a = py::none());
    velmora::method(cls, "reconfigure", &reconfigure, "config"_a, "dataSource"_a = py::none());
    velmora::method(cls, "createTab", module, &createTab);
    velmora::method(cls, "bind", &bind, "window"_a);
    velmora::method(cls, "handleEvent", module, &handleEvent, "window"_a, "event"_a, "values"_a);
    velmora::method(cls, "removeStocks", &removeStocks, "stockNames"_a);
    velmora::method(cls, "plotStocks", module, &plotStocks, "values"_a);
    velmora::method(cls, "genGraphic", &genGraphic, "data"_a, "plotLog"_a = false, "size"_a = py::none());
    velmora::method(cls, "genCorrelation", &genCorrelation, "data"_a, "size"_a = py::none());
    velmora::method(cls, "save", &save, "fileName"_a);
}

}  // namespace

PYBIND11_MODULE(selection, m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("select");
    m.attr("selectionProvider") = py::none();
    defineSelectionProvider(m);
}
