import asyncio

import pytest

import vrel_dll
from conftest import IS_WINDOWS

# Windows has a 32-bit C long: the interpreter's own conversion error comes first there.
TOO_LARGE = "Python int too large to convert to C long" if IS_WINDOWS else "value too large to convert to int"

ENTRY = "vrel_dll.Gatekeeper.route_to_queues"


class Packet:
    def __init__(self, destination):
        self.destination = destination


class Recorder:
    def __init__(self, name, log):
        self.name, self.log = name, log

    def put_nowait(self, item):
        self.log.append((self.name, item))
        return "ignored"


@pytest.mark.parametrize(
    "destination, expected",
    [(0, []), (1, ["rpc"]), (2, ["evt"]), (3, ["rpc", "evt"]), (12, []), (-2, ["evt"]), (-3, ["rpc"]), (True, ["rpc"])],
)
def test_mask_bits_pick_the_queues_in_order(destination, expected):
    log, packet = [], Packet(destination)
    assert vrel_dll.Gatekeeper({}, {}).route_to_queues(packet, Recorder("rpc", log), Recorder("evt", log)) is None
    assert [name for name, _ in log] == expected and all(item is packet for _, item in log)


def test_record_into_asyncio_queues_by_keyword():
    rpc, evt, record = asyncio.Queue(), asyncio.Queue(), vrel_dll.XtPre("cmd", 1, 0, None, 3)
    vrel_dll.Gatekeeper({}, {}).route_to_queues(packet=record, rpc_queue=rpc, evt_queue=evt)
    assert rpc.get_nowait() is record and evt.get_nowait() is record


def test_failing_put(names):
    gate, full, evt, packet = vrel_dll.Gatekeeper({}, {}), asyncio.Queue(maxsize=1), asyncio.Queue(), Packet(3)
    full.put_nowait("earlier")
    with pytest.raises(asyncio.QueueFull) as info:
        gate.route_to_queues(packet, full, evt)
    assert names(info.value)[1] == ENTRY and evt.empty()  # the event queue is not served
    with pytest.raises(AttributeError) as info:
        gate.route_to_queues(packet, evt, object())
    assert names(info.value)[1:] == [ENTRY] and evt.get_nowait() is packet  # the RPC put stays


@pytest.mark.parametrize(
    "packet, exc, message",
    [
        (Packet("3"), TypeError, "an integer is required"),
        (Packet(2**31), OverflowError, TOO_LARGE),
        (object(), AttributeError, "'object' object has no attribute 'destination'"),
    ],
)
def test_unreadable_destination_touches_no_queue(names, packet, exc, message):
    log = []
    with pytest.raises(exc, match=f"^{message}$") as info:
        vrel_dll.Gatekeeper({}, {}).route_to_queues(packet, Recorder("rpc", log), Recorder("evt", log))
    assert names(info.value)[1:] == [ENTRY] and log == []
