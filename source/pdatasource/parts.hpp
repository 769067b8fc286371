// The price cache in parts: what the module file and its parts call of one another. The module file,
// source/pdatasource.cpp, makes the class CachedDataSource and tells the cache's story; the parts hold
// the steps its methods take.
#pragma once

#include "../pyclass.hpp"

#include <utility>

namespace velmora::pdatasource {

// The module (pdatasource.cpp): what every part uses.

py::object import(const char *name);

// The value, or none for an empty one (an open bound, an empty text).
py::object orNone(py::handle value);

// Symbols and currencies come from stock tables, where a missing one is none or NaN.
bool isNonEmptyText(py::handle value);

py::object todayText();

// A stretch without prices up to this long is taken for days without trading (a weekend, a holiday, today
// before the close), up to the longest a market closes (a week at the lunar new year) and the day a
// source leaves out; a longer one for days the service failed to answer. An exchange rate is carried
// across such a stretch, and no further.
inline constexpr int closedDays = 10;

// The conversion's exchange-rate series ("EUR.FOREX"): unlike a stock, which may not have been listed
// yet, a currency has a rate on every day a market opens.
inline bool isRateSeries(py::handle symbol) {
    return py::isinstance<py::str>(symbol) && py::str(symbol).attr("endswith")(".FOREX").cast<bool>();
}

// Whether a rate series has no rate for longer than a market closes somewhere from `first` (an open
// start: its first rate) to `last`: before its first rate, between two, or after its last
// (currency.cpp). The conversion carries no rate across such a stretch.
bool lacksRatesLong(py::object series, py::object first, py::object last);

// The last day a request ending at `endDate` (none: open) can have prices for: today at the latest.
py::object lastKnowableDay(py::object endDate);

// The covered ranges (ranges.cpp). Every symbol has the range of dates it was fetched for, (first,
// last) as texts, none for an open end, so that a request fetches only what lies outside it.

using Range = std::pair<py::object, py::object>;

// The first day the table's timestamps hold (they count nanoseconds from 1970 in 64 bits). The
// reader takes no range that starts before it; so a request reaching further back asks from it.
inline constexpr char tablesFirstDay[] = "1677-09-22";
// The last one they hold whole (they end at 23:47 of the day after): a cut up to a day reaches to its end,
// so a request reaching further asks up to it.
inline constexpr char tablesLastDay[] = "2262-04-10";

// Date texts compare in calendar order; none is the open end on its side.
bool startsBefore(py::handle a, py::handle b);
bool endsAfter(py::handle a, py::handle b);

// A symbol without a range of its own (set into the table from outside) has the cache's.
Range rangeOf(py::object self, py::handle symbol);

// Sets the ranges by symbol and the cache's covered range, their hull.
void setRanges(py::object self, py::dict ranges);

// The file format (fileformat.cpp): the arrays as numpy writes them, their digest, the write.

// A cache file of the program's own holds what its arrays' headers declare, however many symbols
// and days that is; so the reader has no bound of its own on the file's size. What guards it
// against a foreign file is that every array's bytes lie in the file: no header may declare more
// than the file has left after it, nor items of no size, whose number no size bounds. The symbols
// are made Python texts, several times their bytes, only once the prices they declare (eight bytes
// a symbol and day) are known to fit too; so memory stays within a small multiple of the file's size.
py::ssize_t bytesLeft(py::object file);

// Refuses the file unless the prices of `shape`, (symbols, days), fit in the bytes it has left.
void checkPricesFit(py::object file, py::tuple shape);

[[noreturn]] void foreignFile(const char *why);

bool isArrayOf(py::handle array, const char *kind, int dimensions);

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

py::object newDigest();

// What the digest takes of an array before its bytes: its type and shape.
void digestForm(py::object digest, py::handle dtype, py::handle shape);

// The digest of the arrays, taken where they lie in memory rather than read from the file again.
py::bytes digestOf(py::object digest, py::list arrays);

// One of the small arrays, read as numpy.load reads it with pickled data refused.
py::object readArray(py::object file);

// The price block's header: the prices of every symbol on every date, as the program writes them.
py::object readPriceHeader(py::object file, py::object shape);

// Reads the digest that follows the arrays, if the file has one, and holds it against them.
void checkDigest(py::object file, py::object running, py::list arrays);

// Writes the cache and its ranges to the file, all or nothing.
void writeCacheFile(py::object self, py::object fileName);

// The load (fileload.cpp): a file read, every value checked before the cache takes it.

// What the reader takes of a file: the table and the covered range of every symbol in it.
std::pair<py::object, py::dict> readCacheFile(py::object fileName);

// A symbol damaged in the file can name no series a request asks for.
bool readableSymbol(py::handle symbol);

// The download merge (merge.cpp): what a request lacks, fetched in one download for all its symbols and
// merged into the cache and its file.
void fetchMissing(const py::module_ &m, py::object self, py::list requested, py::object startDate,
                  py::object endDate, py::object progress);

// The currency conversion (currency.cpp): the prices of a stock table, in `currency` where one is given.
py::object stockTablePrices(const py::module_ &m, py::object self, py::object stocks, py::object startDate,
                            py::object endDate, py::object progress, py::object currency);

// The cleaning (cleaning.cpp) of a request's prices.
py::object clean(py::object self, py::object prices, py::object partial);

// The largest price the cleaning takes. Its sigma clip sums the squares of a column's deviations; a
// price whose square comes near the largest number makes that sum infinite, and with it the bounds,
// which then clip nothing. Below this one the squares of 2^60 days sum to a finite number. A larger
// price is damage, as an infinite one is: no market quotes anything near it.
inline constexpr double largestPrice = 0x1p480;  // about 3.1e144

}  // namespace velmora::pdatasource
