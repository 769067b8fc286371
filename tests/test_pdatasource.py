"""The cached data source: price cache on disk, covered range, currency conversion and cleaning."""
import datetime
import io
import logging
import os
import pickle

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest
import scipy.stats
from addict import Dict

import pdatasource
from pdatasource import CachedDataSource

from conftest import DATA
from marketdata_stub import real_prices


class Cancelled(RuntimeError):
    pass


class FakeRawSource:
    """Answers from a fixed price table, records every call, and stops like the real
    download when the progress callback answers false."""

    def __init__(self, prices, failing=()):
        self.prices = prices
        self.failing = set(failing)
        self.calls = []

    def get(self, stocks, startDate=None, endDate=None, removeAdjusted=False, progress=None):
        self.calls.append((list(stocks), startDate, endDate))
        frame = self.prices.loc[startDate:endDate]
        series = {}
        for count, symbol in enumerate(stocks, 1):
            if symbol in frame.columns and symbol not in self.failing:
                series[symbol] = frame[symbol]
            if progress is not None and progress(count) is False:
                raise Cancelled("Event loop stopped before Future completed.")
        if not series:
            return pd.DataFrame()
        return pd.concat(series, axis=1).rename_axis("Date")

    def queryStocks(self, search):
        return None if search == "nothing" else pd.DataFrame({"Symbol": [search]})


@pytest.fixture(scope="module")
def market():
    """Real closing prices, a euro rate and the identity currency on the same dates."""
    prices = pd.read_csv(DATA / "stock_prices.csv", parse_dates=["date"], index_col="date")
    prices = prices.rename_axis("Date")
    prices = prices.loc["2012":"2016", ["AAPL", "GOOG", "JPM", "MA", "XOM"]].add_suffix(".US")
    days = np.arange(len(prices))
    prices["EUR.FOREX"] = 0.75 + 0.1 * np.sin(days / 50.0)
    prices["USD.FOREX"] = 1.0
    return prices


@pytest.fixture(autouse=True)
def new_process(monkeypatch):
    """Every test starts like a new process: the first range check is still due."""
    monkeypatch.setattr(pdatasource, "updateNeeded", True)


@pytest.fixture
def cache_file(tmp_path):
    return tmp_path / "prices.cache"


class Recording(CachedDataSource):
    """Records every write of the cache file."""

    def save(self, fileName):
        self.__dict__.setdefault("saved", []).append(fileName)
        super().save(fileName)


def config(low=4.0, high=4.0):
    return Dict({"data": {"sigmaClipLow": low, "sigmaClipHigh": high}})


def stock_table(rows):
    frame = pd.DataFrame(rows, columns=["Symbol", "Security Name", "Currency"])
    return frame.set_index("Symbol", drop=False)


# ---- cache file and covered range ----------------------------------------------------------


def test_first_process_fetches_the_request_and_a_fresh_instance_answers_it_from_the_file(market, cache_file,
                                                                                         zone):
    raw = FakeRawSource(market)
    source = CachedDataSource(fileName=str(cache_file), rawProvider=raw, config=config())
    assert pdatasource.updateNeeded is False and source.cache.empty
    assert (source.cacheStartDate, source.cacheEndDate) == (None, None)
    answer = source.doGet(["GOOG.US", "AAPL.US"], "2014-01-01", "2014-12-31")
    assert raw.calls == [(["AAPL.US", "GOOG.US"], "2014-01-01", "2014-12-31")]
    pdt.assert_frame_equal(answer, market.loc["2014", ["AAPL.US", "GOOG.US"]], check_freq=False)
    assert cache_file.exists()

    pdatasource.updateNeeded = True
    second = FakeRawSource(market)
    fresh = Recording(str(cache_file), second, config())
    # The range kept is the one asked for, not the first and last trading day.
    assert (fresh.cacheStartDate, fresh.cacheEndDate) == ("2014-01-01", "2014-12-31")
    for start, end in [("2014-01-01", "2014-12-31"), ("2014-03-01", "2014-06-30")]:
        answer = fresh.doGet(["AAPL.US", "GOOG.US"], start, end)
        pdt.assert_frame_equal(answer, market.loc[start:end, ["AAPL.US", "GOOG.US"]], check_freq=False)
    assert second.calls == [] and "saved" not in vars(fresh)
    assert answer.index[0] == pd.Timestamp("2014-03-03") and answer.index[-1] == pd.Timestamp("2014-06-30")
    assert pdatasource.updateNeeded is False


def test_a_new_symbol_is_fetched_for_the_request_alone(market, cache_file):
    raw = FakeRawSource(market)
    source = CachedDataSource(str(cache_file), raw, config())
    source.doGet(["AAPL.US"], "2014-01-01", "2014-12-31")
    for _ in range(2):
        answer = source.doGet(["XOM.US", "AAPL.US", "XOM.US"], "2014-06-01", "2014-06-30")
    assert raw.calls[1:] == [(["XOM.US"], "2014-06-01", "2014-06-30")]
    assert list(answer.columns) == ["AAPL.US", "XOM.US"]
    pdt.assert_frame_equal(answer, market.loc["2014-06", ["AAPL.US", "XOM.US"]], check_freq=False)
    assert source.doGet([], "2014-06-01", "2014-06-30").shape == (len(market.loc["2014-06"]), 0)
    assert len(raw.calls) == 2
    fresh = CachedDataSource(str(cache_file), FakeRawSource(market), config())
    assert fresh.cacheRanges == {"AAPL.US": ("2014-01-01", "2014-12-31"),
                                 "XOM.US": ("2014-06-01", "2014-06-30")}
    pdt.assert_series_equal(fresh.cache["AAPL.US"], market.loc["2014", "AAPL.US"], check_freq=False)


@pytest.mark.parametrize("process", ["same", "next"])
def test_overlapping_requests_grow_the_cache(market, cache_file, process):
    raw = FakeRawSource(market)
    source = CachedDataSource(str(cache_file), raw, config())

    def request(symbols, start, end):
        nonlocal source, raw
        if process == "next":  # every request in a process of its own, from the file
            pdatasource.updateNeeded = True
            source = CachedDataSource(str(cache_file), raw, config())
        answer = source.doGet(symbols, start, end)
        pdt.assert_frame_equal(answer, market.loc[start:end, sorted(symbols)], check_freq=False)

    request(["AAPL.US", "MA.US"], "2014-01-01", "2014-12-31")        # an analysis year
    request(["AAPL.US"], "2014-01-01", "2015-01-31")                  # a chart a month longer
    request(["AAPL.US", "MA.US"], "2014-01-01", "2014-12-31")        # the year again
    request(["MA.US", "JPM.US"], "2013-10-01", "2014-03-31")          # earlier, with a new symbol
    request(["AAPL.US", "MA.US", "JPM.US"], "2014-01-01", "2014-03-31")
    # Only what lay outside the ranges was fetched, from a few days inside them on.
    assert raw.calls == [(["AAPL.US", "MA.US"], "2014-01-01", "2014-12-31"),
                         (["AAPL.US"], "2014-12-24", "2015-01-31"),
                         (["JPM.US", "MA.US"], "2013-10-01", "2014-03-31")]
    fresh = CachedDataSource(str(cache_file), FakeRawSource(market), config())
    assert fresh.cacheRanges == {"AAPL.US": ("2014-01-01", "2015-01-31"),
                                 "MA.US": ("2013-10-01", "2014-12-31"),
                                 "JPM.US": ("2013-10-01", "2014-03-31")}
    assert (fresh.cacheStartDate, fresh.cacheEndDate) == ("2013-10-01", "2015-01-31")
    expected = market.loc["2013-10-01":"2015-01-31", ["AAPL.US", "MA.US", "JPM.US"]].copy()
    expected.loc[:"2013-12-31", "AAPL.US"] = np.nan
    expected.loc["2015", "MA.US"] = np.nan
    expected.loc["2014-04-01":, "JPM.US"] = np.nan
    # The first day of every download is left out by the raw sources, as the fake one does not.
    pdt.assert_frame_equal(fresh.cache[expected.columns], expected, check_freq=False)


def test_a_one_day_request_beyond_the_file_is_fetched_and_an_empty_range_is_not(market, cache_file):
    raw = FakeRawSource(market)
    source = CachedDataSource(str(cache_file), raw, config())
    source.doGet(["AAPL.US"], "2014-01-01", "2014-06-30")
    assert source.doGet(["AAPL.US"], "2014-09-02", "2014-09-01").empty
    assert len(raw.calls) == 1
    answer = source.doGet(["AAPL.US"], "2014-09-02", "2014-09-02")
    assert list(answer["AAPL.US"]) == [market.loc["2014-09-02", "AAPL.US"]]
    assert raw.calls[-1] == (["AAPL.US"], "2014-06-23", "2014-09-02")
    assert source.cacheRanges == {"AAPL.US": ("2014-01-01", "2014-09-02")}

    # No source knows tomorrow's prices: a request reaching past today is covered up to today,
    # and the days that come later are still fetched.
    today = datetime.date.today()
    raw.prices = pd.concat([market, market.iloc[[-1]].set_axis(pd.DatetimeIndex([today], name="Date"))])
    source.doGet(["AAPL.US"], "2014-09-01", (today + datetime.timedelta(days=400)).isoformat())
    assert source.cacheRanges["AAPL.US"] == ("2014-01-01", today.isoformat())


def write_first_form(path, frame, start, end):
    """A cache file as the program wrote it before ranges were kept per symbol."""
    with open(path, "wb") as file:
        for array in [np.array([start, end]), frame.index.to_numpy(),
                      np.array(list(frame.columns), dtype=str),
                      np.ascontiguousarray(frame.to_numpy(dtype="float64").T)]:
            np.save(file, array, allow_pickle=False)


def test_a_file_of_the_first_form_holds_one_range_for_all_its_symbols(market, cache_file):
    write_first_form(cache_file, market.loc["2014", ["AAPL.US", "MA.US"]], "2014-01-01", "2014-12-31")
    raw = FakeRawSource(market)
    source = CachedDataSource(str(cache_file), raw, config())
    assert source.cacheRanges == {"AAPL.US": ("2014-01-01", "2014-12-31"),
                                  "MA.US": ("2014-01-01", "2014-12-31")}
    pdt.assert_frame_equal(source.doGet(["MA.US", "AAPL.US"], "2014-02-01", "2014-11-30"),
                           market.loc["2014-02":"2014-11", ["AAPL.US", "MA.US"]], check_freq=False)
    source.doGet(["MA.US"], "2014-01-01", "2015-01-31")
    assert raw.calls == [(["MA.US"], "2014-12-24", "2015-01-31")]
    assert CachedDataSource(str(cache_file)).cacheRanges["MA.US"] == ("2014-01-01", "2015-01-31")
    # Rewritten, the file of the first form has gained its digest.
    assert len(arraysIn(cache_file)) == 5


def arraysIn(path):
    with open(path, "rb") as file:
        arrays = []
        while file.peek(1):
            arrays.append(np.load(file, allow_pickle=False))
        return arrays


def dataStart(path, position):
    """Where the data of the file's array number `position` begins."""
    with open(path, "rb") as file:
        for _ in range(position):
            np.load(file, allow_pickle=False)
        if np.lib.format.read_magic(file) == (1, 0):
            np.lib.format.read_array_header_1_0(file)
        else:
            np.lib.format.read_array_header_2_0(file)
        return file.tell()


@pytest.mark.parametrize("damage", ["zeroed prices", "zeroed bounds", "flipped digit"])
def test_damage_that_leaves_well_formed_values_downloads_again(market, cache_file, damage):
    symbols, years = ["AAPL.US", "GOOG.US", "JPM.US", "MA.US", "XOM.US"], ("2013-01-01", "2015-12-31")
    CachedDataSource(str(cache_file), FakeRawSource(market), config()).doGet(symbols, *years)
    content = bytearray(cache_file.read_bytes())
    if damage == "zeroed prices":
        block = -(-dataStart(cache_file, 3) // 4096) * 4096 + 4096
        content[block:block + 4096] = bytes(4096)
    elif damage == "zeroed bounds":
        start = dataStart(cache_file, 0)
        content[start:start + 2 * 10 * 4] = bytes(80)  # the first symbol's two bounds: an open range
    else:
        at = content.index("2013".encode("utf-32-le"))
        content[at + 8] ^= 0x01  # "2013" becomes "2012"
    cache_file.write_bytes(content)
    raw = FakeRawSource(market)
    answer = CachedDataSource(str(cache_file), raw, config()).doGet(symbols, *years)
    assert raw.calls == [(symbols, *years)]
    assert not (answer == 0).any().any()
    pdt.assert_frame_equal(answer, market.loc["2013":"2015", symbols], check_freq=False)
    healed = CachedDataSource(str(cache_file), raw, config())
    assert healed.cacheRanges == dict.fromkeys(symbols, years) and len(raw.calls) == 1


def test_the_file_is_replaced_whole(market, cache_file, monkeypatch):
    source = CachedDataSource(str(cache_file), FakeRawSource(market), config())
    source.doGet(["AAPL.US"], "2014-01-01", "2014-12-31")
    before = cache_file.read_bytes()
    saved = np.save

    def failing(file, array, **kws):
        saved(file, array, **kws)
        raise OSError("disk full")

    monkeypatch.setattr(np, "save", failing)
    assert "XOM.US" in source.doGet(["XOM.US"], "2014-01-01", "2014-12-31")  # kept in memory
    monkeypatch.undo()
    assert cache_file.read_bytes() == before
    assert [path.name for path in cache_file.parent.iterdir()] == [cache_file.name]
    # The replacement has the permissions of any new file, not those of a private temporary one.
    probe = cache_file.parent / "probe"
    probe.touch()
    source.doGet(["JPM.US"], "2014-01-01", "2014-12-31")
    assert cache_file.stat().st_mode == probe.stat().st_mode
    assert sorted(CachedDataSource(str(cache_file)).cache.columns) == ["AAPL.US", "JPM.US", "XOM.US"]
    # Another program writing over the file in place (a backup copied over it, shorter) reaches neither
    # the table loaded from it nor the next save.
    loaded = CachedDataSource(str(cache_file), FakeRawSource(market), config())
    held = loaded.cache.copy()
    with open(cache_file, "r+b") as file:
        file.write(before)
        file.truncate()
    pdt.assert_frame_equal(loaded.cache, held)
    loaded.doGet(["GOOG.US"], "2014-01-01", "2014-12-31")
    pdt.assert_frame_equal(CachedDataSource(str(cache_file)).cache[held.columns], held, check_freq=False)
    # A hard link of the file has every write too.
    linked = cache_file.parent / "linked"
    os.link(cache_file, linked)
    source.doGet(["MA.US"], "2014-01-01", "2014-12-31")
    assert linked.read_bytes() == cache_file.read_bytes() and "MA.US" in CachedDataSource(str(linked)).cache


class Payload:
    """Leaves a marker file behind if anything unpickles it."""

    def __init__(self, marker):
        self.marker = str(marker)

    def __reduce__(self):
        return (open, (self.marker, "w"))


@pytest.mark.parametrize("content", ["missing", "garbage", "pickle", "pickled array", "csv", "other numpy",
                                     "no rows", "unordered dates", "pipe", "huge"])
def test_an_unreadable_or_foreign_file_gives_an_empty_cache_and_runs_no_code(market, cache_file, tmp_path,
                                                                              content):
    marker = tmp_path / "ran"
    frame = market.iloc[:5, :2]
    writer = CachedDataSource()
    writer.cacheStartDate, writer.cacheEndDate = "2012-01-01", "2012-01-31"
    if content == "garbage":
        cache_file.write_bytes(b"\x93NUMPY\x01\x00 not really")
    elif content == "pickle":
        cache_file.write_bytes(pickle.dumps(Payload(marker)))
    elif content == "pickled array":
        with open(cache_file, "wb") as file:
            np.save(file, np.array([Payload(marker)], dtype=object), allow_pickle=True)
    elif content == "csv":
        frame.to_csv(cache_file)
    elif content == "other numpy":
        np.save(cache_file, frame.to_numpy())
    elif content == "no rows":
        writer.save(str(cache_file))
    elif content == "unordered dates":
        writer.cache = frame.iloc[::-1]
        writer.save(str(cache_file))
    elif content == "pipe":
        os.mkfifo(cache_file)
    elif content == "huge":
        with open(cache_file, "wb") as file:
            file.truncate(64 * 2**20 + 1)
    source = CachedDataSource(str(cache_file), FakeRawSource(market), config())
    assert source.cache.empty and list(source.cache.columns) == []
    assert source.cacheStartDate is None and source.cacheEndDate is None
    assert pdatasource.updateNeeded is False
    assert not marker.exists()
    with pytest.raises(Exception):
        source.load(str(cache_file))
    assert not marker.exists()


def shortenedHeader(array):
    """The array as saved, its header's stated length four bytes short."""
    buffer = io.BytesIO()
    np.save(buffer, array, allow_pickle=False)
    saved = bytearray(buffer.getvalue())
    saved[8:10] = (int.from_bytes(saved[8:10], "little") - 4).to_bytes(2, "little")
    return bytes(saved)


WHOLE_FILE_DAMAGES = ["date", "off midnight", "repeated date", "bytes after", "short header"]


@pytest.mark.parametrize("damage", ["range", "symbol"] + WHOLE_FILE_DAMAGES)
def test_a_damaged_entry_is_downloaded_again_and_the_file_rewritten_whole(market, cache_file, damage):
    frame = market.loc["2014", ["AAPL.US", "MA.US"]]
    ranges, dates = np.array([["2014-01-01", "2014-12-31"]] * 2), frame.index.to_numpy().copy()
    symbols = np.array(["AAPL.US", "MA.US"])
    if damage == "range":
        ranges[1, 1] = "2014-12-3!"
    elif damage == "date":
        dates[5] = np.datetime64("NaT")
    elif damage == "off midnight":
        dates[5] = dates[6] - np.timedelta64(3150, "ms")
    elif damage == "repeated date":
        dates[5] = dates[4]
    elif damage == "symbol":
        symbols[1] = "MA.U\udcff"
    prices = np.ascontiguousarray(frame.to_numpy().T)
    with open(cache_file, "wb") as file:
        for array in [ranges, dates, symbols] + ([] if damage == "short header" else [prices]):
            np.save(file, array, allow_pickle=False)
        if damage == "short header":
            file.write(shortenedHeader(prices))
        if damage == "bytes after":
            file.write(b"\0")
    raw, year = FakeRawSource(market), ("2014-01-01", "2014-12-31")
    answer = CachedDataSource(str(cache_file), raw, config()).doGet(["MA.US", "AAPL.US"], *year)
    pdt.assert_frame_equal(answer, frame, check_freq=False)
    assert raw.calls == [(["AAPL.US", "MA.US"] if damage in WHOLE_FILE_DAMAGES else ["MA.US"], *year)]
    healed = CachedDataSource(str(cache_file), raw, config())
    assert healed.cacheRanges == {"AAPL.US": year, "MA.US": year}
    pdt.assert_frame_equal(healed.cache, frame, check_freq=False, check_like=True)


def test_the_file_round_trips_gaps_dates_and_symbols(market, cache_file, zone):
    source = CachedDataSource(rawProvider=FakeRawSource(market))
    table = market.loc["2014-01":"2014-02", ["MA.US", "AAPL.US"]].copy()
    table.iloc[3, 0] = np.nan
    source.cache, source.cacheStartDate, source.cacheEndDate = table, "2014-01-01", "2014-02-28"
    source.save(str(cache_file))
    fresh = CachedDataSource(str(cache_file))
    pdt.assert_frame_equal(fresh.cache, table, check_freq=False)
    assert (fresh.cacheStartDate, fresh.cacheEndDate) == ("2014-01-01", "2014-02-28")
    fresh.cache.iloc[0, 0] = 1.0  # the loaded table is an ordinary, writable one


def test_without_file_name_or_raw_source(market, cache_file):
    memory = CachedDataSource(None, FakeRawSource(market), config())
    answer = memory.doGet(["JPM.US"], "2014-01-01", "2014-01-31")
    assert len(answer) == len(market.loc["2014-01"]) and not cache_file.exists()
    assert memory.queryStocks("nothing") is None and memory.queryStocks("SAP")["Symbol"][0] == "SAP"

    offline = CachedDataSource(rawProvider=FakeRawSource(market))
    offline.cache = market.loc["2014", ["AAPL.US"]]
    offline.rawProvider = None
    answer = offline.doGet(["XOM.US", "AAPL.US"], "2014-01-01", "2014-01-31")
    assert list(answer.columns) == ["AAPL.US"] and len(answer) == len(market.loc["2014-01"])
    assert offline.doGet([]).shape == (len(market.loc["2014"]), 0)
    assert offline.queryStocks("SAP") is None


def test_symbols_never_delivered_are_asked_again_and_left_out(market, cache_file):
    raw = FakeRawSource(market, failing={"GOOG.US"})
    source = CachedDataSource(str(cache_file), raw, config())
    for _ in range(2):
        answer = source.doGet(["GOOG.US", "AAPL.US"], "2014-01-01", "2014-03-31")
    assert list(answer.columns) == ["AAPL.US"]
    assert [call[0] for call in raw.calls] == [["AAPL.US", "GOOG.US"], ["GOOG.US"]]


def test_a_failing_or_cancelled_download_writes_nothing_and_the_next_one_works(market, cache_file):
    raw = FakeRawSource(market)
    source = CachedDataSource(str(cache_file), raw, config())
    answers = iter([True, False])
    with pytest.raises(Cancelled):
        source.get(["AAPL.US", "GOOG.US", "MA.US"], "2014-01-01", "2014-12-31",
                   progress=lambda *a, **k: next(answers))
    assert not cache_file.exists() and source.cache.empty
    answer = source.get(["AAPL.US", "GOOG.US"], "2014-01-01", "2014-12-31", progress=lambda *a, **k: True)
    assert list(answer.columns) == ["AAPL.US", "GOOG.US"] and cache_file.exists()


@pytest.mark.parametrize("place", ["missing/prices.cache", "folder"])
def test_a_cache_that_cannot_be_written_is_kept_in_memory_and_said_once(market, tmp_path, caplog, place):
    (tmp_path / "folder").mkdir()
    source = CachedDataSource(str(tmp_path / place), FakeRawSource(market), config())
    answer = source.doGet(["AAPL.US"], "2014-01-01", "2014-01-31")
    pdt.assert_frame_equal(source.cache, market.loc["2014-01", ["AAPL.US"]], check_freq=False)
    assert list(answer.columns) == ["AAPL.US"]
    assert list(source.doGet(["GOOG.US"], "2014-01-01", "2014-01-31").columns) == ["GOOG.US"]
    [told] = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
    assert told.startswith(f"The price cache {tmp_path / place} cannot be written")
    assert sorted(os.listdir(tmp_path)) == ["folder"] and os.listdir(tmp_path / "folder") == []


# ---- currency conversion -------------------------------------------------------------------


@pytest.fixture
def rates():
    """A euro rate with a gap inside and a gap at each end, on five dates."""
    dates = pd.DatetimeIndex(pd.date_range("2024-01-01", periods=5), name="Date")
    return pd.DataFrame({
        "SAP.XETRA": [100.0, 110.0, 120.0, 130.0, 140.0],
        "AAPL.US": [10.0, 20.0, 30.0, 40.0, 50.0],
        "EUR.FOREX": [np.nan, 0.5, np.nan, 1.0, np.nan],
        "USD.FOREX": [1.0] * 5,
    }, index=dates)


def test_a_euro_stock_is_converted_into_dollars_and_back(rates, tmp_path):
    stocks = stock_table([["SAP.XETRA", "SAP SE", "EUR.FOREX"], ["AAPL.US", "Apple", "USD.FOREX"]])
    calls = []

    def progress(value, maxValue=None, addValue=None):
        calls.append((value, maxValue, addValue))
        return True

    source = CachedDataSource(str(tmp_path / "prices.cache"), FakeRawSource(rates), config())
    dollars = source.get(stocks, "2024-01-01", "2024-01-05", progress=progress, currency="USD.FOREX")
    euro = [np.nan, 0.5, 0.75, 1.0, 1.0]  # interpolated inside, last rate carried on, none before the first
    expected = pd.DataFrame({"AAPL.US": rates["AAPL.US"],
                             "SAP.XETRA": rates["SAP.XETRA"] * (1.0 / pd.Series(euro).values)})
    pdt.assert_frame_equal(dollars, expected, check_freq=False, check_exact=True)
    assert calls[0] == (None, 4, None) and calls[1:3] == [(1, None, None), (2, None, None)]
    assert calls[3] == (None, None, 2) and calls[4:] == [(1, None, None), (2, None, None)]

    euros = source.get(stocks, "2024-01-01", "2024-01-05", currency="EUR.FOREX")
    expected = pd.DataFrame({"AAPL.US": rates["AAPL.US"] * euro,
                             "SAP.XETRA": rates["SAP.XETRA"] * [np.nan, 1, 1, 1, 1]})
    pdt.assert_frame_equal(euros, expected, check_freq=False, check_exact=True)


@pytest.mark.parametrize("currency", [None, ""])
def test_without_target_currency_or_for_a_symbol_list_nothing_is_converted(rates, currency):
    raw = FakeRawSource(rates)
    source = CachedDataSource(rawProvider=raw, config=config())
    stocks = stock_table([["SAP.XETRA", "SAP SE", "EUR.FOREX"]])
    calls = []
    answer = source.get(stocks, "2024-01-01", "2024-01-05", progress=lambda *a, **k: calls.append(a) or True,
                        currency=currency)
    assert calls == [(1,)]
    pdt.assert_frame_equal(answer, rates[["SAP.XETRA"]], check_freq=False)
    answer = source.get(["SAP.XETRA"], "2024-01-01", "2024-01-05", currency="USD.FOREX")
    pdt.assert_frame_equal(answer, rates[["SAP.XETRA"]], check_freq=False)
    assert [call[0] for call in raw.calls] == [["SAP.XETRA"]]


def test_a_stock_without_currency_or_rate_is_left_out_and_the_others_go_on(rates, caplog):
    stocks = stock_table([
        ["SAP.XETRA", "SAP SE", "EUR.FOREX"], ["TYO.T", "Tokyo", "JPY.FOREX"],
        ["OLD.US", "Old", None], ["NAN.US", "NaN", np.nan], ["AAPL.US", "Apple", "USD.FOREX"],
        [None, "No symbol", "USD.FOREX"],
    ])
    table = rates.assign(**{"TYO.T": 5.0, "OLD.US": 6.0, "NAN.US": 7.0})
    source = CachedDataSource(rawProvider=FakeRawSource(table), config=config())
    with caplog.at_level(logging.ERROR, logger="pdatasource"):
        answer = source.get(stocks, "2024-01-01", "2024-01-05", currency="USD.FOREX")
    assert list(answer.columns) == ["AAPL.US", "SAP.XETRA"]
    assert [r.getMessage() for r in caplog.records] == [
        "Cannot convert NAN.US: no currency", "Cannot convert OLD.US: no currency",
        "Cannot convert TYO.T: no exchange rate for JPY.FOREX"]

    caplog.clear()
    with caplog.at_level(logging.ERROR, logger="pdatasource"):
        answer = source.get(stocks[["Symbol"]].iloc[:1], "2024-01-01", "2024-01-05", currency="USD.FOREX")
    assert answer.shape == (5, 0)
    assert [r.getMessage() for r in caplog.records] == ["Cannot convert SAP.XETRA: no currency"]

    # Target rates that are absent, or delivered without a single value, fail the whole request.
    empty = table.assign(**{"CHF.FOREX": np.nan})
    source = CachedDataSource(rawProvider=FakeRawSource(empty), config=config())
    for currency in ["GBP.FOREX", "CHF.FOREX"]:
        with pytest.raises(KeyError, match=f"no exchange rates for {currency}"):
            source.get(stocks, "2024-01-01", "2024-01-05", currency=currency, cleaned=True)


# ---- cleaning ------------------------------------------------------------------------------


def reference_clean(prices, low, high, partial):
    """The cleaning written the plain pandas way, to hold the module to."""
    prices = prices.clip(lower=0)
    with np.errstate(all="ignore"):
        for column in prices.columns:
            values = prices[column].to_numpy()
            _, lower, upper = scipy.stats.sigmaclip(values[np.isfinite(values)], low, high)
            prices[column] = prices[column].mask((prices[column] < lower) | (prices[column] > upper))
    prices = prices.replace([np.inf, -np.inf, 0.0], np.nan).dropna(how="all")
    prices = prices.interpolate(limit_area="inside").ffill(limit=10).bfill(limit=10)
    return prices if partial else prices.dropna(axis=1, how="any")


def test_cleaning_steps_on_a_small_table():
    dates = pd.DatetimeIndex(pd.date_range("2024-01-01", periods=30), name="Date")
    steady = pd.Series(np.linspace(10.0, 12.9, 30), index=dates)
    negative = steady.copy()
    negative.iloc[4], negative.iloc[5] = -3.0, 0.0
    table = pd.DataFrame({
        "A.US": steady.where(steady.index != dates[10], 1000.0),             # one spike
        "B.US": negative,
        "C.US": steady.where(steady.index >= dates[12]),                       # starts 12 rows late
        "D.US": steady.where(steady.index >= dates[5]).where(steady.index != dates[20], np.inf),
        "E.US": steady.where(steady.index < dates[15]).where(steady.index != dates[3], 1000.0),  # ends early
    }, index=dates)
    # No price on one day; zeros, not gaps, so that the gap-free columns still get clipped. A download
    # stores such prices as gaps: the table is the cache itself.
    table.iloc[7] = 0.0
    source = CachedDataSource(config=config(3.0, 3.0))
    source.cache = table
    full = source.get(list(table.columns), cleaned=True, partial=True)
    pdt.assert_frame_equal(full, reference_clean(table, 3.0, 3.0, True))
    assert dates[7] not in full.index and len(full) == 29
    assert full.loc[dates[10], "A.US"] == pytest.approx((steady.iloc[9] + steady.iloc[11]) / 2)
    assert list(full.loc[dates[3:7], "B.US"]) == pytest.approx([10.3, 10.4, 10.5, 10.6])
    assert full["C.US"].isna().sum() == 1 and full.loc[dates[2], "C.US"] == steady.iloc[12]
    assert full.loc[dates[20], "D.US"] == pytest.approx(steady.iloc[20])
    assert full["E.US"].isna().sum() == 5 and full.loc[dates[24], "E.US"] == steady.iloc[14]
    assert full.loc[dates[3], "E.US"] == pytest.approx(steady.iloc[3])  # bounds of the prices it has

    complete = source.get(list(table.columns), cleaned=True)
    pdt.assert_frame_equal(complete, full[["A.US", "B.US", "D.US"]])
    assert not complete.isna().any().any()


def test_the_lower_and_the_upper_clipping_factor_each_apply_on_their_side():
    dates = pd.DatetimeIndex(pd.date_range("2024-01-01", periods=22), name="Date")
    values = [10.0] * 22
    values[5], values[15] = 7.0, 13.0  # three standard deviations below and above the mean
    table = pd.DataFrame({"A.US": values, "B.US": 20.0}, index=dates)
    source = CachedDataSource(rawProvider=FakeRawSource(table), config=config(low=10.0, high=2.0))
    cleaned = source.get(["A.US", "B.US"], cleaned=True)
    assert cleaned.loc[dates[5], "A.US"] == 7.0 and cleaned.loc[dates[15], "A.US"] == 10.0
    source.config = config(low=2.0, high=10.0)
    cleaned = source.get(["A.US", "B.US"], cleaned=True)
    assert cleaned.loc[dates[5], "A.US"] == 10.0 and cleaned.loc[dates[15], "A.US"] == 13.0


def test_cleaning_real_prices_matches_plain_pandas(market):
    table = market.loc["2015":"2016", ["AAPL.US", "GOOG.US", "JPM.US", "MA.US", "XOM.US"]].copy()
    table.iloc[100, 0] = table.iloc[100, 0] * 40   # a bad tick
    table.iloc[200, 1] = -1.0
    table.iloc[300:305, 2] = np.nan
    source = CachedDataSource(rawProvider=FakeRawSource(table), config=config(4.0, 4.0))
    stocks = stock_table([[symbol, symbol, "USD.FOREX"] for symbol in reversed(table.columns)])
    cleaned = source.get(stocks, "2015-01-01", "2016-12-31", cleaned=True)
    pdt.assert_frame_equal(cleaned, reference_clean(table, 4.0, 4.0, False), check_freq=False)
    assert cleaned.iloc[100, 0] == pytest.approx((table.iloc[99, 0] + table.iloc[101, 0]) / 2)


def test_single_symbol_form(market):
    source = CachedDataSource(rawProvider=FakeRawSource(market, failing={"GOOG.US"}), config=config())
    series = source.get("AAPL.US", "2014-01-01", "2014-01-31")
    pdt.assert_series_equal(series, market.loc["2014-01", "AAPL.US"], check_freq=False)
    with pytest.raises(KeyError):
        source.get("GOOG.US", "2014-01-01", "2014-01-31")


# ---- through the services' stub ------------------------------------------------------------


@pytest.fixture(params=["eodds", "yahoods2"])
def service(request, market_stub):
    """A raw source of each kind on the stub, and `add(symbol, rows)` that teaches the stub a series
    under the source's own symbol; `path(symbol)` is the address the source asks for it."""
    import eodds
    import yahoods2

    if request.param == "eodds":
        raw = eodds.EodDataSource("key")
        add, path = market_stub.add_eod, lambda symbol: f"/api/eod/{symbol}"
    else:
        raw = yahoods2.YahooDataSource("")
        service_symbol = {"AAPL.US": "AAPL", "GE.US": "GE", "MA.US": "MA", "JPM.US": "JPM", "SAP.XETRA": "SAP.DE",
                          "EUR.FOREX": "EUR=X"}.get
        add = lambda symbol, rows: market_stub.add_yahoo(service_symbol(symbol, symbol), rows)
        path = lambda symbol: f"/v8/finance/chart/{service_symbol(symbol, symbol)}"
    yield raw, add, path
    raw.client.close()


def test_missing_rates_of_the_target_currency_fail_the_request_naming_it(service, market_stub, cache_file,
                                                                          caplog):
    raw, add, path = service
    days = [day for day, _ in real_prices("AAPL", "2015-01-02", "2015-03-31")]
    add("AAPL.US", real_prices("AAPL", "2015-01-02", "2015-03-31"))
    add("SAP.XETRA", real_prices("GE", "2015-01-02", "2015-03-31"))
    add("BP.LSE", real_prices("XOM", "2015-01-02", "2015-03-31"))  # its pound rates are unknown
    add("EUR.FOREX", [(day, 0.9) for day in days])
    add("USD.FOREX", [(day, 1.0) for day in days])  # the Yahoo source makes this one up itself
    market_stub.fix(path("EUR.FOREX"), 429, "Too Many Requests")
    stocks = stock_table([["AAPL.US", "Apple", "USD.FOREX"], ["SAP.XETRA", "SAP", "EUR.FOREX"],
                          ["BP.LSE", "BP", "GBP.FOREX"]])
    source = CachedDataSource(str(cache_file), raw, config())
    with pytest.raises(pdatasource.ExchangeRateError, match="no exchange rates for EUR.FOREX") as failed:
        source.get(stocks, "2015-01-01", "2015-03-31", currency="EUR.FOREX", cleaned=True)
    assert isinstance(failed.value, KeyError) and failed.value.currency == "EUR.FOREX"
    # Why: the download failed, which the pound's unknown rates did not.
    assert list(source.downloadFailures) == ["EUR.FOREX"]
    # Once the service answers again, only the stock whose own currency has no rates is left out.
    del market_stub.fixed[path("EUR.FOREX")]
    with caplog.at_level(logging.ERROR, logger="pdatasource"):
        euros = source.get(stocks, "2015-01-01", "2015-03-31", currency="EUR.FOREX", cleaned=True)
    assert list(euros.columns) == ["AAPL.US", "SAP.XETRA"] and source.downloadFailures == {}
    assert [r.getMessage() for r in caplog.records if r.name == "pdatasource"] == [
        "Cannot convert BP.LSE: no exchange rate for GBP.FOREX"]
    dollars = source.get(["AAPL.US", "SAP.XETRA"], "2015-01-01", "2015-03-31")
    pdt.assert_series_equal(euros["AAPL.US"], dollars["AAPL.US"].loc[euros.index] * 0.9)
    pdt.assert_series_equal(euros["SAP.XETRA"], dollars["SAP.XETRA"].loc[euros.index])


def test_overlapping_requests_download_once_and_a_later_process_asks_nothing(service, market_stub,
                                                                             cache_file):
    raw, add, _ = service
    for symbol, column in [("AAPL.US", "AAPL"), ("GE.US", "GE"), ("SAP.XETRA", "XOM")]:
        add(symbol, real_prices(column, "2013-06-01", "2015-06-30"))
    requests = [(["AAPL.US", "GE.US"], "2014-01-01", "2014-12-31"),
                (["SAP.XETRA"], "2014-06-01", "2015-01-31")]
    source = CachedDataSource(str(cache_file), raw, config())
    answers = [source.doGet(*request) for request in requests + requests]
    paths = [r.path for r in market_stub.requests]
    assert len(paths) == len(set(paths)) == 3  # every symbol asked once
    for first, again in zip(answers[:2], answers[2:]):
        # Days that only the other download brought in are rows without prices here.
        pdt.assert_frame_equal(first.dropna(how="all"), again.dropna(how="all"))

    pdatasource.updateNeeded = True
    later = CachedDataSource(str(cache_file), raw, config())
    assert later.cacheRanges == {"AAPL.US": ("2014-01-01", "2014-12-31"),
                                 "GE.US": ("2014-01-01", "2014-12-31"),
                                 "SAP.XETRA": ("2014-06-01", "2015-01-31")}
    assert (later.cacheStartDate, later.cacheEndDate) == ("2014-01-01", "2015-01-31")
    for request, answer in zip(requests, answers[2:]):
        pdt.assert_frame_equal(later.doGet(*request), answer)
    assert len(market_stub.requests) == 3

    # A chart reaching a month further asks for that month of its one symbol only.
    later.doGet(["GE.US"], "2014-06-01", "2015-01-31")
    assert len(market_stub.requests) == 4 and "GE" in market_stub.requests[-1].path
    # No day is lost at the seam, though the sources leave out the first (and Yahoo the last) day.
    seam = later.cache["GE.US"].loc["2014-12-01":"2015-01-30"].dropna()
    assert list(seam.index.strftime("%Y-%m-%d")) == [day for day, _ in real_prices("GE", "2014-12-01",
                                                                                     "2015-01-30")]


@pytest.mark.parametrize("flag, kept", [(Dict().stocks.plotInterpolated, False), ("", False), (0, False),
                                        ("yes", True), (1, True), (None, False)])
def test_cleaned_and_partial_are_taken_by_their_truth_value(flag, kept):
    dates = pd.DatetimeIndex(pd.date_range("2024-01-01", periods=30), name="Date")
    late = pd.Series(np.linspace(10.0, 12.9, 30), index=dates).where(dates >= dates[15])
    table = pd.DataFrame({"A.US": np.linspace(5.0, 6.0, 30), "LATE.US": late, "NEG.US": -1.0}, index=dates)
    source = CachedDataSource(config=config())
    source.cache = table  # a download stores a negative price as a gap
    answer = source.get(list(table.columns), cleaned=flag, partial=True)
    assert bool(answer["NEG.US"].isna().all()) == kept  # a negative price is a gap once cleaned
    cleaned = source.get(list(table.columns), cleaned=True, partial=flag)
    assert ("LATE.US" in cleaned.columns) is kept


def test_a_damaged_range_or_price_downloads_that_symbol_again(service, market_stub, cache_file):
    raw, add, path = service
    columns = {"AAPL.US": "AAPL", "GE.US": "GE", "SAP.XETRA": "XOM", "MA.US": "MA", "JPM.US": "JPM"}
    for symbol, column in columns.items():
        add(symbol, real_prices(column, "2015-06-01", "2017-06-30"))
    year = ("2016-01-01", "2016-12-30")
    real = CachedDataSource(str(cache_file), raw, config()).doGet(list(columns), *year)
    with open(cache_file, "rb") as file:
        ranges, dates, symbols, prices = [np.load(file, allow_pickle=False) for _ in range(4)]
    row = {symbol: i for i, symbol in enumerate(symbols)}
    ranges[row["AAPL.US"], 1] = "2096-12-30"  # one flipped bit: a range that ends in the future
    ranges[row["GE.US"], 0] = "2414-01-01"  # one that starts after its end
    prices[row["MA.US"], 20] *= -1
    prices[row["JPM.US"], 30] = np.inf
    with open(cache_file, "wb") as file:
        for array in (ranges, dates, symbols, prices):
            np.save(file, array, allow_pickle=False)
    asked = len(market_stub.requests)
    pdatasource.updateNeeded = True
    answer = CachedDataSource(str(cache_file), raw, config()).doGet(list(columns), *year)
    assert sorted(r.path for r in market_stub.requests[asked:]) == sorted(
        path(symbol) for symbol in ["AAPL.US", "GE.US", "JPM.US", "MA.US"])
    pdt.assert_frame_equal(answer, real)


# ---- what a service may answer, and files the program never wrote ---------------------------

from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

EOD_HEADER = "Date,Open,High,Low,Close,Adjusted_close,Volume\n"


def eod_csv(rows):
    """An EOD answer of (date-time text, adjusted close text) rows, in the order given."""
    return EOD_HEADER + "".join(f"{stamp},1,1,1,1,{price},100\n" for stamp, price in rows)


@pytest.fixture
def eod_source(market_stub):
    import eodds

    raw = eodds.EodDataSource("key")
    yield raw
    raw.client.close()


def good_rows():
    return [(day, f"{price:.4f}") for day, price in real_prices("AAPL", "2015-01-02", "2015-03-31")]


def test_a_repeated_day_or_times_of_day_cost_nothing_at_the_next_start(eod_source, market_stub, cache_file):
    good = good_rows()
    repeated = good[:20] + [good[19]] + good[20:]
    timed = [(f"{day} 16:00:00", price) for day, price in good]
    market_stub.fix("/api/eod/GOOD.US", 200, eod_csv(good))
    market_stub.fix("/api/eod/DUP.US", 200, eod_csv(repeated))
    market_stub.fix("/api/eod/TIME.US", 200, eod_csv(timed))
    symbols, quarter = ["DUP.US", "GOOD.US", "TIME.US"], ("2015-01-01", "2015-03-31")
    first = CachedDataSource(str(cache_file), eod_source, config()).doGet(symbols, *quarter)
    days = pd.DatetimeIndex([day for day, _ in good[1:]], name="Date")
    assert list(first.index) == list(days)  # one row a day, at midnight, the first day left out
    pdt.assert_series_equal(first["DUP.US"], first["GOOD.US"], check_names=False)
    pdt.assert_series_equal(first["TIME.US"], first["GOOD.US"], check_names=False)

    asked = len(market_stub.requests)
    pdatasource.updateNeeded = True
    later = CachedDataSource(str(cache_file), eod_source, config())
    pdt.assert_frame_equal(later.doGet(symbols, *quarter), first)
    assert len(market_stub.requests) == asked and later.cacheRanges == dict.fromkeys(symbols, quarter)


def test_an_answer_that_cannot_be_made_days_is_that_symbols_failure(eod_source, market_stub, cache_file, caplog):
    import eodds

    class OddSource(eodds.EodDataSource):
        async def getAsyncUrl(self, parms):
            stock = parms[0]
            if stock == "ODD.US":
                return stock, pd.Series([1.0, 2.0], index=["first", "second"])
            return await super().getAsyncUrl(parms)

    market_stub.fix("/api/eod/GOOD.US", 200, eod_csv(good_rows()))
    odd = OddSource("key")
    with caplog.at_level(logging.ERROR, logger="eodds"):
        answer = CachedDataSource(str(cache_file), odd, config()).doGet(["GOOD.US", "ODD.US"], "2015-01-01",
                                                                          "2015-03-31")
    odd.client.close()
    assert list(answer.columns) == ["GOOD.US"] and len(answer) == len(good_rows()) - 1
    assert [r.getMessage() for r in caplog.records] == ["Error getting data for ODD.US"]
    assert list(odd.downloadFailures) == ["ODD.US"]


def test_a_price_too_large_for_the_cleaning_is_damage_like_an_infinite_one(eod_source, market_stub,
                                                                         cache_file):
    rows = good_rows()
    odd = rows[:30] + [(rows[30][0], "1e300")] + rows[31:]
    market_stub.fix("/api/eod/GOOD.US", 200, eod_csv(rows))
    market_stub.fix("/api/eod/ODD.US", 200, eod_csv(odd))
    symbols, quarter = ["GOOD.US", "ODD.US"], ("2015-01-01", "2015-03-31")
    source = CachedDataSource(str(cache_file), eod_source, config())
    cleaned = source.get(symbols, *quarter, cleaned=True)
    assert np.isnan(source.cache.loc[rows[30][0], "ODD.US"])  # stored as a gap, as an infinite price is
    assert cleaned.max().max() < 200 and cleaned.pct_change().abs().max().max() < 0.2
    # Where a conversion makes such a price, the cleaning takes it as an infinite one too.
    cleaned_as = {}
    for price in [1e300, np.inf]:
        source.cache = source.cache.copy()
        source.cache.loc[rows[40][0], "ODD.US"] = price
        cleaned_as[price] = source.get(symbols, *quarter, cleaned=True)
    pdt.assert_frame_equal(cleaned_as[1e300], cleaned_as[np.inf])
    assert cleaned_as[1e300].max().max() < 200


DAYS = [d.strftime("%Y-%m-%d") for d in pd.bdate_range("2015-01-01", "2015-01-30")]
PRICES = st.one_of(st.floats(min_value=0.01, max_value=1e6).map(lambda v: f"{v:.4f}"),
                   st.sampled_from(["0", "-3.5", "inf", "-inf", "1e300", "nan", ""]))
STAMPS = st.tuples(st.sampled_from(DAYS), st.sampled_from(["", " 00:00:00", " 09:30:00", " 16:00:00",
                                                            "T23:59:59"])).map("".join)
ANSWERS = st.lists(st.tuples(STAMPS, PRICES), max_size=12)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(answers=st.lists(ANSWERS, min_size=1, max_size=3), start=st.sampled_from(DAYS[:5]),
       end=st.sampled_from(DAYS[-5:]))
def test_any_answer_of_a_service_makes_a_file_its_reader_takes(eod_source, market_stub, tmp_path_factory,
                                                              answers, start, end):
    market_stub.fixed.clear()
    market_stub.fix("/api/eod/GOOD.US", 200, eod_csv(good_rows()))
    symbols = ["GOOD.US"] + [f"ODD{i}.US" for i in range(len(answers))]
    for symbol, rows in zip(symbols[1:], answers):
        market_stub.fix(f"/api/eod/{symbol}", 200, eod_csv(rows))
    path = tmp_path_factory.mktemp("answers") / "prices.cache"
    source = CachedDataSource(str(path), eod_source, config())
    source.doGet(symbols, "2015-01-02", "2015-03-31")
    source.doGet(symbols, start, end)
    pdatasource.updateNeeded = True
    reread = CachedDataSource(str(path), eod_source, config())
    # The file holds the cache as it stood, every symbol included: nothing in it is refused.
    pdt.assert_frame_equal(reread.cache, source.cache, check_like=True, check_freq=False)
    assert reread.cacheRanges == source.cacheRanges and "GOOD.US" in reread.cacheRanges
    values = reread.cache.to_numpy()
    assert not ((values <= 0) | (values > 1e150)).any()
    asked = len(market_stub.requests)
    reread.doGet(["GOOD.US"], "2015-01-02", "2015-03-31")
    assert len(market_stub.requests) == asked


def write_as_program(path, table, ranges):
    """A file with the program's own digest over content the program never writes: written by its
    writer from a table and ranges set from outside."""
    writer = CachedDataSource()
    writer.cache, writer.cacheRanges = table, ranges
    writer.save(str(path))


@pytest.mark.parametrize("fault", ["open start", "open end", "no rows in range", "zero price", "huge price",
                                   "future rows"])
def test_values_the_program_never_writes_are_refused_in_a_file_with_a_good_digest(market, cache_file, fault):
    year = ("2014-01-01", "2014-12-31")
    table = market.loc["2014", ["AAPL.US", "MA.US"]].copy()
    ranges = {"AAPL.US": year, "MA.US": year}
    if fault == "open start":
        ranges["MA.US"] = (None, "2014-12-31")
    elif fault == "open end":
        ranges["MA.US"] = ("2014-01-01", None)
    elif fault == "no rows in range":
        ranges["MA.US"] = ("2011-01-01", "2011-12-31")
    elif fault == "zero price":
        table.iloc[40, 1] = 0.0
    elif fault == "huge price":
        table.iloc[40, 1] = 1e300  # what a download stored before such prices were damage
    else:
        later = pd.DatetimeIndex([pd.Timestamp.today().normalize() + pd.Timedelta(days=3)], name="Date")
        table = pd.concat([table, pd.DataFrame({"AAPL.US": [1.0], "MA.US": [2.0]}, index=later)])
    write_as_program(cache_file, table, ranges)
    raw = FakeRawSource(market)
    source = CachedDataSource(str(cache_file), raw, config())
    answer = source.doGet(["AAPL.US", "MA.US"], *year)
    pdt.assert_frame_equal(answer, market.loc["2014", ["AAPL.US", "MA.US"]], check_freq=False)
    assert raw.calls == ([] if fault == "future rows" else [(["MA.US"], *year)])
    assert source.cache.index[-1] <= pd.Timestamp.today()
    healed = CachedDataSource(str(cache_file), FakeRawSource(market), config())
    assert healed.cacheRanges == {"AAPL.US": year, "MA.US": year}


def test_an_open_request_is_recorded_as_a_closed_range(market, cache_file):
    source = CachedDataSource(str(cache_file), FakeRawSource(market.loc["2014"]), config())
    source.doGet(["AAPL.US"])
    # closed where the prices end: years the source prices none of are no days without trading
    assert source.cacheRanges == {"AAPL.US": ("2014-01-02", "2014-12-31")}
    assert CachedDataSource(str(cache_file)).cacheRanges == source.cacheRanges


def test_a_file_with_the_earlier_digest_still_reads_and_gains_the_present_one(market, cache_file):
    import hashlib

    frame = market.loc["2014", ["AAPL.US", "MA.US"]]
    arrays = [np.array([["2014-01-01", "2014-12-31"]] * 2), frame.index.to_numpy(),
              np.array(list(frame.columns)), np.ascontiguousarray(frame.to_numpy().T)]
    digest = hashlib.sha256()
    for array in arrays:
        digest.update(f"{array.dtype.str}{array.shape}".encode())
        digest.update(array.reshape(-1).view("uint8"))
    with open(cache_file, "wb") as file:
        for array in arrays + [np.frombuffer(digest.digest(), dtype="uint8")]:
            np.save(file, array, allow_pickle=False)
    raw = FakeRawSource(market)
    source = CachedDataSource(str(cache_file), raw, config())
    pdt.assert_frame_equal(source.doGet(["MA.US", "AAPL.US"], "2014-01-01", "2014-12-31"), frame,
                           check_freq=False)
    assert raw.calls == []
    content = bytearray(cache_file.read_bytes())
    content[dataStart(cache_file, 3) + 8] ^= 0x01  # one flipped bit in the prices
    cache_file.write_bytes(content)
    assert CachedDataSource(str(cache_file)).cache.empty
    source.doGet(["JPM.US"], "2014-01-01", "2014-12-31")
    assert len(arraysIn(cache_file)[-1]) == 16


@pytest.mark.parametrize("first, taken", [("0000-01-01", False), ("1600-02-29", False), ("1677-09-21", False),
                                          ("1677-09-22", True)])
def test_a_range_from_before_the_tables_first_day_is_no_range_and_heals(market, cache_file, monkeypatch,
                                                                          first, taken):
    # The table's timestamps begin on 1677-09-21 at 00:12; year 0 is no date of the interpreter's.
    year = ("2014-01-01", "2014-12-31")
    write_as_program(cache_file, market.loc["2014", ["AAPL.US", "MA.US"]],
                     {"AAPL.US": year, "MA.US": (first, year[1])})
    monkeypatch.setattr(pdatasource, "updateNeeded", False)
    raw = FakeRawSource(market)
    source = CachedDataSource(str(cache_file), raw, config())
    assert list(source.cache.columns) == (["AAPL.US", "MA.US"] if taken else ["AAPL.US"])
    # A request that needs a download, as every later one does.
    answer = source.doGet(["AAPL.US", "MA.US", "JPM.US"], *year)
    assert [call[0] for call in raw.calls] == [["JPM.US"] if taken else ["JPM.US", "MA.US"]]
    pdt.assert_frame_equal(answer, market.loc["2014", ["AAPL.US", "JPM.US", "MA.US"]], check_freq=False)
    if not taken:
        assert CachedDataSource(str(cache_file)).cacheRanges["MA.US"] == year


@pytest.mark.parametrize("first", ["1600-01-01", "600-01-01", "0600-01-01", "1677-09-21"])
def test_a_request_from_before_the_tables_first_day_asks_from_it_and_is_kept(market, cache_file, first):
    # strftime writes a year before 1000 without its leading zeros.
    raw = FakeRawSource(market)
    source = CachedDataSource(str(cache_file), raw, config())
    answer = source.doGet(["AAPL.US"], first, "2014-12-31")
    assert raw.calls == [(["AAPL.US"], "1677-09-22", "2014-12-31")]
    pdt.assert_frame_equal(answer, market.loc[:"2014", ["AAPL.US"]], check_freq=False)
    again = CachedDataSource(str(cache_file), raw, config())
    assert again.cacheRanges == {"AAPL.US": ("1677-09-22", "2014-12-31")}
    pdt.assert_frame_equal(again.doGet(["AAPL.US"], first, "2014-12-31"), answer, check_freq=False)
    # A request that ends before that day has no prices and asks for none.
    before = again.doGet(["AAPL.US", "MA.US"], "1500-01-01", first)
    assert before.empty and list(before.columns) == ["AAPL.US"]
    assert len(raw.calls) == 1


@pytest.mark.parametrize("last", ["2262-04-11", "2262-04-12", "2300-01-01", "9999-12-31"])
def test_a_request_to_after_the_tables_last_day_asks_to_it(market, cache_file, last):
    # The table's timestamps end on 2262-04-11 at 23:47: a cut up to that day would reach beyond them.
    raw = FakeRawSource(market)
    source = CachedDataSource(str(cache_file), raw, config())
    answer = source.doGet(["AAPL.US"], "2014-01-02", last)
    assert raw.calls == [(["AAPL.US"], "2014-01-02", "2262-04-10")]
    pdt.assert_frame_equal(answer, market.loc["2014-01-02":, ["AAPL.US"]], check_freq=False)
    # One that starts after it has no prices and asks for none.
    after = source.doGet(["AAPL.US", "MA.US"], last, "9999-12-31")
    assert after.empty and list(after.columns) == ["AAPL.US"] and len(raw.calls) == 1
