import asyncio
from types import SimpleNamespace as Obj

import pytest

import vrel_dll
from conftest import TOO_LARGE, own_entries

ENTRY = ["vrel_dll.Gatekeeper.route_to_queues"]


def route(packet, log):
    """Routes packet into two queues that log (queue name, item); returns route_to_queues' answer."""
    queues = [Obj(put_nowait=lambda item, name=name: log.append((name, item)) or "ignored") for name in ("rpc", "evt")]
    return vrel_dll.Gatekeeper({}, {}).route_to_queues(packet, *queues)


@pytest.mark.parametrize(
    "destination, expected",
    [
        (0, []),
        (1, ["rpc"]),
        (2, ["evt"]),
        (3, ["rpc", "evt"]),
        (-1, ["rpc", "evt"]),
        (-2, ["evt"]),
        (-3, ["rpc"]),
        (4, []),
        (True, ["rpc"]),
    ],
)
def test_mask_bits_pick_the_queues_in_order(destination, expected):
    log, packet = [], Obj(destination=destination)
    assert route(packet, log) is None
    assert [name for name, _ in log] == expected and all(item is packet for _, item in log)


def test_asyncio_queues_by_keyword_and_failing_puts():
    gate, rpc, evt = vrel_dll.Gatekeeper({}, {}), asyncio.Queue(maxsize=1), asyncio.Queue()
    record = vrel_dll.XtPre("cmd", 1, 0, None, 3)
    assert gate.route_to_queues(packet=record, rpc_queue=rpc, evt_queue=evt) is None and evt.get_nowait() is record
    with pytest.raises(asyncio.QueueFull) as info:  # rpc is full now
        gate.route_to_queues(record, rpc, evt)
    assert own_entries(info.value) == ENTRY and evt.empty() and rpc.get_nowait() is record  # evt is not served
    with pytest.raises(AttributeError) as info:
        gate.route_to_queues(record, evt, object())
    assert own_entries(info.value) == ENTRY and evt.get_nowait() is record  # the RPC put stays


@pytest.mark.parametrize(
    "packet, exc, message",
    [
        (Obj(destination="3"), TypeError, "an integer is required"),
        (Obj(destination=2**31), OverflowError, TOO_LARGE),
        (object(), AttributeError, "'object' object has no attribute 'destination'"),
    ],
)
def test_unreadable_destination_touches_no_queue(packet, exc, message):
    log = []
    with pytest.raises(exc, match=f"^{message}$") as info:
        route(packet, log)
    assert own_entries(info.value) == ENTRY and log == []
