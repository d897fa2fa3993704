"""Coverage-guided fuzz target for XtPreParser.parse_and_route.

Input layout: byte 0 picks what the gate answers, byte 1 what `orjson` does, byte 2 which
parser is used and what is planted in its cache, the rest is the message. Every result is
checked against the model of the packet rules (vrel_testkit/packet_model.py), so a wrong record
or a wrong exception is a finding as much as a crash. Run through the `fuzz` nox session, or by
hand from the repository's root:

    PYTHONPATH=. python fuzz/fuzz_parser.py -max_total_time=60 -dict=fuzz/xt.dict CORPUS_DIR
"""

import sys
import warnings

import atheris
import orjson

import fuzz_common as common
from vrel_dll import Gatekeeper, XtPre, XtPreParser

with atheris.instrument_imports(include=["vrel_testkit.packet_model"]):  # the model's branches guide the fuzzer too
    from vrel_testkit import packet_model

IntSub = type("IntSub", (int,), {})
StrSub = type("StrSub", (str,), {})


class HasInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result("from __int__")
        return self.result


class Stop(BaseException):
    """Not even an Exception: the payload step must still swallow it."""


def raises(exc):
    def answer(*args):
        raise exc("raised by the fuzz target")

    return answer


def echo(payload):
    return ("decoded", payload)


def decode(payload, how):
    """The record's data by the model, for how `orjson` behaves during the call."""
    return packet_model.decode(payload, {"real": orjson.loads, "echo": echo}.get(how, raises(LookupError)))


# ---- the gate: one object whose answer the input picks, so the parsers keep their caches
ANSWERS = [  # what get_destination_mask returns, and the mask (or exception type) it makes
    (0, 0),
    (1, 1),
    (2, 2),
    (3, 3),
    (-1, -1),
    (4, 4),
    (2**31 - 1, 2**31 - 1),
    (-(2**31), -(2**31)),
    (2**31, OverflowError),
    (-(2**31) - 1, OverflowError),
    (2**63, OverflowError),
    (2**64 + 3, OverflowError),
    (3.7, 3),
    (-0.5, 0),
    (1e300, OverflowError),
    (float("nan"), ValueError),
    (float("inf"), OverflowError),
    (None, TypeError),
    (True, 1),
    (IntSub(2), 2),
    ("3", TypeError),
    (b"3", TypeError),
    (HasInt(5), 5),
    (HasInt(IntSub(6)), 6),
    (HasInt("x"), TypeError),
    (HasInt(2.0), TypeError),
    (HasInt(KeyError), KeyError),
    (HasInt(2**40), OverflowError),
    (raises(LookupError), LookupError),
    ("reenter", 2),
    ("reinit", 3),
    ("gatekeeper", None),
    ("no method", AttributeError),
]


class Switch:
    answer = 0
    parser = None
    msg = b""
    depth = 0

    def get_destination_mask(self, name):
        assert type(name) is str
        if self.answer == "reenter":
            if self.depth == 0:  # the same message again, on the same parser, one level deep
                self.depth += 1
                try:
                    self.parser.parse_and_route(self.msg)
                except Exception:
                    pass
                finally:
                    self.depth -= 1
            return 2
        if self.answer == "reinit":  # a new, empty cache while the call runs
            self.parser.__init__(self)
            return 3
        return self.answer() if callable(self.answer) else self.answer


SWITCH = Switch()
GK = Gatekeeper({"abc": 1, "": 2, b"X": 3}, {})
GK._pending_futures["abc"] = None
PARSERS = {"switch": XtPreParser(SWITCH), "full": XtPreParser(SWITCH), "gatekeeper": XtPreParser(GK)}
FULL_CACHE = [(b"filler%d" % i, "filler%d" % i) for i in range(packet_model.CACHE_LIMIT)]
ORJSON = [  # the `orjson` global during the call, and how the payload decodes
    (orjson, "real"),
    (orjson, "real"),
    (orjson, "real"),
    (common.Namespace(loads=raises(ValueError)), None),
    (common.Namespace(loads=raises(Stop)), None),
    (common.Namespace(loads=echo), "echo"),
    (object(), None),
    (common.MISSING, None),
]


def pick_parser(answer, flags):
    if answer == "gatekeeper":
        return PARSERS["gatekeeper"]
    if answer == "no method":
        return XtPreParser(object())
    if flags & 1:
        return XtPreParser.__new__(XtPreParser)  # bare: no cache at all
    if flags & 16:
        return XtPreParser(SWITCH)
    if flags & 8:
        full = PARSERS["full"]
        cache = common.cache_of(full)
        if len(cache) < packet_model.CACHE_LIMIT:
            cache.update(FULL_CACHE[: packet_model.CACHE_LIMIT - len(cache)])
        return full
    return PARSERS["switch"]


@atheris.instrument_func
def expected_result(header, answer, mask, flags, planted, how):
    if header is None:
        return None
    if flags & 1 and answer not in ("gatekeeper", "no method"):
        return AttributeError  # a bare parser has no cache to look in
    if planted is not None:
        return TypeError
    if answer == "gatekeeper":
        name = header[1]
        mask = (1 if name == "abc" else 0) | (2 if name in ("abc", "", "x") else 0)
    if isinstance(mask, type):
        return mask
    if mask == 0:
        return None
    command, name, status, error_code, payload = header
    return name, status, error_code, decode(payload, how), mask


def check(data):
    if len(data) < 3:
        return
    answer, mask = ANSWERS[data[0] % len(ANSWERS)]
    orjson_global, how = ORJSON[data[1] % len(ORJSON)]
    flags, msg = data[2], data[3:]
    p = pick_parser(answer, flags)
    SWITCH.answer, SWITCH.parser, SWITCH.msg = answer, p, msg
    header = packet_model.header(msg)
    planted = None
    cache = common.cache_of(p)
    if header is not None and cache is not None and flags & 6:
        planted = [None, 5, StrSub(header[1]), None][(flags & 6) >> 1]  # None entries are derived again
        cache[header[0]] = planted
        planted_in = cache
    with common.global_bound("orjson", orjson_global):
        try:
            got = p.parse_and_route(msg)
        except Exception as exc:
            got = exc
    expected = expected_result(header, answer, mask, flags, planted, how)
    if planted is not None or (flags & 6 == 6 and p is PARSERS["full"] and header is not None):
        planted_in.pop(header[0], None)  # the full cache stays at its limit
    if isinstance(expected, type):
        ok = isinstance(got, expected)
    elif expected is None:
        ok = got is None
    else:
        ok = (
            type(got) is XtPre
            and type(got.command) is str
            and (got.command, got.status, got.error_code, got.data, got.destination) == expected
        )
    if not ok:
        raise AssertionError(
            f"message {msg!r} (gate {answer!r}, orjson {how}, flags {flags}): "
            f"got {got!r} {vars_of(got)}, expected {expected!r}"
        )
    # The name stays cached whatever became of the packet once the gate was asked, unless its
    # field is too long to be kept.
    if header is not None and cache is not None and planted is None and answer != "reinit":
        if len(header.field) <= packet_model.CACHEABLE_FIELD and (p is not PARSERS["full"] or header.field in cache):
            assert cache.get(header[0]) == header[1], (msg, cache.get(header[0]))


def vars_of(record):
    if type(record) is not XtPre:
        return ""
    return (record.command, record.status, record.error_code, record.data, record.destination)


def seeds():
    heads = [bytes(h) for h in ([2, 0, 0], [3, 0, 0], [31, 5, 8], [0, 0, 0], [30, 0, 16], [29, 0, 0], [28, 3, 2])]
    return [h + m for h in heads for m in common.SEED_PACKETS]


if __name__ == "__main__":
    warnings.simplefilter("ignore", DeprecationWarning)  # the int-subclass results of __int__
    if sys.argv[1:2] == ["--replay"]:
        common.run_once(check, sys.argv[2:])
    else:
        common.main(sys.argv, check, seeds())
