"""Time from launch to the first window with an update service that stalls, against the same start
without a service: the program's own update check must not hold the window.

Run from the project root:  tools/with-display build/bin/python bench/startup_update.py [pairs]
The stalling service is the tests' loopback stub (tests/update_stub.py), sending its answer a byte a
second. The result rows go to standard output; bench/README.md keeps the measured ones."""
import json
import shutil
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import startup  # noqa: E402
from update_stub import UpdateStub  # noqa: E402


def main():
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    path, executable = startup.workspace(), startup.stableProgram()
    service = UpdateStub()
    service.info, service.infoPause = (200, service.record("0.02.0014")), 1.0
    stalling = {"updateInfo": {"url": service.url + "/info"}}
    times = {"none": [], "stalling": []}
    try:
        env = dict(startup.os.environ, PYTHONPATH=str(path))
        for pair in range(pairs):
            for name in (("none", "stalling") if pair % 2 == 0 else ("stalling", "none")):
                (path / "data" / "config" / "velmora.json").write_text(json.dumps(stalling if name != "none" else {}))
                (path / "data" / "cache" / "update.json").unlink(missing_ok=True)
                times[name].append(startup.timeToWindow([str(executable)], path, env))
    finally:
        service.close()
        shutil.rmtree(path)
        executable.unlink()
    rows = [("median", statistics.median(times["stalling"]), statistics.median(times["none"])),
            ("fastest", min(times["stalling"]), min(times["none"]))]
    result = "| | stalling service | no service | added |\n|---|---|---|---|\n"
    result += "".join(f"| {name} | {late:.3f} s | {plain:.3f} s | {late - plain:.3f} s |\n"
                      for name, late, plain in rows)
    print(result + f"\n{pairs} pairs; the service's requests: {len(service.requests)}.\n", end="")


if __name__ == "__main__":
    main()
