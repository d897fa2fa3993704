"""A short tour of vrel_dll: format a request, parse the answer, route it, resolve it."""

import asyncio

import vrel_dll


async def main() -> None:
    gate = vrel_dll.Gatekeeper({"chat": print}, {7: "Not allowed"})
    parser = vrel_dll.XtPreParser(gate)

    request = vrel_dll.cy_format_xt("zone", "getRoom", ["lobby", 3])
    print("request:", request)

    answer = parser.parse_and_route(b'%xt%getRoom%1%0%{"room":"lobby","users":3}%')
    print("unwanted answer (no request pending):", answer)

    fut = gate.register_rpc("getRoom")
    answer = parser.parse_and_route(b'%xt%getRoom%1%0%{"room":"lobby","users":3}%')
    print("parsed:", answer.command, answer.status, answer.error_code, answer.data, answer.destination)
    rpc_queue: asyncio.Queue = asyncio.Queue()
    evt_queue: asyncio.Queue = asyncio.Queue()
    gate.route_to_queues(answer, rpc_queue, evt_queue)
    packet = rpc_queue.get_nowait()
    gate.resolve_rpc(packet.command, gate.process_status(packet.command, packet.status, packet.error_code, packet.data))
    print("future result:", await fut)

    event = parser.parse_and_route(b"%xt%chat%2%7%{}%")
    gate.route_to_queues(event, rpc_queue, evt_queue)
    event = evt_queue.get_nowait()
    print("status judged:", gate.process_status(event.command, event.status, event.error_code, event.data))
    gate.cancel_all()


if __name__ == "__main__":
    asyncio.run(main())
