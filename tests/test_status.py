import pytest
from loguru import logger

import vrel_dll
from conftest import IS_WINDOWS

# Windows has a 32-bit C long: the interpreter's own conversion error comes first there.
TOO_LARGE = "Python int too large to convert to C long" if IS_WINDOWS else "value too large to convert to int"

ENTRY = "vrel_dll.Gatekeeper.process_status"
Sub = type("Sub", (str,), {})


@pytest.fixture
def lines():
    captured = []
    sink = logger.add(captured.append, format="{message}")
    yield captured
    logger.remove(sink)


@pytest.mark.parametrize("status, code", [(1, 0), (1.9, 453)])
def test_success_hands_the_data_back(lines, status, code):
    gate, data = vrel_dll.Gatekeeper({}, None), [1]  # a success never reads the table
    assert gate.process_status("c", status, code, data) is data
    first = gate.process_status("c", status, code, None)
    assert first == {} and first is not gate.process_status("c", status, code, None) and lines == []


@pytest.mark.parametrize(
    "command, status, code, expected",
    [
        ("abc", 1, 5, "[abc] STATUS 1 | ERROR 5: five"),
        (None, -2**31, 0, "[None] STATUS -2147483648 | ERROR 0: Unknown error code"),
        ("caf\u00e9", 2**31 - 1, -7, "[caf\u00e9] STATUS 2147483647 | ERROR -7: None"),
        ("\u2603", 0, 10, "[\u2603] STATUS 0 | ERROR 10: \U0001f600"),
    ],
)
def test_failure_logs_one_line(lines, command, status, code, expected):
    gate = vrel_dll.Gatekeeper({}, {5: "five", -7: None, 10: "\U0001f600"})
    assert gate.process_status(command, status, code, {"ignored": 1}) is False
    assert lines == [expected + "\n"]


@pytest.mark.parametrize(
    "args, exc, message, entries",
    [
        (("c", 0, 4, None), TypeError, "Expected str, got bytes", [ENTRY]),
        (("c", 0, 6, None), TypeError, "Expected str, got Sub", [ENTRY]),
        ((5, "1", 0, None), TypeError, "an integer is required", [ENTRY]),  # status before command
        (("c", 1, 2**31, None), OverflowError, TOO_LARGE, [ENTRY]),
        ((b"c", 1, 0, None), TypeError, r"Argument 'command' has incorrect type \(expected str, got bytes\)", []),
    ],
)
def test_errors_log_nothing(lines, names, args, exc, message, entries):
    gate = vrel_dll.Gatekeeper({}, {4: b"x", 6: Sub("x")})
    with pytest.raises(exc, match=f"^{message}$") as info:
        gate.process_status(*args)
    assert names(info.value)[1:] == entries and lines == []


def test_deleted_error_table_fails_only_on_failure(names):
    gate = vrel_dll.Gatekeeper({}, {})
    del gate._error_codes
    assert gate.process_status("c", 1, 0, [1]) == [1]
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'get'$") as info:
        gate.process_status("c", 2, 0, None)
    assert names(info.value)[1:] == [ENTRY]


def test_logger_is_looked_up_at_each_call(monkeypatch, names):
    calls = []

    class Recorder:
        def warning(self, *args, **kwargs):
            calls.append((args, kwargs))
            raise LookupError("sink down")

    monkeypatch.setattr(vrel_dll, "logger", Recorder())
    with pytest.raises(LookupError) as info:
        vrel_dll.Gatekeeper({}, {}).process_status("c", 3, 4, None)
    assert calls == [(("[c] STATUS 3 | ERROR 4: Unknown error code",), {})] and names(info.value)[1] == ENTRY
    monkeypatch.delattr(vrel_dll, "logger")
    with pytest.raises(NameError, match="^name 'logger' is not defined$"):
        vrel_dll.Gatekeeper({}, {}).process_status("c", 3, 4, None)


def test_key_that_replaces_the_table_during_lookup(lines):
    gate = vrel_dll.Gatekeeper({}, None)

    class Code:
        def __hash__(self):
            return hash(6)

        def __eq__(self, other):
            gate._error_codes = None  # drops the only other reference to the dict being searched
            return True

    gate._error_codes = {Code(): "found"}
    assert gate.process_status("c", 0, 6, None) is False and lines == ["[c] STATUS 0 | ERROR 6: found\n"]
