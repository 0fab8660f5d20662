"""The WebSocket transport and dispatcher (wsprobe) against an independent WebSocket peer."""
import asyncio
import json
import os
import subprocess
import threading

import pytest
import websockets

from conftest import ROOT, WIN_DIR, WINEPREFIX

LINUX_BUILD = ROOT / os.environ.get("ZELVO_LINUX_BUILD", "build/linux")


def fnv(text):
    h = 2166136261
    for byte in text.encode():
        h = ((h ^ byte) * 16777619) & 0xFFFFFFFF
    return h


def envelope_of_size(size):
    head, tail = '{"e":"probe_echo","d":{"p":"', '"}}'
    return head + "a" * (size - len(head) - len(tail)) + tail


class Peer:
    """A websockets server in a thread of its own; `script` decides what each connection gets."""

    def __init__(self):
        self.received = []
        self.loop = asyncio.new_event_loop()
        self.ready = threading.Event()
        self.refuse_status = 0
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        assert self.ready.wait(10)

    def _run(self):
        asyncio.set_event_loop(self.loop)

        async def refuse(path, headers):
            if self.refuse_status:
                return self.refuse_status, [], b"refused\n"
            return None

        async def start():
            self.server = await websockets.serve(self._handle, "127.0.0.1", 0, max_size=None,
                                                 process_request=refuse)
            self.port = self.server.sockets[0].getsockname()[1]
            self.ready.set()

        self.loop.run_until_complete(start())
        self.loop.run_forever()

    async def _handle(self, ws, path=None):
        try:
            # A message in three fragments.
            await ws.send(iter(['{"e":"probe_echo",', '"d":{"frag":', '"ments"}}']))
            await ws.send(envelope_of_size(65535))          # the largest message kept whole
            await ws.send(envelope_of_size(65536 + 70000))   # too large: dropped as a whole
            await ws.send(iter(["x" * 40000, "y" * 40000, '{"e":"probe_echo","d":{}}']))  # also too large
            await ws.send('{"E":"probe_echo","D":{"after":true}}')  # member names in any case
            await ws.send('{"e":"PROBE_ECHO","d":{"never":1}}')     # event names exactly
            await ws.send('{"e":5,"d":{}}')
            await ws.send("[1,2,3]")
            await ws.send("not json")
            await ws.send('{"e":"probe_echo"}')
            await ws.send(b'{"e":"probe_echo","d":{"binary":1}}')
            # Several threads of the probe send at once: every message must arrive whole.
            await ws.send('{"e":"probe_burst","d":{"threads":4,"count":50}}')
            async for message in ws:
                self.received.append(message)
                if message == '{"e":"probe_burst_done","d":{}}':
                    break
            await ws.close(1000)
            await asyncio.sleep(1)
        except websockets.ConnectionClosed:
            pass

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)


@pytest.fixture
def peer():
    p = Peer()
    yield p
    p.stop()


def run_probe(target, url, seconds=20, env=None):
    if target == "linux":
        argv = [str(LINUX_BUILD / "wsprobe"), "run", url, str(seconds)]
        env = dict(os.environ)
    else:
        argv = ["wine", str(WIN_DIR / "wsprobe.exe"), "run", url, str(seconds)]
    result = subprocess.run(argv, env=env, capture_output=True, timeout=seconds + 30)
    assert result.returncode == 0, result.stderr
    return result.stdout.decode().splitlines(), result.stderr.decode().replace("\r", "").splitlines()


@pytest.fixture(params=["linux", "wine"])
def probe_target(request):
    if request.param == "wine":
        display = request.getfixturevalue("xvfb")
        request.getfixturevalue("wine_prefix")
        return "wine", dict(os.environ, WINEPREFIX=str(WINEPREFIX), WINEDEBUG="-all", DISPLAY=display,
                            WINEDLLOVERRIDES="mscoree,mshtml=")
    return "linux", None


def messages(stderr):
    return [line.split("] ", 1)[1] for line in stderr if "] " in line]


def test_messages_from_an_independent_peer(peer, probe_target):
    target, env = probe_target
    out, err = run_probe(target, f"ws://127.0.0.1:{peer.port}/ws", seconds=8, env=env)
    events = [l for l in out if l.startswith("event ")]
    whole = envelope_of_size(65535)
    data = whole[len('{"e":"probe_echo","d":'):-1]
    assert events == [
        'event probe_echo {"frag":"ments"}',
        f"event probe_echo len={len(data)} fnv={fnv(data)}",
        'event probe_echo {"after":true}',
        "event probe_echo none",
        'event probe_echo {"binary":1}',
    ]
    log = messages(err)
    assert log.count("ws: message too large, dropping") == 2
    assert log.count("proto: invalid JSON") == 1  # "not json" only: no tail of a dropped message
    assert "ws: server sent close" in log
    assert out[0] == "hook connected" and "hook disconnected" in out
    assert log.index("ws: disconnected") < log.index("proto: disconnected")

    sent = [json.loads(m) for m in peer.received if '"heartbeat"' not in m]
    assert sent[-1] == {"e": "probe_burst_done", "d": {}}
    per_thread = {}
    for message in sent[:-1]:
        assert list(message) == ["e", "d"] and message["e"] == "probe_seq"
        d = message["d"]
        assert d["pad"] == "x" * (200 + 37 * d["t"])
        per_thread.setdefault(d["t"], []).append(d["n"])
    assert per_thread == {t: list(range(50)) for t in range(4)}


def test_refused_upgrade_reports_no_connection(peer, probe_target):
    target, env = probe_target
    peer.refuse_status = 403
    out, err = run_probe(target, f"ws://127.0.0.1:{peer.port}/ws", seconds=3, env=env)
    log = messages(err)
    assert any(l.startswith("ws: WebSocket upgrade failed (") for l in log), log
    assert "hook connected" not in out and "hook disconnected" not in out
    assert "proto: disconnected" not in log


@pytest.mark.parametrize("url", ["http://127.0.0.1/ws", "wss//x", "ws://:80/ws", "ws://host:0/ws"])
def test_invalid_urls_are_refused(url):
    out, err = run_probe("linux", url, seconds=1)
    assert f"ws: invalid URL: {url}" in messages(err)
    assert "hook connected" not in out
