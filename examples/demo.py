"""vrel_dll at work: an asyncio client talking to a small server over TCP on 127.0.0.1.

    python examples/demo.py [--packets N] [--batch N] [--show-warnings N] [--ingest MODE]

The demo starts its own server (examples/demo_server.py) on an ephemeral port and
connects to it. The client logs in with an XML request, keeps sending requests in the raw
XT and JSON XT forms as well, asks the server to stream N event packets (--packets, in
batches of --batch), and handles them. Received messages go into an RPC queue (answers,
which complete the request futures through resolve_rpc) and an event queue (events,
handed to the handlers from get_handler), or with --ingest dispatch straight to the
gatekeeper. process_status judges every packet.
At the end the client checks that it accounted for every packet the server says it sent,
and prints a summary.

How the client reads (--ingest):
  feed     (default) large reads appended to a bytearray, each handed whole to
           XtPreParser.feed_and_route, which parses and routes every complete message in it
           and keeps the unfinished tail for the next read;
  dispatch large reads as with feed, each handed whole to XtPreParser.feed_and_dispatch,
           which also judges each record's status, completes its request and calls its
           handler: no queues, no consumer tasks;
  streams  one StreamReader.readuntil per message, then XtPreParser.parse_and_route and
           Gatekeeper.route_to_queues for it;
  both     one run of each mode on the same traffic, and their rates side by side.
Either way a message may be at most MAX_MESSAGE_SIZE bytes (1 MiB, the terminator not
counted): a peer that goes past it without sending the terminator gets its connection
closed with an error, so the client never holds more than that of an unfinished message.

Some of the generated traffic fails on purpose: events with failure statuses and a
request the server refuses. process_status logs each failure as a warning through loguru;
the first few of those lines are shown on stderr (--show-warnings), all are counted, and
the check expects exactly one per deliberate failure. (With --ingest dispatch the client
sees no failed event itself: it counts them from the warning lines of event commands.)
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

from loguru import logger

import vrel_dll
from demo_server import TERMINATOR, DemoServer

if TYPE_CHECKING:
    from loguru import Message, Record

READ_SIZE = 1 << 18  # at most MAX_MESSAGE_SIZE: the guard in read_buffers relies on it
MAX_MESSAGE_SIZE = 1 << 20  # bytes of one message, its terminator not counted
INGEST = {
    "feed": "feed_and_route",
    "dispatch": "feed_and_dispatch",  # the ways of reading
    "streams": "readuntil per message",
}
REQUEST_TIMEOUT = 5.0
SHORT_TIMEOUT = 0.25  # for the request this server never answers
HEADER = "zone"

ERROR_CODES: dict[int, str] = {
    7: "Not enough gold",
    12: "Room is full",
    104: "Player not found",
    201: "Action too fast",
    453: "Already logged in",
}


# --- handlers: what the application does with events ---


class EventHandler(Protocol):
    def __call__(self, data: Any, /) -> None: ...


class Presence:
    """Who is in the room."""

    def __init__(self) -> None:
        self.online: set[int] = set()

    def joined(self, data: Any) -> None:
        self.online.add(data["uid"])

    def left(self, data: Any) -> None:
        self.online.discard(data["uid"])


class Positions:
    def __init__(self) -> None:
        self.where: dict[int, tuple[int, int]] = {}

    def __call__(self, data: Any) -> None:
        self.where[data["uid"]] = (data["x"], data["y"])


class ChatLog:
    def __init__(self) -> None:
        self.messages = 0
        self.last = ""

    def __call__(self, data: Any) -> None:
        self.messages += 1
        self.last = data["msg"]


class RoomState:
    def __init__(self) -> None:
        self.sizes: dict[int, int] = {}

    def __call__(self, data: Any) -> None:
        self.sizes[data["room"]] = len(data["users"])


class StreamEnd:
    """The server's closing event: what it sent, per command as [succeeded, failed]."""

    def __init__(self) -> None:
        self.done = asyncio.Event()
        self.sent: dict[str, list[int]] = {}

    def __call__(self, data: Any) -> None:
        self.sent = data["sent"]
        self.done.set()


# --- the client ---


class RequestTimedOut(Exception):
    pass


class MessageTooLong(Exception):
    """The peer sent more than MAX_MESSAGE_SIZE bytes without ending the message."""

    def __init__(self) -> None:
        super().__init__(
            f"the server sent a message longer than {MAX_MESSAGE_SIZE:,} bytes "
            "(no terminator within the limit); connection closed"
        )


class RequestWithdrawn(Exception):
    """The request's future was cancelled by cancel_all at shutdown."""


@dataclass
class Stats:
    received: int = 0
    dropped: int = 0
    events_handled: int = 0
    events_failed: int = 0
    answered: dict[str, int] = field(default_factory=lambda: {"raw XT": 0, "JSON XT": 0, "XML": 0})
    refused: int = 0
    timed_out: int = 0
    withdrawn: int = 0
    answers_read: int = 0  # --ingest dispatch: records handed to resolve_rpc


class WarningCounter:
    """A loguru sink that counts the warning lines, in all and per command."""

    def __init__(self) -> None:
        self.count = 0
        self.by_command: dict[str, int] = {}

    def __call__(self, message: Message) -> None:
        self.count += 1
        text = message.record["message"]  # "[<command>] STATUS ..."
        command = text[1 : text.find("]")]
        self.by_command[command] = self.by_command.get(command, 0) + 1


class FirstOnly:
    """A loguru filter that lets the first `limit` records through."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.seen = 0

    def __call__(self, record: Record) -> bool:
        self.seen += 1
        return self.seen <= self.limit


class Client:
    def __init__(
        self,
        reader: asyncio.StreamReader,
        writer: asyncio.StreamWriter,
        handlers: dict[str, EventHandler],
        ingest: str = "feed",
    ) -> None:
        self.reader = reader
        self.writer = writer
        self.ingest = ingest
        # Built inside the running loop: the gatekeeper creates its futures on this loop.
        self.gate = vrel_dll.Gatekeeper(dict(handlers), ERROR_CODES)
        self.parser = vrel_dll.XtPreParser(self.gate)
        self.rpc_queue: asyncio.Queue[vrel_dll.XtPre] = asyncio.Queue()
        self.evt_queue: asyncio.Queue[vrel_dll.XtPre] = asyncio.Queue()
        self.stats = Stats()

    async def request(self, form: str, command: str, message: str, timeout: float = REQUEST_TIMEOUT) -> Any:
        """Sends one request and waits for its answer, judged by process_status (False when refused,
        whether the refusal came as process_status's False or as feed_and_dispatch's StatusError)."""
        # Registered before sending: only a pending request makes its answer wanted.
        fut = self.gate.register_rpc(command)
        self.writer.write(message.encode() + TERMINATOR)
        try:
            result = await asyncio.wait_for(fut, timeout)
        except vrel_dll.StatusError:  # --ingest dispatch: a refused answer raises
            result = False
        except TimeoutError:
            self.gate.remove_future(command, fut)
            self.stats.timed_out += 1
            raise RequestTimedOut(command) from None
        except asyncio.CancelledError:
            task = asyncio.current_task()
            if task is not None and task.cancelling():
                raise
            self.stats.withdrawn += 1
            raise RequestWithdrawn(command) from None
        self.stats.answered[form] += 1
        if result is False:
            self.stats.refused += 1
        return result

    async def read_messages(self) -> None:
        """Reads until the server closes the connection; a message over the size limit closes it first."""
        try:
            if self.ingest == "streams":
                await self.read_each_message()
            elif self.ingest == "dispatch":
                await self.dispatch_buffers()
            else:
                await self.read_buffers()
        except MessageTooLong:
            self.writer.close()
            raise

    async def read_buffers(self) -> None:
        feed = self.parser.feed_and_route
        rpc_queue, evt_queue = self.rpc_queue, self.evt_queue
        stats = self.stats
        buffer = bytearray()
        while chunk := await self.reader.read(READ_SIZE):
            buffer += chunk
            # Only the message carried over from earlier reads can be longer than one read,
            # and it is the first: look for its end within the limit.
            if len(buffer) > MAX_MESSAGE_SIZE and buffer.find(TERMINATOR, 0, MAX_MESSAGE_SIZE + 1) < 0:
                raise MessageTooLong
            messages, records = feed(buffer, rpc_queue, evt_queue)
            stats.received += messages
            stats.dropped += messages - records  # nobody wanted them: their JSON was never decoded

    async def dispatch_buffers(self) -> None:
        dispatch = self.parser.feed_and_dispatch
        stats = self.stats
        buffer = bytearray()
        while chunk := await self.reader.read(READ_SIZE):
            buffer += chunk
            if len(buffer) > MAX_MESSAGE_SIZE and buffer.find(TERMINATOR, 0, MAX_MESSAGE_SIZE + 1) < 0:
                raise MessageTooLong
            messages, answers, events = dispatch(buffer)
            stats.received += messages
            stats.answers_read += answers
            stats.events_handled += events

    async def read_each_message(self) -> None:
        parse = self.parser.parse_and_route
        route = self.gate.route_to_queues
        readuntil = self.reader.readuntil
        rpc_queue, evt_queue = self.rpc_queue, self.evt_queue
        stats = self.stats
        while True:
            try:
                msg = await readuntil(TERMINATOR)  # the reader's limit is MAX_MESSAGE_SIZE
            except asyncio.IncompleteReadError:
                return  # closed by the server
            except asyncio.LimitOverrunError:
                raise MessageTooLong from None
            stats.received += 1
            packet = parse(msg[:-1])
            if packet is None:
                stats.dropped += 1
            else:
                route(packet, rpc_queue, evt_queue)

    async def resolve_answers(self) -> None:
        gate = self.gate
        while True:
            packet = await self.rpc_queue.get()
            command = packet.command
            assert command is not None, "the parser always names the command"
            gate.resolve_rpc(command, gate.process_status(command, packet.status, packet.error_code, packet.data))

    async def handle_events(self) -> None:
        gate, stats = self.gate, self.stats
        while True:
            packet = await self.evt_queue.get()
            command = packet.command
            assert command is not None, "the parser always names the command"
            data = gate.process_status(command, packet.status, packet.error_code, packet.data)
            if data is False:
                stats.events_failed += 1  # process_status has logged it
                continue
            handler: EventHandler | None = gate.get_handler(command)
            if handler is not None:
                handler(data)
                stats.events_handled += 1


# --- the session: what the demo asks for, and the summary ---


def next_request(index: int) -> tuple[str, str, str]:
    """The index-th request of the cycle the client repeats while events stream in:
    (form, command, message)."""
    room = index % 40 + 1
    match index % 5:
        case 0:
            return "raw XT", "getRoomList", vrel_dll.cy_format_xt(HEADER, "getRoomList", ["lobby"])
        case 1:
            return (
                "JSON XT",
                "joinRoom",
                vrel_dll.cy_format_json_xt(HEADER, "joinRoom", {"room": room, "spectator": False}),
            )
        case 2:
            return "raw XT", "buyItem", vrel_dll.cy_format_xt(HEADER, "buyItem", ["potion", 1])
        case 3:  # refused by the server: not enough gold
            return "raw XT", "buyItem", vrel_dll.cy_format_xt(HEADER, "buyItem", ["crown", 1])
        case _:
            return "XML", "getBuddyList", vrel_dll.cy_format_xml("sys", "getBuddyList", str(room), "")


async def keep_requesting(client: Client, stopping: asyncio.Event) -> None:
    index = 0
    while not stopping.is_set():
        form, command, message = next_request(index)
        index += 1
        try:
            await client.request(form, command, message)
        except RequestWithdrawn:
            return
        except RequestTimedOut:
            logger.error("no answer to {} within {} s", command, REQUEST_TIMEOUT)


@dataclass
class Outcome:
    port: int
    packets: int
    batch: int
    ingest: str
    stats: Stats
    warnings: int
    warnings_by_command: dict[str, int]
    elapsed: float
    stream_received: int
    sent: dict[str, list[int]]
    handled_commands: set[str]
    server_requests: dict[str, int]


def expected(outcome: Outcome) -> tuple[int, int, int]:
    """Events handled, failed and dropped, as the server's own account implies."""
    handled = failed = dropped = 0
    for command, (ok, bad) in outcome.sent.items():
        if command.lower() in outcome.handled_commands:
            handled, failed = handled + ok, failed + bad
        else:
            dropped += ok + bad
    return handled + 1, failed, dropped  # + 1: the streamEnd event itself


def settle_dispatched(outcome: Outcome) -> None:
    """--ingest dispatch: failed events are those warned about for event commands, and what
    was neither an answer nor an event, handled or failed, was dropped."""
    stats = outcome.stats
    stats.events_failed = sum(
        n for command, n in outcome.warnings_by_command.items() if command in outcome.handled_commands
    )
    stats.dropped = stats.received - stats.answers_read - stats.events_handled - stats.events_failed


def report(outcome: Outcome, shown: int) -> bool:
    stats = outcome.stats
    if outcome.ingest == "dispatch":
        settle_dispatched(outcome)
    answered = sum(stats.answered.values())
    forms = ", ".join(f"{n:,} {form}" for form, n in stats.answered.items())
    rate = outcome.stream_received / outcome.elapsed if outcome.elapsed > 0 else 0.0
    print(
        f"\nvrel_dll demo: client and server on 127.0.0.1:{outcome.port}, "
        f"{outcome.packets:,} event packets in batches of {outcome.batch:,}, read with {INGEST[outcome.ingest]}"
    )
    print(f"  requests answered   {answered:,} ({forms}); {stats.refused:,} refused by the server")
    print(f"  requests timed out  {stats.timed_out:,} (withdrawn with remove_future)")
    print(f"  requests cancelled  {stats.withdrawn:,} (cancel_all at shutdown)")
    print(f"  events handled      {stats.events_handled:,}")
    print(f"  events failed       {stats.events_failed:,}")
    print(f"  dropped as unwanted {stats.dropped:,}")
    print(
        f"  warnings            {outcome.warnings:,}, one per deliberate failure in the traffic "
        f"({min(shown, outcome.warnings):,} shown on stderr)"
    )
    print(
        f"  throughput          {rate:,.0f} packets/s end to end "
        f"({outcome.stream_received:,} packets in {outcome.elapsed:.2f} s)"
    )

    problems: list[str] = []
    want_handled, want_failed, want_dropped = expected(outcome)
    if (stats.events_handled, stats.events_failed, stats.dropped) != (want_handled, want_failed, want_dropped):
        problems.append(
            f"events handled/failed/dropped {stats.events_handled}/{stats.events_failed}/{stats.dropped}, "
            f"the server's account gives {want_handled}/{want_failed}/{want_dropped}"
        )
    if outcome.warnings != stats.events_failed + stats.refused:
        problems.append(
            f"{outcome.warnings} warnings for {stats.events_failed} failed events and {stats.refused} refused requests"
        )
    # A request withdrawn at shutdown may not have reached the server before it closed.
    read_by_server = sum(outcome.server_requests.values())
    settled = answered + stats.timed_out
    if not settled <= read_by_server <= settled + stats.withdrawn:
        problems.append(
            f"the server read {read_by_server} requests, the client accounts for {settled} "
            f"and withdrew {stats.withdrawn}"
        )
    if stats.timed_out != 1:
        problems.append(f"{stats.timed_out} requests timed out, expected exactly the unanswered one")
    for problem in problems:
        print(f"  MISMATCH: {problem}")
    if not problems:
        print("  check               every packet the server sent is accounted for")
    return not problems


async def run(packets: int, batch: int, warnings: WarningCounter, ingest: str) -> Outcome:
    server = DemoServer()
    port = await server.start()
    # The reader's limit bounds what readuntil holds of one message (--ingest streams).
    reader, writer = await asyncio.open_connection("127.0.0.1", port, limit=MAX_MESSAGE_SIZE)
    presence, stream_end = Presence(), StreamEnd()
    handlers: dict[str, EventHandler] = {
        "userJoin": presence.joined,
        "userLeave": presence.left,
        "buddyStatus": presence.joined,
        "playerMove": Positions(),
        "publicMessage": ChatLog(),
        "roomUpdate": RoomState(),
        "streamEnd": stream_end,
    }
    client = Client(reader, writer, handlers, ingest)
    reading = asyncio.create_task(client.read_messages())
    consumers = [asyncio.create_task(client.resolve_answers()), asyncio.create_task(client.handle_events())]
    stopping = asyncio.Event()
    requesters: list[asyncio.Task[None]] = []

    async def converse() -> tuple[float, int]:
        """The session up to the end of the stream: its duration and the packets received meanwhile."""
        await client.request(
            "XML",
            "login",
            vrel_dll.cy_format_xml(
                "sys", "login", "0", "<login z='zone'><nick><![CDATA[demo]]></nick><pword><![CDATA[]]></pword></login>"
            ),
        )
        try:  # a request this server does not know: given up after a short wait
            await client.request(
                "raw XT", "getLeaderboard", vrel_dll.cy_format_xt(HEADER, "getLeaderboard", [10]), timeout=SHORT_TIMEOUT
            )
        except RequestTimedOut:
            pass
        requesters.append(asyncio.create_task(keep_requesting(client, stopping)))
        start, received_before = time.perf_counter(), client.stats.received
        await client.request(
            "JSON XT",
            "startStream",
            vrel_dll.cy_format_json_xt(HEADER, "startStream", {"packets": packets, "batch": batch}),
        )
        await asyncio.wait_for(stream_end.done.wait(), timeout=60 + packets / 10_000)
        return time.perf_counter() - start, client.stats.received - received_before

    talking = asyncio.create_task(converse())
    try:
        await asyncio.wait({talking, reading}, return_when=asyncio.FIRST_COMPLETED)
        if not talking.done():  # the reading ended first: an error, or the server went away
            talking.cancel()
            await asyncio.gather(talking, return_exceptions=True)
            reading.result()
            raise ConnectionError("the server closed the connection during the session")
        elapsed, stream_received = talking.result()

        # Shutdown: stop reading first, so that a late answer is not counted as dropped,
        # then withdraw whatever is still pending.
        stopping.set()
        reading.cancel()
        await asyncio.gather(reading, return_exceptions=True)
        client.gate.cancel_all()
        await requesters[0]
    finally:
        background = [talking, reading, *requesters, *consumers]
        for task in background:
            task.cancel()
        await asyncio.gather(*background, return_exceptions=True)
        writer.close()
        await server.close()
    return Outcome(
        port,
        packets,
        batch,
        ingest,
        client.stats,
        warnings.count,
        dict(warnings.by_command),
        elapsed,
        stream_received,
        stream_end.sent,
        {name.lower() for name in handlers},
        dict(server.requests),
    )


def configure_logging(shown: int) -> WarningCounter:
    """Status warnings: the first few on stderr, all of them counted."""
    if shown > 0:
        print(
            f"demo: the traffic fails on purpose now and then; the first {shown} warning lines "
            "logged for those failures follow",
            file=sys.stderr,
        )
    counter = WarningCounter()
    logger.remove()
    logger.add(
        sys.stderr, level="WARNING", format="{time:HH:mm:ss.SSS} | {level: <7} | {message}", filter=FirstOnly(shown)
    )
    logger.add(counter, level="WARNING", format="{message}")
    return counter


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--packets", type=int, default=300_000, help="event packets the server streams")
    parser.add_argument("--batch", type=int, default=500, help="event packets per write")
    parser.add_argument(
        "--show-warnings",
        type=int,
        default=5,
        help="warning lines shown on stderr for the traffic's deliberate failures",
    )
    parser.add_argument(
        "--ingest",
        choices=[*INGEST, "both"],
        default="feed",
        help="read whole buffers with feed_and_route (feed) or feed_and_dispatch (dispatch), one "
        "message at a time with readuntil (streams), or all of them in turn and compare",
    )
    args = parser.parse_args(argv)
    if args.packets < 0 or args.batch < 1:
        parser.error("--packets must be >= 0 and --batch >= 1")
    rates: dict[str, float] = {}
    ok = True
    for ingest in INGEST if args.ingest == "both" else [args.ingest]:
        counter = configure_logging(args.show_warnings)
        try:
            outcome = asyncio.run(run(args.packets, args.batch, counter, ingest))
        except (MessageTooLong, ConnectionError) as exc:
            print(f"demo: error: {exc}", file=sys.stderr)
            return 1
        ok = report(outcome, args.show_warnings) and ok
        rates[ingest] = outcome.stream_received / outcome.elapsed if outcome.elapsed > 0 else 0.0
    if len(rates) > 1 and rates["feed"] > 0:
        print("\ningest rates, end to end:")
        for ingest, rate in rates.items():
            print(f"  {INGEST[ingest]:22} {rate:12,.0f} packets/s  {rate / rates['feed']:5.2f}x feed_and_route")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
