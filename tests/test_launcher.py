"""The launcher's exit codes and its hands-off treatment of the command line, seen from outside."""
import subprocess

import PySimpleGUI as sg
import pytest

from velmora_support import PROGRAM, Workspace

CLOSE = sg.WIN_CLOSE_ATTEMPTED_EVENT

# A provider that leaves text in the program's standard output buffer: the interpreter
# writes it out only while it is finalised.
CHATTY = '''
import provider

class Chatty(provider.Provider):
    key = "chatty"

    def __init__(self, config, providerManager=None, userConfigParm=None):
        super().__init__(config, providerManager, userConfigParm)
        print("buffered until the interpreter is finalised")
'''


@pytest.fixture
def workspace(tmp_path):
    space = Workspace(tmp_path)
    (tmp_path / "chatty.py").write_text(CHATTY)
    space.default["providers"].append("chatty.Chatty")
    space.user = {"probe": {"post": {"1": [CLOSE]}}}
    return space


def test_normal_run_ends_with_0(workspace):
    assert workspace.run().returncode == 0


def test_failed_finalisation_ends_with_2(workspace):
    workspace.write()
    environment = workspace.environment()
    environment.pop("PYTHONUNBUFFERED", None)
    with open("/dev/full", "w") as full:
        run = subprocess.run([str(PROGRAM)], cwd=workspace.path, env=environment, stdout=full,
                             stderr=subprocess.PIPE, text=True, timeout=60)
    assert run.returncode == 2, run.stderr


def test_exception_out_of_start_up_ends_with_1_and_its_report(workspace):
    workspace.write()
    (workspace.path / "default.json").unlink()
    run = workspace.run(write=False)
    assert run.returncode == 1
    assert "FileNotFoundError" in run.stderr and "default.json" in run.stderr


def test_interpreter_options_reach_the_program_unread(workspace):
    run = workspace.run("-X", "importtime")
    assert run.returncode == 2
    assert "unrecognized arguments: -X importtime" in run.stderr
    assert "import time:" not in run.stderr
