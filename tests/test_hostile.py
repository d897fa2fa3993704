"""Hostile callers and peers: Python code that frees what a call is using, and memory a peer
can make a parser keep."""

import gc
import tracemalloc
from collections import deque
from types import SimpleNamespace

import pytest

import vrel_dll
from conftest import fields, own_entries
from vrel_dll import Gatekeeper, XtPre, XtPreParser
from vrel_testkit import hostile_peer


def fresh(text: str) -> str:
    """An equal string that nothing else holds (literals are shared with the code object)."""
    return "".join(list(text))


def empty_dicts_holding(obj) -> None:
    """Empties every dict that refers to `obj`: keyword dicts, tables, private copies."""
    for holder in gc.get_referrers(obj):
        if isinstance(holder, dict):
            holder.clear()


class EmptiesItsHolders:
    """An __int__ that empties the dicts holding it, such as the keyword dict of the call."""

    def __int__(self):
        empty_dicts_holding(self)
        return 1


def record_keywords() -> dict:
    return {
        "command": fresh("abc"),
        "status": EmptiesItsHolders(),
        "error_code": 0,
        "data": [fresh("d")],
        "destination": 2,
    }


class Forwarding(XtPre):
    def __init__(self, **kw):
        super().__init__(**kw)


@pytest.mark.parametrize(
    "construct",
    [
        lambda: XtPre(**record_keywords()),
        lambda: Forwarding(**record_keywords()),
        lambda: type("Sub", (XtPre,), {})(**record_keywords()),
        lambda: XtPre.__init__(record := XtPre.__new__(XtPre), **record_keywords()) or record,
    ],
    ids=["XtPre(**kw)", "subclass forwarding **kw", "plain subclass", "__init__(**kw) on a record"],
)
def test_record_keywords_emptied_by_a_status_conversion(construct):
    assert fields(construct()) == ("abc", 1, 0, ["d"], 2)


def test_gatekeeper_keywords_emptied_by_a_key_lower():
    class Key(str):  # its lower() empties every dict holding the handler table, kwargs among them
        def lower(self):
            for table in [t for t in gc.get_referrers(self) if isinstance(t, dict)]:
                empty_dicts_holding(table)
            return fresh("key")

    def keywords():
        return {"handlers": {Key("KEY"): fresh("h"), b"Other": 2}, "error_codes": {7: fresh("seven")}}

    g = Gatekeeper(**keywords())
    assert g._handler_map == {"key": "h", "other": 2} and g._error_codes == {7: "seven"}


class NameClash:
    """A table key equal in hash to the command `abc`, whose comparison runs `effect`."""

    def __init__(self, effect):
        self.effect = effect

    def __hash__(self):
        return hash("abc")

    def __eq__(self, other):
        self.effect()
        return False


def test_the_gate_dropped_during_its_own_membership_test():
    parser = XtPreParser(None)
    gate = Gatekeeper({"abc": 1}, {})
    gate._pending_futures = {NameClash(lambda: parser.__init__(None)): deque()}
    parser.__init__(gate)
    del gate  # the parser holds the only reference, which the key's comparison drops
    assert fields(parser.parse_and_route(b"%xt%abc%1%0%[5]%")) == ("abc", 1, 0, [5], 2)


def test_a_table_replaced_during_its_membership_test():
    gate = Gatekeeper({"abc": 1}, {})
    gate._handler_map = {NameClash(lambda: setattr(gate, "_handler_map", {})): 1, "x": 2}
    assert gate.get_destination_mask("abc") == 0 and gate._handler_map == {}


def test_a_failed_create_future_carries_the_entry(monkeypatch):
    def create_future():
        raise RuntimeError("no futures today")

    monkeypatch.setattr(
        vrel_dll, "asyncio", SimpleNamespace(get_running_loop=lambda: SimpleNamespace(create_future=create_future))
    )
    with pytest.raises(RuntimeError, match="no futures today") as caught:
        Gatekeeper({}, {}).register_rpc("cmd")
    assert own_entries(caught.value) == ["vrel_dll.Gatekeeper.register_rpc"]


@pytest.mark.parametrize(
    "mask, count, size", [(2, 200, 1 << 20), (0, 64, 4 << 20)], ids=["wanted 1 MB fields", "unwanted 4 MB fields"]
)
def test_huge_command_fields_are_not_kept(mask, count, size):
    parser = XtPreParser(SimpleNamespace(get_destination_mask=lambda name: mask))
    gc.collect()
    tracemalloc.start()
    try:
        for i in range(count):
            record = parser.parse_and_route(b"%xt%" + b"%d" % i + b"C" * size + b"%1%0%{}%")
            assert (record is None) == (mask == 0) and (record is None or len(record.command) == size + len(str(i)))
        del record
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] < 1 << 20
    finally:
        tracemalloc.stop()
    cache = [c for c in gc.get_referents(parser) if isinstance(c, dict)][0]
    assert cache == {}


@pytest.mark.parametrize("length, kept", [(64, True), (65, False)])
def test_the_longest_command_field_kept(length, kept):
    parser = XtPreParser(SimpleNamespace(get_destination_mask=lambda name: 2))
    field = b"C" * length
    assert parser.parse_and_route(b"%xt%" + field + b"%0%%").command == "c" * length
    cache = [c for c in gc.get_referents(parser) if isinstance(c, dict)][0]
    assert cache == ({field: "c" * length} if kept else {})


@pytest.mark.no_leak_check("streams hundreds of MB; checks retained memory itself")
def test_hostile_peer_retains_less_than_the_documented_bound():
    for phase, size in hostile_peer.run(1 << 20):
        assert size < hostile_peer.RETAINED_BOUND, phase
