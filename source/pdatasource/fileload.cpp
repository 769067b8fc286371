// A part of the price cache: the load of its file, every value checked before the cache takes it. A
// digest that matches says only that the file is whole, not that the program wrote it.
#include "parts.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <limits>
#include <map>
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

namespace velmora::pdatasource {

// A symbol damaged in the file can name no series a request asks for.
bool readableSymbol(py::handle symbol) {
    return isNonEmptyText(symbol) && velmora::truthy(symbol.attr("isprintable")());
}

namespace {

constexpr int smallArrays = 3;

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

constexpr long long daysFromCivil(long long year, unsigned month, unsigned day) {
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

// The first whole day that the table's timestamps hold (they count nanoseconds from 1970 in 64 bits).
// A bound before it, year 0 among them, which no date of the interpreter has, can be compared with
// no date of the table: every request that needs a download would fail on slicing with it.
constexpr long long earliestDay = daysFromCivil(1677, 9, 22);  // tablesFirstDay

// The day of a bound written the program's way, "YYYY-MM-DD" with a day of the calendar that the
// table holds; noDay for any other text (one damaged byte, an open bound "").
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
    const long long days = daysFromCivil(year, unsigned(month), unsigned(day));
    return days < earliestDay ? noDay : days;
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

// The same of a symbol's text as the file holds it, as the interpreter judges it.
bool readableSymbol(std::u32string_view symbol) {
    return !symbol.empty() &&
           std::all_of(symbol.begin(), symbol.end(), [](char32_t c) { return Py_UNICODE_ISPRINTABLE(c); });
}

// Whether any of the prices is zero, negative or larger than the cleaning takes (an infinite one
// among them); gaps (NaN) are none of these. The lowest
// and the highest price tell it, and the vector unit's min and max pass over a gap (they answer their
// second operand where the first is NaN). The compiler makes no such vector loop by itself, as it
// keeps to NaN's rules: written for AVX where the processor has it, else SSE2, the pass runs at a
// fraction of the read.
constexpr double infinity = std::numeric_limits<double>::infinity();

bool anyDamagedOneByOne(const double *prices, py::ssize_t count) {
    bool any = false;
    for (py::ssize_t i = 0; i < count; ++i) any |= (prices[i] <= 0.0) | (prices[i] > largestPrice);
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
                                _mm_cmpgt_pd(_mm_max_pd(highest, highestToo), _mm_set1_pd(largestPrice)));
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
    __m256d high =
        _mm256_cmp_pd(_mm256_max_pd(highest, highestToo), _mm256_set1_pd(largestPrice), _CMP_GT_OQ);
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

// What a pass over the prices finds per symbol: a zero, negative or infinite price, or one larger than
// the cleaning takes, which no source delivers and the cleaning of a request would hide while the cache
// kept it for good; and whether any price lies within the symbol's covered range, without which the
// range is a claim with nothing behind it. The prices are looked at as they arrive from the file, a
// block at a time.
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

std::pair<py::object, py::dict> readCacheFile(py::object file, long long today) {
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
    py::tuple shape = py::make_tuple(symbolCount, py::len(dates));
    checkPricesFit(file, shape);
    std::vector<long long> days = daysOfDates(dates);
    py::list names = symbols.attr("tolist")();
    py::object columns = pd.attr("Index")(names);
    if (!velmora::truthy(columns.attr("is_unique"))) foreignFile("symbols repeated");
    digestOf(digest, arrays);
    py::array bounds = np.attr("ascontiguousarray")(stored);
    py::array symbolTexts = np.attr("ascontiguousarray")(symbols);
    Ranges ranges = readRanges(bounds, symbolCount, oneRange, today);
    std::vector<char> pricesIntact;
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

}  // namespace

std::pair<py::object, py::dict> readCacheFile(py::object fileName) {
    long long today = dayOf(py::str(todayText()).cast<std::u32string>());
    std::pair<py::object, py::dict> loaded;
    withFile(velmora::openRegularFile(fileName, "rb", std::numeric_limits<long long>::max()),
             [&](py::object file) { loaded = readCacheFile(file, today); });
    return loaded;
}

}  // namespace velmora::pdatasource
