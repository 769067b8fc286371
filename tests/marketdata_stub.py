"""A local stand-in for the two market-data services (EOD Historical Data, Yahoo Finance chart and search).

It answers the way the real services do (CSV price histories and JSON searches of EOD, chart JSON with
null gaps and Unix-second timestamps, search JSON and error bodies of Yahoo), records every request, and
can misbehave on demand: fixed answers for a path, a delay before every answer, a body or a status line
and headers trickled a byte at a time, no answer at all until a number of requests have arrived, or none for some paths until the
test releases them.
"""
import csv
import io
import json
import threading
import time
from datetime import datetime, timezone
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import parse_qsl, unquote, urlsplit

PRICES = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "stock_prices.csv"

# Yahoo's answer for a symbol it does not know.
YAHOO_UNKNOWN = {"chart": {"result": None, "error": {"code": "Not Found",
                                                    "description": "No data found, symbol may be delisted"}}}


def real_prices(column, first, last):
    """(date text, adjusted close) of one stock of the shared price file between two dates, gaps left out."""
    rows = []
    with open(PRICES, newline="") as handle:
        for row in csv.DictReader(handle):
            if first <= row["date"] <= last and row[column]:
                rows.append((row["date"], float(row[column])))
    return rows


class Recorded:
    """One request as it arrived: the raw path, the query parameters in order, the headers."""

    def __init__(self, method, target, headers):
        parts = urlsplit(target)
        self.method = method
        self.raw_path = parts.path
        self.path = unquote(parts.path)
        self.query = parse_qsl(parts.query, keep_blank_values=True)
        self.headers = list(headers.items())

    def header(self, name):
        return [value for key, value in self.headers if key.lower() == name.lower()]

    def __repr__(self):
        return f"<{self.method} {self.raw_path} {self.query}>"


class MarketDataStub:
    """Both services on one local port; `url` is the base address to hand to a source."""

    def __init__(self):
        self.lock = threading.Condition()
        self.reset()
        stub = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                stub._serve(self)

            def log_message(self, *args):
                pass

        class Server(ThreadingHTTPServer):
            daemon_threads = True
            request_queue_size = 1024  # a download opens one connection per symbol at once

        self.server = Server(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def reset(self):
        with self.lock:
            self.requests = []
            self.arrived = 0
            self.delay_ms = 0
            self.delays = {}
            self.trickles = {}  # path → seconds between the bytes of its body
            self.head_trickles = {}  # path → seconds between the bytes of its status line and headers
            self.heads_trickled = []  # the paths whose trickled status line and headers are out
            self.hold_until = 0
            self.held = set()
            self.answered = []
            self.fixed = {}
            self.eod_key = None
            self.eod_prices = {}
            self.eod_search = {}
            self.yahoo_charts = {}
            self.yahoo_search = {}
            self.lock.notify_all()

    def release(self):
        """Lets the requests for held paths be answered."""
        with self.lock:
            self.held = set()
            self.lock.notify_all()

    def close(self):
        self.reset()
        self.server.shutdown()
        self.server.server_close()

    # ---- what the services know ----

    def fix(self, path, status, body, content_type="text/plain"):
        """Answer every request for `path` (decoded) with this status and body."""
        if not isinstance(body, (bytes, str)):
            body, content_type = json.dumps(body), "application/json"
        self.fixed[path] = (status, body.encode() if isinstance(body, str) else body, content_type)

    def add_eod(self, symbol, rows, close_factor=1.0):
        """rows: (date text, adjusted close); Close = adjusted close × close_factor (a single factor or
        one per row)."""
        factors = close_factor if isinstance(close_factor, list) else [close_factor] * len(rows)
        self.eod_prices[symbol] = [(day, adjusted * factor, adjusted)
                                   for (day, adjusted), factor in zip(rows, factors)]

    def add_yahoo(self, symbol, rows, currency="USD", close=None, hour=14, minute=30,
                  timezone_name="America/New_York", gmtoffset=-18000, exchange="NMS"):
        """rows: (date text, adjusted close or None); timestamps fall at hour:minute UTC of each day."""
        stamps = [int(datetime.strptime(day, "%Y-%m-%d").replace(hour=hour, minute=minute,
                                                                     tzinfo=timezone.utc).timestamp())
                  for day, _ in rows]
        adjusted = [value for _, value in rows]
        self.yahoo_charts[symbol] = {
            "timestamp": stamps, "adjclose": adjusted,
            "close": close if close is not None else list(adjusted),
            "currency": currency, "timezone": timezone_name, "gmtoffset": gmtoffset, "exchange": exchange}

    # ---- serving ----

    def _serve(self, handler):
        record = Recorded(handler.command, handler.path, handler.headers)
        with self.lock:
            self.requests.append(record)
            # A request an earlier test left in flight is answered into that test's record.
            answered = self.answered
            self.arrived += 1
            self.lock.notify_all()
            deadline = time.monotonic() + 10
            while ((self.arrived < self.hold_until or record.path in self.held)
                   and time.monotonic() < deadline):
                self.lock.wait(deadline - time.monotonic())
            delay = self.delays.get(record.path, self.delay_ms)
            trickle = self.trickles.get(record.path)
            head_trickle = self.head_trickles.get(record.path)
        if delay:
            time.sleep(delay / 1000)
        status, body, content_type = self._answer(record)
        # Recorded before the body goes out: a client that stops at this answer may look at the
        # record before this thread would run again.
        with self.lock:
            answered.append(record.path)
        try:
            handler.send_response(status)
            handler.send_header("Content-Type", content_type)
            handler.send_header("Content-Length", str(len(body)))
            if head_trickle is None:
                handler.end_headers()
            else:
                head = b"".join(handler._headers_buffer) + b"\r\n"
                handler._headers_buffer = []
                for index in range(len(head)):
                    handler.wfile.write(head[index:index + 1])
                    handler.wfile.flush()
                    time.sleep(head_trickle)
                with self.lock:
                    self.heads_trickled.append(record.path)
            if trickle is None:
                handler.wfile.write(body)
            for index in range(len(body) if trickle is not None else 0):
                handler.wfile.write(body[index:index + 1])
                handler.wfile.flush()
                time.sleep(trickle)
        except OSError:  # the client gave up on this request (an aborted download)
            with self.lock:
                answered.remove(record.path)

    def _answer(self, record):
        if record.path in self.fixed:
            return self.fixed[record.path]
        query = dict(record.query)
        if record.path.startswith("/api/"):
            if self.eod_key is not None and query.get("api_token") != self.eod_key:
                return 401, b"Unauthenticated", "text/plain"
            if record.path.startswith("/api/eod/"):
                return self._eod_prices(record.path[len("/api/eod/"):], query)
            if record.path.startswith("/api/search/"):
                found = self.eod_search.get(record.path[len("/api/search/"):], [])
                return 200, json.dumps(found).encode(), "application/json"
        if record.path.startswith("/v8/finance/chart/"):
            return self._yahoo_chart(record.path[len("/v8/finance/chart/"):], query)
        if record.path == "/v1/finance/search":
            quotes = self.yahoo_search.get(query.get("q", ""), [])
            body = {"explains": [], "count": len(quotes), "quotes": quotes, "news": [], "nav": [],
                    "lists": [],
                    "researchReports": [], "screenerFieldResults": [], "totalTime": 21,
                    "timeTakenForQuotes": 418, "timeTakenForNews": 0, "timeTakenForAlgowatchlist": 400,
                    "timeTakenForPredefinedScreener": 400, "timeTakenForCrunchbaseCompanies": 0,
                    "timeTakenForNav": 400, "timeTakenForResearchReports": 0,
                    "timeTakenForScreenerField": 0, "timeTakenForCulturalAssets": 0}
            return 200, json.dumps(body).encode(), "application/json"
        return 404, b"<html><body><h1>404 Not Found</h1></body></html>", "text/html"

    def _eod_prices(self, symbol, query):
        if symbol not in self.eod_prices:
            return 404, b"Ticker Not Found.", "text/plain"
        first, last = query.get("from", "0000-00-00"), query.get("to", "9999-99-99")
        out = io.StringIO()
        out.write("Date,Open,High,Low,Close,Adjusted_close,Volume\n")
        for day, close, adjusted in self.eod_prices[symbol]:
            if first <= day <= last:
                out.write(f"{day},{close:.4f},{close * 1.01:.4f},{close * 0.99:.4f},{close:.4f},"
                          f"{adjusted:.4f},{1000000}\n")
        return 200, out.getvalue().encode(), "text/csv"

    def _yahoo_chart(self, symbol, query):
        chart = self.yahoo_charts.get(symbol)
        if chart is None:
            return 404, json.dumps(YAHOO_UNKNOWN).encode(), "application/json"
        if "period1" in query:
            low, high = int(query["period1"]), int(query["period2"])
            keep = [i for i, stamp in enumerate(chart["timestamp"]) if low <= stamp < high]
        else:
            keep = list(range(len(chart["timestamp"])))[-1:]  # no period: the latest day
        pick = lambda values: [values[i] for i in keep]
        closes = pick(chart["close"])
        meta = {"currency": chart["currency"], "symbol": symbol, "exchangeName": chart["exchange"],
                "fullExchangeName": chart["exchange"], "instrumentType": "EQUITY",
                "firstTradeDate": 345479400,
                "regularMarketTime": chart["timestamp"][-1] if chart["timestamp"] else 0,
                "hasPrePostMarketData": True, "gmtoffset": chart["gmtoffset"], "timezone": "EST",
                "exchangeTimezoneName": chart["timezone"],
                "regularMarketPrice": closes[-1] if closes else None,
                "priceHint": 2, "dataGranularity": "1d", "range": "",
                "validRanges": ["1d", "5d", "1mo", "3mo", "6mo", "1y", "2y", "5y", "10y", "ytd", "max"]}
        if not keep:  # a period without trading days: no timestamps, empty indicators
            result = {"meta": meta, "indicators": {"quote": [{}], "adjclose": [{}]}}
        else:
            spread = lambda factor: [None if value is None else round(value * factor, 4) for value in closes]
            quote = {"open": spread(0.995), "high": spread(1.01), "low": spread(0.99), "close": closes,
                     "volume": [None if c is None else 1000000 for c in closes]}
            result = {"meta": meta, "timestamp": pick(chart["timestamp"]),
                      "indicators": {"quote": [quote], "adjclose": [{"adjclose": pick(chart["adjclose"])}]}}
        return 200, json.dumps({"chart": {"result": [result], "error": None}}).encode(), "application/json"

