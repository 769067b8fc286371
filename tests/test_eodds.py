"""EodDataSource against the local market-data stub: requests, price tables, search, failures, concurrency."""
import asyncio
import datetime
import logging
import math

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import eodds
import utils
from marketdata_stub import real_prices

KEY = "k3y-0f-the-user"


@pytest.fixture
def source(market_stub):
    source = eodds.EodDataSource(KEY)
    yield source
    source.client.close()  # the program never closes it; the tests do, to leave no socket behind


def errors(caplog, message):
    return [r.args[0] if isinstance(r.args, tuple) and r.args else None for r in caplog.records
            if r.name == "eodds" and r.levelno == logging.ERROR and r.msg == message]


class TestRequests:
    def test_price_request_path_parameters_and_key(self, market_stub, source):
        source.get(["AAPL.US"], "2024-01-02", "2024-01-31")
        [request] = market_stub.requests
        assert request.method == "GET"
        assert request.raw_path == "/api/eod/AAPL.US"
        assert request.query == [("api_token", KEY), ("from", "2024-01-02"), ("to", "2024-01-31")]
        assert not request.header("Authorization")

    def test_keyword_defaults_and_empty_key(self, market_stub):
        source = eodds.EodDataSource("")
        assert source.apiKey == ""
        source.get(["X.US"], startDate="2024-01-02", endDate="2024-01-05")
        assert market_stub.requests[0].query[0] == ("api_token", "")

    def test_search_request(self, market_stub, source):
        source.queryStocks("deutsche bank")
        source.queryStocks("café crème")
        paths = [r.raw_path for r in market_stub.requests]
        assert paths == ["/api/search/deutsche%20bank", "/api/search/caf%C3%A9%20cr%C3%A8me"]
        assert market_stub.requests[0].query == [("api_token", KEY), ("type", "stock"), ("limit", "50")]

    def test_search_text_and_symbol_cannot_leave_their_path(self, market_stub, source):
        texts = ["a/b", "../eod/AAPL.US", "x?fmt=json#frag", "..", "."]
        for text in texts:
            source.queryStocks(text)
        escaped = ["a%2Fb", "..%2Feod%2FAAPL.US", "x%3Ffmt%3Djson%23frag", "%2E%2E", "%2E"]
        assert [r.raw_path for r in market_stub.requests] == [f"/api/search/{each}" for each in escaped]
        assert all(r.query == [("api_token", KEY), ("type", "stock"), ("limit", "50")]
                   for r in market_stub.requests)

        # A symbol, as a received selection file may hold it, is one segment of the price path.
        market_stub.requests.clear()
        source.get(texts, "2024-01-02", "2024-01-05")
        paths = sorted(r.raw_path for r in market_stub.requests)
        assert paths == sorted(f"/api/eod/{each}" for each in escaped)
        assert all(r.query[0] == ("api_token", KEY) and len(r.query) == 3 for r in market_stub.requests)

    def test_constructor_and_class(self, market_stub):
        eodds.EodDataSource(KEY)
        assert market_stub.requests == []
        with pytest.raises(TypeError):
            eodds.EodDataSource()
        assert eodds.EodDataSource.baseUrl.startswith("https://")
        assert eodds.logger.name == "eodds"


class TestPrices:
    def test_real_prices_joined_in_order_without_first_date(self, market_stub, source):
        aapl = real_prices("AAPL", "2018-01-02", "2018-01-31")
        xom = real_prices("XOM", "2018-01-02", "2018-01-31")
        market_stub.add_eod("XOM.US", xom)
        market_stub.add_eod("AAPL.US", aapl)
        table = source.get(["XOM.US", "AAPL.US"], "2018-01-02", "2018-01-31")
        assert list(table.columns) == ["XOM.US", "AAPL.US"]
        assert table.index.name == "Date"
        assert table.index[0] == pd.Timestamp("2018-01-03")
        assert len(table) == len(aapl) - 1
        assert table.loc["2018-01-31", "AAPL.US"] == pytest.approx(round(aapl[-1][1], 4))
        assert table.loc["2018-01-03", "XOM.US"] == pytest.approx(round(xom[1][1], 4))
        assert all(dtype == "float64" for dtype in table.dtypes)

    def test_different_trading_days_give_nan(self, market_stub, source):
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0), ("2024-01-05", 3.0)])
        market_stub.add_eod("B.XETRA", [("2024-01-02", 10.0), ("2024-01-04", 11.0), ("2024-01-05", 12.0)])
        table = source.get(["A.US", "B.XETRA"], "2024-01-01", "2024-01-31")
        assert list(table.index.strftime("%Y-%m-%d")) == ["2024-01-03", "2024-01-04", "2024-01-05"]
        assert math.isnan(table.loc["2024-01-04", "A.US"]) and math.isnan(table.loc["2024-01-03", "B.XETRA"])

    def test_unknown_symbol_and_progress(self, market_stub, source, caplog):
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.add_eod("C.US", [("2024-01-02", 5.0), ("2024-01-03", 6.0)])
        counts = []
        table = source.get(["A.US", "NOPE.US", "C.US"], "2024-01-01", "2024-01-31",
                           progress=lambda k: counts.append(k) or True)
        assert list(table.columns) == ["A.US", "C.US"]
        assert sorted(counts) == [1, 2, 3] and counts == sorted(counts)
        assert source.progressValue == 3
        assert errors(caplog, "Error getting data for %s") == ["NOPE.US"]
        failure = [r for r in caplog.records if r.msg == "Error getting data for %s"][0]
        assert failure.exc_info is not None
        assert source.downloadFailures == {}  # a symbol the service does not know has no prices

    @pytest.mark.parametrize("status, body", [
        (500, "<html><body>Internal Server Error</body></html>"),
        (200, "Date,Open,Close\n2024-01-02,1,1\n"),          # no Adjusted_close
        (200, "Date,Adjusted_close\nyesterday,abc\n"),          # unreadable values
        (401, '{"message":"Unauthenticated"}'),
    ])
    def test_failed_answers_stay_with_their_symbol(self, market_stub, source, caplog, status, body):
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0), ("2024-01-04", 3.0)])
        market_stub.fix("/api/eod/BAD.US", status, body)
        table = source.get(["BAD.US", "A.US"], "2024-01-01", "2024-01-31")
        assert list(table.columns) == ["A.US"] and list(table["A.US"]) == [2.0, 3.0]
        assert errors(caplog, "Error getting data for %s") == ["BAD.US"]
        assert list(source.downloadFailures) == ["BAD.US"]  # no word on the symbol's prices

    def test_remove_adjusted(self, market_stub, source, caplog):
        market_stub.add_eod("EQ.US", [("2024-01-02", 100.0), ("2024-01-03", 100.0)])
        market_stub.add_eod("DIV.US", [("2024-01-02", 100.0), ("2024-01-03", 100.0)],
                            close_factor=[1.01, 1.0])
        counts = []
        table = source.get(["EQ.US", "DIV.US"], "2024-01-01", "2024-01-31", True,
                           lambda k: counts.append(k) or True)
        assert list(table.columns) == ["EQ.US"]
        assert counts == [1]
        assert not [r for r in caplog.records if r.levelno >= logging.ERROR]
        # Without the rule no ratio is needed: an answer without Close still delivers.
        market_stub.fix("/api/eod/NOCLOSE.US", 200, "Date,Adjusted_close\n2024-01-02,1.5\n2024-01-03,1.6\n")
        table = source.get(["NOCLOSE.US", "DIV.US"], "2024-01-01", "2024-01-31")
        assert list(table.columns) == ["NOCLOSE.US", "DIV.US"]

    def test_edge_results(self, market_stub, source):
        counts = []
        table = source.get([], "2024-01-01", "2024-01-31", progress=lambda k: counts.append(k) or True)
        assert table.empty and len(table.columns) == 0 and counts == [] and market_stub.requests == []
        market_stub.add_eod("ONE.US", [("2024-01-02", 1.0)])
        single = source.get(["ONE.US"], "2024-01-01", "2024-01-31")
        assert list(single.columns) == ["ONE.US"] and len(single) == 0
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        twice = source.get(["A.US", "ONE.US", "A.US"], "2024-01-01", "2024-01-31")
        assert list(twice.columns) == ["A.US", "ONE.US"]
        assert source.get(["NOPE.US"], "2024-01-01", "2024-01-31").empty
        assert source.progressValue == 0 and source.progress is None

    # A year before 1000 leaves pandas no format to infer: it reads each date alone, and says so.
    @pytest.mark.filterwarnings("ignore:Could not infer format")
    @settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(stray=st.lists(st.dates(max_value=datetime.date(2023, 12, 31)), min_size=1, max_size=3))
    def test_stray_early_rows_of_one_symbol_leave_the_others_prices(self, market_stub, source, stray):
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0), ("2024-01-04", 3.0)])
        days = "".join(f"{day.isoformat()},9\n" for day in stray)
        market_stub.fix("/api/eod/ODD.US", 200, f"Date,Adjusted_close\n{days}2024-01-03,5\n2024-01-04,6\n")
        table = source.get(["ODD.US", "A.US"], "2024-01-01", "2024-01-31")
        assert list(table["A.US"].dropna()) == [2.0, 3.0] and list(table["ODD.US"].dropna())[-2:] == [5.0, 6.0]

    def test_an_answer_whose_dates_make_a_single_day_is_a_failure(self, market_stub, source, caplog):
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0), ("2024-01-04", 3.0)])
        # Unix seconds, which the reader takes for nanoseconds of the first day of 1970.
        market_stub.fix("/api/eod/EPOCH.US", 200, "Date,Adjusted_close\n1704153600,5\n1704240000,6\n")
        table = source.get(["EPOCH.US", "A.US"], "2024-01-01", "2024-01-31")
        assert list(table.columns) == ["A.US"] and list(table["A.US"]) == [2.0, 3.0]
        assert errors(caplog, "Error getting data for %s") == ["EPOCH.US"]
        assert list(source.downloadFailures) == ["EPOCH.US"]

    def test_get_async_is_a_coroutine_with_results_in_order(self, market_stub, source):
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        results = asyncio.run(source.getAsync(["NOPE.US", "A.US"], "2024-01-01", "2024-01-31"))
        assert results[0] is None and results[1][0] == "A.US"
        assert list(results[1][1]) == [1.0, 2.0] and results[1][1].index.name == "Date"
        assert source.asyncClient.is_closed

    def test_dates_do_not_depend_on_the_time_zone(self, market_stub, source, zone):
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0), ("2024-01-04", 3.0)])
        table = source.get(["A.US"], "2024-01-02", "2024-01-04")
        assert market_stub.requests[0].query[1:] == [("from", "2024-01-02"), ("to", "2024-01-04")]
        assert list(table.index) == [pd.Timestamp("2024-01-03"), pd.Timestamp("2024-01-04")]

    def test_wrong_key_fails_every_symbol_and_the_search(self, market_stub, source, caplog):
        market_stub.eod_key = "the-right-key"
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.eod_search["a"] = [{"Code": "A", "Exchange": "US", "Name": "A", "Currency": "USD"}]
        assert source.get(["A.US", "B.US"], "2024-01-01", "2024-01-31").empty
        assert source.queryStocks("a") is None
        assert sorted(errors(caplog, "Error getting data for %s")) == ["A.US", "B.US"]
        assert [r.msg for r in caplog.records if r.levelno == logging.ERROR][-1] == "Querying for symbol"

    def test_overridden_per_symbol_request_is_used(self, market_stub):
        class Traced(eodds.EodDataSource):
            seen = []

            async def getAsyncUrl(self, parms):
                self.seen.append(parms)
                return await eodds.EodDataSource.getAsyncUrl(self, parms)

        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        table = Traced(KEY).get(["A.US"], "2024-01-01", "2024-01-31", True)
        assert Traced.seen == [("A.US", "2024-01-01", "2024-01-31", True)]
        assert list(table.columns) == ["A.US"]


class TestConcurrency:
    """Without a clock: the stub answers nothing until every request has arrived, or holds the slow
    symbols until the test releases them. The timings are in bench/bench_rawsource.py."""

    def test_all_requests_are_in_flight_at_once(self, market_stub, source):
        symbols = [f"S{i:03}.US" for i in range(100)]
        for i, symbol in enumerate(symbols):
            market_stub.add_eod(symbol, [("2024-01-02", 1.0 + i), ("2024-01-03", 2.0 + i)])
        market_stub.hold_until = 100
        table = source.get(symbols, "2024-01-01", "2024-01-31")
        assert list(table.columns) == symbols and list(table.iloc[0]) == [2.0 + i for i in range(100)]

    def test_cancel_aborts_without_waiting_and_source_stays_usable(self, market_stub, source, caplog):
        symbols = ["FAST.US", "SLOW1.US", "SLOW2.US"]
        for symbol in symbols:
            market_stub.add_eod(symbol, [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.held = {"/api/eod/SLOW1.US", "/api/eod/SLOW2.US"}
        answers = []
        with pytest.raises(RuntimeError):
            source.get(symbols, "2024-01-01", "2024-01-31", progress=lambda k: answers.append(k) and False)
        # The slow ones were never answered: the abort did not wait for them.
        assert market_stub.answered == ["/api/eod/FAST.US"]
        market_stub.release()
        # The symbols still in flight are cancelled and counted like failed ones.
        assert answers == [1, 2, 3]
        assert sorted(errors(caplog, "Error getting data for %s")) == ["SLOW1.US", "SLOW2.US"]
        assert source.asyncClient.is_closed
        # The next download of the same object works.
        table = source.get(symbols, "2024-01-01", "2024-01-31")
        assert list(table.columns) == symbols

    def test_cancel_with_many_requests_in_flight(self, market_stub, source, caplog):
        symbols = [f"S{i:03}.US" for i in range(100)]
        for symbol in symbols + ["FAST.US"]:
            market_stub.add_eod(symbol, [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.held = {f"/api/eod/{symbol}" for symbol in symbols}
        answers = []
        with pytest.raises(RuntimeError):
            source.get(["FAST.US"] + symbols, "2024-01-01", "2024-01-31",
                       progress=lambda k: answers.append(k) and False)
        assert market_stub.answered == ["/api/eod/FAST.US"]
        market_stub.release()
        # Every symbol is counted once, also while the callback keeps answering false.
        assert answers == list(range(1, 102))
        assert sorted(errors(caplog, "Error getting data for %s")) == symbols
        assert source.asyncClient.is_closed
        assert not [r for r in caplog.records if r.name == "asyncio"]

    def test_false_answer_for_the_last_symbol_still_aborts(self, market_stub, source):
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.add_eod("B.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        with pytest.raises(RuntimeError):
            source.get(["A.US", "B.US"], "2024-01-01", "2024-01-31", progress=lambda k: k < 2)


class TestSearch:
    def test_search_table(self, market_stub, source):
        market_stub.eod_search["sap"] = [
            {"Code": "SAP", "Exchange": "XETRA", "Name": "SAP SE", "Type": "Common Stock",
             "Country": "Germany", "Currency": "EUR", "ISIN": "DE0007164600", "previousClose": 180.5,
             "previousCloseDate": "2024-05-31"},
            {"Code": "SAP", "Exchange": "US", "Name": "SAP SE ADR", "Type": "Common Stock", "Country": "USA",
             "Currency": "USD", "ISIN": "US8030542042", "previousClose": 190.1,
             "previousCloseDate": "2024-05-31"}]
        table = source.queryStocks("sap")
        assert list(table.columns) == ["Symbol", "Security Name", "Currency"]
        assert list(table.index) == ["SAP.XETRA", "SAP.US"] and table.index.name == "Symbol"
        assert table.loc["SAP.XETRA"].tolist() == ["SAP.XETRA", "SAP SE", "EUR.FOREX"]
        assert table.loc["SAP.US", "Currency"] == "USD.FOREX"
        # A search without a match, after a failed one, empties the results and is no failure.
        market_stub.fix("/api/search/x", 500, "broken")
        source.queryStocks("x")
        market_stub.fix("/api/search/x", 200, [])
        table = source.queryStocks("x")
        assert table.empty and list(table.columns) == ["Symbol", "Security Name", "Currency"]
        assert table.index.name == "Symbol" and source.queryFailure is None

    @pytest.mark.parametrize("status, body, failure", [
        (401, "Unauthenticated", "HTTP 401 Unauthorized"),
        (200, {"error": "wrong"}, "the search answer is no list of records"),
        (500, "<html/>", "HTTP 500 Internal Server Error")])
    def test_failed_search_yields_none(self, market_stub, source, caplog, status, body, failure):
        market_stub.fix("/api/search/x", status, body)
        assert source.queryStocks("x") is None
        assert [r.msg for r in caplog.records if r.levelno == logging.ERROR] == ["Querying for symbol"]
        assert caplog.records[-1].exc_info is not None and str(source.queryFailure) == failure


ODD_VALUES = [None, 7, True, math.nan, 1.5, "\ud800", "", {"a": 1}, ["x"]]
odd = st.one_of(st.sampled_from(ODD_VALUES), st.text(max_size=4), st.lists(st.integers(), max_size=2))


class TestSavableResults:
    """What the search shows can be added to a selection, and the selection saved, as with Yahoo's."""

    def search(self, market_stub, source, records):
        market_stub.fix("/api/search/odd", 200, records)
        table = source.queryStocks("odd")
        assert table is not None and list(table.columns) == ["Symbol", "Security Name", "Currency"]
        utils.selectionStocks(table.to_dict(orient="records"))  # the save's check
        return table

    def test_results_without_a_text_code_or_exchange_are_left_out_and_odd_names_are_the_symbol(
            self, market_stub, source):
        records = [{"Code": value, "Exchange": "US", "Name": "odd code"} for value in ODD_VALUES]
        records += [{"Code": "X", "Exchange": value, "Name": "odd exchange"} for value in ODD_VALUES]
        records += [{"Code": "X"}, "no record", 7]
        records += [{"Code": f"OK{i}", "Exchange": "LSE", "Name": name, "Currency": currency}
                    for i, (name, currency) in enumerate([({"en": "Vodafone"}, "GBX"), (["x"], 7), ("\ud800", ""),
                                                          (7, None), (None, "\ud800"), ("Six", "EUR")])]
        table = self.search(market_stub, source, records)
        assert list(table["Symbol"]) == [f"OK{i}.LSE" for i in range(6)]
        names = list(table["Security Name"])
        assert names[:4] + names[5:] == ["OK0.LSE", "OK1.LSE", "OK2.LSE", "OK3.LSE", "Six"] and pd.isna(names[4])
        currencies = [currency if isinstance(currency, str) else None for currency in table["Currency"]]
        assert currencies == ["GBX.FOREX", None, None, None, None, "EUR.FOREX"]

    @settings(max_examples=20, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(records=st.lists(st.fixed_dictionaries(
        {"Code": odd, "Exchange": odd}, optional={"Name": odd, "Currency": odd}), max_size=4))
    def test_every_result_passes_the_saves_check(self, market_stub, source, records):
        table = self.search(market_stub, source, records)
        assert all(isinstance(symbol, str) and symbol for symbol in table["Symbol"])


class TestKeyNeverLogged:
    def test_no_log_line_holds_the_key(self, market_stub, source, caplog):
        caplog.set_level(logging.DEBUG)
        for name in ["httpx", "httpcore", "httpcore.http11", "httpcore.connection", "hpack", "eodds"]:
            caplog.set_level(logging.DEBUG, logger=name)
        market_stub.add_eod("A.US", [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
        market_stub.fix("/api/eod/BAD.US", 500, "oops")
        market_stub.eod_search["apple"] = [{"Code": "AAPL", "Exchange": "US", "Name": "Apple",
                                            "Currency": "USD"}]
        source.get(["A.US", "BAD.US", "NOPE.US"], "2024-01-01", "2024-01-31")
        source.queryStocks("apple")
        source.queryStocks("")
        handler = logging.StreamHandler()
        handler.setFormatter(logging.Formatter("%(name)s %(message)s"))
        formatted = "\n".join(handler.format(r) for r in caplog.records)
        assert any(r.name == "httpx" and "api_token=***" in r.getMessage() for r in caplog.records)
        assert any(r.name == "eodds" and "url=" in r.getMessage() for r in caplog.records)
        assert KEY not in caplog.text and KEY not in formatted

    def test_http2_header_logs_hide_the_key(self, caplog):
        caplog.set_level(logging.DEBUG)
        log = logging.getLogger("hpack.hpack")
        log.debug("Adding %s=%s to the header table, sensitive:%s, huffman:%s", b":path",
                  f"/api/eod/A.US?api_token={KEY}&from=2024-01-01".encode(), False, True)
        log.debug("Encoded header block to %s", b"\x82\x86\x84")
        assert [r.getMessage() for r in caplog.records] == [
            "Adding b':path'=b'/api/eod/A.US?api_token=***&from=2024-01-01' to the header table, "
            "sensitive:False, huffman:True"]

    def test_failures_with_the_address_in_the_error_hide_the_key(self, market_stub, caplog, monkeypatch):
        # A base address nothing listens on: the transport errors name the request.
        monkeypatch.setenv("VELMORA_EOD_URL", "http://127.0.0.1:9")
        caplog.set_level(logging.DEBUG)
        source = eodds.EodDataSource(KEY)
        assert source.get(["A.US"], "2024-01-01", "2024-01-31").empty
        assert source.queryStocks("a") is None
        assert KEY not in caplog.text and KEY not in str(source.queryFailure)
