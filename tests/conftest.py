import sys
import traceback

import pytest

import vrel_dll

# `pytest --leaks` runs every test repeatedly and fails the ones that leak (see leak_mode.py).
pytest_plugins = ["leak_mode"]


def entry_names(exc: BaseException) -> list[str]:
    """Function names of the traceback entries an exception carries, outermost first."""
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def own_entries(exc: BaseException) -> list[str]:
    """The traceback entries the module itself added, each naming its file from the repository's root."""
    frames = [frame for frame in traceback.extract_tb(exc.__traceback__) if frame.name.startswith("vrel_dll")]
    assert all(frame.filename.startswith(("src/", "src\\")) for frame in frames), [frame.filename for frame in frames]
    return [frame.name for frame in frames]


def fields(record) -> tuple:
    """An XtPre's five fields in declaration order."""
    return record.command, record.status, record.error_code, record.data, record.destination


@pytest.fixture
def mod():
    return vrel_dll


@pytest.fixture
def names():
    return entry_names


IS_WINDOWS = sys.platform == "win32"
# Windows has a 32-bit C long: the interpreter's own conversion error comes first there.
TOO_LARGE = "Python int too large to convert to C long" if IS_WINDOWS else "value too large to convert to int"
