import sys
import traceback

import pytest

import vrel_dll


def entry_names(exc: BaseException) -> list[str]:
    """Function names of the traceback entries an exception carries, outermost first."""
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


@pytest.fixture
def mod():
    return vrel_dll


@pytest.fixture
def names():
    return entry_names


IS_WINDOWS = sys.platform == "win32"
