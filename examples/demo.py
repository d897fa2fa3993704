"""vrel_dll at work: an asyncio client talking to a small server over TCP on 127.0.0.1.

    python examples/demo.py [--packets N] [--batch N] [--show-warnings N]

The demo starts its own server (examples/demo_server.py) on an ephemeral port and
connects to it. The client logs in with an XML request, keeps sending requests in the raw
XT and JSON XT forms as well, asks the server to stream N event packets (--packets, in
batches of --batch), and handles them. Every received message goes through
XtPreParser.parse_and_route and Gatekeeper.route_to_queues into an RPC queue (answers,
which complete the request futures through resolve_rpc) and an event queue (events,
handed to the handler objects from get_handler). process_status judges every packet;
its warnings for failed statuses go through loguru. At the end the client checks that it
accounted for every packet the server says it sent, and prints a summary.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import time
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol

import vrel_dll
from loguru import logger

from demo_server import TERMINATOR, DemoServer

if TYPE_CHECKING:
    from loguru import Message, Record

READ_SIZE = 1 << 18
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
    def __call__(self, command: str, data: Any) -> None: ...


class Presence:
    """Who is in the room."""

    def __init__(self) -> None:
        self.online: set[int] = set()

    def __call__(self, command: str, data: Any) -> None:
        if command == "userleave":
            self.online.discard(data["uid"])
        else:
            self.online.add(data["uid"])


class Positions:
    def __init__(self) -> None:
        self.where: dict[int, tuple[int, int]] = {}

    def __call__(self, command: str, data: Any) -> None:
        self.where[data["uid"]] = (data["x"], data["y"])


class ChatLog:
    def __init__(self) -> None:
        self.messages = 0
        self.last = ""

    def __call__(self, command: str, data: Any) -> None:
        self.messages += 1
        self.last = data["msg"]


class RoomState:
    def __init__(self) -> None:
        self.sizes: dict[int, int] = {}

    def __call__(self, command: str, data: Any) -> None:
        self.sizes[data["room"]] = len(data["users"])


class StreamEnd:
    """The server's closing event: what it sent, per command as [succeeded, failed]."""

    def __init__(self) -> None:
        self.done = asyncio.Event()
        self.sent: dict[str, list[int]] = {}

    def __call__(self, command: str, data: Any) -> None:
        self.sent = data["sent"]
        self.done.set()


# --- the client ---


class RequestTimedOut(Exception):
    pass


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


class WarningCounter:
    """A loguru sink that counts the warning lines."""

    def __init__(self) -> None:
        self.count = 0

    def __call__(self, message: Message) -> None:
        self.count += 1


class FirstOnly:
    """A loguru filter that lets the first `limit` records through."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.seen = 0

    def __call__(self, record: Record) -> bool:
        self.seen += 1
        return self.seen <= self.limit


class Client:
    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                 handlers: dict[str, EventHandler]) -> None:
        self.reader = reader
        self.writer = writer
        # Built inside the running loop: the gatekeeper creates its futures on this loop.
        self.gate = vrel_dll.Gatekeeper(dict(handlers), ERROR_CODES)
        self.parser = vrel_dll.XtPreParser(self.gate)
        self.rpc_queue: asyncio.Queue[vrel_dll.XtPre] = asyncio.Queue()
        self.evt_queue: asyncio.Queue[vrel_dll.XtPre] = asyncio.Queue()
        self.stats = Stats()

    async def request(self, form: str, command: str, message: str, timeout: float = REQUEST_TIMEOUT) -> Any:
        """Sends one request and waits for its answer, judged by process_status (False when refused)."""
        # Registered before sending: only a pending request makes its answer wanted.
        fut = self.gate.register_rpc(command)
        self.writer.write(message.encode() + TERMINATOR)
        try:
            result = await asyncio.wait_for(fut, timeout)
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
        parse = self.parser.parse_and_route
        route = self.gate.route_to_queues
        rpc_queue, evt_queue = self.rpc_queue, self.evt_queue
        stats = self.stats
        buffer = b""
        while chunk := await self.reader.read(READ_SIZE):
            *messages, buffer = (buffer + chunk).split(TERMINATOR)
            stats.received += len(messages)
            for msg in messages:
                packet = parse(msg)
                if packet is None:
                    stats.dropped += 1  # nobody wants it: its JSON was never decoded
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
                handler(command, data)
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
            return "JSON XT", "joinRoom", vrel_dll.cy_format_json_xt(
                HEADER, "joinRoom", {"room": room, "spectator": False})
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
    stats: Stats
    warnings: int
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


def report(outcome: Outcome, shown: int) -> bool:
    stats = outcome.stats
    answered = sum(stats.answered.values())
    forms = ", ".join(f"{n:,} {form}" for form, n in stats.answered.items())
    rate = outcome.stream_received / outcome.elapsed if outcome.elapsed > 0 else 0.0
    print(f"\nvrel_dll demo: client and server on 127.0.0.1:{outcome.port}, "
          f"{outcome.packets:,} event packets in batches of {outcome.batch:,}")
    print(f"  requests answered   {answered:,} ({forms}); {stats.refused:,} refused by the server")
    print(f"  requests timed out  {stats.timed_out:,} (withdrawn with remove_future)")
    print(f"  requests cancelled  {stats.withdrawn:,} (cancel_all at shutdown)")
    print(f"  events handled      {stats.events_handled:,}")
    print(f"  events failed       {stats.events_failed:,}")
    print(f"  dropped as unwanted {stats.dropped:,}")
    print(f"  warnings            {outcome.warnings:,} ({min(shown, outcome.warnings):,} shown)")
    print(f"  throughput          {rate:,.0f} packets/s end to end "
          f"({outcome.stream_received:,} packets in {outcome.elapsed:.2f} s)")

    problems: list[str] = []
    want_handled, want_failed, want_dropped = expected(outcome)
    if (stats.events_handled, stats.events_failed, stats.dropped) != (want_handled, want_failed, want_dropped):
        problems.append(f"events handled/failed/dropped {stats.events_handled}/{stats.events_failed}/{stats.dropped}, "
                        f"the server's account gives {want_handled}/{want_failed}/{want_dropped}")
    if outcome.warnings != stats.events_failed + stats.refused:
        problems.append(f"{outcome.warnings} warnings for {stats.events_failed} failed events "
                        f"and {stats.refused} refused requests")
    # A request withdrawn at shutdown may not have reached the server before it closed.
    read_by_server = sum(outcome.server_requests.values())
    settled = answered + stats.timed_out
    if not settled <= read_by_server <= settled + stats.withdrawn:
        problems.append(f"the server read {read_by_server} requests, the client accounts for {settled} "
                        f"and withdrew {stats.withdrawn}")
    if stats.timed_out != 1:
        problems.append(f"{stats.timed_out} requests timed out, expected exactly the unanswered one")
    for problem in problems:
        print(f"  MISMATCH: {problem}")
    if not problems:
        print("  check               every packet the server sent is accounted for")
    return not problems


async def run(packets: int, batch: int, warnings: WarningCounter) -> Outcome:
    server = DemoServer()
    port = await server.start()
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    presence, stream_end = Presence(), StreamEnd()
    handlers: dict[str, EventHandler] = {
        "userJoin": presence,
        "userLeave": presence,
        "buddyStatus": presence,
        "playerMove": Positions(),
        "publicMessage": ChatLog(),
        "roomUpdate": RoomState(),
        "streamEnd": stream_end,
    }
    client = Client(reader, writer, handlers)
    reading = asyncio.create_task(client.read_messages())
    consumers = [asyncio.create_task(client.resolve_answers()), asyncio.create_task(client.handle_events())]
    stopping = asyncio.Event()
    requester: asyncio.Task[None] | None = None
    try:
        await client.request("XML", "login", vrel_dll.cy_format_xml(
            "sys", "login", "0", "<login z='zone'><nick><![CDATA[demo]]></nick><pword><![CDATA[]]></pword></login>"))
        try:  # a request this server does not know: given up after a short wait
            await client.request("raw XT", "getLeaderboard", vrel_dll.cy_format_xt(HEADER, "getLeaderboard", [10]),
                                 timeout=SHORT_TIMEOUT)
        except RequestTimedOut:
            pass
        requester = asyncio.create_task(keep_requesting(client, stopping))
        start, received_before = time.perf_counter(), client.stats.received
        await client.request("JSON XT", "startStream", vrel_dll.cy_format_json_xt(
            HEADER, "startStream", {"packets": packets, "batch": batch}))
        await asyncio.wait_for(stream_end.done.wait(), timeout=60 + packets / 10_000)
        elapsed = time.perf_counter() - start
        stream_received = client.stats.received - received_before

        # Shutdown: stop reading first, so that a late answer is not counted as dropped,
        # then withdraw whatever is still pending.
        stopping.set()
        reading.cancel()
        await asyncio.gather(reading, return_exceptions=True)
        client.gate.cancel_all()
        await requester
    finally:
        background = [reading, *consumers] + ([requester] if requester is not None else [])
        for task in background:
            task.cancel()
        await asyncio.gather(*background, return_exceptions=True)
        writer.close()
        await server.close()
    return Outcome(port, packets, batch, client.stats, warnings.count, elapsed, stream_received, stream_end.sent,
                   {name.lower() for name in handlers}, dict(server.requests))


def configure_logging(shown: int) -> WarningCounter:
    """Status warnings: the first few on stderr, all of them counted."""
    counter = WarningCounter()
    logger.remove()
    logger.add(sys.stderr, level="WARNING", format="{time:HH:mm:ss.SSS} | {level: <7} | {message}",
               filter=FirstOnly(shown))
    logger.add(counter, level="WARNING", format="{message}")
    return counter


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--packets", type=int, default=300_000, help="event packets the server streams")
    parser.add_argument("--batch", type=int, default=500, help="event packets per write")
    parser.add_argument("--show-warnings", type=int, default=5, help="status warnings shown on stderr")
    args = parser.parse_args(argv)
    if args.packets < 0 or args.batch < 1:
        parser.error("--packets must be >= 0 and --batch >= 1")
    counter = configure_logging(args.show_warnings)
    outcome = asyncio.run(run(args.packets, args.batch, counter))
    return 0 if report(outcome, args.show_warnings) else 1


if __name__ == "__main__":
    sys.exit(main())
