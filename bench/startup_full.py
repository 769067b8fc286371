"""Time from launch to the first window: the program with the full shipped default.json and an
empty selection, against the same program with the shell's providers only.

Run from the project root:  tools/with-display build/bin/python bench/startup_full.py [pairs]
(bench/startup_full.sh does exactly this). The result rows go to standard output;
bench/README.md keeps the measured ones."""
import json
import os
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import startup  # noqa: E402
from startup import ROOT, stableProgram, timeToWindow  # noqa: E402

# The selection read at start puts its file name into the title.
startup.TITLE = "(Zeltra )?Velmora.*"

SHELL_PROVIDERS = ["fields.FieldProvider"]
# Loaded only when first used; none of them may be loaded when the window is there.
OPTIMISATION = ("riskfolio", "cvxpy", "pypfopt", "sklearn", "seaborn")

RECORDER = '''
import json, os, sys
import provider

class ModuleRecorder(provider.Provider):
    def bind(self, window):
        with open(os.environ["VELMORA_BENCH_MODULES"], "w") as file:
            json.dump(list(sys.modules), file)
        sys.exit(0)
'''


def workspace(providers):
    path = Path(tempfile.mkdtemp(prefix="velmora-bench-full-"))
    config = json.loads((ROOT / "default.json").read_text())
    if providers is not None:
        config["providers"] = providers
    (path / "default.json").write_text(json.dumps(config, indent=2))
    shutil.copytree(ROOT / "locale", path / "locale")
    shutil.copy(ROOT / "velmora.ico", path / "velmora.ico")
    (path / "data" / "config").mkdir(parents=True)
    (path / "data" / "cache").mkdir(parents=True)
    (path / "data" / "config" / "velmora.json").write_text("{}")
    (path / "data" / "config" / "current.stocks").write_text(
        json.dumps({"stocks": [], "selectionTitle": "", "meta": {}}, indent=2))
    return path


def optimisationLoaded(executable, path, env):
    """The optimisation packages the full program has loaded when its window is there."""
    config = json.loads((path / "default.json").read_text())
    saved = (path / "default.json").read_text()
    (path / "benchrecorder.py").write_text(RECORDER)
    (path / "default.json").write_text(
        json.dumps(dict(config, providers=config["providers"] + ["benchrecorder.ModuleRecorder"])))
    result = path / "modules.json"
    try:
        import subprocess
        subprocess.run([str(executable)], cwd=path, env=dict(env, VELMORA_BENCH_MODULES=str(result)),
                       timeout=120, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        names = json.loads(result.read_text())
    finally:
        (path / "default.json").write_text(saved)
    return sorted({name.split(".")[0] for name in names} & set(OPTIMISATION))


def main():
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    executable = stableProgram()
    places = {"full": workspace(None), "shell": workspace(SHELL_PROVIDERS)}
    try:
        providers = json.loads((places["full"] / "default.json").read_text())["providers"]
        envs = {name: dict(os.environ, PYTHONPATH=str(path)) for name, path in places.items()}
        loaded = optimisationLoaded(executable, places["full"], envs["full"])
        times = {"full": [], "shell": []}
        for pair in range(pairs):
            for name in (("full", "shell") if pair % 2 == 0 else ("shell", "full")):
                times[name].append(timeToWindow([str(executable)], places[name], envs[name]))
    finally:
        for path in places.values():
            shutil.rmtree(path)
        executable.unlink()
    full, shell = times["full"], times["shell"]
    ratios = sorted(own / plain for own, plain in zip(full, shell))
    rows = [("median", statistics.median(full), statistics.median(shell)), ("fastest", min(full), min(shell))]
    result = "| | full default.json | shell providers only | ratio |\n|---|---|---|---|\n"
    result += "".join(f"| {name} | {own:.3f} s | {plain:.3f} s | {own / plain:.3f} |\n"
                      for name, own, plain in rows)
    result += (f"\nRatios of the {pairs} pairs: median {statistics.median(ratios):.3f}, "
               f"from {ratios[0]:.3f} to {ratios[-1]:.3f}.\n"
               f"Providers: {', '.join(providers)}.\n"
               f"Optimisation packages loaded at the window: {', '.join(loaded) or 'none'}.\n")
    print(result, end="")


if __name__ == "__main__":
    main()
