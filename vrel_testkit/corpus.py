"""A deterministic corpus of inbound messages and outbound requests for the benchmarks.

The traffic imitates a busy room of a game server: presence and movement events, chat,
room and inventory updates of a few KB, answers to the client's own requests, a stream
of broadcasts the client has no handler for, and the odd malformed or foreign message.
Everything derives from one seed, so every run and every worker process sees the same
bytes.
"""

from __future__ import annotations

import random
from dataclasses import dataclass
from typing import Any

import orjson

SEED = 20240517
CORPUS_SIZE = 2048

# Commands a client registers handlers for (mixed case, as servers spell them).
HANDLED = ["userJoin", "userLeave", "publicMessage", "playerMove", "roomUpdate", "inventoryUpdate", "buddyStatus"]
# Answers to requests; the benchmark keeps a request pending for each.
ANSWERED = ["getRoomList", "joinRoom", "getInventory"]
# Broadcasts nobody handles.
UNWANTED = ["adBanner", "serverTime", "xpBoost", "newsTicker", "friendSuggest", "lagMeter", "promoPopup"]

ERROR_CODES: dict[int, str] = {
    7: "Not enough gold",
    12: "Room is full",
    104: "Player not found",
    201: "Action too fast",
    453: "Already logged in",
}

# The share of each kind of message, out of 100.
SHARE_WANTED = 62
SHARE_UNWANTED = 28  # the remaining 10 are malformed or not XT

_NAMES = [
    "Ana",
    "Bogdan",
    "Cristina",
    "Dan",
    "Elena",
    "Florin",
    "Gabriela",
    "Horia",
    "Ioana",
    "Jean",
    "Kira",
    "Liviu",
    "Mara",
    "Nicu",
    "Oana",
    "Petru",
    "Raluca",
    "Sorin",
    "Tudor",
    "Vlad",
]
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
    "shield",
    "later",
    "brb",
    "lol",
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
_ITEMS = ["sword", "shield", "potion", "helmet", "boots", "ring", "amulet", "bow", "arrow", "scroll"]


@dataclass(frozen=True)
class Corpus:
    messages: list[bytes]
    wanted: list[bytes]  # XT packets of a handled or answered command
    unwanted: list[bytes]  # well-formed XT packets of a command nobody wants
    malformed: list[bytes]  # malformed XT and messages of other forms


def _user(rng: random.Random) -> dict[str, Any]:
    return {
        "uid": rng.randrange(1, 500_000),
        "name": rng.choice(_NAMES) + str(rng.randrange(100)),
        "lvl": rng.randrange(1, 80),
        "x": rng.randrange(800),
        "y": rng.randrange(600),
        "mod": rng.random() < 0.05,
    }


def _payload(rng: random.Random, command: str) -> Any:
    """A JSON document typical of `command`, from a few bytes up to several KB."""
    if command in ("userJoin", "buddyStatus"):
        return _user(rng)
    if command == "userLeave":
        return {"uid": rng.randrange(1, 500_000)}
    if command == "playerMove":
        return {
            "uid": rng.randrange(1, 500_000),
            "x": rng.randrange(800),
            "y": rng.randrange(600),
            "d": rng.randrange(8),
        }
    if command == "publicMessage":
        text = " ".join(rng.choice(_WORDS) for _ in range(rng.randrange(1, 40)))
        return {"uid": rng.randrange(1, 500_000), "room": rng.randrange(1, 40), "msg": text}
    if command in ("roomUpdate", "joinRoom"):
        users = [_user(rng) for _ in range(rng.randrange(0, 30))]
        return {"room": rng.randrange(1, 40), "name": "room" + str(rng.randrange(40)), "users": users}
    if command in ("inventoryUpdate", "getInventory"):
        items = [
            {
                "id": rng.randrange(10_000),
                "kind": rng.choice(_ITEMS),
                "qty": rng.randrange(1, 99),
                "dur": round(rng.random(), 3),
            }
            for _ in range(rng.randrange(1, 60))
        ]
        return {"gold": rng.randrange(100_000), "items": items}
    if command == "getRoomList":
        rooms = range(rng.randrange(5, 60))
        return [{"id": i, "name": "room" + str(i), "n": rng.randrange(30), "max": 30} for i in rooms]
    if command == "serverTime":
        return {"t": rng.randrange(1_700_000_000, 1_800_000_000)}
    if command == "lagMeter":
        return {}
    return {"id": rng.randrange(1000), "text": " ".join(rng.choice(_WORDS) for _ in range(rng.randrange(3, 25)))}


def _status(rng: random.Random) -> tuple[int, int]:
    """Mostly success; a few failures and the benign 453."""
    roll = rng.random()
    if roll < 0.86:
        return 1, 0
    if roll < 0.90:
        return 1, 453
    if roll < 0.96:
        return 1, rng.choice([7, 12, 104, 201, 999])
    return rng.choice([0, 2, -1]), rng.choice([0, 12, 104])


def _xt_packet(rng: random.Random, command: str) -> bytes:
    """One packet in either header layout; the error-code field is sometimes left out."""
    status, code = _status(rng)
    body = orjson.dumps(_payload(rng, command)).decode()
    long_layout = rng.random() < 0.4
    head = f"%xt%{rng.choice(['zone', 'ext', 'lobby'])}%{command}%" if long_layout else f"%xt%{command}%"
    if code == 0 and rng.random() < 0.1:
        return f"{head}{status}%{body}%".encode()
    return f"{head}{status}%{code}%{body}%".encode()


def _malformed(rng: random.Random) -> bytes:
    """A message the parser must turn down: truncated or broken XT, or another form."""
    command = rng.choice(HANDLED + UNWANTED)
    choices = [
        b"%xt%",
        b"%xt%" + command.encode() + b"%",
        b"%xt%zone%" + command.encode() + b"%",
        b"%xt%zone%" + command.encode() + b"%ok%{}%",
        b"%xt%" + command.encode() + b"%+1%0%{}%",
        b"%XT%" + command.encode() + b"%1%0%{}%",
        b"%xt",
        b"",
        b"<policy-file-request/>",
        b"<msg t='sys'><body action='apiOK' r='0'><ver v='165' /></body></msg>",
        b"<msg t='sys'><body action='pubMsg' r='"
        + str(rng.randrange(40)).encode()
        + b"'><txt><![CDATA["
        + " ".join(rng.choice(_WORDS) for _ in range(rng.randrange(2, 12))).encode()
        + b"]]></txt></body></msg>",
        orjson.dumps({"t": "xt", "b": {"c": command, "p": _payload(rng, command)}}),
        b"PING",
        b"\r\n",
    ]
    return rng.choice(choices)


def build_corpus(size: int = CORPUS_SIZE, seed: int = SEED) -> Corpus:
    rng = random.Random(seed)
    messages: list[bytes] = []
    wanted: list[bytes] = []
    unwanted: list[bytes] = []
    malformed: list[bytes] = []
    for _ in range(size):
        roll = rng.randrange(100)
        if roll < SHARE_WANTED:
            command = rng.choice(ANSWERED) if rng.random() < 0.1 else rng.choice(HANDLED)
            msg = _xt_packet(rng, command)
            wanted.append(msg)
        elif roll < SHARE_WANTED + SHARE_UNWANTED:
            msg = _xt_packet(rng, rng.choice(UNWANTED))
            unwanted.append(msg)
        else:
            msg = _malformed(rng)
            malformed.append(msg)
        messages.append(msg)
    return Corpus(messages, wanted, unwanted, malformed)


@dataclass(frozen=True)
class Requests:
    """Outbound requests in the three forms, with the same arguments for every formatter."""

    xt: list[tuple[str, str, list[Any]]]
    json_xt: list[tuple[str, str, dict[str, Any]]]
    xml: list[tuple[str, str, str, str]]


def build_requests(size: int = 256, seed: int = SEED) -> Requests:
    rng = random.Random(seed + 1)
    xt: list[tuple[str, str, list[Any]]] = []
    json_xt: list[tuple[str, str, dict[str, Any]]] = []
    xml: list[tuple[str, str, str, str]] = []
    for _ in range(size):
        # Raw XT requests carry three arguments: a name, a number and a word.
        xt.append(
            (
                rng.choice(["zone", "lobby"]),
                rng.choice(["joinRoom", "buyItem", "moveTo", "getRoomList"]),
                ["room" + str(rng.randrange(40)), rng.randrange(100_000), rng.choice(_WORDS)],
            )
        )
        json_xt.append(
            (
                rng.choice(["zone", "lobby"]),
                rng.choice(["moveTo", "buyItem", "sendMessage"]),
                {
                    "x": rng.randrange(800),
                    "y": rng.randrange(600),
                    "msg": " ".join(rng.choice(_WORDS) for _ in range(rng.randrange(0, 12))),
                    "item": {"id": rng.randrange(10_000), "qty": rng.randrange(1, 9)},
                },
            )
        )
        nick = rng.choice(_NAMES)
        xml.append(
            (
                "sys",
                rng.choice(["login", "joinRoom", "pubMsg"]),
                str(rng.randrange(-1, 40)),
                f"<login z='zone'><nick><![CDATA[{nick}]]></nick><pword><![CDATA[]]></pword></login>",
            )
        )
    return Requests(xt, json_xt, xml)
