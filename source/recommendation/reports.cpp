// A part of the recommendation module: the PDF report and the Excel workbook.
#include "parts.hpp"

#include <algorithm>
#include <functional>
#include <string>

namespace velmora::recommendation {

namespace {

// Writes an export into a new file beside the chosen one, which it replaces only when
// complete. A failed export leaves no partial file behind and is told to the user.
void exportReplacing(const py::module_ &m, py::object fileName, const char *suffix,
                     const std::function<void(py::object)> &write, const char *failure) {
    try {
        velmora::replaceWhenWritten(fileName, suffix, write);
    } catch (py::error_already_set &) {
        tellFailure(m, failure, failure);
    }
}

// The page in inches, from the paper size in hundredths of an inch.
py::tuple pageSize(py::object self) {
    py::object paper = self.attr("config").attr("print").attr("paperSize");
    return py::make_tuple(py::object(paper[py::int_(0)]) / py::int_(100),
                          py::object(paper[py::int_(1)]) / py::int_(100));
}

// Numbers printed as the tab shows them: money and weights with two decimals, grouped; whole share
// counts without decimals, fractional ones with a fixed number.
py::dict printedDecimals() {
    py::dict decimals;
    for (const char *column : {"Weight", "Price", "Value"}) decimals[column] = 2;
    decimals["Shares"] = shareDecimals;
    return decimals;
}

// The table's headings as the tab shows them, or its column labels in the language shown.
py::list printedHeadings(py::object df, py::object headings) {
    if (!headings.is_none()) return py::list(headings);
    py::list labels;
    for (py::handle label : df.attr("columns"))
        labels.append(velmora::builtins().attr("_")(py::str(label)));
    return labels;
}

void printTable(const py::module_ &m, py::object self, py::object pdf, py::object df, py::object headings) {
    py::object plt = velmora::pyplot();
    py::tuple size = pageSize(self);
    py::tuple made = plt.attr("subplots")("figsize"_a = py::make_tuple(size[1], size[0]));
    py::object figure = made[0], ax = made[1];
    figure.attr("patch").attr("set_visible")(false);
    ax.attr("axis")("off");
    ax.attr("axis")("tight");
    py::object cells = py::module_::import("table").attr("formattedRows")(df, printedDecimals());
    // The plotting library draws no table without rows: an empty table shows one blank row.
    if (py::len(cells) == 0) {
        py::list blank;
        for (size_t i = 0; i < py::len(df.attr("columns")); ++i) blank.append("");
        cells = velmora::list({blank});
    }
    ax.attr("table")("cellText"_a = cells, "colLabels"_a = printedHeadings(df, headings), "loc"_a = "center");
    figure.attr("tight_layout")();
    pdf.attr("savefig")();
    plt.attr("close")();
}

// A chart drawn at a size of its own, on the paper chosen, its texts in the language shown and its
// numbers spaced for the page.
void fitToPage(py::object figure, py::tuple size) {
    figure.attr("set_size_inches")(size);
    relabelFigure(ownTexts(), figure);
    try {
        figure.attr("tight_layout")();
    } catch (py::error_already_set &) {
        // A layout that can't be tightened still prints.
    }
}

// The figure a page saves: the one named, or the current one.
py::object pageFigure(py::args args, py::kwargs kwargs) {
    py::object named = args.size() > 0 ? py::object(args[0]) : py::object(kwargs.attr("get")("figure"));
    if (named.is_none()) return velmora::pyplot().attr("gcf")();
    if (!py::hasattr(named, "draw_without_rendering")) return velmora::pyplot().attr("figure")(named);
    return named;
}

// Every page of a chart goes into the file through here: the chart is drawn first, so that what fails then
// is the chart's; what fails after is the writing of the file, whatever its kind (a full disk, a missing
// directory), and marks the report as one that cannot be written.
void writePage(py::object pages, py::args args, py::kwargs kwargs) {
    pageFigure(args, kwargs).attr("draw_without_rendering")();
    try {
        pages.attr("pdf").attr("savefig")(*args, **kwargs);
    } catch (py::error_already_set &) {
        pages.attr("unwritable") = true;
        throw;
    }
}

// The report as a method sees it: a page the method saves itself is fitted to the paper too.
void defineReportPages(py::module_ &m) {
    py::object cls = velmora::makeClass(m, "ReportPages");
    velmora::constructor(cls, [](py::object self, py::object pdf, py::tuple size) {
        self.attr("pdf") = pdf;
        self.attr("size") = size;
        self.attr("unwritable") = false;
    }, "pdf"_a, "size"_a);
    velmora::method(cls, "savefig", [](py::object self, py::args args, py::kwargs kwargs) {
        fitToPage(pageFigure(args, kwargs), self.attr("size"));
        writePage(self, args, kwargs);
    });
    velmora::method(cls, "write", [](py::object self, py::args args, py::kwargs kwargs) {
        writePage(self, args, kwargs);
    });
}

// A chart that cannot be drawn costs the report no other page, as it costs the tab no other chart: it
// is left out and the log says why. The pages it saved before it failed stay. A file that cannot be
// written fails the export, told from a chart's failure by where it arose, not by its kind.
template <typename Print>
void printedOrLeftOut(const py::module_ &m, py::object pages, Print &&print) {
    try {
        print();
    } catch (py::error_already_set &) {
        if (velmora::truthy(pages.attr("unwritable"))) throw;
        velmora::logFailure(m, "The chart could not be drawn");
        velmora::pyplot().attr("close")("all");
    }
}

// The analysis as the report prints it; a method that draws nothing gives no empty page.
void printAnalysis(py::object pages, py::object method, py::tuple size) {
    py::object plt = velmora::pyplot();
    plt.attr("figure")("figsize"_a = size);
    method.attr("plotAnalysis")("pdf"_a = pages);
    py::object figure = plt.attr("gcf")();
    if (py::len(figure.attr("axes")) > 0) {
        fitToPage(figure, size);
        pages.attr("write")();
    }
    plt.attr("close")();
}

// The weights' bars, which the chart library draws in one colour and sorts by weight, each in the colour
// of its slice of the tab's donut.
void colourLikeTheDonut(py::object ax, py::dict weights) {
    py::list colours = distinctColours(py::len(weights));
    py::dict colourOf;
    size_t index = 0;
    for (auto [label, weight] : weights) colourOf[label] = colours[index++];
    py::list sorted = velmora::builtins().attr("sorted")(
        weights.attr("items")(), "key"_a = py::module_::import("operator").attr("itemgetter")(1),
        "reverse"_a = true);
    py::list bars = ax.attr("patches");
    for (size_t bar = 0; bar < std::min(bars.size(), sorted.size()); ++bar)
        bars[bar].attr("set_facecolor")(colourOf[py::object(sorted[bar][py::int_(0)])]);
}

void writeReport(const py::module_ &m, py::object self, py::object fileName) {
    py::object plt = velmora::pyplot();
    py::object now = py::module_::import("datetime").attr("datetime").attr("now");
    py::object version = py::module_::import("version").attr("version");
    py::dict metadata;
    metadata["Title"] = velmora::translate("Stock Recommendation");
    metadata["Subject"] = velmora::translate("Stocks");
    metadata["Keywords"] = velmora::translate("Stocks");
    metadata["Creator"] = py::str("Zeltra Velmora ") + py::str(version);
    metadata["Producer"] = py::str("Zeltra Velmora ") + py::str(version);
    metadata["CreationDate"] = now();
    metadata["ModDate"] = now();
    py::object pdfPages = py::module_::import("matplotlib.backends.backend_pdf").attr("PdfPages");
    py::object pdf = pdfPages(fileName, "metadata"_a = metadata);
    velmora::within(pdf, [&] {
        py::tuple size = pageSize(self);
        py::object pages = m.attr("ReportPages")(pdf, size);
        py::object recommendation = self.attr("__getitem__")("Recommendation");
        // The weights and the analysis of the allocation printed, none beside the empty tables that a
        // clearing or a failed run leaves, whatever that run left behind.
        bool allocated = !velmora::truthy(recommendation.attr("empty"));
        self.attr("printTable")(pdf, recommendation,
                                "headings"_a = py::getattr(self, "recommendationTableHeadings", py::none()));
        if (allocated) printedOrLeftOut(m, pages, [&] {
            plt.attr("figure")("figsize"_a = size);
            withTranslatedAxes([&] {
                py::dict weights = donutWeights(recommendation);
                py::object ax = py::module_::import("pypfopt.plotting").attr("plot_weights")(weights);
                colourLikeTheDonut(ax, weights);
            });
            pages.attr("write")();
            plt.attr("close")();
        });
        self.attr("printTable")(pdf, self.attr("__getitem__")("Results"),
                                "headings"_a = py::getattr(self, "resultsTableHeadings", py::none()));
        py::object method = self.attr("methodObj");
        if (allocated && velmora::truthy(method))
            printedOrLeftOut(m, pages, [&] { printAnalysis(pages, method, size); });
        // A backtest of one day has no returns to draw.
        bool backtested = !self.attr("futureValue").is_none() && py::len(self.attr("returns")) > 0;
        if (backtested) printedOrLeftOut(m, pages, [&] {
            plt.attr("figure")("figsize"_a = size);
            py::object weights = py::object(self.attr("recommendationWrk")["Weight"]) / py::int_(100);
            // Without the page size the chart library sets a wide figure of its own.
            withTranslatedAxes([&] {
                py::module_::import("riskfolio").attr("plot_drawdown")(
                    self.attr("returns"), weights, "width"_a = size[0], "height"_a = size[1]);
            });
            relabelLegends(ownTexts(), plt.attr("gcf")());
            localeTickLabels(plt.attr("gcf")());
            pages.attr("write")();
            plt.attr("close")();
        });
    });
}

void saveGraph(const py::module_ &m, py::object self) {
    py::object fileName = py::module_::import("provider").attr("GetFileName")(
        velmora::translate("PDF File"), "pdf", "default"_a = "results.pdf", "save"_a = true);
    if (!velmora::truthy(fileName)) return;
    exportReplacing(m, fileName, ".pdf", [&](py::object temporary) { writeReport(m, self, temporary); },
                    "The PDF report could not be written:");
}

void collectRecords(py::object d, py::object prefix, py::list &records) {
    if (py::isinstance<py::dict>(d)) {
        for (auto item : py::reinterpret_borrow<py::dict>(d)) {
            py::object key = py::reinterpret_borrow<py::object>(item.first);
            py::object path = key;
            if (velmora::truthy(prefix)) path = py::str(prefix) + py::str(".") + py::str(key);
            collectRecords(py::reinterpret_borrow<py::object>(item.second), path, records);
        }
        return;
    }
    records.append(py::make_tuple(prefix, d));
}

py::object toRecord(py::object d, py::object prefix) {
    py::list records;
    collectRecords(d, prefix, records);
    return py::iter(records);
}

// The workbook is meant to be shared: the user's API key stays out of it.
py::list configurationRecords(py::object self) {
    py::list records;
    for (py::handle record : self.attr("toRecord")(self.attr("config"))) {
        if (py::str(record[py::int_(0)]).equal(py::str("data.apiKey")))
            records.append(py::make_tuple(record[py::int_(0)], ""));
        else
            records.append(record);
    }
    return records;
}

// Characters a cell takes as the workbook shows it: numbers of the given columns with two decimals
// and grouped, dates in the workbook's date format.
size_t shownWidth(py::handle value, bool number) {
    if (number && (py::isinstance<py::float_>(value) || py::isinstance<py::int_>(value)))
        return py::len(py::str("{:,.2f}").format(value));
    if (py::hasattr(value, "strftime")) return std::string("yyyy-mm-dd").size();
    return py::len(py::str(value));
}

// Every column as wide as its heading and its widest cell, in the given format; an overlong text
// (a list among the settings) is not worth a column wider than a screen.
void fitColumns(py::object sheet, py::object table, py::list headings, py::list formats) {
    constexpr size_t padding = 2, widest = 64;
    py::list columns = table.attr("columns").attr("tolist")();
    for (size_t index = 0; index < columns.size(); ++index) {
        py::object format = index < formats.size() ? py::object(formats[index]) : py::none();
        size_t width = py::len(py::str(headings[index]));
        py::object cells = table.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                                             py::int_(index))];
        for (py::handle value : cells.attr("tolist")())
            width = std::max(width, shownWidth(value, !format.is_none()));
        sheet.attr("set_column")(index, index, std::min(width + padding, widest), format);
    }
}

// Whole share counts without decimals, fractional ones with the tab's.
std::string shareFormat(py::object recommendation) {
    if (!recommendation.attr("columns").contains("Shares")) return "#,##0";
    py::object shares = recommendation["Shares"].attr("astype")("float");
    if (!velmora::truthy(shares.attr("mod")(1).attr("ne")(0).attr("any")())) return "#,##0";
    return "#,##0." + std::string(shareDecimals, '0');
}

void writeWorkbook(py::object self, py::object fileName) {
    auto tr = [](const char *text) { return velmora::translate(text); };
    self.attr("updateMeta")();
    py::object configuration = velmora::pandas().attr("DataFrame")(configurationRecords(self));
    py::list stockHeadings = velmora::list({tr("Symbol"), tr("Security Name"), tr("Currency")});
    py::list configurationHeadings = velmora::list({tr("Key"), tr("Value")});
    py::object prices = self.attr("__getitem__")("prices");
    py::object recommendation = self.attr("__getitem__")("Recommendation");
    py::object results = self.attr("__getitem__")("Results");
    py::object stocks = py::module_::import("utils").attr("dspStocks")(self.attr("__getitem__")("stocks"));
    // The dates' heading in the language shown; the symbols are no words.
    py::list priceHeadings = prices.attr("columns").attr("tolist")();
    if (priceHeadings.size() > 0 && py::str(priceHeadings[0]).equal(py::str("Date")))
        priceHeadings[0] = tr("Date");
    py::object writer = velmora::pandas().attr("ExcelWriter")(fileName, "engine"_a = "xlsxwriter",
                                                              "datetime_format"_a = "yyyy-mm-dd",
                                                              "date_format"_a = "yyyy-mm-dd");
    velmora::within(writer, [&] {
        auto sheet = [&](py::object table, const char *name, py::object header) {
            py::dict options;
            options["sheet_name"] = tr(name);
            options["freeze_panes"] = py::make_tuple(1, 1);
            options["index"] = false;
            if (!header.is_none()) options["header"] = header;
            table.attr("to_excel")(writer, **options);
        };
        py::list recommendationHeadings = self.attr("recommendationTableHeadings");
        py::list resultsHeadings = self.attr("resultsTableHeadings");
        sheet(recommendation, "Recommendation", recommendationHeadings);
        sheet(results, "Results", resultsHeadings);
        sheet(stocks, "Stocks", stockHeadings);
        sheet(prices, "Prices", priceHeadings);
        sheet(configuration, "Configuration", configurationHeadings);

        py::object book = writer.attr("book");
        auto format = [&](const std::string &numberFormat, bool right) {
            py::dict spec;
            spec["num_format"] = numberFormat;
            if (right) spec["align"] = "right";
            return book.attr("add_format")(spec);
        };
        // A digit before the decimal point: a weight of 0.24 shows as 0.24, not as .24.
        py::object money = format("#,##0.00", false);
        py::object none = py::none();
        py::object sheets = writer.attr("sheets");
        fitColumns(sheets[tr("Recommendation")], recommendation, recommendationHeadings,
                   velmora::list({none, none, money, money, format(shareFormat(recommendation), false),
                                  money}));
        fitColumns(sheets[tr("Results")], results, resultsHeadings,
                   velmora::list({none, format("#,##0.00", true)}));
        fitColumns(sheets[tr("Stocks")], stocks, stockHeadings, py::list());
        py::list priceFormats = velmora::list({none});
        for (size_t column = 1; column < priceHeadings.size(); ++column) priceFormats.append(money);
        fitColumns(sheets[tr("Prices")], prices, priceHeadings, priceFormats);
        fitColumns(sheets[tr("Configuration")], configuration, configurationHeadings, py::list());
    });
}

void saveExcel(const py::module_ &m, py::object self) {
    py::object fileName = py::module_::import("provider").attr("GetFileName")(
        velmora::translate("Excel File"), "xlsx", "default"_a = "results.xlsx", "save"_a = true);
    if (!velmora::truthy(fileName)) return;
    exportReplacing(m, fileName, ".xlsx", [&](py::object temporary) { writeWorkbook(self, temporary); },
                    "The workbook could not be written:");
}

}  // namespace

void defineReports(py::module_ &m, py::object cls) {
    const py::module_ &module = m;
    velmora::method(cls, "saveGraph", module, &saveGraph);
    velmora::method(cls, "printTable", module, &printTable, "pdf"_a, "df"_a, "headings"_a = py::none());
    velmora::method(cls, "saveExcel", module, &saveExcel);
    velmora::staticMethod(cls, "toRecord", &toRecord, "d"_a, "prefix"_a = "");
    defineReportPages(m);
}

}  // namespace velmora::recommendation
