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

import pdatasource
from pdatasource import CachedDataSource

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pdatasource_data as data  # noqa: E402
import pdatasource_reference as reference  # noqa: E402


def timings(function, repeat):
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        function()
        times.append(time.perf_counter() - began)
    return min(times), float(np.median(times))


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
    arrow, pickled = tmp_path / "prices.arrow", tmp_path / "prices.pkl"
    write_cache(frame, arrow)
    frame.to_pickle(pickled)
    pdt.assert_frame_equal(CachedDataSource(str(arrow)).cache, frame, check_freq=False)
    timings(lambda: (CachedDataSource(str(arrow)), pd.read_pickle(pickled)), 3)  # warms the page cache
    # Alternated, so that the load of the machine weighs on both alike.
    load, unpickle = [], []
    for _ in range(40):
        load.append(timings(lambda: CachedDataSource(str(arrow)), 1)[0])
        unpickle.append(timings(lambda: pd.read_pickle(pickled), 1)[0])
    load, unpickle = (min(load), float(np.median(load))), (min(unpickle), float(np.median(unpickle)))
    print(f"\n| cache load, 500 symbols x {len(frame)} days ({arrow.stat().st_size / 1e6:.1f} MB) "
          f"| {load[0] * 1e3:.2f} ms (median {load[1] * 1e3:.2f}) "
          f"| read_pickle {unpickle[0] * 1e3:.2f} ms (median {unpickle[1] * 1e3:.2f}) "
          f"| {load[0] / unpickle[0]:.2f} (median {load[1] / unpickle[1]:.2f}) | goal <= 1.5 |")


def test_get_with_conversion_and_cleaning_against_plain_pandas(tmp_path):
    repeat = 40
    cache, stocks = data.market(reference.SYMBOLS, reference.YEARS)
    path = tmp_path / "prices.arrow"
    write_cache(cache, path)
    config = Dict({"data": {"sigmaClipLow": reference.LOW, "sigmaClipHigh": reference.HIGH}})
    source = CachedDataSource(fileName=str(path), rawProvider=NoService(), config=config)
    start, end = source.cacheStartDate, source.cacheEndDate

    def request():
        return source.get(stocks, start, end, currency=reference.CURRENCY, cleaned=True)

    ours = request()
    program = timings(request, repeat)
    result_file = tmp_path / "reference.pkl"
    answer = subprocess.run(
        [str(Path(sys.executable).with_name("python")), str(Path(reference.__file__)), str(repeat), str(result_file)],
        check=True, capture_output=True, text=True)
    plain = json.loads(answer.stdout)
    pdt.assert_frame_equal(ours, pd.read_pickle(result_file), check_freq=False)
    print(f"\n| get, {reference.SYMBOLS} symbols x {len(ours)} days, converted and cleaned "
          f"| {program[0] * 1e3:.2f} ms (median {program[1] * 1e3:.2f}) "
          f"| plain pandas {plain['best'] * 1e3:.2f} ms (median {plain['median'] * 1e3:.2f}) "
          f"| {program[0] / plain['best']:.2f} (median {program[1] / plain['median']:.2f}) | goal <= 1.05 |")
