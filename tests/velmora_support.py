"""A working directory in which the real program runs with the probe providers."""
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PROGRAM = Path(sys.executable).with_name("velmora")

PROBES = ["fields.FieldProvider", "probe.ProbeTab", "probe.ProbeTabTwo", "probe.ProbeWorker"]

GERMAN = {"Velmora": "Velmora", "Probe one": "Probe eins", "Probe two": "Probe zwei"}


def defaultConfiguration():
    with open(ROOT / "default.json", encoding="utf-8") as file:
        config = json.load(file)
    config["logging"]["root"]["level"] = "DEBUG"
    config["providers"] = list(PROBES)
    config.setdefault("data", {}).update(
        {"dataProvider": "eodds.EodDataSource", "apiKey": "", "cacheName": "data/cache/prices.pkl"})
    config["gui"].update(
        {"language": "en_US.UTF-8", "position": [140, 120], "size": [700, 500], "maximized": False})
    config["progress"] = {"progressPeriod": 0.5}
    return config


class Workspace:
    def __init__(self, path):
        self.path = Path(path)
        (self.path / "data" / "config").mkdir(parents=True)
        (self.path / "data" / "cache").mkdir(parents=True)
        shutil.copy(ROOT / "tests" / "probe_providers.py", self.path / "probe.py")
        self.writeCatalogue()
        self.default = defaultConfiguration()
        self.user = {}

    def writeCatalogue(self):
        folder = self.path / "locale" / "de" / "LC_MESSAGES"
        folder.mkdir(parents=True)
        entries = ['msgid ""', 'msgstr ""', '"Content-Type: text/plain; charset=UTF-8\\n"', ""]
        for original, german in GERMAN.items():
            entries += [f'msgid "{original}"', f'msgstr "{german}"', ""]
        (folder / "velmora.po").write_text("\n".join(entries), encoding="utf-8")
        subprocess.run(["msgfmt", "-o", str(folder / "velmora.mo"), str(folder / "velmora.po")], check=True)

    def write(self, userFile="data/config/velmora.json"):
        with open(self.path / "default.json", "w", encoding="utf-8") as file:
            json.dump(self.default, file, indent=2)
        if userFile is not None:
            with open(self.path / userFile, "w", encoding="utf-8") as file:
                json.dump(self.user, file, indent=2)

    def environment(self):
        environment = dict(os.environ)
        environment["PYTHONPATH"] = str(self.path)
        return environment

    def run(self, *arguments, timeout=60, write=True):
        if write:
            self.write()
        return subprocess.run([str(PROGRAM), *arguments], cwd=self.path, env=self.environment(),
                              capture_output=True, text=True, timeout=timeout)

    def start(self, *arguments):
        self.write()
        return subprocess.Popen([str(PROGRAM), *arguments], cwd=self.path, env=self.environment(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def records(self, kind=None):
        path = self.path / "record.jsonl"
        if not path.exists():
            return []
        entries = [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]
        return [entry for entry in entries if kind is None or entry["kind"] == kind]


def logMessages(stderr):
    """The messages of the log lines, without time stamp, level and logger name."""
    messages = []
    for line in stderr.splitlines():
        head, separator, message = line.partition(": ")
        fields = head.split()
        if separator and len(fields) >= 4 and fields[2] in ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"):
            messages.append(message)
    return messages


def waitForWindow(name, timeout=30):
    """The X window id of the first window titled exactly `name`, once it exists."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--name", f"^{name}$"], capture_output=True, text=True)
        if found.stdout.split():
            return found.stdout.split()[0]
        time.sleep(0.05)
    raise TimeoutError(f"no window {name!r}")


def pressCloseKey(window, process, attempts=10):
    """Presses the window manager's close key (Alt+F4) on `window` until `process` ends; the
    window manager may not have given the new window the focus yet."""
    for _ in range(attempts):
        subprocess.run(["xdotool", "windowactivate", window], capture_output=True, timeout=10)
        time.sleep(0.2)
        subprocess.run(["xdotool", "key", "--clearmodifiers", "alt+F4"], capture_output=True, timeout=10)
        try:
            process.wait(timeout=2)
            return
        except subprocess.TimeoutExpired:
            pass
