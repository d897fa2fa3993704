#!/usr/bin/env python3
"""What a parser keeps between calls, whatever a peer sends.

Streams adversarial packets through one parser: huge distinct command fields, wanted and
unwanted, before and after the command cache fills, alternating with ordinary traffic,
and a cache filled with the longest names it keeps. After each phase (with the packets
dropped and a garbage collection) the memory the parser still holds, as tracemalloc
counts it, must stay under RETAINED_BOUND. Exits 1 naming the phase that passes it.

    python3 -m vrel_testkit.hostile_peer [--huge-mb N]      (from the repository's root)
"""

from __future__ import annotations

import argparse
import gc
import sys
import tracemalloc
from collections.abc import Callable, Iterator
from types import SimpleNamespace

import vrel_dll

# The parser keeps at most 65,536 cache entries whose keys and names are at most 64 bytes
# (longer command fields are never kept), plus 64 recent keys of the same bound: about
# 17.3 MB in the worst case, counted with the allocator's rounding. See docs/guide.md (Hostile input).
RETAINED_BOUND = 18 * 1024 * 1024
CACHE_ENTRIES = 65_536
LONGEST_KEPT = 64


def huge_commands(count: int, size: int, tag: bytes) -> Iterator[bytes]:
    for i in range(count):
        yield b"%xt%" + tag + b"%d-" % i + b"C" * size + b"%1%0%{}%"


def ordinary(count: int, start: int = 0) -> Iterator[bytes]:
    for i in range(start, start + count):
        yield b"%%xt%%cmd%d%%1%%0%%{}%%" % i


def longest_kept(count: int) -> Iterator[bytes]:
    for i in range(count):
        yield b"%xt%" + b"%064d" % i + b"%1%0%{}%"


def interleave(*streams: Iterator[bytes]) -> Iterator[bytes]:
    pending = list(streams)
    while pending:
        for stream in list(pending):
            packet = next(stream, None)
            if packet is None:
                pending.remove(stream)
            else:
                yield packet


def retained(parser: vrel_dll.XtPreParser, packets: Iterator[bytes], base: int) -> int:
    for packet in packets:
        parser.parse_and_route(packet)
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - base


def phases(huge: int) -> list[tuple[str, Callable[[], Iterator[bytes]]]]:
    few = max(8, (256 << 20) // huge)  # about 256 MB of huge fields per phase
    return [
        (
            "huge fields before the cache fills",
            lambda: interleave(huge_commands(few, huge, b"W"), huge_commands(few, huge, b"U"), ordinary(1000)),
        ),
        ("cache filled with the longest kept names", lambda: longest_kept(CACHE_ENTRIES)),
        (
            "huge fields after the cache is full",
            lambda: interleave(huge_commands(few, huge, b"W"), huge_commands(few, huge, b"U"), ordinary(1000, 10**6)),
        ),
    ]


def run(huge: int) -> list[tuple[str, int]]:
    """Each phase's retained bytes, one parser throughout; raises nothing itself."""
    wanted = SimpleNamespace(get_destination_mask=lambda name: 0 if name.startswith("u") else 2)
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        parser = vrel_dll.XtPreParser(wanted)
        return [(name, retained(parser, make(), base)) for name, make in phases(huge)]
    finally:
        tracemalloc.stop()


def main() -> int:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--huge-mb", type=int, default=1, help="size of a huge command field in MB")
    args = options.parse_args()
    failed = False
    for name, size in run(args.huge_mb << 20):
        over = size > RETAINED_BOUND
        failed |= over
        print(f"{name:45} {size / 1e6:8.2f} MB retained{'  OVER THE BOUND' if over else ''}")
    print(f"bound: {RETAINED_BOUND / 1e6:.2f} MB")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
