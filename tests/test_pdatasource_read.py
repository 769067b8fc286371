"""The cache file's reader on long rows and on arrays in the other forms numpy writes."""
import tracemalloc

import numpy as np
import numpy.lib.format as npformat
import pandas as pd
import pandas.testing as pdt
import pytest

from pdatasource import CachedDataSource


def long_table(symbols=24, days=700, seed=3):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(end="2024-12-31", periods=days, name="Date")
    walk = 50.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, (days, symbols)), axis=0))
    frame = pd.DataFrame(walk, index=dates, columns=[f"L{i:02d}.US" for i in range(symbols)])
    frame.iloc[: days // 3, 0] = np.nan  # listed later
    frame.iloc[[10, 11, days - 5], 1] = np.nan  # gaps, one of them a NaN with its sign bit set
    frame.iloc[days - 5, 1] = -np.nan
    return frame


def save(frame, path):
    writer = CachedDataSource()
    writer.cache = frame
    writer.cacheStartDate, writer.cacheEndDate = str(frame.index[0].date()), str(frame.index[-1].date())
    writer.save(str(path))


@pytest.mark.parametrize("bad", [0.0, -0.0, -2.5, np.inf, -np.inf, 1e300, 2e154])
def test_a_damaged_price_anywhere_in_a_long_row_leaves_out_that_symbol_only(tmp_path, bad):
    frame = long_table()
    damaged = {2: 0, 3: 699, 4: 350, 5: 7, 6: 8, 7: 693}  # symbol: day, at each place of a vector
    for column, day in damaged.items():
        frame.iloc[day, column] = bad
    save(frame, tmp_path / "prices.cache")
    read = CachedDataSource(str(tmp_path / "prices.cache")).cache
    kept = [symbol for i, symbol in enumerate(frame.columns) if i not in damaged]
    assert list(read.columns) == kept
    pdt.assert_frame_equal(read, frame[kept], check_freq=False)


def rewrite(path, change):
    with open(path, "rb") as file:
        arrays = [np.load(file, allow_pickle=False) for _ in range(5)]
    with open(path, "wb") as file:
        for position, array in enumerate(arrays):
            change(file, position, array)


def test_arrays_in_the_other_forms_numpy_writes_read_the_same_table(tmp_path):
    frame, path = long_table(), tmp_path / "prices.cache"
    save(frame, path)
    expected = CachedDataSource(str(path))

    def later_headers(file, position, array):
        npformat.write_array(file, array, version=(2, 0) if position % 2 else (3, 0), allow_pickle=False)

    def column_order(file, position, array):
        npformat.write_array(file, np.asfortranarray(array) if position == 0 else array, allow_pickle=False)

    for change in (later_headers, column_order):
        save(frame, path)
        rewrite(path, change)
        read = CachedDataSource(str(path))
        pdt.assert_frame_equal(read.cache, expected.cache, check_freq=False)
        assert read.cacheRanges == expected.cacheRanges


@pytest.mark.parametrize("unit", ["ns", "s", "m", "h", "D"])
def test_dates_of_any_unit_at_midnight_read_and_a_time_of_day_does_not(tmp_path, unit):
    frame, path = long_table(symbols=3, days=40), tmp_path / "prices.cache"
    save(frame, path)

    def dates_in(unit, shift):
        def change(file, position, array):
            if position == 1:
                array = array.astype(f"M8[{unit}]") + np.timedelta64(shift, "h").astype(f"m8[{unit}]")
            np.save(file, array, allow_pickle=False)
        return change

    # The digest covers the dates' type: a file with other dates carries no digest, as the oldest do.
    rewrite(path, lambda file, position, array: position < 4 and dates_in(unit, 0)(file, position, array))
    assert list(CachedDataSource(str(path)).cache.columns) == list(frame.columns)
    if unit != "D":
        save(frame, path)
        rewrite(path, lambda file, position, array: position < 4 and dates_in(unit, 16)(file, position, array))
        assert CachedDataSource(str(path)).cache.empty


class OneSymbolSource:
    """A raw source that knows one symbol more than the cache, on the cache's own dates."""

    def __init__(self, frame, symbol):
        self.series, self.calls = frame.iloc[:, 0].rename(symbol) * 2.0, []

    def get(self, stocks, startDate=None, endDate=None, progress=None, **keywords):
        self.calls.append(list(stocks))
        return self.series.loc[startDate:endDate].to_frame()


def test_a_cache_beyond_64_mib_is_read_whole_and_a_download_after_it_keeps_every_symbol(tmp_path):
    # 1,030 symbols of 8,200 days: some 67.6 MB of prices, beyond the fixed bound the reader once had.
    frame, path = long_table(symbols=1030, days=8200), tmp_path / "prices.cache"
    save(frame, path)
    assert path.stat().st_size > 64 * 2**20
    raw = OneSymbolSource(frame, "NEW.US")
    source = CachedDataSource(str(path), raw)
    assert list(source.cache.columns) == list(frame.columns)
    first, last = str(frame.index[0].date()), str(frame.index[-1].date())
    source.doGet(["NEW.US", "L07.US"], first, last)
    assert raw.calls == [["NEW.US"]]
    read = CachedDataSource(str(path)).cache
    assert sorted(read.columns) == sorted(list(frame.columns) + ["NEW.US"])
    pdt.assert_frame_equal(read[frame.columns], frame, check_freq=False)


def test_an_array_may_declare_what_the_file_holds_and_not_a_byte_more(tmp_path):
    frame, path = long_table(symbols=3, days=40), tmp_path / "prices.cache"
    save(frame, path)
    rewrite(path, lambda file, position, array: position < 4 and np.save(file, array, allow_pickle=False))
    whole = path.read_bytes()  # the form without digest: the prices end the file
    assert list(CachedDataSource(str(path)).cache.columns) == list(frame.columns)
    path.write_bytes(whole[:-1])
    with pytest.raises(ValueError, match="an array larger than the file"):
        CachedDataSource().load(str(path))

    # The dates' header declares one date more than there are bytes left after it.
    with open(path, "wb") as file:
        np.save(file, np.array([["2024-01-01", "2024-12-31"]] * 3), allow_pickle=False)
        np.save(file, frame.index.to_numpy(), allow_pickle=False)
    exact = path.read_bytes()
    shape = f"({len(frame)},)".encode()
    assert exact.count(shape) == 1
    path.write_bytes(exact.replace(shape, f"({len(frame) + 1},)".encode()))
    with pytest.raises(ValueError, match="an array larger than the file"):
        CachedDataSource().load(str(path))
    path.write_bytes(exact)
    with pytest.raises(ValueError, match="^(?!.*larger than the file)"):
        CachedDataSource().load(str(path))


def peak_of_refusal(path, why):
    """The peak of the memory the reader takes on refusing the file, as a multiple of the file's size."""
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match=why):
            CachedDataSource().load(str(path))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return peak / path.stat().st_size


def test_symbols_without_the_prices_they_declare_or_of_no_size_are_refused_before_memory_is_taken(tmp_path):
    path = tmp_path / "foreign.cache"
    with open(path, "wb") as file:
        np.save(file, np.array(["2024-01-02", "2024-01-03"]), allow_pickle=False)
        np.save(file, np.array(["2024-01-02"], dtype="M8[ns]"), allow_pickle=False)
        np.save(file, np.full(200_000, "\u4e00", dtype="<U1"), allow_pickle=False)
    assert peak_of_refusal(path, "an array larger than the file") < 3

    # Texts of no characters take no bytes of the file, however many they are.
    with open(path, "wb") as file:
        np.save(file, np.array(["2024-01-02", "2024-01-03"]), allow_pickle=False)
        np.save(file, np.array(["2024-01-02"], dtype="M8[ns]"), allow_pickle=False)
        npformat.write_array_header_1_0(file, {"descr": "<U0", "fortran_order": False, "shape": (1_000_000,)})
        file.write(bytes(1 << 16))
    assert peak_of_refusal(path, "items of no size") < 3
