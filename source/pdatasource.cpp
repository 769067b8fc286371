// The cached data source: every price series ever fetched, kept in one table mirrored to a
// file, converted and cleaned on request.
#include "pyclass.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <cerrno>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
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

// No real cache comes near this size; a larger file, like a device or a pipe, is not read.
constexpr long long cacheFileLimit = 64LL << 20;

// The header numpy writes for an array of a plain type:
//   {'descr': '<f8', 'fortran_order': False, 'shape': (500, 5040), }
// followed by blanks up to a line end. Read here in one pass, as numpy's own reader takes some
// 30 microseconds for each; any other text (a structured type, a header of another writer) is left
// to numpy's reader, which then takes it or refuses it as before.
class HeaderText {
  public:
    explicit HeaderText(std::string_view text) : text_(text) {}

    std::optional<py::tuple> parse() {
        std::string_view descr;
        bool fortranOrder = false;
        py::list shape;
        bool read = take("{'descr': '") && word(descr) && take("', 'fortran_order': ") &&
                    flag(fortranOrder) && take(", 'shape': (") && extents(shape) && take("), }") &&
                    onlyPadding();
        if (!read) return std::nullopt;
        py::object dtype = import("numpy").attr("dtype")(py::str(descr.data(), descr.size()));
        return py::make_tuple(py::tuple(shape), fortranOrder, dtype);
    }

  private:
    bool take(std::string_view literal) {
        if (text_.substr(0, literal.size()) != literal) return false;
        text_.remove_prefix(literal.size());
        return true;
    }
    bool word(std::string_view &found) {
        size_t size = 0;
        auto inType = [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) ||
                   std::string_view("<>|=[]").find(c) != std::string_view::npos;
        };
        while (size < text_.size() && inType(text_[size])) ++size;
        found = text_.substr(0, size);
        text_.remove_prefix(size);
        return size > 0;
    }
    bool flag(bool &value) {
        value = take("True");
        return value || take("False");
    }
    // "" for no dimension, "500," for one, "500, 2" for two and more.
    bool extents(py::list &shape) {
        while (!text_.empty() && std::isdigit(static_cast<unsigned char>(text_[0]))) {
            long long extent = 0;
            for (; !text_.empty() && std::isdigit(static_cast<unsigned char>(text_[0]));
                 text_.remove_prefix(1)) {
                extent = extent * 10 + (text_[0] - '0');
                if (extent > cacheFileLimit) return false;
            }
            shape.append(extent);
            if (!take(",")) return py::len(shape) > 1;
            if (!take(" ")) return py::len(shape) == 1;
        }
        return py::len(shape) == 0;
    }
    bool onlyPadding() {
        return !text_.empty() && text_.back() == '\n' &&
               text_.substr(0, text_.size() - 1).find_first_not_of(' ') == std::string_view::npos;
    }

    std::string_view text_;
};

// The header of an array as numpy writes it: its shape, whether in column order, and its type; none
// for the later forms of header, which are left to numpy.
std::optional<py::tuple> readHeader(py::object file, py::object start) {
    static constexpr std::string_view magic("\x93NUMPY", 6);
    constexpr py::ssize_t longestHeader = 10000;  // as numpy.load allows
    std::string prefix = py::bytes(file.attr("read")(10));
    bool firstForm = prefix.size() == 10 && std::string_view(prefix).substr(0, 6) == magic &&
                     prefix[6] == 1 && prefix[7] == 0;
    if (firstForm) {
        py::ssize_t size = static_cast<unsigned char>(prefix[8]) | static_cast<unsigned char>(prefix[9]) << 8;
        std::string text = py::bytes(file.attr("read")(size));
        if (size <= longestHeader && static_cast<py::ssize_t>(text.size()) == size)
            if (std::optional<py::tuple> header = HeaderText(text).parse()) return header;
    }
    file.attr("seek")(start);
    py::object format = import("numpy.lib.format");
    py::tuple version = format.attr("read_magic")(file);
    if (version.equal(py::make_tuple(1, 0))) return py::tuple(format.attr("read_array_header_1_0")(file));
    if (version.equal(py::make_tuple(2, 0))) return py::tuple(format.attr("read_array_header_2_0")(file));
    return std::nullopt;
}

// One of the small arrays, read as numpy.load reads it with pickled data refused, but through the
// file's buffer: numpy.fromfile, which numpy.load uses, takes the file's position anew for each.
py::object readArray(py::object file) {
    py::object np = import("numpy"), start = file.attr("tell")();
    std::optional<py::tuple> header = readHeader(file, start);
    if (!header) {
        file.attr("seek")(start);
        return import("numpy.lib.format").attr("read_array")(file, "allow_pickle"_a = false);
    }
    py::tuple shape = (*header)[0];
    py::object dtype = (*header)[2];
    if (velmora::truthy(dtype.attr("hasobject"))) foreignFile("pickled data");
    const auto itemSize = dtype.attr("itemsize").cast<long long>();
    long long count = 1;
    for (py::handle extent : shape) {
        count *= extent.cast<long long>();
        if (count < 0 || count > cacheFileLimit) foreignFile("an array larger than the file");
    }
    if (count * itemSize > cacheFileLimit) foreignFile("an array larger than the file");
    py::object array = np.attr("empty")(count, "dtype"_a = dtype);
    if (count * itemSize > 0) {
        py::object bytes = array.attr("view")("uint8");
        if (py::int_(file.attr("readinto")(bytes)).cast<long long>() != count * itemSize)
            foreignFile("an array ends early");
    }
    if (!velmora::truthy((*header)[1])) return array.attr("reshape")(shape);
    py::object reversed = shape[py::slice(std::nullopt, std::nullopt, -1)];
    return array.attr("reshape")(reversed).attr("T");
}

// The price block's header: the prices of every symbol on every date, as the program writes them.
py::object readPriceHeader(py::object file, py::object shape) {
    std::optional<py::tuple> header = readHeader(file, file.attr("tell")());
    if (!header) foreignFile("no price table");
    py::object stated = (*header)[0], fortranOrder = (*header)[1], dtype = (*header)[2];
    bool inOrder = !velmora::truthy(fortranOrder) && dtype.equal(import("numpy").attr("dtype")("float64"));
    if (!inOrder || !stated.equal(shape)) foreignFile("no price table");
    return stated;
}

// Reads the digest that follows the arrays, if the file has one, and holds it against them: the
// running XXH3 digest of the read, or for a file of the earlier form SHA-256 taken afresh.
void checkDigest(py::object file, py::object running, py::list arrays) {
    if (py::len(file.attr("read")(1)) == 0) return;
    file.attr("seek")(-1, 1);
    py::object stored = readArray(file);
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

// The small arrays are looked at where numpy read them, in C++: a few thousand texts and dates, for
// which numpy's calls would cost more than reading the prices. A text of a numpy text array is its
// code points up to the padding, which numpy strips as well.
std::u32string_view textAt(const py::array &texts, py::ssize_t i) {
    const py::ssize_t width = texts.itemsize() / static_cast<py::ssize_t>(sizeof(char32_t));
    const auto *first = static_cast<const char32_t *>(texts.data()) + i * width;
    py::ssize_t size = width;
    while (size > 0 && first[size - 1] == U'\0') --size;
    return {first, static_cast<size_t>(size)};
}

py::str strOf(std::u32string_view text) {
    return py::reinterpret_steal<py::str>(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<py::ssize_t>(text.size())));
}

// A day as its number counted from 1970-01-01, as numpy counts them (the civil calendar carried back).
constexpr long long noDay = std::numeric_limits<long long>::min();

long long daysFromCivil(long long year, unsigned month, unsigned day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

unsigned daysInMonth(long long year, unsigned month) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : days[month - 1];
}

// The day of a bound written the program's way, "YYYY-MM-DD" with a day of the calendar; noDay for
// any other text (one damaged byte, an open bound "").
long long dayOf(std::u32string_view text) {
    if (text.size() != 10 || text[4] != U'-' || text[7] != U'-') return noDay;
    auto number = [&](size_t from, size_t to) {
        long long value = 0;
        for (size_t i = from; i < to; ++i) {
            if (text[i] < U'0' || text[i] > U'9') return -1LL;
            value = value * 10 + (text[i] - U'0');
        }
        return value;
    };
    long long year = number(0, 4), month = number(5, 7), day = number(8, 10);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, unsigned(month)))
        return noDay;
    return daysFromCivil(year, unsigned(month), unsigned(day));
}

// A bound is a date text "YYYY-MM-DD". The program records only closed ranges that end by today and
// never before they start: an open bound would make the symbol count as covered for every period,
// and one damaged byte makes a text that no request can be compared with. Holds per symbol whether
// its range is such a one, its two days and its two texts; a file of the first form holds one range
// (two texts) for all its symbols.
struct Ranges {
    std::vector<long long> first, last;
    std::vector<char> readable;
};

Ranges readRanges(const py::array &bounds, size_t symbols, bool oneRange, long long today) {
    Ranges ranges;
    ranges.first.resize(symbols);
    ranges.last.resize(symbols);
    ranges.readable.resize(symbols);
    for (size_t i = 0; i < symbols; ++i) {
        py::ssize_t row = oneRange ? 0 : static_cast<py::ssize_t>(i);
        long long first = dayOf(textAt(bounds, 2 * row)), last = dayOf(textAt(bounds, 2 * row + 1));
        ranges.first[i] = first;
        ranges.last[i] = last;
        ranges.readable[i] = first != noDay && last != noDay && first <= last && last <= today;
    }
    return ranges;
}

// The dates as day numbers. Requests are cut from the table by date slices, which need the dates in
// order; prices are quoted by day, so a date off midnight or twice in the file is damage that the
// rewrite after the next fetch would otherwise keep for good.
std::vector<long long> daysOfDates(py::object dates) {
    static const std::pair<const char *, long long> ticksPerDay[] = {
        {"D", 1}, {"h", 24}, {"m", 1440}, {"s", 86400}, {"ms", 86400000LL}, {"us", 86400000000LL},
        {"ns", 86400000000000LL}};
    py::object np = import("numpy");
    py::tuple unit = np.attr("datetime_data")(dates.attr("dtype"));
    const std::string name = unit[0].cast<std::string>();
    long long perDay = 0;
    for (auto [known, ticks] : ticksPerDay)
        if (name == known && unit[1].cast<long long>() == 1) perDay = ticks;
    if (perDay == 0) {
        // Dates of another unit (weeks, months, tens of seconds) are brought to days, which must
        // leave them as they were.
        py::object days = dates.attr("astype")("datetime64[D]");
        if (!velmora::truthy(np.attr("array_equal")(days.attr("astype")(dates.attr("dtype")), dates)))
            foreignFile("dates off midnight");
        dates = days;
        perDay = 1;
    }
    py::array_t<long long, py::array::c_style | py::array::forcecast> ticks(dates.attr("view")("int64"));
    const long long *tick = ticks.data();
    std::vector<long long> days(static_cast<size_t>(ticks.size()));
    for (size_t i = 0; i < days.size(); ++i) {
        // Not a time (NaT) is the smallest tick, which would pass for a first date at midnight.
        if (tick[i] == std::numeric_limits<long long>::min() || tick[i] % perDay != 0)
            foreignFile("dates off midnight");
        if (i > 0 && tick[i] <= tick[i - 1]) foreignFile("dates out of order");
        days[i] = tick[i] / perDay;
    }
    return days;
}

// Positions of the covered ranges in the dates: from the first date within the range to the one past
// its last.
std::vector<py::ssize_t> positions(const std::vector<long long> &dates, const std::vector<long long> &bounds,
                                   bool first) {
    std::vector<py::ssize_t> found(bounds.size());
    for (size_t i = 0; i < bounds.size(); ++i) {
        auto at = first ? std::lower_bound(dates.begin(), dates.end(), bounds[i])
                        : std::upper_bound(dates.begin(), dates.end(), bounds[i]);
        found[i] = at - dates.begin();
    }
    return found;
}

// A symbol damaged in the file can name no series a request asks for.
bool readableSymbol(py::handle symbol) {
    return isNonEmptyText(symbol) && velmora::truthy(symbol.attr("isprintable")());
}

// The same of a symbol's text as the file holds it, as the interpreter judges it.
bool readableSymbol(std::u32string_view symbol) {
    return !symbol.empty() &&
           std::all_of(symbol.begin(), symbol.end(), [](char32_t c) { return Py_UNICODE_ISPRINTABLE(c); });
}

// Whether any of the prices is zero, negative or infinite; gaps (NaN) are none of these. The lowest
// and the highest price tell it, and the vector unit's min and max pass over a gap (they answer their
// second operand where the first is NaN). The compiler makes no such vector loop by itself, as it
// keeps to NaN's rules: written for AVX where the processor has it, else SSE2, the pass runs at a
// fraction of the read.
constexpr double largest = std::numeric_limits<double>::max();
constexpr double infinity = std::numeric_limits<double>::infinity();

bool anyDamagedOneByOne(const double *prices, py::ssize_t count) {
    bool any = false;
    for (py::ssize_t i = 0; i < count; ++i) any |= (prices[i] <= 0.0) | (prices[i] > largest);
    return any;
}

#if defined(__SSE2__)
bool anyDamagedSse2(const double *prices, py::ssize_t count) {
    __m128d lowest = _mm_set1_pd(infinity), lowestToo = lowest;
    __m128d highest = _mm_set1_pd(-infinity), highestToo = highest;
    py::ssize_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128d values = _mm_loadu_pd(prices + i), more = _mm_loadu_pd(prices + i + 2);
        lowest = _mm_min_pd(values, lowest);
        highest = _mm_max_pd(values, highest);
        lowestToo = _mm_min_pd(more, lowestToo);
        highestToo = _mm_max_pd(more, highestToo);
    }
    __m128d damaged = _mm_or_pd(_mm_cmple_pd(_mm_min_pd(lowest, lowestToo), _mm_setzero_pd()),
                                _mm_cmpgt_pd(_mm_max_pd(highest, highestToo), _mm_set1_pd(largest)));
    return _mm_movemask_pd(damaged) != 0 || anyDamagedOneByOne(prices + i, count - i);
}
#endif

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VELMORA_AVX 1
__attribute__((target("avx"))) bool anyDamagedAvx(const double *prices, py::ssize_t count) {
    __m256d lowest = _mm256_set1_pd(infinity), lowestToo = lowest;
    __m256d highest = _mm256_set1_pd(-infinity), highestToo = highest;
    py::ssize_t i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256d values = _mm256_loadu_pd(prices + i), more = _mm256_loadu_pd(prices + i + 4);
        lowest = _mm256_min_pd(values, lowest);
        highest = _mm256_max_pd(values, highest);
        lowestToo = _mm256_min_pd(more, lowestToo);
        highestToo = _mm256_max_pd(more, highestToo);
    }
    __m256d low = _mm256_cmp_pd(_mm256_min_pd(lowest, lowestToo), _mm256_setzero_pd(), _CMP_LE_OQ);
    __m256d high = _mm256_cmp_pd(_mm256_max_pd(highest, highestToo), _mm256_set1_pd(largest), _CMP_GT_OQ);
    __m256d damaged = _mm256_or_pd(low, high);
    return _mm256_movemask_pd(damaged) != 0 || anyDamagedOneByOne(prices + i, count - i);
}
#endif

bool anyDamaged(const double *prices, py::ssize_t count) {
#if defined(VELMORA_AVX)
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx) return anyDamagedAvx(prices, count);
#endif
#if defined(__SSE2__)
    return anyDamagedSse2(prices, count);
#else
    return anyDamagedOneByOne(prices, count);
#endif
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

// Reads `size` bytes at `offset`; false where the file ends or fails before.
bool readFully(int descriptor, char *target, py::ssize_t size, py::ssize_t offset) {
    while (size > 0) {
        ssize_t got = ::pread(descriptor, target, static_cast<size_t>(size), static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        target += got, offset += got, size -= got;
    }
    return true;
}

// Reads the price block straight into the array the table will use, a block of bytes at a time:
// each block is digested and scanned while it is still in the processor's cache, so that the checks
// add little to the read itself. The blocks are read by the file's descriptor at their offset, with
// no call of the interpreter's file between them.
py::array_t<double> readPrices(py::object file, py::object digest, py::object shape,
                               const std::vector<long long> &dates, const Ranges &ranges,
                               std::vector<char> &intact) {
    py::object stated = readPriceHeader(file, shape);
    py::array_t<double> prices(import("numpy").attr("empty")(stated, "dtype"_a = "float64"));
    digestForm(digest, prices.attr("dtype"), prices.attr("shape"));
    py::object bytes = prices.attr("reshape")(-1).attr("view")("uint8"), update = digest.attr("update");
    PriceScan scan(prices.data(), static_cast<py::ssize_t>(dates.size()),
                   positions(dates, ranges.first, true), positions(dates, ranges.last, false));
    const int descriptor = file.attr("fileno")().cast<int>();
    const py::ssize_t size = prices.nbytes(), offset = file.attr("tell")().cast<py::ssize_t>();
    char *target = reinterpret_cast<char *>(prices.mutable_data());
    constexpr py::ssize_t block = 1 << 18;
    for (py::ssize_t first = 0; first < size; first += block) {
        const py::ssize_t end = std::min(first + block, size);
        if (!readFully(descriptor, target + first, end - first, offset + first))
            foreignFile("the prices end early");
        update(bytes[py::slice(first, end, 1)]);
        scan.scan(first / py::ssize_t(sizeof(double)), end / py::ssize_t(sizeof(double)));
    }
    file.attr("seek")(offset + size);
    intact.assign(ranges.readable.size(), 0);
    for (size_t i = 0; i < intact.size(); ++i) intact[i] = scan.intact(i);
    return prices;
}

// What the reader takes of a file: the table and the covered range of every symbol in it.
struct Loaded {
    py::object cache;
    py::dict covered;
};

// The ranges by symbol of the symbols whose name, range and prices can be read, and their names.
std::pair<py::dict, py::list> readableSymbols(const py::array &symbols, py::list names,
                                              const py::array &bounds, bool oneRange, const Ranges &ranges,
                                              const std::vector<char> &pricesIntact) {
    py::dict covered;
    py::list readable;
    // Most symbols share their range, and each range is made once.
    std::map<std::pair<long long, long long>, py::tuple> made;
    for (size_t i = 0; i < pricesIntact.size(); ++i) {
        auto index = static_cast<py::ssize_t>(i);
        if (!readableSymbol(textAt(symbols, index)) || !ranges.readable[i] || !pricesIntact[i]) continue;
        py::ssize_t row = oneRange ? 0 : index;
        auto [range, isNew] = made.try_emplace({ranges.first[i], ranges.last[i]});
        if (isNew)
            range->second =
                py::make_tuple(strOf(textAt(bounds, 2 * row)), strOf(textAt(bounds, 2 * row + 1)));
        covered[names[i]] = range->second;
        readable.append(names[i]);
    }
    return {covered, readable};
}

Loaded readCacheFile(py::object file, long long today) {
    py::object np = import("numpy"), pd = import("pandas");
    py::list arrays;
    py::object digest = newDigest();
    for (int i = 0; i < smallArrays; ++i) arrays.append(readArray(file));
    py::object stored = arrays[0], dates = arrays[1], symbols = arrays[2];
    if (!isArrayOf(dates, "M", 1) || !isArrayOf(symbols, "U", 1)) foreignFile("no price table");
    const size_t symbolCount = py::len(symbols);
    bool oneRange = isArrayOf(stored, "U", 1) && py::len(stored) == 2;
    bool perSymbol =
        isArrayOf(stored, "U", 2) && py::object(stored.attr("shape")).equal(py::make_tuple(symbolCount, 2));
    if (!oneRange && !perSymbol) foreignFile("no covered range");
    if (py::len(dates) == 0) foreignFile("no dates");
    std::vector<long long> days = daysOfDates(dates);
    py::list names = symbols.attr("tolist")();
    py::object columns = pd.attr("Index")(names);
    if (!velmora::truthy(columns.attr("is_unique"))) foreignFile("symbols repeated");
    digestOf(digest, arrays);
    py::array bounds = np.attr("ascontiguousarray")(stored);
    py::array symbolTexts = np.attr("ascontiguousarray")(symbols);
    Ranges ranges = readRanges(bounds, symbolCount, oneRange, today);
    std::vector<char> pricesIntact;
    py::object shape = py::make_tuple(symbolCount, days.size());
    arrays.append(readPrices(file, digest, shape, days, ranges, pricesIntact));
    checkDigest(file, digest, arrays);
    // A symbol whose name, range or prices cannot be read is left out, as if it had never been
    // cached: the next request for it downloads it again and rewrites the file whole.
    auto [covered, readable] =
        readableSymbols(symbolTexts, names, bounds, oneRange, ranges, pricesIntact);
    if (readable.empty()) foreignFile("no readable symbol");
    py::object index = pd.attr("DatetimeIndex")(dates, "name"_a = "Date");
    py::object cache = pd.attr("DataFrame")(py::object(arrays[3]).attr("T"), "index"_a = index,
                                            "columns"_a = columns, "copy"_a = false);
    // Rows dated after today lie outside every range that can be read: no source knew them.
    auto upToToday = std::upper_bound(days.begin(), days.end(), today) - days.begin();
    if (upToToday < static_cast<py::ssize_t>(days.size()))
        cache = cache.attr("iloc")[py::slice(0, upToToday, 1)];
    if (readable.size() != symbolCount) cache = cache[readable];
    return {cache, covered};
}

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
    long long today = dayOf(py::str(todayText()).cast<std::u32string>());
    Loaded loaded;
    withFile(velmora::openRegularFile(fileName, "rb", cacheFileLimit),
             [&](py::object file) { loaded = readCacheFile(file, today); });
    self.attr("cache") = loaded.cache;
    setRanges(self, loaded.covered);
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
