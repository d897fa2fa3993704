"""The demo's own game server: answers requests and pushes room events.

It is plain Python on purpose (no vrel_dll): it reads the three request forms the client
sends (raw XT, JSON XT and XML), answers them in either XT header layout, and on request
streams a given number of unsolicited events in batches. Some events carry failure
statuses and some are broadcasts a client may well have no handler for. At the end of a
stream it sends a `streamEnd` event listing what it sent per command, so that the client
can account for every packet.
"""

from __future__ import annotations

import asyncio
import json
import random
import xml.etree.ElementTree as ET
from collections import Counter
from dataclasses import dataclass
from typing import Any

TERMINATOR = b"\0"
READ_SIZE = 1 << 16

# Broadcast events: (command, weight, share of failures, payload kind).
EVENTS: list[tuple[str, int, float, str]] = [
    ("userJoin", 12, 0.0, "user"),
    ("userLeave", 10, 0.0, "uid"),
    ("playerMove", 26, 0.0, "move"),
    ("publicMessage", 14, 0.05, "chat"),
    ("roomUpdate", 6, 0.08, "room"),
    ("serverTime", 10, 0.0, "time"),
    ("adBanner", 8, 0.0, "text"),
    ("xpBoost", 6, 0.02, "text"),
    ("buddyStatus", 8, 0.0, "user"),
]
FAILURES: list[tuple[int, int]] = [(1, 12), (0, 104), (2, 201), (1, 999)]
PRICES = {"potion": 15, "sword": 250, "crown": 90_000}
GOLD = 1_000

_NAMES = ["Ana", "Bogdan", "Cristina", "Dan", "Elena", "Florin", "Gabriela", "Horia", "Ioana", "Liviu", "Mara"]
_WORDS = [
    "hello",
    "anyone",
    "up",
    "for",
    "a",
    "match",
    "gg",
    "nice",
    "shot",
    "trade",
    "sword",
    "brb",
    "the",
    "boss",
    "is",
    "at",
    "north",
    "gate",
    "need",
    "healer",
    "ok",
    "thanks",
]


@dataclass
class Request:
    form: str  # "xt", "json" or "xml"
    command: str
    args: list[str]
    data: Any


def parse_request(msg: bytes) -> Request | None:
    """One request in any of the three forms, or None for something else."""
    text = msg.decode("utf-8", "replace")
    if text.startswith("<msg"):
        try:
            root = ET.fromstring(text)
        except ET.ParseError:
            return None
        body = root.find("body")
        if body is None:
            return None
        return Request(
            "xml",
            body.get("action", ""),
            [body.get("r", "")],
            (body.text or "") + "".join(ET.tostring(child, encoding="unicode") for child in body),
        )
    if not text.startswith("%xt%"):
        return None
    fields = text.split("%", 4)
    if len(fields) < 5:
        return None
    rest = fields[4]
    if rest.startswith("1%") and rest[2:3] in ("{", "[", "n") and rest.endswith("%"):
        try:
            return Request("json", fields[3], [], json.loads(rest[2:-1]))
        except ValueError:
            return None
    return Request("xt", fields[3], rest.split("%")[:-1], None)


def xt_packet(command: str, payload: Any, status: int = 1, error_code: int = 0, *, long_layout: bool = False) -> bytes:
    """An inbound packet in the short or the long header layout, terminated."""
    body = json.dumps(payload, separators=(",", ":"))
    head = f"%xt%zone%{command}%" if long_layout else f"%xt%{command}%"
    return f"{head}{status}%{error_code}%{body}%".encode() + TERMINATOR


def _user(rng: random.Random) -> dict[str, Any]:
    return {
        "uid": rng.randrange(1, 100_000),
        "name": rng.choice(_NAMES) + str(rng.randrange(100)),
        "lvl": rng.randrange(1, 80),
        "x": rng.randrange(800),
        "y": rng.randrange(600),
    }


def _payload(rng: random.Random, kind: str) -> Any:
    if kind == "user":
        return _user(rng)
    if kind == "uid":
        return {"uid": rng.randrange(1, 100_000)}
    if kind == "move":
        return {"uid": rng.randrange(1, 100_000), "x": rng.randrange(800), "y": rng.randrange(600)}
    if kind == "chat":
        text = " ".join(rng.choice(_WORDS) for _ in range(rng.randrange(1, 60)))
        return {"uid": rng.randrange(1, 100_000), "msg": text}
    if kind == "room":
        return {"room": rng.randrange(1, 40), "users": [_user(rng) for _ in range(rng.randrange(0, 25))]}
    if kind == "time":
        return {"t": rng.randrange(1_700_000_000, 1_800_000_000)}
    return {"text": " ".join(rng.choice(_WORDS) for _ in range(rng.randrange(3, 30)))}


@dataclass(frozen=True)
class EventBlock:
    """One batch of events, ready to write, and what each packet is."""

    data: bytes
    packets: list[bytes]
    keys: list[tuple[str, bool]]  # (command, failed) per packet

    def head(self, n: int) -> EventBlock:
        """The first n packets only: the tail of a stream."""
        return EventBlock(b"".join(self.packets[:n]), self.packets[:n], self.keys[:n])


def event_blocks(batch: int, seed: int, pool: int = 2_000) -> list[EventBlock]:
    """A fixed pool of events cut into batches; a stream cycles through them."""
    rng = random.Random(seed)
    weights = [weight for _, weight, _, _ in EVENTS]
    blocks: list[EventBlock] = []
    for _ in range(max(1, -(-pool // batch))):
        packets: list[bytes] = []
        keys: list[tuple[str, bool]] = []
        for command, _, failure_share, kind in rng.choices(EVENTS, weights, k=batch):
            failed = rng.random() < failure_share
            status, code = rng.choice(FAILURES) if failed else (1, 453 if rng.random() < 0.03 else 0)
            packets.append(xt_packet(command, _payload(rng, kind), status, code, long_layout=rng.random() < 0.4))
            keys.append((command, failed))
        blocks.append(EventBlock(b"".join(packets), packets, keys))
    return blocks


class DemoServer:
    """Listens on 127.0.0.1 on an ephemeral port; one stream per connection at a time."""

    def __init__(self, seed: int = 7) -> None:
        self._seed = seed
        self._server: asyncio.Server | None = None
        self._tasks: set[asyncio.Task[None]] = set()
        self.requests: Counter[str] = Counter()  # per request form
        self.unanswered: Counter[str] = Counter()  # per command

    async def start(self) -> int:
        self._server = await asyncio.start_server(self._serve, "127.0.0.1", 0)
        port: int = self._server.sockets[0].getsockname()[1]
        return port

    async def close(self) -> None:
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        if task is not None:
            self._tasks.add(task)
        buffer = b""
        try:
            while chunk := await reader.read(READ_SIZE):
                *messages, buffer = (buffer + chunk).split(TERMINATOR)
                for msg in messages:
                    self._answer(msg, writer)
                await writer.drain()
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            writer.close()
            if task is not None:
                self._tasks.discard(task)

    def _answer(self, msg: bytes, writer: asyncio.StreamWriter) -> None:
        request = parse_request(msg)
        if request is None:
            return
        self.requests[request.form] += 1
        command = request.command
        if command == "login":
            writer.write(xt_packet("login", {"uid": 4711, "name": "demo", "rooms": 40}))
        elif command == "getRoomList":
            rooms = [{"id": i, "name": f"room{i}", "users": (i * 7) % 30} for i in range(1, 41)]
            writer.write(xt_packet(command, rooms, long_layout=True))
        elif command == "joinRoom":
            room = int(request.data.get("room", 1)) if isinstance(request.data, dict) else 1
            writer.write(xt_packet(command, {"room": room, "users": [{"uid": room * 10 + i} for i in range(5)]}))
        elif command == "buyItem":
            item = request.args[0] if request.args else ""
            if PRICES.get(item, GOLD + 1) <= GOLD:
                writer.write(xt_packet(command, {"item": item, "gold": GOLD - PRICES[item]}, long_layout=True))
            else:
                writer.write(xt_packet(command, {"item": item}, 1, 7, long_layout=True))  # not enough gold
        elif command == "getBuddyList":
            buddies = [{"name": name, "online": i % 2 == 0} for i, name in enumerate(_NAMES)]
            writer.write(xt_packet(command, {"buddies": buddies}))
        elif command == "startStream" and isinstance(request.data, dict):
            packets, batch = int(request.data["packets"]), int(request.data["batch"])
            writer.write(xt_packet(command, {"packets": packets, "batch": batch}))
            stream = asyncio.ensure_future(self._stream(writer, packets, batch))
            self._tasks.add(stream)
            stream.add_done_callback(self._tasks.discard)
        else:
            self.unanswered[command] += 1  # e.g. getLeaderboard: not on this server

    async def _stream(self, writer: asyncio.StreamWriter, packets: int, batch: int) -> None:
        blocks = event_blocks(batch, self._seed)
        per_block = [Counter(block.keys) for block in blocks]
        sent: Counter[tuple[str, bool]] = Counter()
        index = 0
        while packets > 0:
            block = blocks[index % len(blocks)]
            if packets >= batch:
                sent.update(per_block[index % len(blocks)])
            else:
                block = block.head(packets)
                sent.update(block.keys)
            writer.write(block.data)
            packets -= batch
            index += 1
            await writer.drain()
            await asyncio.sleep(0)  # let the requests in between the batches be answered
        totals: dict[str, list[int]] = {}
        for (command, failed), n in sent.items():
            totals.setdefault(command, [0, 0])[int(failed)] += n
        writer.write(xt_packet("streamEnd", {"sent": totals}))
        await writer.drain()
