"""The packet rules written out plainly in Python: the reference that the parser's results are
checked against by the test suite, the fuzz targets and the benchmark's agreement check.

Written for clarity, not speed (bench/baseline.py is the fast hand-written version): split the
message at every '%', read the fields by position. A message is an XT packet when it starts
with "%xt%"; of its '%'-separated fields (the empty one before the first '%' left out, a final
'%' closing the last field) only the first eight count:

    xt, command, status[, error code][, payload]            short layout
    xt, anything, command, status[, error code][, payload]  long layout: field 2 is no integer

An integer field is an optional '-' and one or more ASCII digits, reduced modulo 2**32 into the
signed 32-bit range. The error code is the field after the status when that field is an
integer (0 otherwise), and the payload the field after that (or the status's own successor
when it is no integer). The command name is the command field decoded as ASCII with the bytes
of 128 and above dropped, lower-cased. The gate's mask for that name decides: 0 drops the
packet; otherwise the payload, when present and not empty, is decoded as JSON (any failure
gives None), and the record goes to the RPC queue for bit 1 and then the event queue for bit 2.

A stream of messages (as a client reads it) ends each message with a NUL byte; the bytes
after the last NUL are the start of a message still to come.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, NamedTuple

import orjson

MAX_FIELDS = 8
DEST_RPC = 1
DEST_EVT = 2
# The parser's cache of command names keeps fields of at most this many bytes (longer ones
# are still looked up in it, never added), up to CACHE_LIMIT entries.
CACHEABLE_FIELD = 64
CACHE_LIMIT = 65536


def int32_field(field: bytes) -> int | None:
    """The value of an integer field, or None when the field is no integer."""
    digits = field[1:] if field[:1] == b"-" else field
    if not digits or any(c < 0x30 or c > 0x39 for c in digits):
        return None
    value = -int(digits) if field[:1] == b"-" else int(digits)
    return (value + 2**31) % 2**32 - 2**31


def command_name(field: bytes) -> str:
    """The command name made from a command field."""
    return field.decode("ascii", "ignore").lower()


class Header(NamedTuple):
    field: bytes  # the command field as it came: the key of the parser's cache
    name: str
    status: int
    error_code: int
    payload: bytes | None


def header(msg: bytes | None) -> Header | None:
    """The header of an XT packet, or None for a message that is none or is malformed."""
    if msg is None or msg[:4] != b"%xt%":
        return None
    fields = msg[1:].split(b"%")
    fields = fields[: len(fields) - msg.endswith(b"%")][:MAX_FIELDS]
    ints = [int32_field(f) for f in fields]
    if len(fields) > 2 and ints[2] is not None:
        k = 3  # the field after the status
    elif len(fields) > 3 and ints[3] is not None:
        k = 4
    else:
        return None
    error_code, payload = 0, fields[k] if len(fields) > k else None
    if payload is not None and ints[k] is not None:
        error_code, payload = ints[k], fields[k + 1] if len(fields) > k + 1 else None
    return Header(fields[k - 2], command_name(fields[k - 2]), ints[k - 1], error_code, payload)


def decode(payload: bytes | None, loads: Callable[[bytes], Any] = orjson.loads) -> Any:
    """The payload's data: None for no payload or an empty one, and when decoding fails in any way."""
    if not payload:
        return None
    try:
        return loads(payload)
    except BaseException:  # noqa: BLE001 - the parser swallows every failure of the decoder
        return None


def parse(
    msg: bytes | None, mask_of: Callable[[str], int], loads: Callable[[bytes], Any] = orjson.loads
) -> tuple[str, int, int, Any, int] | None:
    """The record's fields (command, status, error code, data, destination) for one message,
    or None; `mask_of` answers the gate's mask for a command name."""
    found = header(msg)
    if found is None:
        return None
    mask = mask_of(found.name)
    if not mask:
        return None
    return found.name, found.status, found.error_code, decode(found.payload, loads), mask


def queues(mask: int) -> list[str]:
    """The queues a record with this destination goes to, in the order it is put into them."""
    return [name for name, bit in (("rpc", DEST_RPC), ("evt", DEST_EVT)) if mask & bit]


def split_stream(data: bytes | bytearray) -> tuple[list[bytes], bytes]:
    """The complete messages in a stream, and the bytes after the last NUL."""
    *messages, rest = bytes(data).split(b"\0")
    return messages, rest


class Fed(NamedTuple):
    messages: int  # complete messages consumed
    records: int  # of those, how many gave a record (which was then routed)
    routed: list[tuple[str, tuple[str, int, int, Any, int]]]  # (queue, record fields), in put order
    rest: bytes  # what stays in the buffer


def feed(data: bytes | bytearray, mask_of: Callable[[str], int], loads: Callable[[bytes], Any] = orjson.loads) -> Fed:
    """What handing a stream to the parser gives: each complete message parsed and its record routed."""
    messages, rest = split_stream(data)
    records = [r for r in (parse(m, mask_of, loads) for m in messages) if r is not None]
    routed = [(queue, r) for r in records for queue in queues(r[4])]
    return Fed(len(messages), len(records), routed, rest)
