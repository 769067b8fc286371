// The cached data source: every price series ever fetched, kept in one table mirrored to a
// file, converted and cleaned on request.
#include "pyclass.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

py::object import(const char *name) { return py::module_::import(name); }

py::object orNone(py::handle value) {
    return velmora::truthy(value) ? py::reinterpret_borrow<py::object>(value) : py::none();
}

// Symbols and currencies come from stock tables, where a missing one is none or NaN.
bool isNonEmptyText(py::handle value) { return py::isinstance<py::str>(value) && py::len(value) > 0; }

py::object emptyCache() { return import("pandas").attr("DataFrame")(); }

// ---- Covered ranges ----------------------------------------------------------------------
//
// Every symbol has the range of dates it was fetched for, (first, last) as texts, none for an
// open end, so that a request fetches only what lies outside it. The ranges are kept apart
// from the table because a range may begin or end on a day without trading.

using Range = std::pair<py::object, py::object>;

// Date texts compare in calendar order; none is the open end on its side.
bool startsBefore(py::handle a, py::handle b) { return velmora::truthy(b) && (!velmora::truthy(a) || a < b); }
bool endsAfter(py::handle a, py::handle b) { return velmora::truthy(b) && (!velmora::truthy(a) || a > b); }

// A symbol without a range of its own (set into the table from outside) has the cache's.
Range rangeOf(py::object self, py::handle symbol) {
    py::dict ranges = self.attr("cacheRanges");
    if (ranges.contains(symbol)) {
        py::tuple range = ranges[symbol];
        return {range[0], range[1]};
    }
    return {self.attr("cacheStartDate"), self.attr("cacheEndDate")};
}

// The cache's covered range is the hull of its symbols' ranges.
void setRanges(py::object self, py::dict ranges) {
    self.attr("cacheRanges") = ranges;
    py::object first = py::none(), last = py::none();
    bool any = false;
    for (auto item : ranges) {
        py::tuple range = py::reinterpret_borrow<py::tuple>(item.second);
        if (!any || startsBefore(range[0], first)) first = range[0];
        if (!any || endsAfter(range[1], last)) last = range[1];
        any = true;
    }
    self.attr("cacheStartDate") = orNone(first);
    self.attr("cacheEndDate") = orNone(last);
}

// The raw sources leave out the first day of every download, and Yahoo's the last one too, so
// a range is widened by fetching from a few days inside it: the days lost at the seam are
// ones the cache already holds.
constexpr int seamDays = 7;

py::object shifted(py::object day, int days) {
    py::object datetime = import("datetime");
    py::object parsed = datetime.attr("date").attr("fromisoformat")(day);
    return (parsed + datetime.attr("timedelta")("days"_a = days)).attr("isoformat")();
}

// ---- Cache file ------------------------------------------------------------------------
//
// Four numpy arrays, one after the other: the covered ranges (one row of two date texts per
// symbol; a file of the first form holds one range for all symbols), the dates, the symbols and
// the prices with one row per symbol. Read with pickled data refused, the file runs no code, and
// the prices land in the block that the table then uses, which makes loading about as fast as
// unpickling.
//
// A fifth array holds a digest of the four. Damage that leaves well-formed values (a zeroed block
// of prices, one flipped digit of a date) passes every check of the values and would be served for
// good; with the digest the file is read as no cache and healed by the next download. The digest
// guards against damage, not against a maker of files, so it is XXH3 (16 bytes), which costs a
// fraction of the read; files of the earlier form carry SHA-256 (32 bytes), and files older still
// none: both are read, and gain the present digest at their next write.
//
// A digest that matches says only that the file is whole, not that the program wrote it: the
// checks of the values apply to every file.

constexpr int smallArrays = 3;
constexpr py::ssize_t xxh3Size = 16, sha256Size = 32;

[[noreturn]] void foreignFile(const char *why) {
    throw py::value_error(std::string("not a price cache file: ") + why);
}

bool isArrayOf(py::handle array, const char *kind, int dimensions) {
    return array.attr("dtype").attr("kind").cast<std::string>() == kind &&
           array.attr("ndim").cast<int>() == dimensions;
}

// Hands the opened file to `use` and closes it again, also when `use` fails.
template <typename Use>
void withFile(py::object file, Use &&use) {
    try {
        use(file);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

py::object newDigest() { return import("xxhash").attr("xxh3_128")(); }

// What the digest takes of an array before its bytes: its type and shape.
void digestForm(py::object digest, py::handle dtype, py::handle shape) {
    digest.attr("update")(py::str("{}{}").format(dtype.attr("str"), shape).attr("encode")());
}

// The digest of the arrays, taken where they lie in memory rather than read from the file again.
py::bytes digestOf(py::object digest, py::list arrays) {
    for (py::handle array : arrays) {
        py::object contiguous = import("numpy").attr("ascontiguousarray")(array);
        digestForm(digest, contiguous.attr("dtype"), contiguous.attr("shape"));
        digest.attr("update")(contiguous.attr("reshape")(-1).attr("view")("uint8"));
    }
    return digest.attr("digest")();
}

// Reads the digest that follows the arrays, if the file has one, and holds it against them: the
// running XXH3 digest of the read, or for a file of the earlier form SHA-256 taken afresh.
void checkDigest(py::object file, py::object running, py::list arrays) {
    if (py::len(file.attr("read")(1)) == 0) return;
    file.attr("seek")(-1, 1);
    py::object stored = import("numpy").attr("load")(file, "allow_pickle"_a = false);
    // A header that states a few bytes too few shifts what follows it; the bytes it leaves over
    // are what betrays it.
    if (py::len(file.attr("read")(1)) != 0) foreignFile("bytes after the digest");
    if (!isArrayOf(stored, "u", 1)) foreignFile("no digest");
    py::bytes digest = stored.attr("tobytes")();
    py::ssize_t size = py::len(digest);
    bool matches = (size == xxh3Size && digest.equal(running.attr("digest")())) ||
                   (size == sha256Size && digest.equal(digestOf(import("hashlib").attr("sha256")(), arrays)));
    if (!matches) foreignFile("the digest does not match the prices");
}

py::object boundText(py::handle bound) { return velmora::truthy(bound) ? py::str(bound) : py::str(""); }

py::object todayText() { return import("datetime").attr("date").attr("today")().attr("isoformat")(); }

// A bound is a date text "YYYY-MM-DD". The program records only closed ranges that end by today and
// never before they start: an open bound would make the symbol count as covered for every period,
// and one damaged byte makes a text that no request can be compared with. Answers per row of the
// bounds (two texts) whether it is such a range, and its two days. The symbols share a few texts, and
// each is read once.
struct RangeCheck {
    py::object readable, days;
};

// The first (0) or last (1) bound of every range.
py::object boundsOf(py::object ranges, int side) { return ranges[py::make_tuple(py::ellipsis(), side)]; }

// The day of each text, and whether the text is that day written the program's way.
std::pair<py::object, py::object> daysOf(py::object texts) {
    py::object np = import("numpy");
    py::object days;
    try {
        days = texts.attr("astype")("datetime64[D]");
    } catch (py::error_already_set &) {
        // A text that is no date at all: text by text, so that only its symbols are left out.
        py::list each;
        for (py::handle text : texts) {
            try {
                each.append(np.attr("datetime64")(text, "D"));
            } catch (py::error_already_set &) {
                each.append(np.attr("datetime64")("NaT", "D"));
            }
        }
        days = np.attr("array")(each, "dtype"_a = "datetime64[D]");
    }
    return {days, np.attr("equal")(days.attr("astype")(texts.attr("dtype")), texts)};
}

RangeCheck checkRanges(py::object bounds, py::object today) {
    py::object np = import("numpy");
    py::tuple distinct = np.attr("unique")(bounds, "return_inverse"_a = true);
    auto [textDays, written] = daysOf(distinct[0]);
    py::object inverse = py::object(distinct[1]).attr("reshape")(bounds.attr("shape"));
    py::object days = textDays[inverse];
    py::object first = boundsOf(days, 0), last = boundsOf(days, 1);
    py::object ordered = np.attr("logical_and")(np.attr("less_equal")(first, last),
                                                np.attr("less_equal")(last, np.attr("datetime64")(today)));
    py::object wellWritten = py::object(written[inverse]).attr("all")("axis"_a = 1);
    py::object readable = np.attr("logical_and")(wellWritten, ordered);
    return {readable, days};
}

// A symbol damaged in the file can name no series a request asks for.
bool readableSymbol(py::handle symbol) {
    return isNonEmptyText(symbol) && velmora::truthy(symbol.attr("isprintable")());
}

// Whether any of the prices is zero, negative or infinite; gaps (NaN) are none of these. Written
// for the processor's vector unit where there is one, as the compiler does not make such a test of a
// sequence a vector one by itself: it runs at a fraction of the read.
bool anyDamaged(const double *prices, py::ssize_t count) {
    constexpr double largest = std::numeric_limits<double>::max();
    py::ssize_t i = 0;
    bool any = false;
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd(), top = _mm_set1_pd(largest);
    __m128d damaged = zero, damagedToo = zero;
    for (; i + 4 <= count; i += 4) {
        __m128d values = _mm_loadu_pd(prices + i), more = _mm_loadu_pd(prices + i + 2);
        damaged = _mm_or_pd(damaged, _mm_or_pd(_mm_cmple_pd(values, zero), _mm_cmpgt_pd(values, top)));
        damagedToo = _mm_or_pd(damagedToo, _mm_or_pd(_mm_cmple_pd(more, zero), _mm_cmpgt_pd(more, top)));
    }
    any = _mm_movemask_pd(_mm_or_pd(damaged, damagedToo)) != 0;
#endif
    for (; i < count; ++i) any |= (prices[i] <= 0.0) | (prices[i] > largest);
    return any;
}

// What a pass over the prices finds per symbol: a zero, negative or infinite price, which no source
// delivers and the cleaning of a request would hide while the cache kept it for good; and whether
// any price lies within the symbol's covered range, without which the range is a claim with nothing
// behind it. The prices are looked at as they arrive from the file, a block at a time.
class PriceScan {
  public:
    PriceScan(const double *prices, py::ssize_t days, std::vector<py::ssize_t> from,
              std::vector<py::ssize_t> to)
        : prices_(prices), days_(days), from_(std::move(from)), to_(std::move(to)),
          damaged_(from_.size(), 0), priced_(from_.size(), 0) {}

    // The prices from flat position `first` up to `end`, which lie in memory by now.
    void scan(py::ssize_t first, py::ssize_t end) {
        while (first < end) {
            py::ssize_t symbol = first / days_, day = first % days_;
            py::ssize_t stop = std::min(end - first + day, days_);
            const double *row = prices_ + symbol * days_;
            damaged_[symbol] |= anyDamaged(row + day, stop - day);
            for (py::ssize_t d = std::max(day, from_[symbol]), last = std::min(stop, to_[symbol]);
                 !priced_[symbol] && d < last; ++d)
                priced_[symbol] = row[d] == row[d];
            first += stop - day;
        }
    }
    bool intact(size_t symbol) const { return !damaged_[symbol] && priced_[symbol]; }

  private:
    const double *prices_;
    py::ssize_t days_;
    std::vector<py::ssize_t> from_, to_;
    std::vector<char> damaged_, priced_;
};

// A file of the first form holds one range for all its symbols.
py::object rangeForAll(py::object range, size_t symbols) {
    return import("numpy").attr("broadcast_to")(range, py::make_tuple(symbols, 2));
}

// Positions of the covered ranges in the dates: from the first date within the range to the one past
// its last.
std::vector<py::ssize_t> positions(py::object dates, py::object days, const char *side) {
    py::object found = import("numpy").attr("searchsorted")(dates, days, "side"_a = side);
    return found.attr("tolist")().cast<std::vector<py::ssize_t>>();
}

// The price block's header: the prices of every symbol on every date, as the program writes them.
py::object readPriceHeader(py::object file, py::object shape) {
    py::object format = import("numpy.lib.format");
    py::tuple version = format.attr("read_magic")(file);
    py::tuple header;
    if (version.equal(py::make_tuple(1, 0)))
        header = format.attr("read_array_header_1_0")(file);
    else if (version.equal(py::make_tuple(2, 0)))
        header = format.attr("read_array_header_2_0")(file);
    else
        foreignFile("no price table");
    py::object stated = header[0], fortranOrder = header[1], dtype = header[2];
    bool inOrder = !velmora::truthy(fortranOrder) && dtype.equal(import("numpy").attr("dtype")("float64"));
    if (!inOrder || !stated.equal(shape)) foreignFile("no price table");
    return stated;
}

// Reads the price block into the array the table will use, a block of bytes at a time: each block
// is digested and scanned while it is still in the processor's cache, so that the checks add little
// to the read itself.
py::array_t<double> readPrices(py::object file, py::object digest, py::object shape, py::object dates,
                               const RangeCheck &ranges, std::vector<char> &intact) {
    py::object stated = readPriceHeader(file, shape);
    py::array_t<double> prices(import("numpy").attr("empty")(stated, "dtype"_a = "float64"));
    digestForm(digest, prices.attr("dtype"), prices.attr("shape"));
    py::object bytes = prices.attr("reshape")(-1).attr("view")("uint8");
    PriceScan scan(prices.data(), py::len(dates), positions(dates, boundsOf(ranges.days, 0), "left"),
                   positions(dates, boundsOf(ranges.days, 1), "right"));
    constexpr py::ssize_t block = 1 << 18;
    const py::ssize_t size = prices.nbytes();
    for (py::ssize_t first = 0; first < size; first += block) {
        py::ssize_t end = std::min(first + block, size);
        py::object part = bytes[py::slice(first, end, 1)];
        if (py::int_(file.attr("readinto")(part)).cast<py::ssize_t>() != end - first)
            foreignFile("the prices end early");
        digest.attr("update")(part);
        scan.scan(first / py::ssize_t(sizeof(double)), end / py::ssize_t(sizeof(double)));
    }
    intact.assign(shape[py::int_(0)].cast<size_t>(), 0);
    for (size_t i = 0; i < intact.size(); ++i) intact[i] = scan.intact(i);
    return prices;
}

// No real cache comes near this size; a larger file, like a device or a pipe, is not read.
constexpr long long cacheFileLimit = 64LL << 20;

// ---- CachedDataSource -------------------------------------------------------------------

void construct(const py::module_ &m, py::object self, py::object fileName, py::object rawProvider,
               py::object config) {
    self.attr("fileName") = fileName;
    self.attr("config") = config;
    bool loaded = false;
    if (velmora::truthy(fileName)) {
        try {
            self.attr("load")(fileName);
            loaded = true;
        } catch (...) {
            // A missing, damaged or foreign file only means that the prices are fetched anew.
        }
    }
    if (!loaded) {
        self.attr("cache") = emptyCache();
        setRanges(self, py::dict());
        m.attr("updateNeeded") = false;
    }
    self.attr("rawProvider") = rawProvider;
    self.attr("downloadFailures") = py::dict();
}

void load(py::object self, py::object fileName) {
    py::object np = import("numpy"), pd = import("pandas");
    py::list arrays;
    py::object digest = newDigest(), today = todayText();
    py::object index, columns;
    RangeCheck ranges;
    std::vector<char> pricesIntact;
    bool oneRange = false;
    withFile(velmora::openRegularFile(fileName, "rb", cacheFileLimit), [&](py::object file) {
        for (int i = 0; i < smallArrays; ++i) arrays.append(np.attr("load")(file, "allow_pickle"_a = false));
        py::object bounds = arrays[0], dates = arrays[1], symbols = arrays[2];
        if (!isArrayOf(dates, "M", 1) || !isArrayOf(symbols, "U", 1)) foreignFile("no price table");
        oneRange = isArrayOf(bounds, "U", 1) && py::len(bounds) == 2;
        py::object boundsShape = bounds.attr("shape");
        bool perSymbol = isArrayOf(bounds, "U", 2) && boundsShape.equal(py::make_tuple(py::len(symbols), 2));
        if (!oneRange && !perSymbol) foreignFile("no covered range");
        if (py::len(dates) == 0) foreignFile("no dates");
        // Requests are cut from the table by date slices, which need the dates in order; prices are
        // quoted by day, so a date off midnight or twice in the file is damage that the rewrite
        // after the next fetch would otherwise keep for good.
        py::object ticks = dates.attr("view")("int64");
        py::object ascending = np.attr("greater")(ticks[py::slice(1, std::nullopt, std::nullopt)],
                                                  ticks[py::slice(std::nullopt, -1, std::nullopt)]);
        bool symbolsOnce = py::len(np.attr("unique")(symbols)) == py::len(symbols);
        if (!velmora::truthy(ascending.attr("all")()) || !symbolsOnce)
            foreignFile("dates out of order or symbols repeated");
        py::object days = dates.attr("astype")("datetime64[D]").attr("astype")(dates.attr("dtype"));
        if (!velmora::truthy(np.attr("array_equal")(days, dates))) foreignFile("dates off midnight");
        index = pd.attr("DatetimeIndex")(dates, "name"_a = "Date");
        columns = pd.attr("Index")(symbols.attr("tolist")());
        py::list digested;
        for (py::handle array : arrays) digested.append(array);
        digestOf(digest, digested);
        ranges = checkRanges(oneRange ? rangeForAll(bounds, py::len(symbols)) : bounds, today);
        py::object shape = py::make_tuple(py::len(symbols), py::len(dates));
        arrays.append(readPrices(file, digest, shape, dates, ranges, pricesIntact));
        checkDigest(file, digest, arrays);
    });
    // A symbol whose name, range or prices cannot be read is left out, as if it had never been
    // cached: the next request for it downloads it again and rewrites the file whole.
    py::list names = columns.attr("tolist")(), readable;
    py::object stored = arrays[0];
    py::list bounds = (oneRange ? rangeForAll(stored, py::len(names)) : stored).attr("tolist")();
    py::list rangeReadable = ranges.readable.attr("tolist")();
    py::dict covered;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!readableSymbol(names[i]) || !velmora::truthy(rangeReadable[i]) || !pricesIntact[i]) continue;
        py::list range = bounds[i];
        covered[names[i]] = py::make_tuple(range[0], range[1]);
        readable.append(names[i]);
    }
    if (readable.empty()) foreignFile("no readable symbol");
    // Rows dated after today lie outside every range that can be read: no source knew them.
    py::object tomorrow = np.attr("datetime64")(today) + np.attr("timedelta64")(1, "D");
    auto upToToday = np.attr("searchsorted")(arrays[1], tomorrow, "side"_a = "left").cast<py::ssize_t>();
    py::object cache = pd.attr("DataFrame")(py::object(arrays[3]).attr("T"), "index"_a = index,
                                            "columns"_a = columns, "copy"_a = false);
    if (upToToday < static_cast<py::ssize_t>(py::len(index)))
        cache = cache.attr("iloc")[py::slice(0, upToToday, 1)];
    self.attr("cache") = readable.size() == names.size() ? cache : py::object(cache[readable]);
    setRanges(self, covered);
}

// A reader, or the next start after a crash, finds either the old cache or the new one, never a
// part, and every hard link of the file the new one.
void save(py::object self, py::object fileName) {
    py::object np = import("numpy");
    py::object cache = self.attr("cache");
    py::list columns(cache.attr("columns")), bounds;
    for (py::handle symbol : columns) {
        Range range = rangeOf(self, symbol);
        bounds.append(py::make_tuple(boundText(range.first), boundText(range.second)));
    }
    py::list arrays;
    arrays.append(np.attr("array")(bounds, "dtype"_a = "str").attr("reshape")(-1, 2));
    arrays.append(cache.attr("index").attr("to_numpy")());
    arrays.append(np.attr("array")(columns, "dtype"_a = "str"));
    arrays.append(np.attr("ascontiguousarray")(cache.attr("to_numpy")("dtype"_a = "float64").attr("T")));
    arrays.append(np.attr("frombuffer")(digestOf(newDigest(), arrays), "dtype"_a = "uint8"));
    velmora::replaceWhenWritten(fileName, ".tmp", [&](py::object temporary) {
        withFile(import("io").attr("open")(temporary, "wb"), [&](py::object file) {
            for (py::handle array : arrays) np.attr("save")(file, array, "allow_pickle"_a = false);
        });
    });
}

// The once-per-process check that used to discard a cache reaching not far enough. A request
// now fetches what lies outside the ranges of its symbols, so the check has nothing left to do.
void update(const py::module_ &m, py::object, py::object, py::object, py::object) {
    m.attr("updateNeeded") = false;
}

// What a request lacks: the symbols that are not cached, or whose range does not hold the
// requested one, and the one span that covers what any of them misses.
struct Missing {
    py::list symbols;
    py::object first, last;
};

Missing missingOf(py::object self, py::list requested, py::object startDate, py::object endDate) {
    Missing missing;
    py::set cached(self.attr("cache").attr("columns"));
    auto widen = [&](py::object from, py::object to) {
        if (missing.symbols.empty() || startsBefore(from, missing.first)) missing.first = from;
        if (missing.symbols.empty() || endsAfter(to, missing.last)) missing.last = to;
    };
    for (py::handle symbol : requested) {
        if (!cached.contains(symbol)) {
            widen(orNone(startDate), orNone(endDate));
        } else {
            auto [coveredFirst, coveredLast] = rangeOf(self, symbol);
            bool before = startsBefore(startDate, coveredFirst), after = endsAfter(endDate, coveredLast);
            if (!before && !after) continue;
            widen(after && !before ? shifted(coveredLast, -seamDays) : orNone(startDate),
                  before && !after ? shifted(coveredFirst, seamDays) : orNone(endDate));
        }
        missing.symbols.append(symbol);
    }
    return missing;
}

// What the reader would refuse never enters the cache: rows dated after today, which no source
// knows yet, and zero, negative and infinite prices, which become gaps (as the cleaning of a request
// makes them). Dates that are no calendar days, one row a day, come from a source that breaks its
// contract: its whole answer is refused, and logged.
py::object storablePrices(const py::module_ &m, py::object fetched, py::object today) {
    py::object pd = import("pandas"), np = import("numpy");
    if (py::len(fetched.attr("columns")) == 0) return fetched;
    py::object index = fetched.attr("index");
    try {
        bool days = py::isinstance(index, pd.attr("DatetimeIndex")) && index.attr("tz").is_none() &&
                    velmora::truthy(index.attr("is_unique")) &&
                    velmora::truthy(index.attr("equals")(index.attr("normalize")()));
        if (!days) throw py::value_error("the dates are no calendar days, one row a day");
        py::object once = fetched.attr("columns").attr("duplicated")("keep"_a = "last").attr("__invert__")();
        fetched = fetched.attr("loc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), once)];
        py::object upToToday = py::slice(py::none(), today, py::none());
        fetched = fetched.attr("sort_index")().attr("loc")[upToToday].attr("astype")("float64");
    } catch (py::error_already_set &error) {
        py::object symbols = fetched.attr("columns").attr("tolist")();
        m.attr("logger").attr("error")("Refused the prices of %s: %s", symbols, error.value());
        return pd.attr("DataFrame")();
    }
    py::object values = fetched.attr("to_numpy")();
    py::object valid = np.attr("logical_and")(np.attr("greater")(values, 0.0), np.attr("isfinite")(values));
    return fetched.attr("where")(valid);
}

// The first date with a price, as text, or none.
py::object firstPriced(py::object series) {
    py::object first = series.attr("first_valid_index")();
    return first.is_none() ? first : first.attr("strftime")("%Y-%m-%d");
}

// Merges the delivered symbols into the cache, their fresh prices winning where both have one,
// and widens their ranges by the span fetched; an open end of the request is closed where the
// prices begin, and at today. A symbol that was not delivered, or has no price in its range, keeps
// what it had and is asked for again next time.
void mergeDelivered(const py::module_ &m, py::object self, py::object fetched, const Missing &missing) {
    py::object cache = self.attr("cache");
    py::set cached(cache.attr("columns"));
    py::dict ranges;
    for (py::handle symbol : cached) {
        Range range = rangeOf(self, symbol);
        ranges[symbol] = py::make_tuple(range.first, range.second);
    }
    py::object today = todayText();
    fetched = storablePrices(m, fetched, today);
    py::list delivered;
    for (py::handle symbol : missing.symbols) {
        if (!fetched.attr("columns").contains(symbol) || !readableSymbol(symbol)) continue;
        py::object series = fetched[symbol];
        py::object from = missing.first, to = missing.last;
        bool known = cached.contains(symbol);
        if (known) {
            auto [coveredFirst, coveredLast] = rangeOf(self, symbol);
            if (!startsBefore(from, coveredFirst)) from = coveredFirst;
            if (!endsAfter(to, coveredLast)) to = coveredLast;
        }
        // No source knows prices beyond today: coverage recorded past it would keep a later
        // request from fetching the days that have come since.
        if (!velmora::truthy(to) || to > today) to = today;
        if (!velmora::truthy(from))
            from = firstPriced(known ? py::object(series.attr("combine_first")(cache[symbol])) : series);
        if (from.is_none() || from > to) continue;
        py::object inRange = series.attr("loc")[py::slice(from, to, py::none())];
        if (!known && !velmora::truthy(inRange.attr("notna")().attr("any")())) continue;
        delivered.append(symbol);
        ranges[symbol] = py::make_tuple(from, to);
    }
    if (delivered.empty()) return;
    self.attr("cache") = fetched[delivered].attr("combine_first")(cache);
    setRanges(self, ranges);
    // Without a file name the cache lives in memory only, rather than failing every fetch; so does it
    // while its file cannot be written (a folder in its place, a full disk), which the log tells once.
    if (!velmora::truthy(self.attr("fileName"))) return;
    try {
        self.attr("save")(self.attr("fileName"));
    } catch (py::error_already_set &failure) {
        if (!failure.matches(PyExc_OSError)) throw;
        if (py::hasattr(self, "unwritable")) return;
        self.attr("unwritable") = true;
        py::module_::import("logging").attr("getLogger")("pdatasource").attr("error")(
            "The price cache %s cannot be written, prices are kept in memory only: %s", self.attr("fileName"),
            failure.value());
    }
}

// One download for all the symbols that lack something, over the span they miss; every other
// symbol stays as cached. A range that ends before it starts asks for nothing.
void fetchMissing(const py::module_ &m, py::object self, py::list requested, py::object startDate,
                  py::object endDate, py::object progress) {
    if (velmora::truthy(startDate) && velmora::truthy(endDate) && endDate < startDate) return;
    Missing missing = missingOf(self, requested, startDate, endDate);
    if (missing.symbols.empty()) return;
    velmora::debug(m.attr("logger"), [&] {
        return py::str("doGet missingStocks={} startDate={} endDate={}")
            .format(missing.symbols, missing.first, missing.last);
    });
    py::object rawProvider = self.attr("rawProvider");
    py::object fetched = rawProvider.attr("get")(missing.symbols, "startDate"_a = missing.first,
                                                 "endDate"_a = missing.last, "progress"_a = progress);
    self.attr("downloadFailures").attr("update")(py::getattr(rawProvider, "downloadFailures", py::dict()));
    mergeDelivered(m, self, fetched, missing);
}

py::object doGet(const py::module_ &m, py::object self, py::object stocks, py::object startDate,
                 py::object endDate, py::object progress) {
    py::list requested = import("builtins").attr("sorted")(py::set(stocks));
    if (!self.attr("rawProvider").is_none()) {
        if (velmora::truthy(m.attr("updateNeeded"))) self.attr("update")(startDate, endDate, progress);
        fetchMissing(m, self, requested, startDate, endDate, progress);
    }
    py::object cache = self.attr("cache");
    py::set cached(cache.attr("columns"));
    py::list available;
    for (py::handle symbol : requested)
        if (cached.contains(symbol)) available.append(symbol);
    py::object rows = import("builtins").attr("slice")(orNone(startDate), orNone(endDate));
    return cache.attr("loc")[py::make_tuple(rows, available)].attr("copy")();
}

py::object queryStocks(py::object self, py::object search) {
    py::object rawProvider = self.attr("rawProvider");
    if (rawProvider.is_none()) return py::none();
    return rawProvider.attr("queryStocks")(search);
}

// ---- Currency conversion ----------------------------------------------------------------

// The currency of every stock by symbol; a stock without a currency text has no entry.
py::dict currenciesOf(py::object stocks) {
    py::dict currencyOf;
    if (!stocks.attr("columns").contains("Currency")) return currencyOf;
    for (py::handle row : import("builtins").attr("zip")(stocks.attr("index"), stocks["Currency"])) {
        py::object symbol = row[py::int_(0)], currency = row[py::int_(1)];
        if (isNonEmptyText(currency) && !currencyOf.contains(symbol)) currencyOf[symbol] = currency;
    }
    return currencyOf;
}

// Factors turning a price in each fetched currency into the target currency, by date.
// Without the target currency's own rates no stock can be converted, and that is no fault of
// any stock: the request fails as a whole with an `ExchangeRateError` naming the currency, so
// that the caller reports it rather than dropping every stock of the selection as missing. A
// series without a single rate in the range (an empty answer) converts nothing either.
py::object currencyFactors(const py::module_ &m, py::object self, py::dict currencyOf, size_t stockCount,
                           py::object currency, py::object startDate, py::object endDate,
                           py::object progress) {
    py::set currencies(currencyOf.attr("values")());
    currencies.add(currency);
    if (!progress.is_none()) progress(py::none(), "maxValue"_a = py::len(currencies) + stockCount);
    py::object rates = self.attr("doGet")(currencies, startDate, endDate, progress);
    if (!progress.is_none()) progress(py::none(), "addValue"_a = py::len(currencies));
    rates = rates.attr("interpolate")();
    bool noRates = !rates.attr("columns").contains(currency) ||
                   !velmora::truthy(rates[currency].attr("notna")().attr("any")());
    if (noRates) {
        py::object error = m.attr("ExchangeRateError")(py::str("no exchange rates for {}").format(currency));
        error.attr("currency") = currency;
        velmora::raise(error);
    }
    py::object toTarget = rates[currency].attr("copy")();
    return rates.attr("rtruediv")(toTarget, "axis"_a = 0);
}

// A stock without a currency, or whose currency has no rates, is left out and logged, so
// that the caller reports it as missing while the other stocks go on.
py::object convertPrices(const py::module_ &m, py::object prices, py::dict currencyOf, py::object factors) {
    py::object logger = m.attr("logger");
    py::list kept, factorColumns;
    for (py::handle symbol : prices.attr("columns")) {
        if (!currencyOf.contains(symbol)) {
            logger.attr("error")("Cannot convert %s: no currency", symbol);
            continue;
        }
        py::object stockCurrency = currencyOf[symbol];
        if (!factors.attr("columns").contains(stockCurrency)) {
            logger.attr("error")("Cannot convert %s: no exchange rate for %s", symbol, stockCurrency);
            continue;
        }
        kept.append(symbol);
        factorColumns.append(stockCurrency);
    }
    py::object selected = prices[kept];
    if (py::len(kept) == 0) return selected;
    py::object factorBlock = factors[factorColumns].attr("reindex")(prices.attr("index")).attr("to_numpy")();
    return selected.attr("__mul__")(factorBlock);
}

py::object stockTablePrices(const py::module_ &m, py::object self, py::object stocks, py::object startDate,
                            py::object endDate, py::object progress, py::object currency) {
    bool convert = velmora::truthy(currency);
    py::dict currencyOf;
    py::object factors = py::none();
    if (convert) {
        currencyOf = currenciesOf(stocks);
        factors =
            currencyFactors(m, self, currencyOf, py::len(stocks), currency, startDate, endDate, progress);
    }
    // A row without a symbol text cannot be fetched; the caller reports it as missing.
    py::list symbols;
    for (py::handle symbol : stocks["Symbol"])
        if (isNonEmptyText(symbol)) symbols.append(symbol);
    py::object prices = self.attr("doGet")(symbols, startDate, endDate, progress);
    return convert ? convertPrices(m, prices, currencyOf, factors) : prices;
}

// ---- Cleaning ---------------------------------------------------------------------------

// Negative prices, outliers beyond the sigma-clip bounds, infinities and zeros become gaps,
// column by column, since the bounds of a column depend on its own values only.
py::object clipValues(py::object prices, double low, double high) {
    py::object sigmaclip = import("scipy.stats").attr("sigmaclip");
    // A copy in column order: every column is one stretch of memory, changed in place.
    py::array_t<double, py::array::f_style> values(
        import("numpy").attr("array")(prices.attr("to_numpy")("dtype"_a = "float64"), "order"_a = "F"));
    const py::ssize_t rows = values.shape(0), columns = values.shape(1);
    double *data = values.mutable_data();
    constexpr double gap = std::numeric_limits<double>::quiet_NaN();
    for (py::ssize_t j = 0; j < columns; ++j) {
        double *column = data + j * rows;
        bool finite = true;
        for (py::ssize_t i = 0; i < rows; ++i) {
            if (column[i] < 0.0) column[i] = 0.0;
            finite = finite && std::isfinite(column[i]);
        }
        // A column with a gap or an infinity has undefined bounds: nothing in it is clipped.
        if (finite && rows > 0) {
            py::array_t<double> view({rows}, {static_cast<py::ssize_t>(sizeof(double))}, column, values);
            py::tuple bounds = sigmaclip(view, low, high);
            double lower = bounds[1].cast<double>(), upper = bounds[2].cast<double>();
            for (py::ssize_t i = 0; i < rows; ++i)
                if (column[i] < lower || column[i] > upper) column[i] = gap;
        }
        for (py::ssize_t i = 0; i < rows; ++i)
            if (std::isinf(column[i]) || column[i] == 0.0) column[i] = gap;
    }
    return import("pandas").attr("DataFrame")(values, "index"_a = prices.attr("index"),
                                              "columns"_a = prices.attr("columns"), "copy"_a = false);
}

// `cleaned` and `partial` arrive from configuration trees too, where a missing key is an empty
// node: each is taken by its truth value, as the interpreter would.
py::object clean(py::object self, py::object prices, py::object partial) {
    py::object data = self.attr("config")["data"];
    prices = clipValues(prices, py::float_(data["sigmaClipLow"]), py::float_(data["sigmaClipHigh"]));
    prices = prices.attr("dropna")("how"_a = "all");
    prices = prices.attr("interpolate")("limit_area"_a = "inside");
    prices = prices.attr("ffill")("limit"_a = 10);
    prices = prices.attr("bfill")("limit"_a = 10);
    if (!velmora::truthy(partial)) prices = prices.attr("dropna")("axis"_a = 1, "how"_a = "any");
    return prices;
}

py::object get(const py::module_ &m, py::object self, py::object stocks, py::object startDate,
               py::object endDate, py::object progress, py::object currency, py::object cleaned,
               py::object partial) {
    self.attr("downloadFailures") = py::dict();
    if (py::isinstance<py::str>(stocks)) {
        py::list single;
        single.append(stocks);
        py::object prices = self.attr("doGet")(single, startDate, endDate, progress);
        if (velmora::truthy(cleaned)) prices = clean(self, prices, partial);
        return prices[stocks];
    }
    py::object prices = py::isinstance(stocks, import("pandas").attr("DataFrame"))
                            ? stockTablePrices(m, self, stocks, startDate, endDate, progress, currency)
                            : self.attr("doGet")(stocks, startDate, endDate, progress);
    if (velmora::truthy(cleaned)) prices = clean(self, prices, partial);
    return prices;
}

// The failure of a request whose target currency has no exchange rates; `currency` names it.
void defineExchangeRateError(py::module_ &m) {
    velmora::makeClass(m, "ExchangeRateError", py::make_tuple(py::handle(PyExc_KeyError)));
}

void defineCachedDataSource(py::module_ &m) {
    py::object source = velmora::makeClass(m, "CachedDataSource");
    const py::module_ &module = m;  // the module-first overloads take the module as const
    velmora::constructor(source, module, &construct, "fileName"_a = py::none(), "rawProvider"_a = py::none(),
                         "config"_a = py::none());
    velmora::method(source, "load", &load, "fileName"_a);
    velmora::method(source, "save", &save, "fileName"_a);
    velmora::method(source, "update", module, &update, "startDate"_a = py::none(), "endDate"_a = py::none(),
                    "progress"_a = py::none());
    velmora::method(source, "doGet", module, &doGet, "stocks"_a, "startDate"_a = py::none(),
                    "endDate"_a = py::none(), "progress"_a = py::none());
    velmora::method(source, "queryStocks", &queryStocks, "search"_a);
    velmora::method(source, "get", module, &get, "stocks"_a, "startDate"_a = py::none(),
                    "endDate"_a = py::none(), "progress"_a = py::none(), "currency"_a = py::none(),
                    "cleaned"_a = false, "partial"_a = false);
}

}  // namespace

PYBIND11_MODULE(pdatasource, m) {
    // True until the once-per-process check of the cache has run.
    m.attr("updateNeeded") = true;
    m.attr("logger") = py::module_::import("logging").attr("getLogger")(m.attr("__name__"));
    defineExchangeRateError(m);
    defineCachedDataSource(m);
}
