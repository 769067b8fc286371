"""The cache file's reader on long rows, on arrays in the other forms numpy writes, and on the price
block wherever it lies in the file."""
import gc
import os

import numpy as np
import numpy.lib.format as npformat
import pandas as pd
import pandas.testing as pdt
import pytest
from hypothesis import given, settings, strategies as st

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


@pytest.mark.parametrize("bad", [0.0, -0.0, -2.5, np.inf, -np.inf])
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


def price_block_start(path):
    with open(path, "rb") as file:
        for _ in range(3):
            np.load(file, allow_pickle=False)
        npformat.read_magic(file)
        npformat.read_array_header_1_0(file)
        return file.tell()


def plain_numpy(file, position, array):
    np.save(file, array, allow_pickle=False)


@settings(max_examples=25, deadline=None)
@given(symbols=st.integers(1, 7), width=st.integers(1, 9), days=st.integers(1, 60))
def test_any_table_reads_back_from_the_programs_file_and_from_plain_numpy_arrays(tmp_path_factory, symbols,
                                                                                width, days):
    # The symbols' width and count move the price block to every offset numpy.save can give it.
    rng = np.random.default_rng(symbols * 100 + width * 10 + days)
    dates = pd.bdate_range(end="2024-12-31", periods=days, name="Date")
    names = [f"{i}".rjust(width, "S") for i in range(symbols)]
    frame = pd.DataFrame(rng.uniform(1.0, 90.0, (days, symbols)), index=dates, columns=names)
    path = tmp_path_factory.mktemp("tables") / "prices.cache"
    save(frame, path)
    assert price_block_start(path) % 64 == 0
    with open(path, "rb") as file:
        arrays = [np.load(file, allow_pickle=False) for _ in range(5)]
        assert file.read() == b""
    np.testing.assert_array_equal(arrays[3], frame.to_numpy().T)
    pdt.assert_frame_equal(CachedDataSource(str(path)).cache, frame, check_freq=False)
    rewrite(path, plain_numpy)
    pdt.assert_frame_equal(CachedDataSource(str(path)).cache, frame, check_freq=False)


@pytest.mark.parametrize("writer", ["program", "plain numpy", "program, hard-linked"])
def test_a_loaded_table_is_its_own_to_write_and_outlives_its_source_and_its_file(tmp_path, writer):
    frame, path = long_table(symbols=7).add_prefix("X"), tmp_path / "prices.cache"
    save(frame, path)
    if writer == "plain numpy":
        rewrite(path, plain_numpy)
        assert price_block_start(path) % 8 == 4  # seven symbols of seven letters: off a multiple of 8
    if writer == "program, hard-linked":
        os.link(path, tmp_path / "linked")  # the next write goes over the file in place
    first, second = CachedDataSource(str(path)), CachedDataSource(str(path))
    first.cache.iloc[5, 3] = 1.5
    first.cache.iloc[-1, -1] = 2.5
    assert (first.cache.iloc[5, 3], first.cache.iloc[-1, -1]) == (1.5, 2.5)
    pdt.assert_frame_equal(second.cache, frame, check_freq=False)
    pdt.assert_frame_equal(CachedDataSource(str(path)).cache, frame, check_freq=False)
    # A column held after its source is gone, and after the file was replaced by a write of another table.
    column = second.cache["XL04.US"]
    del second
    gc.collect()
    save(frame * 2.0, path)
    pdt.assert_series_equal(column, frame["XL04.US"], check_freq=False)
    pdt.assert_frame_equal(first.cache.iloc[6:-1], frame.iloc[6:-1], check_freq=False)
    pdt.assert_frame_equal(CachedDataSource(str(path)).cache, frame * 2.0, check_freq=False)


@pytest.mark.parametrize("writer", ["program", "plain numpy"])
def test_a_file_cut_short_within_its_prices_is_no_cache(tmp_path, writer):
    frame, path = long_table(symbols=7), tmp_path / "prices.cache"
    save(frame, path)
    if writer == "plain numpy":
        rewrite(path, plain_numpy)
    content = path.read_bytes()
    for cut in (3 * 4096 + 8, frame.size * 8 - 8):
        path.write_bytes(content[:price_block_start(path) + cut])
        assert CachedDataSource(str(path)).cache.empty
        path.write_bytes(content)
