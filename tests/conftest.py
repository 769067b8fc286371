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


# The program installs its translation function `_` before it loads a module that
# translates while it is loaded (provider and the tabs); the tests import those modules
# directly, so the untranslated texts stand in until a test installs a catalogue.
import builtins as _builtins  # noqa: E402
import gettext as _gettext  # noqa: E402

if not hasattr(_builtins, "_"):
    _gettext.NullTranslations().install()
