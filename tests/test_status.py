import copy
import pickle
import re
import weakref
from types import SimpleNamespace

import pytest
from loguru import logger

import vrel_dll
from conftest import TOO_LARGE, own_entries

ENTRY = ["vrel_dll.Gatekeeper.process_status"]


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
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'get'$") as info:
        gate.process_status("c", 2, code, data)
    assert own_entries(info.value) == ENTRY


@pytest.mark.parametrize(
    "command, status, code, expected",
    [
        ("abc", 1, 454, "[abc] STATUS 1 | ERROR 454: four"),
        (None, -(2**31), 0, "[None] STATUS -2147483648 | ERROR 0: Unknown error code"),
        ("caf\u00e9", 2**31 - 1, -7, "[caf\u00e9] STATUS 2147483647 | ERROR -7: None"),
        ("\u2603\ud800", 0, 453, "[\u2603\ud800] STATUS 0 | ERROR 453: \U0001f600"),
    ],
)
def test_failure_logs_one_line(lines, command, status, code, expected):
    gate = vrel_dll.Gatekeeper({}, {454: "four", -7: None, 453: "\U0001f600"})
    assert gate.process_status(command, status, code, {"ignored": 1}) is False
    assert lines == [expected + "\n"]
    # a refusal's exception reads as its line
    description = gate._error_codes.get(code, "Unknown error code")
    assert str(vrel_dll.StatusError(command, status, code, description, None)) == expected


@pytest.mark.parametrize(
    "args, exc, message, entries",
    [
        (("c", 0, 4, None), TypeError, "Expected str, got bytes", ENTRY),
        (("c", 0, 6, None), TypeError, "Expected str, got Sub", ENTRY),
        ((5, "1", 0, None), TypeError, "an integer is required", ENTRY),  # status before command
        (("c", 1, 2**31, None), OverflowError, TOO_LARGE, ENTRY),
    ],
)
def test_errors_log_nothing(lines, args, exc, message, entries):
    gate = vrel_dll.Gatekeeper({}, {4: b"x", 6: type("Sub", (str,), {})("x")})
    with pytest.raises(exc) as info:
        gate.process_status(*args)
    assert re.fullmatch(message, str(info.value)) and own_entries(info.value) == entries and lines == []


def test_key_that_replaces_the_table_during_lookup(lines):
    gate = vrel_dll.Gatekeeper({}, None)
    code = type(
        "Code",
        (),
        {
            "__hash__": lambda s: hash(6),  # drops the only other reference to the dict searched
            "__eq__": lambda s, o: setattr(gate, "_error_codes", None) or True,
        },
    )
    gate._error_codes = {code(): "found"}
    assert gate.process_status("c", 0, 6, None) is False and lines == ["[c] STATUS 0 | ERROR 6: found\n"]


def test_logger_and_its_warning_are_found_anew_at_each_call(monkeypatch):
    log = []

    class Logger:
        def warning(self, text):
            log.append("method")

    monkeypatch.setattr(vrel_dll, "logger", logger := Logger())
    gate = vrel_dll.Gatekeeper({}, {})
    steps = [
        lambda: None,
        lambda: setattr(logger, "warning", lambda text: log.append("instance")),  # shadows the class's
        lambda: (delattr(logger, "warning"), setattr(Logger, "warning", lambda self, text: log.append("replaced"))),
        lambda: setattr(Logger, "warning", staticmethod(lambda text: log.append("static"))),
        lambda: setattr(Logger, "warning", property(lambda self: lambda text: log.append("property"))),
        lambda: (delattr(Logger, "warning"), setattr(Logger, "__getattr__", lambda self, name: log.append)),
        lambda: monkeypatch.setattr(vrel_dll, "logger", SimpleNamespace(warning=lambda text: log.append("new"))),
    ]
    for step in steps:
        step()
        assert gate.process_status("c", 0, 1, None) is False
    assert log == [
        "method",
        "instance",
        "replaced",
        "static",
        "property",
        "[c] STATUS 0 | ERROR 1: Unknown error code",
        "new",
    ]
    # a sink that fails, a logger without the method, no logger at all: each the call's failure
    failing = SimpleNamespace(warning=lambda *a, **k: log.append((a, k)) or 1 / 0)
    for logger, error, message in [
        (failing, ZeroDivisionError, "division by zero"),
        (object(), AttributeError, "'object' object has no attribute 'warning'"),
        (None, NameError, "name 'logger' is not defined"),
    ]:
        monkeypatch.setattr(vrel_dll, "logger", logger) if logger else monkeypatch.delattr(vrel_dll, "logger")
        with pytest.raises(error, match=f"^{message}$") as info:
            gate.process_status("c", 0, 1, None)
        assert own_entries(info.value) == ENTRY
    assert log[-1] == (("[c] STATUS 0 | ERROR 1: Unknown error code",), {})


def test_a_rebound_logger_is_not_kept_alive(monkeypatch):
    logger_type = type("Logger", (), {"warning": lambda self, text: None})
    monkeypatch.setattr(vrel_dll, "logger", first := logger_type())
    assert vrel_dll.Gatekeeper({}, {}).process_status("c", 0, 1, None) is False
    gone = weakref.ref(first)
    del first
    setattr(vrel_dll, "logger", logger_type())  # monkeypatch would keep the one it replaces
    assert gone() is None


# ---- StatusError: a refused request's exception

FIELDS = ("command", "status", "error_code", "description", "data")
Sub = type("Sub", (vrel_dll.StatusError,), {})


@pytest.mark.parametrize(
    "values, text",
    [
        (("chat", 1, 104, "Player not found", {"a": [1]}), "[chat] STATUS 1 | ERROR 104: Player not found"),
        ((None, -(2**31), 2**31 - 1, None, None), "[None] STATUS -2147483648 | ERROR 2147483647: None"),
        (("caf\u00e9", 0, 453, "\U0001f600", [2]), "[caf\u00e9] STATUS 0 | ERROR 453: \U0001f600"),
    ],
)
@pytest.mark.parametrize("cls", [vrel_dll.StatusError, Sub])
def test_status_error_holds_its_fields_and_round_trips(cls, values, text):
    made = [cls(*values), cls(**dict(zip(FIELDS, values)))]
    for error in made:
        assert isinstance(error, Exception) and tuple(getattr(error, f) for f in FIELDS) == values
        assert error.args == values and str(error) == text and repr(error) == f"{cls.__name__}{values!r}"
    error = made[0]
    error.args = ("changed",)  # the fields, not args, are what is pickled
    error.add_note("a note")
    for twin in (pickle.loads(pickle.dumps(error)), copy.copy(error)):
        assert type(twin) is cls and tuple(getattr(twin, f) for f in FIELDS) == values
        assert twin.__notes__ == ["a note"] and str(twin) == text
    with pytest.raises(AttributeError):
        error.status = 2


def test_status_error_converts_as_process_status_does():
    error = vrel_dll.StatusError(None, 2.9, True, None, None)
    assert (error.status, error.error_code, str(error)) == (2, 1, "[None] STATUS 2 | ERROR 1: None")
    for bad, exc in [(("c", 1, 2**31, "d", None), OverflowError), ((b"c", 1, 0, "d", None), TypeError)]:
        with pytest.raises(exc):
            vrel_dll.StatusError(*bad)
