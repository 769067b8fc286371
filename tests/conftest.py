"""Shared fixtures: the tests run inside the program's own interpreter, with its linked modules."""
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data"


@pytest.fixture
def program():
    """Path of the program executable beside the test runner."""
    return Path(sys.executable).with_name("velmora")
