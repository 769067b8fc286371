"""Time from launch to the first window: the program with the default configuration against
startup_reference.py, a plain Python script that does the same work up to the same window.

Run from the project root:  tools/with-display build/bin/python bench/startup.py [pairs]
(bench/startup.sh does exactly this). The result rows go to standard output; bench/README.md
keeps the measured ones."""
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
REFERENCE = ROOT / "bench" / "startup_reference.py"
TITLE = "Velmora"

# Lists the modules the program has loaded once its window exists, and writes the recording of the
# window's elements where one was made; used only before the timed runs, never in one.
RECORDER = '''
import builtins, json, os, sys
import provider

class ModuleRecorder(provider.Provider):
    def bind(self, window):
        if "VELMORA_BENCH_MODULES" in os.environ:
            with open(os.environ["VELMORA_BENCH_MODULES"], "w") as file:
                json.dump(list(sys.modules), file)
        if hasattr(builtins, "saveWindowLayout"):
            builtins.saveWindowLayout()
        sys.exit(0)
'''

# Records the toolkit elements the program makes, from before its first import on.
LAYOUT_RECORDING = f'''
import builtins, os, sys
sys.path.insert(0, {str(ROOT / "bench")!r})
import window_layout
builtins.saveWindowLayout = window_layout.record(os.environ["VELMORA_BENCH_LAYOUT"])
'''

# The program's own modules and the main modules, which the plain script cannot share.
APPLICATION = {"about", "chart", "config", "current", "cvar", "dataprov", "deopt", "eodds", "fields", "hrp",
               "ledoit_wolf", "maxsharpe", "minsemi", "minvol", "pdatasource", "velmora", "progress", "provider",
               "recommendation", "risk", "riskef", "riskhrp", "rmethod", "selection", "table", "update", "utils",
               "version", "yahoods2", "bootstrap", "benchrecorder", "window_layout", "__main__"}


def stableProgram():
    """A copy of the program beside the original (where it finds its environment), taken
    under the build lock: other builds may relink the original while the benchmark runs."""
    copy = PROGRAM.with_name(f"velmora-bench-{os.getpid()}")
    with open("/tmp/velmora-build.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        shutil.copy2(PROGRAM, copy)
    return copy


def workspace():
    path = Path(tempfile.mkdtemp(prefix="velmora-bench-"))
    shutil.copy(ROOT / "default.json", path / "default.json")
    shutil.copytree(ROOT / "locale", path / "locale")
    shutil.copy(ROOT / "velmora.ico", path / "velmora.ico")
    (path / "data" / "config").mkdir(parents=True)
    (path / "data" / "cache").mkdir(parents=True)
    (path / "data" / "config" / "velmora.json").write_text("{}")
    return path


def runUntilWindow(command, path, env):
    """Runs `command` until its window is there: the program ends itself at the recorder's `bind`."""
    subprocess.run(command, cwd=path, env=env, timeout=120, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def loadedModules(command, path, env):
    """The names in sys.modules once the window of `command` exists."""
    result = path / "modules.json"
    runUntilWindow(command, path, dict(env, VELMORA_BENCH_MODULES=str(result)))
    names = set(json.loads(result.read_text()))
    result.unlink()
    return names - APPLICATION


def withRecorder(path, step):
    """`step()` with the recorder among the program's providers."""
    config = json.loads((path / "default.json").read_text())
    recording = dict(config, providers=config["providers"] + ["benchrecorder.ModuleRecorder"])
    (path / "benchrecorder.py").write_text(RECORDER)
    shutil.copy(path / "default.json", path / "default.saved")
    (path / "default.json").write_text(json.dumps(recording, indent=2))
    try:
        return step()
    finally:
        shutil.copy(path / "default.saved", path / "default.json")


def recordWindow(executable, path, env):
    """Records the elements of the program's first window into the workspace's `window.pickle`, which the
    plain script makes again; the recording's hook is gone before anything is timed."""
    hook = path / "sitecustomize.py"
    hook.write_text(LAYOUT_RECORDING)
    try:
        withRecorder(path, lambda: runUntilWindow([str(executable)], path,
                                                  dict(env, VELMORA_BENCH_LAYOUT=str(path / "window.pickle"))))
    finally:
        hook.unlink()
        shutil.rmtree(path / "__pycache__", ignore_errors=True)
    if not (path / "window.pickle").exists():
        raise RuntimeError("the program's window was not recorded")


def compareModules(executable, path, env):
    """The modules that only the program, and those that only the reference, has loaded
    when its window is there."""
    program = withRecorder(path, lambda: loadedModules([str(executable)], path, env))
    reference = loadedModules([str(PYTHON), str(REFERENCE)], path, env)
    return sorted(program - reference), sorted(reference - program), len(program)


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


def main():
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    path, executable = workspace(), stableProgram()
    try:
        env = dict(os.environ, PYTHONPATH=str(path))
        recordWindow(executable, path, env)
        onlyProgram, onlyReference, loaded = compareModules(executable, path, env)
        commands = {"program": [str(executable)], "reference": [str(PYTHON), str(REFERENCE)]}
        times = {"program": [], "reference": []}
        for pair in range(pairs):
            # Alternating which goes first evens out a machine that is busier at one moment.
            for name in (("program", "reference") if pair % 2 == 0 else ("reference", "program")):
                times[name].append(timeToWindow(commands[name], path, env))
    finally:
        shutil.rmtree(path)
        executable.unlink()
    program, reference = times["program"], times["reference"]
    ratios = sorted(own / plain for own, plain in zip(program, reference))
    rows = [("median", statistics.median(program), statistics.median(reference)),
            ("fastest", min(program), min(reference))]
    result = "| | program | plain script | ratio |\n|---|---|---|---|\n"
    result += "".join(f"| {name} | {own:.3f} s | {plain:.3f} s | {own / plain:.3f} |\n" for name, own, plain in rows)
    result += (f"\nRatios of the {pairs} pairs: median {statistics.median(ratios):.3f}, "
               f"from {ratios[0]:.3f} to {ratios[-1]:.3f}.\n")
    modules = (f"Loaded modules when the window is there: {loaded} in the program (its own excluded); "
               f"only in the program: {', '.join(onlyProgram) or 'none'}; "
               f"only in the reference: {', '.join(onlyReference) or 'none'}.\n")
    print(result + "\n" + modules, end="")


if __name__ == "__main__":
    main()
