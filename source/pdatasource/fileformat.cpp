// A part of the price cache: the file format.
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
#include "parts.hpp"

#include <optional>
#include <string>

namespace velmora::pdatasource {

[[noreturn]] void foreignFile(const char *why) {
    throw py::value_error(std::string("not a price cache file: ") + why);
}

bool isArrayOf(py::handle array, const char *kind, int dimensions) {
    return array.attr("dtype").attr("kind").cast<std::string>() == kind &&
           array.attr("ndim").cast<int>() == dimensions;
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

namespace {

constexpr py::ssize_t xxh3Size = 16, sha256Size = 32;

// The header of an array as numpy writes it, read by numpy's own reader: its shape, whether in column
// order, and its type; none for the later forms of header, which are left to numpy's reader of arrays.
std::optional<py::tuple> readHeader(py::object file) {
    py::object format = import("numpy.lib.format");
    py::tuple version = format.attr("read_magic")(file);
    if (version.equal(py::make_tuple(1, 0))) return py::tuple(format.attr("read_array_header_1_0")(file));
    if (version.equal(py::make_tuple(2, 0))) return py::tuple(format.attr("read_array_header_2_0")(file));
    return std::nullopt;
}

py::object boundText(py::handle bound) { return velmora::truthy(bound) ? py::str(bound) : py::str(""); }

// The number of elements of an array of `shape`, refused where their bytes would be more than the
// `left` bytes of the file; counted so that no product of a lying shape overflows.
long long boundedCount(py::tuple shape, long long itemSize, long long left) {
    long long count = 1;
    for (py::handle extent : shape) {
        const auto elements = extent.cast<long long>();
        if (elements < 0 || (count > 0 && elements > left / count))
            foreignFile("an array larger than the file");
        count *= elements;
    }
    if (count > 0 && itemSize > left / count) foreignFile("an array larger than the file");
    return count;
}

}  // namespace

py::ssize_t bytesLeft(py::object file) {
    py::object status = import("os").attr("fstat")(file.attr("fileno")());
    return py::int_(status.attr("st_size")).cast<py::ssize_t>() - file.attr("tell")().cast<py::ssize_t>();
}

void checkPricesFit(py::object file, py::tuple shape) { boundedCount(shape, sizeof(double), bytesLeft(file)); }

// One of the small arrays, read as numpy.load reads it with pickled data refused, but through the
// file's buffer: numpy.fromfile, which numpy.load uses, takes the file's position anew for each.
py::object readArray(py::object file) {
    py::object np = import("numpy"), start = file.attr("tell")();
    std::optional<py::tuple> header = readHeader(file);
    if (!header) {
        file.attr("seek")(start);
        return import("numpy.lib.format").attr("read_array")(file, "allow_pickle"_a = false);
    }
    py::tuple shape = (*header)[0];
    py::object dtype = (*header)[2];
    if (velmora::truthy(dtype.attr("hasobject"))) foreignFile("pickled data");
    const auto itemSize = dtype.attr("itemsize").cast<long long>();
    // Items of no size take no bytes of the file, so the file's size bounds neither their number
    // nor what is made of them; the program writes none (an empty text is one of one character).
    if (itemSize == 0) foreignFile("items of no size");
    const long long count = boundedCount(shape, itemSize, bytesLeft(file));
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
    std::optional<py::tuple> header = readHeader(file);
    if (!header) foreignFile("no price table");
    py::object stated = (*header)[0], fortranOrder = (*header)[1], dtype = (*header)[2];
    bool inOrder = !velmora::truthy(fortranOrder) && dtype.equal(import("numpy").attr("dtype")("float64"));
    if (!inOrder || !stated.equal(shape)) foreignFile("no price table");
    checkPricesFit(file, stated);
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

// A reader, or the next start after a crash, finds either the old cache or the new one, never a
// part, and every hard link of the file the new one.
void writeCacheFile(py::object self, py::object fileName) {
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

}  // namespace velmora::pdatasource
