"""Benchmarks of the price cache, run inside the program's interpreter:

    tools/with-display build/velmora-tests -p no:cacheprovider -q -s bench/bench_pdatasource.py

1. loading the cache file of 500 symbols x 20 years against pandas.read_pickle of the same table;
2. `get` with conversion and cleaning of 50 symbols x 5 years from a warm cache against the same
   pandas calls in a plain Python script (bench/pdatasource_reference.py under build/bin/python).
Each prints one result line for bench/README.md."""
import json
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pandas.testing as pdt
from addict import Dict

from pdatasource import CachedDataSource

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pdatasource_data as data  # noqa: E402
import pdatasource_reference as reference  # noqa: E402

# The get benchmark runs the plain script ROUNDS times, alternating with as many rounds of the
# program, so that the load of the machine weighs on both alike.
ROUNDS, REPEAT = 5, 20


def times_of(function, repeat):
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        function()
        times.append(time.perf_counter() - began)
    return times


def row(name, program, reference_name, reference, goal):
    """One result row: best and median of each side, and their ratios."""
    best, median = min(program), float(np.median(program))
    reference_best, reference_median = min(reference), float(np.median(reference))
    return (f"\n| {name} | {best * 1e3:.2f} ms (median {median * 1e3:.2f}) "
            f"| {reference_name} {reference_best * 1e3:.2f} ms (median {reference_median * 1e3:.2f}) "
            f"| {best / reference_best:.2f} (median {median / reference_median:.2f}) | <= {goal} |")


def write_cache(frame, path):
    writer = CachedDataSource()
    writer.cache = frame
    writer.cacheStartDate, writer.cacheEndDate = str(frame.index[0].date()), str(frame.index[-1].date())
    writer.save(str(path))


class NoService:
    def get(self, *args, **kwargs):
        raise AssertionError("the cache is warm: nothing may be fetched")


def test_cache_load_against_read_pickle(tmp_path):
    frame = data.prices(500, 20)
    cache_file, pickled = tmp_path / "prices.cache", tmp_path / "prices.pkl"
    write_cache(frame, cache_file)
    frame.to_pickle(pickled)
    pdt.assert_frame_equal(CachedDataSource(str(cache_file)).cache, frame, check_freq=False)
    times_of(lambda: (CachedDataSource(str(cache_file)), pd.read_pickle(pickled)), 3)  # warms the page cache
    # Alternated, so that the load of the machine weighs on both alike.
    load, unpickle = [], []
    for _ in range(40):
        load += times_of(lambda: CachedDataSource(str(cache_file)), 1)
        unpickle += times_of(lambda: pd.read_pickle(pickled), 1)
    print(row(f"cache load, 500 symbols x {len(frame)} days ({cache_file.stat().st_size / 1e6:.1f} MB)",
              load, "read_pickle", unpickle, 1.5))


def test_get_with_conversion_and_cleaning_against_plain_pandas(tmp_path):
    cache, stocks = data.market(reference.SYMBOLS, reference.YEARS)
    path = tmp_path / "prices.cache"
    write_cache(cache, path)
    config = Dict({"data": {"sigmaClipLow": reference.LOW, "sigmaClipHigh": reference.HIGH}})
    source = CachedDataSource(fileName=str(path), rawProvider=NoService(), config=config)
    start, end = source.cacheStartDate, source.cacheEndDate

    def request():
        return source.get(stocks, start, end, currency=reference.CURRENCY, cleaned=True)

    ours = request()
    result_file = tmp_path / "reference.pkl"
    script = [str(Path(sys.executable).with_name("python")), str(Path(reference.__file__)), str(REPEAT),
              str(result_file)]
    program, plain = [], []
    for _ in range(ROUNDS):
        program += times_of(request, REPEAT)
        answer = subprocess.run(script, check=True, capture_output=True, text=True)
        plain += json.loads(answer.stdout)["times"]
    pdt.assert_frame_equal(ours, pd.read_pickle(result_file), check_freq=False)
    print(row(f"get, {reference.SYMBOLS} symbols x {len(ours)} days, converted and cleaned", program,
              "plain script", plain, 1.05))
