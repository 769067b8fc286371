// A part of the recommendation module: the chart images, the drawdown and backtest charts, and the
// texts of charts and results in the language shown.
#include "parts.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmora::recommendation {

// ---------------------------------------------------------------------------------------
// The language shown

namespace {

// The catalogue and the locale are set together whenever a window is made, and the locale can be
// asked: it tells the language the charts of a result were drawn in.
py::object languageShown() {
    py::object locale = py::module_::import("locale");
    return locale.attr("setlocale")(locale.attr("LC_ALL"));
}

// The empty text stays empty: the catalogue would answer it with its header.
py::object textInLanguageShown(py::dict own, py::handle text) {
    if (!py::isinstance<py::str>(text) || py::len(text) == 0) return py::reinterpret_borrow<py::object>(text);
    py::object source = own.contains(text) ? own[text] : py::reinterpret_borrow<py::object>(text);
    return velmora::builtins().attr("_")(source);
}

}  // namespace

py::dict ownTexts() {
    py::dict own;
    py::object gettext = py::module_::import("gettext");
    for (py::handle path : py::module_::import("glob").attr("glob")("locale/*/LC_MESSAGES/velmora.mo")) {
        py::object opened = velmora::builtins().attr("open")(path, "rb");
        py::object catalogue =
            velmora::within(opened, [&](py::object file) { return gettext.attr("GNUTranslations")(file); });
        for (auto [text, translation] : py::dict(catalogue.attr("_catalog")))
            if (py::isinstance<py::str>(text) && py::len(text) > 0) own[translation] = text;
    }
    return own;
}

py::object inLanguageShown(py::object results) {
    if (!results.attr("columns").contains("Name")) return results;
    py::dict own = ownTexts();
    py::list names;
    bool changed = false;
    for (py::handle name : results["Name"].attr("tolist")()) {
        py::object shown = textInLanguageShown(own, name);
        changed = changed || !(shown.is(name) || shown.equal(name));
        names.append(shown);
    }
    if (!changed) return results;
    py::object relabelled = results.attr("copy")();
    relabelled["Name"] = names;
    return relabelled;
}

namespace {

// A figure in percent as the charts write it: "12.50%", in German "12,50 %".
py::object percentText(py::handle percent, size_t decimals = 2) {
    return velmora::translate("{}%").attr("format")(velmora::localeNumber(percent, py::int_(decimals)));
}

// A number the chart library wrote, with its "%" if it had one, as the tables write numbers, with
// the decimals it had; a percentage with `percentDecimals` decimals where they are given.
py::object localeFigure(py::handle match, std::optional<size_t> percentDecimals = std::nullopt) {
    py::str digits = match.attr("group")(1);
    py::ssize_t point = digits.attr("find")(".").cast<py::ssize_t>();
    size_t decimals = point < 0 ? 0 : py::len(digits) - static_cast<size_t>(point) - 1;
    py::object value = velmora::builtins().attr("float")(digits);
    if (!velmora::truthy(match.attr("group")(2))) return velmora::localeNumber(value, py::int_(decimals));
    return percentText(value, percentDecimals.value_or(decimals));
}

constexpr const char *figurePattern = R"((-?\d+(?:\.\d+)?)(%?))";

// The numbers that the chart library writes into a text ("95.00% Confidence", "RLDaR (0.3)",
// ": -5.74%") as the tables write numbers, each with the decimals it had.
py::object withLocaleNumbers(py::handle text) {
    auto rewrite = [](py::object match) { return localeFigure(match); };
    return py::module_::import("re").attr("sub")(figurePattern, py::cpp_function(rewrite), text);
}

// A legend entry of the drawdown chart, "Ulcer Index: -3.43%" or "95.00% Confidence DaR: -9.04%",
// with the measure named in the language shown and its numbers written as the tables write them.
py::object shownLabel(py::dict own, py::handle label) {
    std::string text = py::str(label).cast<std::string>();
    size_t colon = text.rfind(": ");
    if (text.empty() || text[0] == '_' || colon == std::string::npos)
        return py::reinterpret_borrow<py::object>(label);
    std::string name = text.substr(0, colon);
    py::str figure(text.substr(colon));
    const std::string confidence = " Confidence ";
    size_t at = name.find(confidence);
    if (at == std::string::npos)
        return withLocaleNumbers(py::str(textInLanguageShown(own, py::str(name))) + figure);
    py::object shown = velmora::translate("{} Confidence {}")
                           .attr("format")(name.substr(0, at), name.substr(at + confidence.size()));
    return withLocaleNumbers(py::str(shown) + figure);
}

// The y axis of a chart in percent: its ticks, fractions, labelled as the tables write numbers.
void percentTicks(py::handle ax, py::list ticks) {
    py::list labels;
    for (py::handle tick : ticks) labels.append(percentText(tick * py::int_(100)));
    ax.attr("set_yticks")(ticks);
    ax.attr("set_yticklabels")(labels);
}

// "32.50%" or "18.0000%" of the chart library with two decimals, other numbers with the decimals they
// had; labels that are no number (names, dates) stay as they are. Only ticks at fixed places have
// labels of their own: the others are written by a formatter, in the locale's format already. Answers
// whether the axis has numbers at fixed places.
bool localeTicksOf(py::object axis) {
    py::object locator = axis.attr("get_major_locator")();
    if (!py::isinstance(locator, py::module_::import("matplotlib.ticker").attr("FixedLocator"))) return false;
    py::object fullmatch = py::module_::import("re").attr("fullmatch");
    py::object ticks = locator.attr("locs");
    py::list labels;
    bool changed = false, numbers = true;
    for (py::handle label : axis.attr("get_major_formatter")().attr("format_ticks")(ticks)) {
        py::object text = py::str(label).attr("strip")();
        py::object number = fullmatch(figurePattern, text);
        changed = changed || !number.is_none();
        numbers = numbers && (!number.is_none() || py::len(text) == 0);
        labels.append(number.is_none() ? py::reinterpret_borrow<py::object>(label) : localeFigure(number, 2));
    }
    if (changed) axis.attr("set_ticks")(ticks, labels);
    return changed && numbers;
}

// The labels of an axis within its view, placed as they would be drawn now: each with its index among
// the ticks. The figure itself is not drawn: a draw would run its layout engine, after which the tight
// layout of its image no longer makes room for a legend beside the plot.
std::vector<std::pair<size_t, py::object>> labelsInView(py::object axis, py::object renderer) {
    axis.attr("get_tightbbox")(renderer);
    py::list locs = axis.attr("get_majorticklocs")().attr("tolist")();
    py::list texts = axis.attr("get_majorticklabels")();
    py::list view = velmora::builtins().attr("sorted")(axis.attr("get_view_interval")());
    double low = view[0].cast<double>(), high = view[1].cast<double>(), slack = (high - low) * 1e-9;
    std::vector<std::pair<size_t, py::object>> shown;
    for (size_t i = 0; i < std::min(locs.size(), texts.size()); ++i) {
        double at = locs[i].cast<double>();
        if (at >= low - slack && at <= high + slack && velmora::truthy(texts[i].attr("get_text")()))
            shown.emplace_back(i, texts[i]);
    }
    return shown;
}

// Blanks the labels at `dropped` (indices among the ticks); the ticks stay.
void dropLabels(py::object axis, const std::vector<size_t> &dropped) {
    if (dropped.empty()) return;
    py::list labels;
    for (py::handle text : axis.attr("get_majorticklabels")()) labels.append(text.attr("get_text")());
    for (size_t index : dropped) labels[index] = py::str("");
    axis.attr("set_ticks")(axis.attr("get_majorticklocs")(), labels);
}

// Of numbers at fixed places that would run together, as many are kept, evenly, as fit beside one
// another: the places were chosen for the size the chart library drew the figure at, not for the page
// or the image it is shown in, and the locale's numbers are longer.
void thinLabels(py::object axis, py::object renderer, bool across, double pad) {
    auto shown = labelsInView(axis, renderer);
    if (shown.size() < 2) return;
    std::vector<double> centres;
    double largest = 0;
    for (auto &[index, text] : shown) {
        py::object box = text.attr("get_window_extent")(renderer);
        double low = py::float_(box.attr(across ? "x0" : "y0")).cast<double>();
        double high = py::float_(box.attr(across ? "x1" : "y1")).cast<double>();
        centres.push_back((low + high) / 2);
        largest = std::max(largest, high - low);
    }
    double spacing = std::abs(centres[1] - centres[0]);
    for (size_t i = 2; i < centres.size(); ++i) spacing = std::min(spacing, std::abs(centres[i] - centres[i - 1]));
    if (spacing <= 0) return;
    size_t every = static_cast<size_t>(std::ceil((largest + pad) / spacing));
    std::vector<size_t> dropped;
    for (size_t i = 0; i < shown.size(); ++i)
        if (every > 1 && i % every != 0) dropped.push_back(shown[i].first);
    dropLabels(axis, dropped);
}

// An x label that would run into a y label in the corner of the axes is left out.
void clearCorner(py::object ax, py::object renderer) {
    std::vector<py::object> yBoxes;
    for (auto &[index, text] : labelsInView(ax.attr("yaxis"), renderer))
        yBoxes.push_back(text.attr("get_window_extent")(renderer));
    std::vector<size_t> dropped;
    for (auto &[index, text] : labelsInView(ax.attr("xaxis"), renderer)) {
        py::object box = text.attr("get_window_extent")(renderer);
        for (const py::object &yBox : yBoxes)
            if (velmora::truthy(box.attr("overlaps")(yBox))) {
                dropped.push_back(index);
                break;
            }
    }
    dropLabels(ax.attr("xaxis"), dropped);
}

// The numbers at fixed places spaced for the figure's size as it is now.
void spaceFixedLabels(py::handle figure, const std::vector<std::pair<py::object, std::pair<bool, bool>>> &axes) {
    py::object renderer = figure.attr("canvas").attr("get_renderer")();
    double pixelsPerPoint = py::float_(figure.attr("dpi")).cast<double>() / 72;
    for (const auto &[ax, fixed] : axes) {
        double pad = py::float_(ax.attr("xaxis").attr("get_majorticklabels")()[py::int_(0)].attr("get_fontsize")())
                         .cast<double>() * pixelsPerPoint;
        if (fixed.second) thinLabels(ax.attr("yaxis"), renderer, false, pad / 4);
        if (fixed.first) thinLabels(ax.attr("xaxis"), renderer, true, pad);
        if (fixed.first) clearCorner(ax, renderer);
    }
}

}  // namespace

void localeTickLabels(py::handle figure) {
    std::vector<std::pair<py::object, std::pair<bool, bool>>> fixedNumbers;
    for (py::handle ax : figure.attr("axes")) {
        bool x = localeTicksOf(ax.attr("xaxis"));
        bool y = localeTicksOf(ax.attr("yaxis"));
        if (x || y) fixedNumbers.emplace_back(py::reinterpret_borrow<py::object>(ax), std::make_pair(x, y));
    }
    if (fixedNumbers.empty()) return;
    try {
        spaceFixedLabels(figure, fixedNumbers);
    } catch (py::error_already_set &) {
        // A figure that cannot be drawn here keeps its labels as they are.
    }
}

void relabelFigure(py::dict own, py::handle figure) {
    for (py::handle ax : figure.attr("axes")) {
        for (py::object text : {py::object(ax.attr("title")), py::object(ax.attr("xaxis").attr("label")),
                                py::object(ax.attr("yaxis").attr("label"))})
            text.attr("set_text")(textInLanguageShown(own, text.attr("get_text")()));
        py::object legend = ax.attr("get_legend")();
        if (legend.is_none()) continue;
        py::object title = legend.attr("get_title")();
        title.attr("set_text")(textInLanguageShown(own, title.attr("get_text")()));
    }
    localeTickLabels(figure);
}

void relabelLegends(py::dict own, py::handle figure) {
    for (py::handle ax : figure.attr("axes")) {
        py::object legend = ax.attr("get_legend")();
        if (legend.is_none()) continue;
        for (py::handle text : legend.attr("get_texts")())
            text.attr("set_text")(shownLabel(own, text.attr("get_text")()));
    }
}

// ---------------------------------------------------------------------------------------
// The charts of a result

namespace {

py::object imageOf(py::object self, py::object ax, const BeforeImage &beforeImage) {
    if (ax.is_none()) return py::none();
    if (beforeImage) beforeImage();
    return self.attr("axToPng")(ax);
}

// As many names as fit beside the donut, one above the other, at the figure's default height.
constexpr size_t legendRows = 15;

// The donut keeps its size beside a legend of long names: the figure widens by what the legend needs
// beyond the room a round chart leaves at its side.
void widenForLegend(py::object figure, py::object legend) {
    py::object renderer = figure.attr("canvas").attr("get_renderer")();
    double legendWidth = py::float_(legend.attr("get_window_extent")(renderer).attr("width")).cast<double>() /
                         py::float_(figure.attr("dpi")).cast<double>();
    py::list size = figure.attr("get_size_inches")().attr("tolist")();
    double width = size[0].cast<double>(), height = size[1].cast<double>();
    if (height + legendWidth > width) figure.attr("set_size_inches")(height + legendWidth, height);
}

// The charts of the result held, from what its run left: nothing is computed again.
void drawCharts(const py::module_ &m, py::object self) {
    py::object method = self.attr("methodObj");
    if (!method.is_none()) drawAnalysis(self, method);
    py::object recommendation = self.attr("__getitem__")("Recommendation");
    if (!velmora::truthy(recommendation.attr("empty"))) drawDonut(self, recommendation);
    if (!self.attr("futureValue").is_none())
        drawBacktest(m, self, self.attr("returns"),
                     py::object(self.attr("recommendationWrk")["Weight"]) / py::int_(100));
    setChartLanguage(self, languageShown());
}

}  // namespace

py::object emptyChartImage(py::object self) {
    py::object plt = velmora::pyplot();
    plt.attr("close")();
    py::module_::import("seaborn").attr("set_theme")();
    return self.attr("axToPng")(plt.attr("figure")("figsize"_a = py::none()).attr("add_subplot")());
}

void drawAnalysis(py::object self, py::object method, const BeforeImage &beforeImage) {
    py::object plt = velmora::pyplot();
    plt.attr("close")();
    plt.attr("figure")("figsize"_a = py::none());
    py::tuple analysis = method.attr("plotAnalysis")("figsize"_a = py::none());
    py::dict own = ownTexts();
    for (py::handle ax : analysis)
        if (!ax.is_none()) relabelFigure(own, ax.attr("get_figure")("root"_a = true));
    self.attr("analysisGraph") = imageOf(self, analysis[0], beforeImage);
    self.attr("analysisGraph2") = imageOf(self, analysis[1], beforeImage);
}

py::list stockLabels(py::object stocks) {
    py::list labels = stocks["Security Name"].attr("astype")("str").attr("tolist")();
    py::list symbols = stocks["Symbol"].attr("tolist")();
    // A name may also read as another stock's label ("Alpha (B.US)" beside two "Alpha"): the labels
    // are made anew until none repeats, which the symbols, each a stock's own, ensure.
    for (size_t round = 0; round <= labels.size(); ++round) {
        py::object counts = py::module_::import("collections").attr("Counter")(labels);
        bool repeats = false;
        for (size_t i = 0; i < labels.size(); ++i) {
            if (py::int_(counts[labels[i]]).cast<long>() < 2) continue;
            labels[i] = py::str("{} ({})").format(labels[i], symbols[i]);
            repeats = true;
        }
        if (!repeats) break;
    }
    return labels;
}

py::dict donutWeights(py::object recommendation) {
    py::object weights = recommendation["Weight"];
    py::object largest = recommendation.attr("sort_values")("Weight", "ascending"_a = false).attr("head")(20);
    py::dict cleanedWeights;
    py::list labels = stockLabels(largest);
    py::list values = largest["Weight"].attr("tolist")();
    for (size_t i = 0; i < labels.size(); ++i) cleanedWeights[labels[i]] = values[i];
    double total = py::float_(weights.attr("sum")()).cast<double>();
    double other = total - py::float_(largest["Weight"].attr("sum")()).cast<double>();
    if (other > 1) cleanedWeights[velmora::translate("Other")] = other;
    double unallocated = 100 - total;
    if (unallocated > 1) cleanedWeights[velmora::translate("Unallocated")] = unallocated;
    return cleanedWeights;
}

py::list distinctColours(size_t count) {
    py::object rc = py::module_::import("matplotlib").attr("rcParams");
    py::list cycle = rc["axes.prop_cycle"].attr("by_key")()["color"];
    if (count <= cycle.size()) return cycle[py::slice(0, static_cast<py::ssize_t>(count), 1)];
    return py::list(py::module_::import("seaborn").attr("color_palette")("husl", count));
}

void drawDonut(py::object self, py::object recommendation, const BeforeImage &beforeImage) {
    py::object plt = velmora::pyplot();
    py::dict cleanedWeights = donutWeights(recommendation);
    self.attr("cleanedWeights") = cleanedWeights;

    plt.attr("close")();
    py::object figure = plt.attr("figure")("figsize"_a = py::none());
    // After the figure and before its axes, so that the axes take the theme's style.
    py::module_::import("seaborn").attr("set_theme")();
    py::object ax = figure.attr("subplots")();
    py::dict wedges;
    wedges["width"] = 0.7;
    ax.attr("pie")(py::list(cleanedWeights.attr("values")()), "startangle"_a = 90, "wedgeprops"_a = wedges,
                   "colors"_a = distinctColours(py::len(cleanedWeights)));
    ax.attr("set_title")(velmora::translate("Portfolio Allocation"));
    // At the left of its axes, so that the legend beside it starts where the donut ends.
    ax.attr("set_anchor")("W");
    widenForLegend(figure, velmora::legendBeside(ax, py::list(cleanedWeights.attr("keys")()), legendRows));
    self.attr("weightGraph") = imageOf(self, ax, beforeImage);
    setChartLanguage(self, languageShown());
}

void drawBacktest(const py::module_ &m, py::object self, py::object returns, py::object weights,
                  const BeforeImage &beforeImage) {
    py::object plt = velmora::pyplot();
    py::tuple made = plt.attr("subplots")(1, 1);
    py::object figure = made[0], ax = made[1];
    try {
        withTranslatedAxes([&] {
            py::module_::import("riskfolio").attr("plot_drawdown")(returns, weights, "ax"_a = ax);
            py::list axes = figure.attr("axes");
            py::tuple backtest = m.attr("separateAxes")(axes[1]);
            self.attr("backtestGraph") = imageOf(self, backtest[1], beforeImage);
            py::tuple drawdown = m.attr("separateAxes")(axes[2]);
            self.attr("drawdownGraph") = imageOf(self, drawdown[1], beforeImage);
        });
    } catch (const Cancelled &) {
        throw;
    } catch (...) {
        velmora::logFailure(m, "Drawdown");
    }
    // The drawing figure is no longer current once the copies exist; closing it here keeps
    // pyplot from collecting one figure per run.
    plt.attr("close")(figure);
}

void showInLanguage(const py::module_ &m, py::object self) {
    py::object results = self.attr("__getitem__")("Results");
    py::object relabelled = inLanguageShown(results);
    if (!relabelled.is(results)) self.attr("__setitem__")("Results", relabelled);
    py::object drawnIn = chartLanguage(self);
    if (drawnIn.is_none() || drawnIn.equal(languageShown())) return;
    try {
        drawCharts(m, self);
    } catch (py::error_already_set &) {
        velmora::logFailure(m, "Charts");
    }
}

// ---------------------------------------------------------------------------------------
// Chart images and numbers

namespace {

py::object axToPng(py::object self, py::object ax) {
    py::object figure = ax.attr("get_figure")("root"_a = true);
    try {
        figure.attr("tight_layout")();
    } catch (py::error_already_set &) {
        // A layout that can't be tightened still renders.
    }
    py::object buffer = py::module_::import("io").attr("BytesIO")();
    py::object data;
    try {
        figure.attr("savefig")(buffer, "dpi"_a = 150);
        data = buffer.attr("getvalue")();
    } catch (...) {
        buffer.attr("close")();
        throw;
    }
    buffer.attr("close")();
    velmora::pyplot().attr("close")(figure);
    return data;
}

void axToPdf(py::object self, py::object ax, py::object fileName) {
    py::object file = velmora::builtins().attr("open")(fileName, "wb");
    try {
        velmora::pyplot().attr("savefig")(file, "format"_a = "pdf");
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

py::object formatValue(py::object self, py::object value) { return velmora::localeNumber(value, py::int_(2)); }

// ---------------------------------------------------------------------------------------
// Module functions: the backtest's charts each by itself, and rounding

// A line across the whole axes at one height (a risk measure of the drawdown chart): its x values
// are fractions of the axes' width, not dates.
bool spansAxes(py::handle line, py::handle ax) {
    return line.attr("get_transform")().is(ax.attr("get_yaxis_transform")());
}

// Dates a chart of its size shows without overlapping, month names in the language shown.
void readableDates(py::object ax) {
    py::object dates = py::module_::import("matplotlib.dates");
    py::object xaxis = ax.attr("xaxis");
    if (!py::isinstance(xaxis.attr("get_major_locator")(), dates.attr("DateLocator"))) return;
    py::object locator = dates.attr("AutoDateLocator")("maxticks"_a = 8);
    xaxis.attr("set_major_locator")(locator);
    xaxis.attr("set_major_formatter")(dates.attr("ConciseDateFormatter")(locator));
}

// Below the chart, where it covers no curve, as large as the axis labels: in two columns where they fit
// the figure's width, in one otherwise. The figure grows by the legend, so that the plot keeps its size.
// None when no line has a label.
void legendBelow(py::object ax) {
    bool labelled = false;
    for (py::handle line : py::list(ax.attr("lines")))
        labelled = labelled || !py::str(line.attr("get_label")()).attr("startswith")("_").cast<bool>();
    if (!labelled) return;
    py::object figure = ax.attr("get_figure")();
    py::object renderer = figure.attr("canvas").attr("get_renderer")();
    double dpi = py::float_(figure.attr("dpi")).cast<double>();
    py::list size = figure.attr("get_size_inches")().attr("tolist")();
    double width = size[0].cast<double>(), height = size[1].cast<double>();
    double legendWidth = 0, legendHeight = 0;
    for (int columns : {2, 1}) {
        py::object legend = ax.attr("legend")("loc"_a = "upper center",
                                              "bbox_to_anchor"_a = py::make_tuple(0.5, -0.12), "ncols"_a = columns,
                                              "fontsize"_a = ax.attr("xaxis").attr("label").attr("get_fontsize")());
        py::object box = legend.attr("get_window_extent")(renderer);
        legendWidth = py::float_(box.attr("width")).cast<double>() / dpi;
        legendHeight = py::float_(box.attr("height")).cast<double>() / dpi;
        if (legendWidth <= width) break;
    }
    figure.attr("set_size_inches")(std::max(width, legendWidth), height + legendHeight);
}

// Copies the lines of one axes of a multi-chart figure onto a figure of its own, with the
// y axis in percent, so that it renders as an image by itself.
py::tuple separateAxes(py::object ax) {
    py::tuple made = velmora::pyplot().attr("subplots")();
    py::object newFig = made[0], newAx = made[1];
    py::dict own = ownTexts();
    for (py::handle line : py::list(ax.attr("lines"))) {
        py::tuple data = line.attr("get_data")();
        py::object label = shownLabel(own, line.attr("get_label")());
        // Each measure in its colour, so that the legend tells them apart.
        if (spansAxes(line, ax))
            newAx.attr("axhline")(py::list(data[1])[0], "label"_a = label,
                                  "color"_a = line.attr("get_color")());
        else
            newAx.attr("plot")(data[0], data[1], "label"_a = label);
    }
    newAx.attr("set_title")(ax.attr("get_title")());
    newAx.attr("set_xlabel")(ax.attr("get_xlabel")());
    newAx.attr("set_ylabel")(ax.attr("get_ylabel")());
    newAx.attr("set_xlim")(ax.attr("get_xlim")());
    newAx.attr("set_ylim")(ax.attr("get_ylim")());
    percentTicks(newAx, ax.attr("get_yticks")().attr("tolist")());
    readableDates(newAx);
    legendBelow(newAx);
    newFig.attr("tight_layout")();
    return py::make_tuple(newFig, newAx);
}

py::object safeRound(py::object val) {
    try {
        return velmora::builtins().attr("round")(velmora::builtins().attr("float")(val), 2);
    } catch (py::error_already_set &error) {
        if (error.matches(PyExc_ValueError) || error.matches(PyExc_TypeError)) return val;
        throw;
    }
}

}  // namespace

void defineCharts(py::module_ &m, py::object cls) {
    velmora::method(cls, "axToPng", &axToPng, "ax"_a);
    velmora::method(cls, "axToPdf", &axToPdf, "ax"_a, "fileName"_a);
    velmora::method(cls, "formatValue", &formatValue, "value"_a);
    m.def("separateAxes", &separateAxes, "ax"_a);
    m.def("safe_round", &safeRound, "val"_a);
}

}  // namespace velmora::recommendation
