"""The client's hot paths written by hand in Python: what the extension module replaces.

This is the version a careful Python developer would write without the module: bytes
methods for the field split, int() on digit-only fields, dict look-ups, orjson for JSON.
It answers exactly like the module on the benchmark corpus (run.py checks that before it
times anything).
"""

from __future__ import annotations

import asyncio
from collections import deque
from typing import Any, Protocol

import orjson
from loguru import logger as _loguru_logger


class WarningSink(Protocol):
    def warning(self, message: str, /) -> object: ...


# Looked up at each failure, like the module's own `logger`, so it can be rebound.
logger: WarningSink = _loguru_logger

DEST_RPC = 1
DEST_EVT = 2
_INT32_SPAN = 1 << 32
_INT32_MIN = -(1 << 31)
_INT32_MAX = (1 << 31) - 1


class Record:
    __slots__ = ("command", "status", "error_code", "data", "destination")

    def __init__(self, command: str, status: int, error_code: int, data: Any, destination: int) -> None:
        self.command = command
        self.status = status
        self.error_code = error_code
        self.data = data
        self.destination = destination


class HasDestination(Protocol):
    @property
    def destination(self) -> int: ...


class PutNowait(Protocol):
    def put_nowait(self, item: Any, /) -> None: ...


def parse_int32(field: bytes) -> int | None:
    """A decimal field (optional leading minus, digits only) wrapped to 32 bits, or None."""
    if field.isdigit():
        value = int(field)
    elif field[:1] == b"-" and field[1:].isdigit():
        value = -int(field[1:])
    else:
        return None
    if _INT32_MIN <= value <= _INT32_MAX:
        return value
    return (value - _INT32_MIN) % _INT32_SPAN + _INT32_MIN


class Gate:
    def __init__(self, handlers: dict[str, Any], error_codes: dict[int, str]) -> None:
        self._handler_map = {key.lower(): handler for key, handler in handlers.items()}
        self._error_codes = error_codes
        self._pending_futures: dict[str, deque[asyncio.Future[Any]]] = {}
        self._loop: asyncio.AbstractEventLoop | None = None

    def get_destination_mask(self, command: str) -> int:
        mask = DEST_RPC if command in self._pending_futures else 0
        if command in self._handler_map:
            mask |= DEST_EVT
        return mask

    def get_handler(self, command: str) -> Any:
        return self._handler_map.get(command)

    def process_status(self, command: str, status: int, error_code: int, data: Any) -> Any:
        if status == 1 and (error_code == 0 or error_code == 453):
            return {} if data is None else data
        description = self._error_codes.get(error_code, "Unknown error code")
        logger.warning(f"[{command}] STATUS {status} | ERROR {error_code}: {description}")
        return False

    def route_to_queues(self, packet: HasDestination, rpc_queue: PutNowait, evt_queue: PutNowait) -> None:
        destination = packet.destination
        if destination & DEST_RPC:
            rpc_queue.put_nowait(packet)
        if destination & DEST_EVT:
            evt_queue.put_nowait(packet)

    def register_rpc(self, command: str) -> asyncio.Future[Any]:
        key = command.lower()
        if self._loop is None:
            self._loop = asyncio.get_running_loop()
        fut = self._loop.create_future()
        que = self._pending_futures.get(key)
        if que is None:
            que = self._pending_futures[key] = deque()
        que.append(fut)
        return fut

    def resolve_rpc(self, command: str, result: Any) -> None:
        key = command.lower()
        que = self._pending_futures.get(key)
        if not que:
            return
        fut = que.popleft()
        if not fut.done():
            fut.set_result(result)
        if not que:
            del self._pending_futures[key]


class Parser:
    def __init__(self, gate: Gate) -> None:
        self.gate = gate
        self._cmd_cache: dict[bytes, str] = {}

    def parse_and_route(self, msg: bytes) -> Record | None:
        if not msg.startswith(b"%xt%"):
            return None
        # parts[0] is the empty text before the first '%' and parts[1] the "xt"; at most
        # five fields after those carry meaning.
        parts = msg.split(b"%", 7)
        n = len(parts)
        if n <= 3:
            return None
        status = parse_int32(parts[3])
        if status is not None:
            raw, k = parts[2], 4
        else:
            if n == 4:
                return None
            status = parse_int32(parts[4])
            if status is None:
                return None
            raw, k = parts[3], 5
        error_code = 0
        payload = None
        if n > k:
            payload = parts[k]
            code = parse_int32(payload)
            if code is not None:
                error_code = code
                payload = parts[k + 1] if n > k + 1 else None

        name = self._cmd_cache.get(raw)
        if name is None:
            name = self._cmd_cache[raw] = raw.decode("ascii", "ignore").lower()
        mask = self.gate.get_destination_mask(name)
        if not mask:
            return None
        data = None
        if payload:
            try:
                data = orjson.loads(payload)
            except orjson.JSONDecodeError:
                pass
        return Record(name, status, error_code, data, mask)


def format_xt(server_header: str, command: str, data: list[Any]) -> str:
    joined = "%".join(map(str, data))
    if joined:
        return f"%xt%{server_header}%{command}%{joined}%"
    return f"%xt%{server_header}%{command}%"


def format_json_xt(server_header: str, command: str, data: dict[str, Any] | None) -> str:
    return f"%xt%{server_header}%{command}%1%{orjson.dumps(data).decode()}%"


def format_xml(t: str, action: str, r: str, data: str) -> str:
    return f"<msg t='{t}'><body action='{action}' r='{r}'>{data}</body></msg>"
