"""YahooDataSource against the local market-data stub: chart requests, dates in two time zones, search,
currencies."""
import asyncio
import json
import logging
import math
import time
from datetime import datetime

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import utils
import yahoods2
from marketdata_stub import real_prices

AGENT = ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
         "Chrome/133.0.0.0 Safari/537.36")


@pytest.fixture
def source(market_stub):
    source = yahoods2.YahooDataSource("")
    yield source
    source.client.close()  # the program never closes it; the tests do, to leave no socket behind


def local_midnight(day):
    return int(time.mktime(datetime.strptime(day, "%Y-%m-%d").timetuple()))


def logged(caplog, message):
    return [r.args[0] for r in caplog.records if r.name == "yahoods2" and r.levelno == logging.ERROR
            and r.msg == message]


class TestPriceRequests:
    def test_chart_request_in_both_zones(self, market_stub, source, zone):
        source.get(["AAPL.US"], "2024-01-02", "2024-01-31")
        [request] = market_stub.requests
        assert request.raw_path == "/v8/finance/chart/AAPL"
        expected = 1704153600 if zone == "UTC" else 1704153600 - 3600
        assert request.query == [("period1", str(expected)), ("period2", str(local_midnight("2024-01-31"))),
                                 ("interval", "1d"), ("events", "div,split"), ("includePrepPost", "false")]
        assert request.header("User-Agent") == [AGENT]
        assert not request.header("Authorization") and not request.header("Cookie")

    def test_symbol_mapping(self, market_stub, source):
        symbols = ["SAP.XETRA", "AAPL.US", "EUR.FOREX", "BTC-USD", "SAP.DE", "EURUSD=X", "abc.us", "A.US.US"]
        source.get(symbols, "2024-01-02", "2024-01-31")
        paths = sorted(r.path for r in market_stub.requests)
        assert paths == sorted("/v8/finance/chart/" + s for s in
                               ["SAP.DE", "AAPL", "EUR=X", "BTC-USD", "SAP.DE", "EURUSD=X", "abc.us", "A"])

    def test_module_headers_and_key_unused(self, market_stub):
        assert yahoods2.headers == {"User-Agent": AGENT}
        source = yahoods2.YahooDataSource("secret")
        assert source.apiKey == "secret" and source.currencies == {}
        assert market_stub.requests == []
        source.get(["X"], "2024-01-02", "2024-01-05")
        assert "secret" not in repr(market_stub.requests[0].query) + repr(market_stub.requests[0].headers)


class TestPrices:
    def test_real_prices_with_gaps_and_dates(self, market_stub, source, zone):
        aapl = real_prices("AAPL", "2018-01-02", "2018-01-31")
        gappy = list(aapl)
        gappy[3] = (gappy[3][0], None)
        market_stub.add_yahoo("AAPL", gappy)
        market_stub.add_yahoo("GE", real_prices("GE", "2018-01-02", "2018-01-31"))
        table = source.get(["AAPL.US", "GE"], "2018-01-01", "2018-02-01")
        assert list(table.columns) == ["AAPL.US", "GE"]
        assert table.index.name == "Date"
        # 14:30 UTC on a trading day is that day, whatever the computer's zone.
        assert list(table.index.strftime("%Y-%m-%d")) == [day for day, _ in aapl[1:]]
        assert math.isnan(table.loc[gappy[3][0], "AAPL.US"])
        assert table.loc[aapl[-1][0], "AAPL.US"] == pytest.approx(aapl[-1][1])

    def test_day_is_the_utc_day_of_the_timestamp(self, market_stub, source, zone):
        # 23:30 UTC is already the next day one hour east; the day stays the UTC one.
        market_stub.add_yahoo("LATE", [("2024-01-02", 1.0), ("2024-01-03", 2.0), ("2024-01-04", 3.0)],
                              hour=23)
        [(_, series)] = asyncio.run(source.getAsync(["LATE"], "2024-01-01", "2024-01-31"))
        assert list(series.index.strftime("%Y-%m-%d")) == ["2024-01-02", "2024-01-03", "2024-01-04"]

    def test_series_keeps_rows_as_delivered(self, market_stub, source):
        market_stub.add_yahoo("X", [("2024-01-02", 1.0), ("2024-01-03", None), ("2024-01-04", 3.0)])
        [(symbol, series)] = asyncio.run(source.getAsync(["X"], "2024-01-01", "2024-01-31"))
        assert symbol == "X" and series.index.name == "Date"
        assert series.dtype == "float64" and len(series) == 3 and math.isnan(series.iloc[1])
        assert list(series.index) == [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-03"),
                                      pd.Timestamp("2024-01-04")]

    def test_usd_identity_without_request(self, market_stub, source, zone):
        [(symbol, series)] = asyncio.run(source.getAsync(["USD.FOREX"], "2024-01-01", "2024-01-11"))
        assert market_stub.requests == [] and symbol == "USD.FOREX"
        first, last = ("2024-01-01", "2024-01-10") if zone == "UTC" else ("2023-12-31", "2024-01-09")
        assert len(series) == 10 and set(series) == {1}
        assert series.index[0] == pd.Timestamp(first) and series.index[-1] == pd.Timestamp(last)
        counts = []
        table = source.get(["USD.FOREX"], "2024-01-01", "2024-01-01",
                           progress=lambda k: counts.append(k) or True)
        assert table.empty and counts == [1]

    def test_unknown_and_broken_answers_stay_with_their_symbol(self, market_stub, source, caplog):
        market_stub.add_yahoo("GOOD", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.fix("/v8/finance/chart/HTML", 500, "<html>Internal error</html>")
        market_stub.fix("/v8/finance/chart/EMPTY", 200, {"chart": {"result": [], "error": None}})
        market_stub.fix("/v8/finance/chart/SHORT", 200, {"chart": {"result": [{
            "timestamp": [1704205800, 1704292200],
            "indicators": {"quote": [{"close": [1.0]}], "adjclose": [{"adjclose": [1.0]}]}}]}})
        market_stub.add_yahoo("NODATA", [("2019-01-02", 1.0)])  # nothing in the period asked for
        market_stub.fix("/v8/finance/chart/LIMITED", 429, "Too Many Requests")
        counts = []
        symbols = ["NOPE", "HTML", "GOOD", "EMPTY", "SHORT", "NODATA", "LIMITED"]
        table = source.get(symbols, "2024-01-01", "2024-01-31", progress=lambda k: counts.append(k) or True)
        assert list(table.columns) == ["GOOD"] and list(table["GOOD"]) == [2.0]
        assert counts == [1, 2, 3, 4, 5, 6, 7]
        assert sorted(logged(caplog, "Error getting data for %s")) == sorted(set(symbols) - {"GOOD"})
        # Only an unknown symbol and one without prices in the period are the service's word on them.
        assert sorted(source.downloadFailures) == ["EMPTY", "HTML", "LIMITED", "SHORT"]

    def test_stray_rows_leave_the_others_and_rows_of_one_day_are_a_failure(self, market_stub, source, caplog):
        market_stub.add_yahoo("GOOD", [("2024-01-02", 1.0), ("2024-01-03", 2.0), ("2024-01-04", 3.0)])
        alone = source.get(["GOOD"], "2024-01-01", "2024-01-31")["GOOD"]

        def chart(stamps):
            prices = [float(each) for each, _ in enumerate(stamps)]
            return {"chart": {"result": [{"timestamp": stamps, "indicators": {
                "quote": [{"close": prices}], "adjclose": [{"adjclose": prices}]}}], "error": None}}
        # 1900, 1970 and 1990 before the days asked for; seconds from the epoch that make one day.
        market_stub.fix("/v8/finance/chart/ODD", 200, chart([-2208939000, 0, 631282200, 1704292200]))
        market_stub.fix("/v8/finance/chart/EPOCH", 200, chart([1, 2, 3]))
        table = source.get(["ODD", "GOOD", "EPOCH"], "2024-01-01", "2024-01-31")
        assert list(table.columns) == ["ODD", "GOOD"]
        assert table["GOOD"].dropna().to_dict() == alone.to_dict() and len(alone) == 2
        assert list(table["ODD"].dropna()) == [1.0, 2.0, 3.0]
        assert logged(caplog, "Error getting data for %s") == ["EPOCH"]
        assert list(source.downloadFailures) == ["EPOCH"]

    def test_bad_date_ends_the_download(self, market_stub, source):
        with pytest.raises(ValueError):
            source.get(["A", "B"], "2024-13-01", "2024-01-31")
        with pytest.raises(TypeError):
            source.get(["A"])

    def test_remove_adjusted(self, market_stub, source, caplog):
        market_stub.add_yahoo("EQ", [("2024-01-02", 100.0), ("2024-01-03", 100.0)])
        market_stub.add_yahoo("DIV", [("2024-01-02", 100.0), ("2024-01-03", 100.0)], close=[101.0, 100.0])
        counts = []
        table = source.get(["EQ", "DIV"], "2024-01-01", "2024-01-31", True,
                           lambda k: counts.append(k) or True)
        assert list(table.columns) == ["EQ"] and counts == [1]
        assert not [r for r in caplog.records if r.levelno >= logging.ERROR]
        assert list(source.get(["EQ", "DIV"], "2024-01-01", "2024-01-31").columns) == ["EQ", "DIV"]

    def test_an_error_status_or_several_histories_are_the_symbols_failure(self, market_stub, source):
        market_stub.add_yahoo("GOOD", [("2024-01-02", 1.0), ("2024-01-03", 2.0), ("2024-01-04", 3.0)])
        [(_, good)] = asyncio.run(source.getAsync(["GOOD"], "2024-01-01", "2024-01-31"))
        answer = json.loads(market_stub._yahoo_chart("GOOD", {"period1": "0", "period2": "2000000000"})[1])
        for status in (429, 500):
            market_stub.fix(f"/v8/finance/chart/S{status}", status, answer)
        answer["chart"]["result"] *= 2
        market_stub.fix("/v8/finance/chart/TWICE", 200, answer)
        table = source.get(["S429", "GOOD", "S500", "TWICE"], "2024-01-01", "2024-01-31")
        assert list(table.columns) == ["GOOD"] and len(good) == 3
        assert sorted(source.downloadFailures) == ["S429", "S500", "TWICE"]
        assert "429" in str(source.downloadFailures["S429"])

    def test_rows_fall_on_their_markets_day(self, market_stub, source, zone):
        # Sydney in summer opens at 23:00 UTC of the day before; Frankfurt at 08:00 UTC of the day.
        market_stub.add_yahoo("BHP.AX", [("2024-01-01", 1.0), ("2024-01-02", 2.0)], hour=23, minute=0,
                              timezone_name="Australia/Sydney", gmtoffset=39600, exchange="ASX")
        market_stub.add_yahoo("SAP.DE", [("2024-01-02", 1.0), ("2024-01-03", 2.0)], hour=8, minute=0,
                              timezone_name="Europe/Berlin", gmtoffset=3600, exchange="GER")
        market_stub.add_yahoo("AAPL", [("2024-01-02", 1.0), ("2024-01-03", 2.0)], hour=14, minute=30)
        results = dict(asyncio.run(source.getAsync(["BHP.AX", "SAP.DE", "AAPL"], "2023-12-31", "2024-01-31")))
        days = {symbol: list(series.index.strftime("%Y-%m-%d")) for symbol, series in results.items()}
        assert days == {symbol: ["2024-01-02", "2024-01-03"] for symbol in ["BHP.AX", "SAP.DE", "AAPL"]}

    @pytest.mark.parametrize("zone, offset, early", [
        ("Europe/London", 0, False), ("Nowhere/Atlantis", 0, True), ("../../etc/passwd", 3600, False),
        (None, 0, True), ("Europe/London", 3600, False)])
    def test_rows_fall_on_their_days_in_the_exchanges_zone_whatever_the_offset_at_the_time_of_asking(
            self, market_stub, source, zone, offset, early):
        # Rate series are stamped at London midnight, in summer 23:00 UTC of the day before; the answer's
        # gmtoffset is the one at the time of asking (winter), and counts where no zone is known.
        market_stub.add_yahoo("EUR=X", [("2024-07-01", 1.0), ("2024-07-02", 2.0)], hour=23, minute=0,
                              timezone_name=zone, gmtoffset=offset)
        [(_, series)] = asyncio.run(source.getAsync(["EUR.FOREX"], "2024-06-30", "2024-07-31"))
        assert list(series.index.strftime("%Y-%m-%d")) == (["2024-07-01", "2024-07-02"] if early else [
            "2024-07-02", "2024-07-03"])

    def test_prices_in_a_hundredth_of_a_currency_stay_as_quoted_and_the_currency_names_that_unit(
            self, market_stub, source):
        # As the price cache has always held them; the conversion takes the unit at its hundredth.
        units = {"VOD.L": "GBp", "BARC.IL": "GBX", "NPN.JO": "ZAc", "TEVA.TA": "ILA"}
        for symbol, unit in units.items():
            market_stub.add_yahoo(symbol, [("2024-01-02", 7000.0), ("2024-01-03", 7100.0)], currency=unit,
                                  timezone_name="Europe/London", gmtoffset=0, exchange="LSE")
        results = asyncio.run(source.getAsync(list(units), "2024-01-01", "2024-01-31"))
        assert [list(series) for _, series in results] == [[7000.0, 7100.0]] * 4
        assert asyncio.run(source.getCurrenciesAsync(list(units))) == [
            "GBp.FOREX", "GBX.FOREX", "ZAc.FOREX", "ILA.FOREX"]


class TestDeadline:
    """An answer that trickles passes every read's time-out; the request's deadline ends it."""

    def test_a_trickled_download_and_search_end_at_the_deadline(self, market_stub, source, monkeypatch):
        monkeypatch.setattr(yahoods2, "requestDeadline", 0.3)
        market_stub.add_yahoo("SLOW", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.add_yahoo("FAST", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.yahoo_search["slow"] = [quote("FAST", shortname="Fast")]
        market_stub.trickles = {"/v8/finance/chart/SLOW": 0.02, "/v1/finance/search": 0.02}
        table = source.get(["SLOW", "FAST"], "2024-01-01", "2024-01-31")
        assert list(table.columns) == ["FAST"] and list(source.downloadFailures) == ["SLOW"]
        assert asyncio.run(source.getCurrenciesAsync(["SLOW", "FAST"])) == [None, "USD.FOREX"]
        assert source.queryStocks("slow") is None
        assert "longer than a request may take" in str(source.queryFailure)
        market_stub.trickles = {}
        assert list(source.queryStocks("slow")["Symbol"]) == ["FAST"]

    def test_a_search_whose_status_line_and_headers_trickle_ends_at_the_deadline(self, market_stub, source,
                                                                                  monkeypatch):
        monkeypatch.setattr(yahoods2, "requestDeadline", 0.3)
        market_stub.yahoo_search["slow"] = [quote("FAST", shortname="Fast")]
        market_stub.head_trickles = {"/v1/finance/search": 0.02}  # some 150 bytes: 3 s
        assert source.queryStocks("slow") is None
        assert "longer than a request may take" in str(source.queryFailure)
        assert market_stub.heads_trickled == []  # it did not wait for them


class TestConcurrency:
    """Without a clock, as in test_eodds; the timings are in bench/bench_rawsource.py."""

    def test_all_requests_are_in_flight_at_once(self, market_stub, source):
        symbols = [f"S{i:03}" for i in range(100)]
        for i, symbol in enumerate(symbols):
            market_stub.add_yahoo(symbol, [("2024-01-02", 1.0 + i), ("2024-01-03", 2.0 + i)])
        market_stub.hold_until = 100
        table = source.get(symbols + ["USD.FOREX"], "2024-01-01", "2024-01-31")
        assert list(table.columns) == symbols + ["USD.FOREX"]
        assert list(table.loc["2024-01-03", symbols]) == [2.0 + i for i in range(100)]

    def test_cancel_then_next_download(self, market_stub, source, caplog):
        market_stub.add_yahoo("FAST", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.add_yahoo("SLOW", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.held = {"/v8/finance/chart/SLOW"}
        with pytest.raises(RuntimeError):
            source.get(["SLOW", "FAST"], "2024-01-01", "2024-01-31", progress=lambda k: False)
        assert market_stub.answered == ["/v8/finance/chart/FAST"]
        market_stub.release()
        assert logged(caplog, "Error getting data for %s") == ["SLOW"]
        assert source.asyncClient.is_closed
        assert list(source.get(["SLOW", "FAST"], "2024-01-01", "2024-01-31").columns) == ["SLOW", "FAST"]


def quote(symbol, kind="EQUITY", **names):
    return {"exchange": "NMS", "quoteType": kind, "symbol": symbol, "index": "quotes", "score": 20000.0,
            "typeDisp": kind.title(), "exchDisp": "NASDAQ", "isYahooFinance": True, **names}


class TestSearch:
    def test_search_table_and_currency_lookups(self, market_stub, source):
        market_stub.yahoo_search["sap"] = [
            quote("SAP", shortname="SAP SE", longname="SAP SE long"),
            quote("^SAP", "INDEX", shortname="Index"),
            quote("SAP.DE", longname="SAP SE Xetra"),
            quote("SAP.F", longName="SAP SE Frankfurt"),
            quote("SAPX", "equity", shortname="lower case type"),
            quote("SAP-USD", "CRYPTOCURRENCY"),
            quote("SAPF", "MUTUALFUND", shortname="Fund"),
            quote("SAPE", "ETF", shortname=None),
            quote("SAP", shortname="SAP SE again")]
        market_stub.add_yahoo("SAP", [("2024-01-02", 1.0)], currency="USD")
        market_stub.add_yahoo("SAP.DE", [("2024-01-02", 1.0)], currency="EUR")
        market_stub.add_yahoo("SAP-USD", [("2024-01-02", 1.0)], currency="USD.FOREX")
        table = source.queryStocks("sap")
        assert list(table.columns) == ["Symbol", "Security Name", "Currency"] and table.index.name == "Symbol"
        assert list(table["Symbol"]) == ["SAP", "SAP.DE", "SAP.F", "SAP-USD", "SAPE", "SAP"]
        names = list(table["Security Name"])
        # The long name as the service spells it (longname), or in the other spelling where only that is sent.
        assert names[:4] + names[5:] == ["SAP SE", "SAP SE Xetra", "SAP SE Frankfurt", "SAP-USD",
                                         "SAP SE again"]
        assert pd.isna(names[4])  # a name given as null stays null
        currencies = list(table["Currency"])
        assert currencies[:2] + currencies[3:4] + currencies[5:] == ["USD.FOREX", "EUR.FOREX", "USD.FOREX",
                                                                     "USD.FOREX"]
        assert pd.isna(currencies[2]) and pd.isna(currencies[4])  # unknown to the chart
        search = market_stub.requests[0]
        assert search.raw_path == "/v1/finance/search" and search.query == [("q", "sap")]
        assert search.header("User-Agent") == [AGENT]
        lookups = [r for r in market_stub.requests if r.path.startswith("/v8/")]
        assert all(r.query == [("interval", "1d")] and r.header("User-Agent") == [AGENT] for r in lookups)
        assert sorted(r.path for r in lookups) == sorted(
            "/v8/finance/chart/" + s for s in ["SAP", "SAP.DE", "SAP.F", "SAP-USD", "SAPE", "SAP"])

    def test_no_matches_is_an_empty_table(self, market_stub, source):
        market_stub.yahoo_search["nothing"] = [quote("^X", "INDEX"), quote("X=F", "FUTURE")]
        table = source.queryStocks("nothing")
        assert table is not None and len(table) == 0
        assert list(table.columns) == ["Symbol", "Security Name", "Currency"]

    @pytest.mark.parametrize("status, body", [
        (500, "<html/>"), (200, {"finance": {"error": {"code": "Bad Request"}}}), (200, {"quotes": 5})])
    def test_failed_search(self, market_stub, source, caplog, status, body):
        market_stub.fix("/v1/finance/search", status, body)
        assert source.queryStocks("x") is None
        assert [r.msg for r in caplog.records if r.levelno == logging.ERROR] == ["Querying for symbol"]


ODD_VALUES = [None, 7, True, math.nan, 1.5, "\ud800", "", {"a": 1}, ["x"]]
odd = st.one_of(st.sampled_from(ODD_VALUES), st.text(max_size=4), st.lists(st.integers(), max_size=2))


class TestSavableResults:
    """What the search shows can be added to a selection, and the selection saved."""

    def search(self, market_stub, source, quotes):
        market_stub.yahoo_search["odd"] = quotes
        table = source.queryStocks("odd")
        assert table is not None
        utils.selectionStocks(table.to_dict(orient="records"))  # the save's check
        return table

    def test_results_without_a_text_symbol_are_left_out(self, market_stub, source):
        # Results of no kind, or no record at all (a private company's comes without a symbol), too.
        quotes = ["ODD", None, 7, {"symbol": "ODD"}, {"quoteType": "EQUITY", "shortname": "No symbol"}]
        quotes += [quote(value, shortname="odd symbol") for value in ODD_VALUES]
        quotes += [quote("OK1", shortname={"a": 1}), quote("OK2", longname=["x"]), quote("OK3", shortname=7),
                   quote("OK4", shortname="\ud800"), quote("OK5", shortname=None), quote("OK6", shortname="Six")]
        table = self.search(market_stub, source, quotes)
        assert list(table["Symbol"]) == ["OK1", "OK2", "OK3", "OK4", "OK5", "OK6"]
        names = list(table["Security Name"])
        assert names[:4] + names[5:] == ["OK1", "OK2", "OK3", "OK4", "Six"] and pd.isna(names[4])

    @settings(max_examples=20, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(quotes=st.lists(st.fixed_dictionaries({"quoteType": st.just("EQUITY"), "symbol": odd},
                                                 optional={"shortname": odd, "longname": odd}), max_size=4))
    def test_every_result_passes_the_saves_check(self, market_stub, source, quotes):
        table = self.search(market_stub, source, quotes)
        assert all(isinstance(symbol, str) and symbol for symbol in table["Symbol"])


class TestCurrencies:
    def test_batch_order_cache_and_failures(self, market_stub, source, caplog):
        market_stub.add_yahoo("SLOWEUR", [("2024-01-02", 1.0)], currency="EUR")
        market_stub.add_yahoo("GBX", [("2024-01-02", 1.0)], currency="GBp")
        market_stub.delays = {"/v8/finance/chart/SLOWEUR": 300}
        assert asyncio.run(source.getCurrenciesAsync([])) == []
        answers = asyncio.run(source.getCurrenciesAsync(["SLOWEUR", "NOPE", "GBX"]))
        assert answers == ["EUR.FOREX", None, "GBp.FOREX"]
        assert source.currencies == {"SLOWEUR": "EUR.FOREX", "GBX": "GBp.FOREX"}
        assert logged(caplog, "Error getting currency for %s") == ["NOPE"]
        before = len(market_stub.requests)
        assert asyncio.run(source.getCurrenciesAsync(["GBX", "NOPE"])) == ["GBp.FOREX", None]
        assert [r.path for r in market_stub.requests[before:]] == ["/v8/finance/chart/NOPE"]
        assert source.asyncClient.is_closed

    def test_a_text_that_is_no_currency_code_is_the_symbols_failure(self, market_stub, source, caplog):
        named = {"EMPTY": "", "LOWER": "eur", "LONG": "EURO", "NUMBER": 7, "FOREX": ".FOREX", "OK": "CHF"}
        for symbol, currency in named.items():
            market_stub.add_yahoo(symbol, [("2024-01-02", 1.0)], currency=currency)
        answer = json.loads(market_stub._yahoo_chart("OK", {})[1])
        market_stub.fix("/v8/finance/chart/LIMITED", 429, answer)
        symbols = list(named) + ["LIMITED"]
        assert asyncio.run(source.getCurrenciesAsync(symbols)) == [None] * 5 + ["CHF.FOREX", None]
        assert source.currencies == {"OK": "CHF.FOREX"}
        assert sorted(logged(caplog, "Error getting currency for %s")) == sorted(set(symbols) - {"OK"})

    def test_failed_batch_closes_its_client(self, market_stub, source):
        with pytest.raises(TypeError):
            asyncio.run(source.getCurrenciesAsync(None))
        assert source.asyncClient.is_closed

    def test_search_fails_with_its_batch(self, market_stub, caplog):
        class Broken(yahoods2.YahooDataSource):
            async def getCurrenciesAsync(self, symbols):
                raise RuntimeError("no batch")

        market_stub.yahoo_search["sap"] = [quote("SAP", shortname="SAP SE")]
        assert Broken("").queryStocks("sap") is None
        [failure] = [r for r in caplog.records if r.levelno == logging.ERROR]
        assert failure.msg == "Querying for symbol" and "no batch" in caplog.text

    def test_single_lookup(self, market_stub, source, caplog):
        market_stub.add_yahoo("SAP.DE", [("2024-01-02", 1.0)], currency="EUR")
        assert source.getCurrency("SAP.DE") == "EUR"
        assert source.currencies == {}
        with pytest.raises(TypeError):
            source.getCurrency("NOPE")
        assert [r.msg for r in caplog.records if r.levelno == logging.ERROR] == ["Querying for symbol"]
