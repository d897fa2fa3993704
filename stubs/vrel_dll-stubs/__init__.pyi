# Types of the vrel_dll extension module. The module is a single compiled file, which
# cannot carry py.typed, so its types ship as this stub-only package (PEP 561).
#
# Where a parameter's runtime test lets None through but the call can only fail with it
# (the `command` of the future methods, the `handlers` table, the `data` list of
# cy_format_xt), the stub leaves None out, so that a type checker reports the call.

import asyncio as asyncio
from collections import deque as deque
from typing import Any, Literal, Protocol, SupportsInt, TypeAlias, TypeVar, overload

import orjson as orjson
from typing_extensions import disjoint_base

__test__: dict[str, Any]
"""An empty dict: the module has no doctests."""

class _Logger(Protocol):
    """What process_status writes its warnings through: loguru's logger, a logging.Logger, or any
    object with a warning method taking the line."""

    def warning(self, msg: str, /) -> object: ...

logger: _Logger
"""The object whose warning(line) logs failed statuses: loguru's logger unless you rebind it."""

_T = TypeVar("_T")
_T_contra = TypeVar("_T_contra", contravariant=True)

class _HasDestination(Protocol):
    """A packet for route_to_queues: anything with a destination mask, such as an XtPre."""

    @property
    def destination(self) -> SupportsInt: ...

_Packet = TypeVar("_Packet", bound=_HasDestination)

class _SupportsPutNowait(Protocol[_T_contra]):
    """A queue: anything with a one-argument put_nowait, such as an asyncio.Queue."""

    def put_nowait(self, item: _T_contra, /) -> object: ...

class _SupportsDestinationMask(Protocol):
    """A parser's gate: anything with get_destination_mask(name), such as a Gatekeeper."""

    def get_destination_mask(self, command: str, /) -> SupportsInt: ...

# Dicts are invariant, so each value type a caller may have declared is listed.
_ErrorCodeTable: TypeAlias = dict[int, str | None] | dict[int, str]

# Each of the three types has an instance layout of its own (C fields, no __dict__), so
# no class can derive from two of them.
@disjoint_base
class XtPre:
    """The record of one parsed inbound packet: command name, status, error code, decoded JSON data
    and destination mask.

    The parser makes them; XtPre(command, status, error_code, data, destination) builds one by
    hand. The integer fields hold signed 32-bit values: an int (or bool) is taken as is, anything
    else through its __int__ (a float is truncated). Records have no __dict__ and compare by
    identity.
    """
    def __init__(
        self,
        command: str | None,
        status: SupportsInt,
        error_code: SupportsInt,
        data: Any,
        destination: SupportsInt,
    ) -> None:
        """Sets the five fields.

        Raises TypeError when an integer field has no __int__ ("an integer is required") or command
        is not exactly a str or None, OverflowError when an integer lies outside -2**31..2**31-1.
        Nothing is assigned when a check fails.
        """
    @property
    def command(self) -> str | None:
        """The command name, lower-case ASCII as the parser makes it.

        Accepts exactly a str or None (TypeError otherwise); deleting stores None.
        """
    @command.setter
    def command(self, value: str | None) -> None: ...
    @command.deleter
    def command(self) -> None: ...
    # The integer fields hold signed 32-bit values; deleting one raises NotImplementedError.
    @property
    def status(self) -> int:
        """The status header field; 1 is the success status (see Gatekeeper.process_status).

        Assignment converts to a 32-bit integer as the constructor does; deleting raises
        NotImplementedError.
        """
    @status.setter
    def status(self, value: SupportsInt) -> None: ...
    @property
    def error_code(self) -> int:
        """The error code header field, 0 when the packet carries none.

        With status 1, codes 0 and 453 mean success. Assignment and deletion as for status.
        """
    @error_code.setter
    def error_code(self, value: SupportsInt) -> None: ...
    @property
    def data(self) -> Any:
        """The decoded JSON payload (the object orjson.loads returned).

        None when the packet has no payload or it does not decode. Any object may be assigned;
        deleting stores None.
        """
    @data.setter
    def data(self, value: Any) -> None: ...
    @data.deleter
    def data(self) -> None: ...
    @property
    def destination(self) -> int:
        """The destination mask given by the gatekeeper: 1 a request is pending (RPC queue), 2 a
        handler exists (event queue), 3 both.

        Assignment and deletion as for status.
        """
    @destination.setter
    def destination(self, value: SupportsInt) -> None: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None:
        """Restores the five fields from a pickled record."""

@disjoint_base
class XtPreParser:
    """Turns received messages into XtPre records, asking its gatekeeper where each command goes.

    It keeps a cache of the command names it has derived from raw command fields.
    """
    def __init__(self, gatekeeper: _SupportsDestinationMask) -> None:
        """Binds the parser to `gatekeeper` and starts an empty command-name cache.

        `gatekeeper` is normally a Gatekeeper; any object with get_destination_mask(name) will do.
        """
    def parse_and_route(self, msg: bytes | None) -> XtPre | None:
        """Parses one whole message, without its NUL terminator, into a record.

        Returns None, without decoding any JSON, for None, non-XT or malformed input and for a
        command whose destination mask is 0. A payload that does not decode (for example one cut
        short by a '%' inside it) gives data None. It routes nothing: hand the record to
        Gatekeeper.route_to_queues.

        Raises TypeError when msg is not exactly bytes or None; whatever get_destination_mask
        raises propagates.
        """
    def feed_and_route(
        self, buffer: bytearray | None, rpc_queue: _SupportsPutNowait[XtPre], evt_queue: _SupportsPutNowait[XtPre]
    ) -> tuple[int, int]:
        """Parses and routes every complete message in `buffer`, a bytearray of received data.

        Each NUL-terminated message is handled as parse_and_route followed, for a record, by the
        gate's route_to_queues(record, rpc_queue, evt_queue). Every complete message and its NUL
        leave the front of `buffer` when the call starts, before any other code runs, and are
        handled from the parser's own copy; an incomplete tail stays for the next call. Code
        run during the call may change `buffer` or keep a view of it: what it adds is the next
        call's. Returns (messages handled, records routed); None gives (0, 0).

        Every complete message is handled exactly once. If handling one raises, the messages
        before it stay handled, the failing one counts as handled, the exception propagates,
        and the messages after it stay in the parser, which handles them first at its next
        call. Raises TypeError when buffer is not exactly a bytearray, BufferError (handling
        nothing) while another view of it is held, MemoryError (changing nothing) when the
        messages cannot be taken out.
        """
    def feed_and_dispatch(self, buffer: bytearray | None) -> tuple[int, int, int]:
        """Parses every complete message in `buffer` and hands each record straight to the gate.

        Messages are framed, taken out of `buffer` and parsed as feed_and_route does it, with the
        same exactly-once rule. For each record,
        result = gate.process_status(command, status, error_code, data), once; with destination
        bit 1, gate.resolve_rpc(command, result), or for a result of False
        gate.reject_rpc(command, StatusError(...)), so the awaiting request raises the refusal;
        with bit 2 and a result that is not False, gate.get_handler(command)(result) unless the
        handler is None. A coroutine a handler returns runs as a task of the running loop, held
        until it finishes; an exception it raises goes to the loop's exception handler. An exact
        Gatekeeper's methods run without a Python-level call; any other gate's are called by name.
        Returns (messages consumed, records handed to resolve_rpc or reject_rpc, handlers that
        returned); None gives (0, 0, 0).

        An Exception raised while a record is handled (its status, its request, its handler) goes
        to the running loop's call_exception_handler with the command and the exception, and the
        next record is handled. With no running loop, and for any other BaseException, it
        propagates: the messages before it stay done, the failing one counts as handled, and the
        messages after it stay in the parser for its next call. Raises TypeError when buffer is
        not exactly a bytearray, BufferError (handling nothing) while another view of it is held.
        """

@disjoint_base
class Gatekeeper:
    """The routing authority: handler table, error-code table and pending request futures.

    Build it inside the running event loop that will await its futures; one gatekeeper serves
    one loop.
    """
    # Handler tables are keyed by command name, as str or as bytes; one variant per key
    # type a caller may have declared, the mixed one first so that a dict display with
    # both kinds of key is accepted too.
    @overload
    def __init__(self, handlers: dict[str | bytes, Any], error_codes: _ErrorCodeTable | None) -> None:
        """Builds the tables.

        `handlers` maps command names (str or bytes, any case; stored lower-cased) to objects of
        your choice, handed back by get_handler. `error_codes` maps error codes to descriptions
        (str or None) and is kept by reference, not copied.

        Raises TypeError when an argument is not exactly a dict or None, AttributeError when
        `handlers` is None.
        """
    @overload
    def __init__(self, handlers: dict[str, Any], error_codes: _ErrorCodeTable | None) -> None:
        """Builds the tables.

        `handlers` maps command names (str or bytes, any case; stored lower-cased) to objects of
        your choice, handed back by get_handler. `error_codes` maps error codes to descriptions
        (str or None) and is kept by reference, not copied.

        Raises TypeError when an argument is not exactly a dict or None, AttributeError when
        `handlers` is None.
        """
    @overload
    def __init__(self, handlers: dict[bytes, Any], error_codes: _ErrorCodeTable | None) -> None:
        """Builds the tables.

        `handlers` maps command names (str or bytes, any case; stored lower-cased) to objects of
        your choice, handed back by get_handler. `error_codes` maps error codes to descriptions
        (str or None) and is kept by reference, not copied.

        Raises TypeError when an argument is not exactly a dict or None, AttributeError when
        `handlers` is None.
        """
    # The tables accept any dict (its contents are not checked) or None; deleting one
    # stores None.
    @property
    def _pending_futures(self) -> dict[str, deque[asyncio.Future[Any]]] | None:
        """Pending requests: lower-case command name -> deque of futures, oldest first.

        Kept by register_rpc, resolve_rpc, remove_future, cancel_all and fail_all; a command is a key exactly
        while a request for it is pending.
        """
    @_pending_futures.setter
    def _pending_futures(self, value: dict[Any, Any] | None) -> None: ...
    @_pending_futures.deleter
    def _pending_futures(self) -> None: ...
    @property
    def _handler_map(self) -> dict[str, Any] | None:
        """Lower-case command name -> handler object, as the constructor normalised it.

        A dict assigned here is used with its keys as given (not lower-cased).
        """
    @_handler_map.setter
    def _handler_map(self, value: dict[Any, Any] | None) -> None: ...
    @_handler_map.deleter
    def _handler_map(self) -> None: ...
    @property
    def _error_codes(self) -> dict[int, str | None] | None:
        """The `error_codes` dict given to the constructor (the same object): code -> description."""
    @_error_codes.setter
    def _error_codes(self, value: dict[Any, Any] | None) -> None: ...
    @_error_codes.deleter
    def _error_codes(self) -> None: ...
    def get_destination_mask(self, command: str | None) -> int:
        """Where packets of a lower-case command name go: 1 if a request is pending, plus 2 if a
        handler is registered; 0 for neither.

        The name is compared exactly, without lower-casing.
        """
    # Success hands `data` back (a new empty dict for None); a failure is logged and
    # answered with False.
    @overload
    def process_status(
        self, command: str | None, status: SupportsInt, error_code: SupportsInt, data: None
    ) -> dict[str, Any] | Literal[False]:
        """Judges a packet's status: status 1 with error code 0 or 453 is a success.

        A success returns `data` (a new empty dict when it is None) and logs nothing. Anything else
        calls vrel_dll.logger.warning("[command] STATUS status | ERROR code: description"), the
        description taken from _error_codes ("Unknown error code" when absent), and returns False.

        Raises TypeError or OverflowError when status or error_code is not a 32-bit integer,
        TypeError when command is not a str or None, AttributeError for a failure while
        _error_codes is None.
        """
    @overload
    def process_status(
        self, command: str | None, status: SupportsInt, error_code: SupportsInt, data: _T
    ) -> _T | Literal[False]:
        """Judges a packet's status: status 1 with error code 0 or 453 is a success.

        A success returns `data` and logs nothing. Anything else calls
        vrel_dll.logger.warning("[command] STATUS status | ERROR code: description"), the description
        taken from _error_codes ("Unknown error code" when absent), and returns False.

        Raises TypeError or OverflowError when status or error_code is not a 32-bit integer,
        TypeError when command is not a str or None, AttributeError for a failure while
        _error_codes is None.
        """
    def route_to_queues(
        self, packet: _Packet, rpc_queue: _SupportsPutNowait[_Packet], evt_queue: _SupportsPutNowait[_Packet]
    ) -> None:
        """Puts `packet` into rpc_queue if its destination has bit 1, then into evt_queue if it has
        bit 2, with put_nowait.

        An exception from put_nowait propagates; after a failure of rpc_queue the event queue is not
        served.
        """
    def register_rpc(self, command: str) -> asyncio.Future[Any]:
        """Returns a new future for the next answer to `command` (lower-cased).

        Call it before sending the request: an answer parsed while no request is pending is dropped.
        Raises RuntimeError when called outside a running event loop before the gatekeeper has one.
        """
    def resolve_rpc(self, command: str, result: object) -> None:
        """Sets `result` on the oldest future pending for `command` (lower-cased).

        When that future is already done (cancelled after a time-out, say) it is discarded together
        with `result`, and the next one stays pending. Does nothing when no request is pending.
        It never sets an exception: reject_rpc does.
        """
    def reject_rpc(self, command: str, exception: BaseException | type[BaseException]) -> None:
        """Sets `exception` on the oldest future pending for `command` (lower-cased), as resolve_rpc
        sets a result: a future already done is discarded with it, and nothing happens when no
        request is pending. feed_and_dispatch calls it with a StatusError for a refused answer.

        `exception` is taken as Future.set_exception takes it (a class gives an instance of its
        own); a value it would refuse raises TypeError before any future is touched.
        """
    def remove_future(self, command: str, fut: object) -> None:
        """Withdraws `fut` from the requests pending for `command` (lower-cased), leaving the future as
        it is.

        Call it when giving up on a request (after a time-out): a cancelled future left in place
        would take the next answer. A future that is not pending is ignored.
        """
    def get_handler(self, command: str | None) -> Any:
        """The handler object registered for a lower-case command name, or None.

        The name is compared exactly, without lower-casing.
        """
    def cancel_all(self) -> None:
        """Cancels every pending future of every command and empties _pending_futures.

        Call it at shutdown; the gatekeeper stays usable afterwards.
        """
    def fail_all(self, exception: BaseException | type[BaseException]) -> int:
        """Sets `exception` on every pending future of every command and empties _pending_futures;
        returns the number of futures failed.

        A future already done (cancelled after a time-out, say) is dropped untouched. Call it when
        the connection drops: each awaiting request then raises `exception` (a class gives each
        future an instance of its own), which it can tell from the cancellation of its own task.
        The gatekeeper stays usable, for a new connection say. Raises TypeError ("invalid exception
        object") for anything but an exception instance or class, before any future is touched.
        """

@disjoint_base
class StatusError(Exception):
    """A refused request: the exception feed_and_dispatch sets on the request's future when its
    answer's status is a failure.

    It holds what the warning line of the refusal names; str() of it is that line,
    "[command] STATUS status | ERROR code: description". `args` holds the five values. It can
    be made by hand with the same checks as XtPre, and pickled.
    """
    def __init__(
        self, command: str | None, status: SupportsInt, error_code: SupportsInt, description: str | None, data: Any
    ) -> None: ...
    @property
    def command(self) -> str | None:
        """The command of the refused answer."""
    @property
    def status(self) -> int:
        """Its status (a signed 32-bit integer)."""
    @property
    def error_code(self) -> int:
        """Its error code (a signed 32-bit integer)."""
    @property
    def description(self) -> str | None:
        """The error code's description from the gate's _error_codes, as the warning line gave it
        ("Unknown error code" when absent)."""
    @property
    def data(self) -> Any:
        """The answer's decoded payload, or None."""

def cy_format_xt(server_header: str | None, command: str | None, data: list[Any]) -> str:
    """Formats a raw XT message: %xt%server_header%command%item1%item2%...%

    Items that are not str are converted with str(); when the joined items are empty the result
    ends after the command's '%'. A None argument is written as "None". Nothing is escaped: a '%'
    inside an item splits it at the receiver. Encode the result and add the NUL terminator to
    send it. Raises TypeError when data is not exactly a list.
    """

def cy_format_json_xt(server_header: str | None, command: str | None, data: dict[str, Any] | None) -> str:
    """Formats a JSON XT message: %xt%server_header%command%1%JSON%

    The JSON text is orjson.dumps(data) decoded from UTF-8 (null for None). Encode the result and
    add the NUL terminator to send it. Raises what orjson.dumps raises for a value it cannot
    serialise.
    """

def cy_format_xml(t: str | None, action: str | None, r: str | None, data: str | None) -> str:
    """Formats an XML message: <msg t='t'><body action='action' r='r'>data</body></msg>

    Nothing is escaped or validated: quotes and angle brackets are copied unchanged.
    """
