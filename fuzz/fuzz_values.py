"""Coverage-guided fuzz target for the value-taking surface: XtPre's constructor, __init__ and
attribute setters, the three formatters, process_status and route_to_queues, fed values of
many types (ints at the 32- and 64-bit edges, int and str subclasses, objects with odd
__int__ or __str__, __str__ that changes the list being formatted, very long and wide texts).

Each call is checked against a model written from the rules (the 32-bit conversion, the
message layouts, the warning text), and a failed call must leave a record unchanged.

    PYTHONPATH=. python fuzz/fuzz_values.py -max_total_time=60 CORPUS_DIR
"""

import sys
import warnings

import atheris
import orjson

import fuzz_common as common
from vrel_dll import Gatekeeper, XtPre, cy_format_json_xt, cy_format_xml, cy_format_xt
from vrel_testkit import packet_model

IntSub = type("IntSub", (int,), {})
StrSub = type("StrSub", (str,), {})
DictSub = type("DictSub", (dict,), {})
ListSub = type("ListSub", (list,), {})
EDGES = [0, 1, 2**31, 2**32, 2**63, 2**64, 2**100]


class HasInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        return self.result

    def __repr__(self):  # the same text for equal objects, so that two built lists format alike
        return f"HasInt({self.result!r})"


class IndexOnly:
    def __index__(self):
        return 1

    def __repr__(self):
        return "IndexOnly()"


class Plain:
    def __repr__(self):
        return "Plain()"


class Text:
    """An item whose __str__ gives `result` (or raises it), after doing `effect` to its list."""

    def __init__(self, result, effect, owner):
        self.result, self.effect, self.owner = result, effect, owner

    def __str__(self):
        if self.effect == "clear":
            self.owner.clear()
        elif self.effect == "append" and len(self.owner) < 64:
            self.owner.append(Text("appended", None, self.owner))
        elif self.effect == "pop" and self.owner:
            self.owner.pop(0)
        elif self.effect == "insert" and len(self.owner) < 64:
            self.owner.insert(0, "inserted")
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        return self.result


class Dumped:
    def __init__(self, decoded):
        self.decoded = decoded

    def decode(self, encoding):
        assert encoding == "utf-8"
        if isinstance(self.decoded, BaseException):
            raise type(self.decoded)(*self.decoded.args)
        return self.decoded


# ---- values
def text(fdp):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 5:  # long: up to 200,000 characters of any width
        return fdp.ConsumeUnicode(3) * (1 << fdp.ConsumeIntInRange(0, 16))
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))


def value(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 17)
    if kind == 0:
        return fdp.PickValueInList([1, -1]) * fdp.PickValueInList(EDGES) + fdp.ConsumeIntInRange(-3, 3)
    if kind == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 24))
    if kind == 2:
        return fdp.ConsumeBool()
    if kind == 3:
        return IntSub(fdp.ConsumeInt(9))
    if kind == 4:
        return fdp.ConsumeFloat()
    if kind == 5 and depth < 2:
        inner = value(fdp, depth + 1)
        return HasInt(inner if fdp.ConsumeBool() else ArithmeticError("from __int__"))
    if kind == 6:
        return IndexOnly()
    if kind in (7, 8):
        return text(fdp)
    if kind == 9:
        return StrSub(text(fdp))
    if kind == 10:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 8))
    if kind == 11:
        return None
    if kind == 12 and depth < 2:
        return {text(fdp): value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    if kind == 13 and depth < 2:
        return [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 14:
        return DictSub(a=1)
    if kind == 15:
        return ListSub([1])
    if kind == 16:
        return Plain()
    return fdp.ConsumeIntInRange(-5, 5)


# ---- the model
def to_int32(v):
    """The 32-bit conversion, or the exception it raises."""
    if isinstance(v, int):
        n = int.__int__(v)  # ints are taken by value, whatever their class overrides
    else:
        convert = getattr(type(v), "__int__", None)
        if convert is None:
            return TypeError("an integer is required")
        try:
            n = convert(v)
        except Exception as exc:
            return exc
        if not isinstance(n, int):
            return TypeError(f"__int__ returned non-int (type {type(n).__name__})")
        n = int.__int__(n)  # a strict subclass is used after a (silenced) DeprecationWarning
    if not -(2**63) <= n < 2**63:
        return OverflowError("Python int too large to convert to C long")
    if not -(2**31) <= n < 2**31:
        return OverflowError("value too large to convert to int")
    return n


def typed(v, expected, name):
    if v is None or type(v) is expected:
        return None
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(v).__name__})")


def shown(v):
    return "None" if v is None else v


def same_error(got, expected):
    """Same type; and the same text where the module writes the text itself."""
    if type(got) is not type(expected):
        return False
    own = isinstance(expected, TypeError) or "too large to convert to int" in str(expected)
    return str(got) == str(expected) if own else True


def outcome(call):
    try:
        return call()
    except Exception as exc:
        return exc


def agree(what, got, expected):
    if isinstance(expected, BaseException):
        ok = isinstance(got, BaseException) and same_error(got, expected)
    else:
        ok = not isinstance(got, BaseException) and type(got) is type(expected) and got == expected
    if not ok:
        raise AssertionError(f"{what}: got {got!r:.300}, expected {expected!r:.300}")


# ---- the operations
def fields(r):
    return r.command, r.status, r.error_code, r.data, r.destination


def record_model(args):
    converted = [to_int32(args[i]) for i in (1, 2, 4)]
    for c in converted:
        if isinstance(c, BaseException):
            return c
    return typed(args[0], str, "command") or (args[0], converted[0], converted[1], args[3], converted[2])


def check_record(fdp):
    args = [value(fdp) if fdp.ConsumeBool() else text(fdp), value(fdp), value(fdp), value(fdp), value(fdp)]
    expected = record_model(args)
    agree("XtPre()", outcome(lambda: fields(XtPre(*args))), expected)
    record = XtPre("keep", 1, 2, None, 3)
    got = outcome(lambda: (record.__init__(*args), fields(record))[1])
    agree("XtPre.__init__", got, expected)
    if isinstance(expected, BaseException):
        assert fields(record) == ("keep", 1, 2, None, 3), fields(record)
    for name in ("command", "status", "error_code", "destination", "data"):
        before = fields(record)
        v = value(fdp)
        if name == "command":
            expected = v if v is None or type(v) is str else TypeError(f"Expected str, got {type(v).__name__}")
        elif name == "data":
            expected = v
        else:
            expected = to_int32(v)
        got = outcome(lambda: (setattr(record, name, v), getattr(record, name))[1])
        if name == "data" and not isinstance(got, BaseException):
            assert got is v
            continue
        agree(f"XtPre.{name} =", got, expected)
        if isinstance(expected, BaseException):
            assert fields(record) == before


def items(fdp, owner):
    for _ in range(fdp.ConsumeIntInRange(0, 20)):
        kind = fdp.ConsumeIntInRange(0, 4)
        if kind == 0:
            owner.append(text(fdp))
        elif kind == 1:
            owner.append(value(fdp))
        else:
            result = fdp.PickValueInList([None, 5, "", "x\u00e9", "\U0001f600", LookupError("str")]) or text(fdp)
            effect = fdp.PickValueInList([None, None, "clear", "append", "pop", "insert"])
            owner.append(Text(StrSub(result) if result == "x\u00e9" else result, effect, owner))


def model_xt(header, command, data):
    error = typed(header, str, "server_header") or typed(command, str, "command") or typed(data, list, "data")
    if error:
        return error
    if data is None:
        return TypeError("'NoneType' object is not iterable")
    texts, i = [], 0
    while i < len(data):
        item = data[i]
        try:
            texts.append(item if type(item) is str else str(item))
        except Exception as exc:
            return exc
        i += 1
    joined = "%".join(texts)
    return f"%xt%{shown(header)}%{shown(command)}%" + (joined + "%" if joined else "")


def check_xt(fdp):
    header, command = (text(fdp) if fdp.ConsumeBool() else value(fdp) for _ in range(2))
    spec = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 200))
    shape = fdp.ConsumeIntInRange(0, 3)

    def build():  # the same items twice, each bound to its own list
        if shape == 3:
            return value(atheris.FuzzedDataProvider(spec))
        data = [] if shape < 2 else ListSub()
        items(atheris.FuzzedDataProvider(spec), data)
        return data

    expected = model_xt(header, command, build())
    agree("cy_format_xt", outcome(lambda: cy_format_xt(header, command, build())), expected)


FAKE_DUMPS = [  # what a replaced orjson.dumps gives, and what the message then carries
    (lambda d: Dumped("{}"), "{}"),
    (lambda d: Dumped(None), "None"),
    (lambda d: Dumped(5), TypeError("Expected str, got int")),
    (lambda d: Dumped(StrSub("x")), TypeError("Expected str, got StrSub")),
    (lambda d: Dumped(UnicodeError("d")), UnicodeError("d")),
    (lambda d: b"\xc3\xa9\xff", UnicodeDecodeError("utf-8", b"", 0, 1, "x")),
    (lambda d: b'{"a":"\xc3\xa9"}', '{"a":"\u00e9"}'),
    (lambda d: object(), AttributeError("decode")),
]


def check_json_xt(fdp):
    header, command, data = (text(fdp) if fdp.ConsumeBool() else value(fdp) for _ in range(3))
    if fdp.ConsumeBool():
        data = {text(fdp): value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))}
    fake = fdp.ConsumeIntInRange(0, 2 * len(FAKE_DUMPS))
    error = typed(header, str, "server_header") or typed(command, str, "command") or typed(data, dict, "data")
    if error:
        expected = error
    elif fake < len(FAKE_DUMPS):
        expected = FAKE_DUMPS[fake][1]
        if not isinstance(expected, BaseException):
            expected = f"%xt%{shown(header)}%{shown(command)}%1%{expected}%"
    else:
        expected = outcome(lambda: f"%xt%{shown(header)}%{shown(command)}%1%{orjson.dumps(data).decode('utf-8')}%")
    orjson_global = common.Namespace(dumps=FAKE_DUMPS[fake][0]) if fake < len(FAKE_DUMPS) else orjson
    with common.global_bound("orjson", orjson_global):
        got = outcome(lambda: cy_format_json_xt(header, command, data))
    agree("cy_format_json_xt", got, expected)


def check_xml(fdp):
    args = [text(fdp) if fdp.ConsumeBool() else value(fdp) for _ in range(4)]
    expected = None
    for name, v in zip(("t", "action", "r", "data"), args):
        expected = expected or typed(v, str, name)
    if expected is None:
        t, a, r, d = map(shown, args)
        expected = f"<msg t='{t}'><body action='{a}' r='{r}'>{d}</body></msg>"
    agree("cy_format_xml", outcome(lambda: cy_format_xml(*args)), expected)


def check_status(fdp):
    command, status, error_code, data = (value(fdp) for _ in range(4))
    if fdp.ConsumeBool():
        command = text(fdp)
    if fdp.ConsumeBool():
        status, error_code = fdp.PickValueInList([1, 1.5, True, IntSub(1), 0, -1]), fdp.PickValueInList([0, 453, 5, -7])
    try:  # an unhashable key makes no table
        table = (
            {
                value(fdp) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-8, 8): value(fdp)
                for _ in range(fdp.ConsumeIntInRange(0, 4))
            }
            if fdp.ConsumeIntInRange(0, 7)
            else None
        )
    except TypeError:
        return
    gk = Gatekeeper({}, table)
    lines, line = [], None
    s, e = to_int32(status), to_int32(error_code)
    if isinstance(s, BaseException) or isinstance(e, BaseException):
        expected = s if isinstance(s, BaseException) else e
    else:
        expected = typed(command, str, "command")
    if expected is None:
        if s == 1 and e in (0, 453):
            expected = data if data is not None else {}
        elif table is None:
            expected = AttributeError("'NoneType' object has no attribute 'get'")
        else:
            description = outcome(lambda: table.get(e, "Unknown error code"))
            if not isinstance(description, BaseException) and not (description is None or type(description) is str):
                description = TypeError(f"Expected str, got {type(description).__name__}")
            if not isinstance(description, BaseException):
                line = f"[{shown(command)}] STATUS {s} | ERROR {e}: {shown(description)}"
            expected = description if isinstance(description, BaseException) else False
    with common.global_bound("logger", common.Namespace(warning=lines.append)):
        got = outcome(lambda: gk.process_status(command, status, error_code, data))
    if type(expected) is dict and not expected:
        assert type(got) is dict and got == {}, got
    elif expected is data and data is not None:
        assert got is data
    else:
        agree("process_status", got, expected)
    assert lines == ([line] if line is not None else []), (lines, line)


class Queue:
    def __init__(self, name, log, fail):
        self.name, self.log, self.fail = name, log, fail

    def put_nowait(self, item):
        self.log.append((self.name, item))
        if self.fail:
            raise BufferError(self.name)


def check_routing(fdp):
    dest = value(fdp)
    packet = (
        XtPre("c", 0, 0, None, dest)
        if fdp.ConsumeBool() and isinstance(to_int32(dest), int)
        else common.Namespace(destination=dest)
    )
    fails = fdp.ConsumeIntInRange(0, 3)
    log = []
    rpc, evt = Queue("rpc", log, fails == 1), Queue("evt", log, fails == 2)
    d = to_int32(dest)
    if isinstance(d, BaseException):
        expected, puts = d, []
    else:
        puts = packet_model.queues(d)
        if fails == 1 and "rpc" in puts:
            puts, expected = ["rpc"], BufferError("rpc")
        elif fails == 2 and "evt" in puts:
            expected = BufferError("evt")
        else:
            expected = None
    got = outcome(lambda: Gatekeeper({}, {}).route_to_queues(packet, rpc, evt))
    agree("route_to_queues", got, expected)
    assert [name for name, _ in log] == puts and all(item is packet for _, item in log), log


OPERATIONS = [check_record, check_xt, check_json_xt, check_xml, check_status, check_routing]


def check(data):
    fdp = atheris.FuzzedDataProvider(data)
    OPERATIONS[fdp.ConsumeIntInRange(0, len(OPERATIONS) - 1)](fdp)


def seeds():
    return [bytes([op]) + bytes(range(i, i + 40)) for op in range(len(OPERATIONS)) for i in (0, 60, 120, 200)]


if __name__ == "__main__":
    warnings.simplefilter("ignore", DeprecationWarning)  # int-subclass results of __int__
    if sys.argv[1:2] == ["--replay"]:
        common.run_once(check, sys.argv[2:])
    else:
        common.main(sys.argv, check, seeds())
