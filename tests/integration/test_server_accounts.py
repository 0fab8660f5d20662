"""zelvo-server's pairing driven from plain WebSocket clients: who a pending code belongs to."""
import asyncio
import base64
import json

import websockets

from zelvo_server import server  # noqa: F401 (fixture)


def pair_request(code, key_byte):
    key = base64.b64encode(bytes([key_byte]) * 32).decode()
    return json.dumps({"e": "service_pair_request",
                       "d": {"code": code, "public_key": key, "platform": "Linux", "version": "1.0.2",
                             "build": "native", "machine_id": f"{key_byte:012x}", "hostname": f"pc{key_byte}"}}), key


def test_a_pending_code_stays_with_the_connection_that_sent_it(server):
    url = f"ws://127.0.0.1:{server.port}/ws"

    def control(method, *args, **kwargs):
        # Off the event loop, so the clients keep reading and writing meanwhile.
        return asyncio.to_thread(getattr(server, method), *args, **kwargs)

    async def scenario():
        async with websockets.connect(url) as first, websockets.connect(url) as second:
            first_request, first_key = pair_request("ABCDEF", 1)
            second_request, _ = pair_request("ABCDEF", 2)
            await first.send(first_request)
            await control("wait", "service_pair_request")
            # The same code from another connection, with another key, must not take the code over.
            since = (await control("call", "GET", "/control/received"))[1]["next"]
            await second.send(second_request)
            await control("wait", "service_pair_request", since=since)
            pairings = (await control("call", "GET", "/control/pairings"))[1]["pairings"]
            assert [(p["code"], p["conn"], p["public_key"]) for p in pairings] == [("ABCDEF", 1, first_key)]

            # The first connection may send its code again; confirming links the first key.
            await first.send(first_request)
            confirm = {"code": "ABCDEF", "username": "alice"}
            status, linked = await control("call", "POST", "/control/pair_confirm", confirm)
            assert status == 200, linked
            assert json.loads(await asyncio.wait_for(first.recv(), 10)) == {
                "e": "pair_success", "d": {"username": "alice", "user_id": linked["user_id"]}}
            devices = (await control("call", "GET", "/control/devices"))[1]["devices"]
            assert [(d["public_key"], d["hostname"]) for d in devices] == [(first_key, "pc1")]
            # Nothing went to the second connection.
            try:
                extra = await asyncio.wait_for(second.recv(), 0.5)
            except asyncio.TimeoutError:
                extra = None
            assert extra is None

    asyncio.run(scenario())
