"""Time from launch to the first window: the program with the default configuration against
a plain Python script that imports the same modules and opens the same window.

Run from the project root:  tools/with-display build/bin/python bench/startup.py [runs]
(bench/startup.sh does exactly this). Results go to standard output and bench/README.md."""
import fcntl
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PROGRAM = ROOT / "build" / "bin" / "velmora"
PYTHON = ROOT / "build" / "bin" / "python"
TITLE = "Velmora"

# Lists the modules the program has loaded once its window exists; used only in the
# discovery run, never in a timed one.
RECORDER = '''
import json, sys
import provider

class ModuleRecorder(provider.Provider):
    key = "moduleRecorder"

    def bind(self, window):
        with open("modules.json", "w") as file:
            json.dump(list(sys.modules), file)
'''

# The same window as the program's: title, theme, icon, size, position and one tab group.
BASELINE = '''
import json, sys
for name in json.load(open("imports.json")):
    try:
        __import__(name)
    except Exception:
        pass
import PySimpleGUI as sg
config = json.load(open("default.json"))
sg.ChangeLookAndFeel("TanBlue")
tabs = sg.TabGroup([], enable_events=True, key="mainTab", expand_x=True, expand_y=True)
window = sg.Window("Velmora", [[tabs]], icon="velmora.ico", size=config["gui"]["size"], resizable=True,
                   enable_close_attempted_event=True, return_keyboard_events=True,
                   location=config["gui"]["position"], finalize=True)
window.read()
'''


def workspace():
    path = Path(tempfile.mkdtemp(prefix="velmora-bench-"))
    config = json.loads((ROOT / "default.json").read_text())
    # The raw source is the user's choice in the settings tab; without one the program
    # cannot build its data source.
    config.setdefault("data", {}).setdefault("dataProvider", "eodds.EodDataSource")
    config["data"].setdefault("apiKey", "")
    (path / "default.json").write_text(json.dumps(config, indent=2))
    shutil.copytree(ROOT / "locale", path / "locale")
    shutil.copy(ROOT / "velmora.ico", path / "velmora.ico")
    (path / "data" / "config").mkdir(parents=True)
    (path / "data" / "cache").mkdir(parents=True)
    (path / "data" / "config" / "velmora.json").write_text("{}")
    return path, config


def windowExists():
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$"],
                           capture_output=True, text=True)
    return bool(found.stdout.split())


def timeToWindow(command, cwd, env):
    while windowExists():
        time.sleep(0.1)
    started = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while not windowExists():
            if process.poll() is not None:
                raise RuntimeError(f"{command[0]} ended with {process.returncode} before its window opened")
            if time.perf_counter() - started > 60:
                raise TimeoutError(f"{command[0]} opened no window")
            time.sleep(0.005)
        return time.perf_counter() - started
    finally:
        process.kill()
        process.wait()


def discoverImports(path, config, env):
    """The modules the program has loaded when its window is there, in the order it loaded
    them, minus its own."""
    recorder = dict(config, providers=config["providers"] + ["benchrecorder.ModuleRecorder"])
    (path / "benchrecorder.py").write_text(RECORDER)
    (path / "recorder.json").write_text(json.dumps(recorder, indent=2))
    shutil.copy(path / "default.json", path / "default.saved")
    shutil.copy(path / "recorder.json", path / "default.json")
    process = subprocess.Popen([str(PROGRAM)], cwd=path, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not (path / "modules.json").exists():
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the program did not open its window")
            time.sleep(0.05)
        time.sleep(0.2)  # the file is complete once the program has written and closed it
    finally:
        process.kill()
        process.wait()
        shutil.copy(path / "default.saved", path / "default.json")
    own = set(subprocess.run([str(PYTHON), "-c", "import sys; print(' '.join(sys.builtin_module_names))"],
                             capture_output=True, text=True).stdout.split())
    application = {"about", "chart", "config", "current", "cvar", "dataprov", "deopt", "eodds", "fields", "hrp",
                   "ledoit_wolf", "maxsharpe", "minsemi", "minvol", "pdatasource", "velmora", "progress",
                   "provider", "recommendation", "risk", "riskef", "riskhrp", "rmethod", "selection", "table",
                   "update", "utils", "version", "yahoods2", "bootstrap", "benchrecorder", "__main__"}
    return [name for name in json.loads((path / "modules.json").read_text())
            if name.split(".")[0] not in application | own]


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    path, config = workspace()
    try:
        env = dict(os.environ, PYTHONPATH=str(path))
        imports = discoverImports(path, config, env)
        (path / "imports.json").write_text(json.dumps(imports))
        (path / "baseline.py").write_text(BASELINE)
        program, baseline = [], []
        for _ in range(runs):
            program.append(timeToWindow([str(PROGRAM)], path, env))
            baseline.append(timeToWindow([str(PYTHON), "baseline.py"], path, env))
    finally:
        shutil.rmtree(path)
    rows = [("median", statistics.median(program), statistics.median(baseline)),
            ("fastest", min(program), min(baseline))]
    result = "".join(f"| {name} | {own:.3f} s | {plain:.3f} s | {own / plain:.3f} |\n" for name, own, plain in rows)
    print(result, end="")
    report(result, runs, len(imports))


def report(result, runs, imported):
    # Other benchmarks write their sections of the same file.
    with open("/tmp/velmora-bench-readme.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        writeSection(result, runs, imported)


def writeSection(result, runs, imported):
    readme = ROOT / "bench" / "README.md"
    text = readme.read_text() if readme.exists() else "# Benchmarks\n"
    section = ("## startup\n\n"
               "Time from launch to the first visible main window (polled with `xdotool search --onlyvisible`),\n"
               "median of " + str(runs) + " alternating runs on the Xvfb screen of `tools/with-display`: the program\n"
               "with the default configuration (`default.json`, an empty user configuration) against a plain\n"
               "Python script (`build/bin/python`) that imports the same " + str(imported) + " modules the program has\n"
               "loaded when its window is there and opens the same window (title, theme, icon, size,\n"
               "position, tab group). Goal: ratio at most 1.05.\n\n"
               "Beyond the imports, the program builds its data source before the window opens (the raw\n"
               "source named by `data.dataProvider`; its\n"
               "constructor makes an HTTPS client, whose certificate store takes some 50 ms to load),\n"
               "which the plain script does not.\n\n"
               "Run: `bench/startup.sh` (from the project root).\n\n"
               "The machine is shared (two cores, other builds and tests running), so the fastest run\n"
               "of each is given beside the median.\n\n"
               "| runs | program (build/velmora) | plain Python script | ratio |\n|---|---|---|---|\n" + result)
    start = text.find("## startup")
    if start >= 0:
        end = text.find("\n## ", start + 1)
        text = text[:start] + section + (text[end + 1:] if end >= 0 else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    readme.write_text(text)


if __name__ == "__main__":
    main()
