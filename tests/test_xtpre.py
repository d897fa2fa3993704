"""XtPre, the record of one parsed packet."""

import copy
import pickle
import sys
import weakref

import pytest

import vrel_dll
from conftest import TOO_LARGE, fields, own_entries
from vrel_dll import XtPre

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
MyStr = type("MyStr", (str,), {})
Tagged = type("Tagged", (XtPre,), {})  # instances carry a __dict__


class Named(XtPre):
    def __init__(self, name):
        super().__init__(name, 7, 0, None, 2)


def test_fields_and_plain_value_holder():
    data = {"k": [1]}
    record = XtPre("abc", 1, 0, data, 3)
    assert fields(record) == ("abc", 1, 0, data, 3) and record.data is data
    assert fields(XtPre.__new__(XtPre)) == fields(XtPre.__new__(Tagged)) == (None, 0, 0, None, 0)
    record.command, record.data, record.status, record.error_code, record.destination = "c", data, 7.5, -3, True
    assert fields(record) == ("c", 7, -3, data, 1)
    other = XtPre("c", 7, -3, data, 1)
    assert record != other and len({record, other}) == 2
    with pytest.raises(AttributeError):
        record.other = 1
    with pytest.raises(TypeError):
        weakref.ref(record)
    tagged = Tagged(command="a", status=1, error_code=2, data=3, destination=4)
    tagged.tag = "t"
    assert tagged.__dict__ == {"tag": "t"} and fields(tagged) == ("a", 1, 2, 3, 4)
    assert fields(Named("zz")) == ("zz", 7, 0, None, 2)


def test_attribute_errors_leave_the_record_unchanged():
    record = XtPre("x", 1, 2, [], 3)
    for value, type_name in [(5, "int"), (b"x", "bytes"), (MyStr("x"), "MyStr")]:
        with pytest.raises(TypeError) as exc:
            record.command = value
        assert str(exc.value) == f"Expected str, got {type_name}"
        assert own_entries(exc.value) == ["vrel_dll.XtPre.command.__set__"]
    for field in ("status", "error_code", "destination"):
        with pytest.raises(NotImplementedError) as exc:
            delattr(record, field)
        assert str(exc.value) == "__del__" and own_entries(exc.value) == []
    assert fields(record) == ("x", 1, 2, [], 3)
    del record.command, record.data
    assert fields(record) == (None, 1, 2, None, 3)


ListDict = type("ListDict", (XtPre,), {"__dict__": property(lambda self: ["not", "a", "dict"])})


@pytest.mark.parametrize(
    "state, error, message",
    [
        ([1], TypeError, "Expected tuple, got list"),
        ((1, 2), ValueError, "XtPre state must hold 5 or 6 items, not 2"),
        (("c", 1, "x", None, 3), TypeError, "an integer is required"),
        (("c", 1, 2, None, 2**31), OverflowError, TOO_LARGE),
        ((b"c", 1, 2, None, 3), TypeError, "Argument 'command' has incorrect type (expected str, got bytes)"),
        (("c", 1, 2, None, 3, {"a": 1}), AttributeError, "'vrel_dll.XtPre' object has no attribute '__dict__'"),
        (("b", 4, 5, [6], 7, {"tag": 1}), TypeError, "Expected dict, got list"),  # to a ListDict
    ],
)
def test_setstate_errors_leave_the_record_unchanged(state, error, message):
    record = (ListDict if message.startswith("Expected dict") else XtPre)("x", 1, 2, [], 3)
    with pytest.raises(error) as exc:
        record.__setstate__(state)
    assert str(exc.value) == message and own_entries(exc.value) == ["vrel_dll.XtPre.__setstate__"]
    assert fields(record) == ("x", 1, 2, [], 3)


def test_no_reference_left_behind():
    data, command = object(), "".join(["c", "md"])
    before = sys.getrefcount(data), sys.getrefcount(command)
    record = XtPre(command, 1, 2, data, 3)
    record.__init__(command, 1, 2, data, 3)
    record.data, record.command = data, command
    for bad in [(b"x", 1, 2, data, 3), (command, "1", 2, data, 3), (command, 1, 2, data)]:
        for call in (XtPre, record.__init__):
            with pytest.raises(TypeError):
                call(*bad)
    pickle.loads(pickle.dumps(record))
    copy.deepcopy(record)
    del record, bad, call
    assert (sys.getrefcount(data), sys.getrefcount(command)) == before


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickle_round_trip(protocol):
    tagged = Tagged("t", 1, 2, [3], 4)
    tagged.tag = {"x": 1}
    cyclic = XtPre("c", 1, 2, None, 3)
    cyclic.data = [cyclic]
    records = [
        XtPre("abc", 1, 0, {"k": [1, 2]}, 3),
        XtPre(None, -(2**31), 2**31 - 1, None, -1),
        XtPre.__new__(XtPre),
        tagged,
        Named("n"),
        cyclic,
    ]
    clones = pickle.loads(pickle.dumps(records, protocol))
    for record, clone in zip(records[:-1], clones):
        assert type(clone) is type(record) and clone is not record
        assert fields(clone) == fields(record)
    assert clones[3].tag == {"x": 1}
    assert clones[5].data[0] is clones[5] and fields(clones[5])[:3] == ("c", 1, 2)


def test_copy_and_deepcopy():
    record = XtPre("abc", 1, 2, [1], 3)
    shallow = copy.copy(record)
    assert shallow is not record and shallow.data is record.data and fields(shallow) == fields(record)
    record.data = {"self": [record]}
    deep = copy.deepcopy(record)
    assert deep is not record and deep.data["self"][0] is deep and fields(deep)[:3] == ("abc", 1, 2)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_functions_and_methods_pickle_by_reference(protocol):
    callables = [
        vrel_dll.cy_format_xt,
        vrel_dll.Gatekeeper.register_rpc,
        vrel_dll.XtPreParser.parse_and_route,
        vrel_dll.XtPre.__reduce__,
    ]
    for clone in (pickle.loads(pickle.dumps(callables, protocol)), copy.deepcopy(callables)):
        assert all(a is b for a, b in zip(clone, callables, strict=True))


def test_parser_and_gatekeeper_refuse_pickling():
    gate = vrel_dll.Gatekeeper({}, {})
    for obj in (gate, vrel_dll.XtPreParser(gate)):
        for operation in [*(lambda o, p=p: pickle.dumps(o, p) for p in PROTOCOLS), copy.copy, copy.deepcopy]:
            with pytest.raises(TypeError) as exc:
                operation(obj)
            assert str(exc.value) == f"cannot pickle 'vrel_dll.{type(obj).__name__}' object"
