"""Timings of the raw sources' concurrent download against the local market-data stub, run inside
the program's interpreter:

    tools/with-display build/velmora-tests -p no:cacheprovider -q -s bench/bench_rawsource.py

1. 100 symbols whose every answer comes 300 ms late, alternated with the same download without the
   delay: the delay adds about one delay to the download, not 100;
2. an abort by the progress callback while slow answers (3 s each) are still in flight: `get`
   raises well before they would have come.
Each prints one result line for bench/README.md; the tests hold the same behaviour without a clock."""
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from marketdata_stub import MarketDataStub  # noqa: E402

import eodds  # noqa: E402
import yahoods2  # noqa: E402

SYMBOLS, DELAY_MS, SLOW_MS, ROUNDS = 100, 300, 3000, 5


@pytest.fixture(scope="module")
def stub():
    stub = MarketDataStub()
    yield stub
    stub.close()


def sources(stub, monkeypatch):
    monkeypatch.setenv("VELMORA_EOD_URL", stub.url)
    monkeypatch.setenv("VELMORA_YAHOO_URL", stub.url)
    return {"eodds": (eodds.EodDataSource("key"), stub.add_eod, "/api/eod/"),
            "yahoods2": (yahoods2.YahooDataSource(""), stub.add_yahoo, "/v8/finance/chart/")}


@pytest.mark.parametrize("kind", ["eodds", "yahoods2"])
def test_slow_answers_arrive_together(stub, monkeypatch, kind):
    stub.reset()
    source, add, _ = sources(stub, monkeypatch)[kind]
    symbols = [f"S{i:03}" for i in range(SYMBOLS)]
    for i, symbol in enumerate(symbols):
        add(symbol, [("2024-01-02", 1.0 + i), ("2024-01-03", 2.0 + i)])
    times = {0: [], DELAY_MS: []}
    for _ in range(ROUNDS):
        for delay in times:
            stub.delay_ms = delay
            began = time.monotonic()
            table = source.get(symbols, "2024-01-01", "2024-01-31")
            times[delay].append(time.monotonic() - began)
            assert list(table.columns) == symbols
    fast, slow = min(times[0]), min(times[DELAY_MS])
    print(f"\n| {kind}: {SYMBOLS} symbols | {fast:.2f} s | {slow:.2f} s | "
          f"{(slow - fast) * 1000 / DELAY_MS:.1f} delays | < 1.5 s with the delay |")


@pytest.mark.parametrize("kind", ["eodds", "yahoods2"])
def test_abort_does_not_wait_for_slow_answers(stub, monkeypatch, kind):
    stub.reset()
    source, add, path = sources(stub, monkeypatch)[kind]
    for symbol in ["FAST", "SLOW1", "SLOW2"]:
        add(symbol, [("2024-01-02", 1.0), ("2024-01-03", 2.0)])
    stub.delays = {path + "SLOW1": SLOW_MS, path + "SLOW2": SLOW_MS}
    began = time.monotonic()
    with pytest.raises(RuntimeError):
        source.get(["FAST", "SLOW1", "SLOW2"], "2024-01-01", "2024-01-31", progress=lambda k: False)
    took = time.monotonic() - began
    print(f"\n| {kind}: abort with two answers {SLOW_MS} ms late | {took:.2f} s | < 2 s |")
