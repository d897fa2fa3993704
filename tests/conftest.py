import sys
import traceback

import pytest

import vrel_dll

# `pytest --leaks` runs every test repeatedly and fails the ones that leak (see leak_mode.py).
pytest_plugins = ["leak_mode"]

# Tests that type-check in another process with mypy --strict (the documents' examples, through
# this fixture) carry the `typecheck` marker. What they check depends on the interpreter but not
# on how the module was built, so the sessions run them once per interpreter, in the step that
# checks the types (`-m typecheck`), and leave them out of every other run (`-m "not typecheck"`).
TYPECHECK_FIXTURES = {"mypy_errors"}


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "typecheck: type-checks in another process (mypy); run by the type-checking step"
    )


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    for item in items:
        if TYPECHECK_FIXTURES & set(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.typecheck)


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
