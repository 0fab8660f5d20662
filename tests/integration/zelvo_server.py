"""Starts zelvo-server for a test and talks to its control interface."""
import json
import os
import subprocess
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

from conftest import ROOT, wait_until

# The native server, unless a run puts the server itself under test (ZELVO_SERVER_BUILD).
SERVER_EXE = ROOT / os.environ.get("ZELVO_SERVER_BUILD", "build/linux") / "zelvo-server"


class ZelvoServer:
    def __init__(self, data_dir, tls=None, listen=None, exe=SERVER_EXE):
        self.data_dir = Path(data_dir)
        self.tls = tls
        self.exe = exe
        self._start(listen, "127.0.0.1:0")

    def _start(self, listen, tls_listen):
        port_file = self.data_dir.parent / f"{self.data_dir.name}.ports"
        argv = [str(self.exe), "--data", str(self.data_dir), "--port-file", str(port_file)]
        if listen:
            argv += ["--listen", listen]
        if self.tls:
            argv += ["--tls-listen", tls_listen, "--tls-cert", str(self.tls[0]), "--tls-key", str(self.tls[1])]
        port_file.unlink(missing_ok=True)  # a restarted server writes it anew
        self.log = open(self.data_dir.parent / f"{self.data_dir.name}.out", "ab")
        self.proc = subprocess.Popen(argv, stdout=self.log, stderr=subprocess.STDOUT)
        assert wait_until(port_file.exists, 15), "zelvo-server did not start"
        ports = json.loads(port_file.read_text())
        self.port, self.tls_port = ports["http"], ports["https"]
        self.base = f"http://127.0.0.1:{self.port}"

    def call(self, method, path, body=None, timeout=30):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method)
        try:
            with urllib.request.urlopen(request, timeout=timeout) as response:
                return response.status, json.loads(response.read() or b"{}")
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read() or b"{}")

    def send(self, event, data=None, **options):
        status, answer = self.call("POST", "/control/send", dict({"e": event, "d": data or {}}, **options))
        assert status == 200, answer
        return answer

    def wait(self, event, since=1, timeout_ms=20000):
        status, answer = self.call("GET", f"/control/wait?event={event}&since={since}&timeout_ms={timeout_ms}",
                                   timeout=timeout_ms / 1000 + 10)
        assert status == 200, f"no {event}: {answer}"
        return answer

    def wait_connection(self, since_id=0, timeout_ms=20000):
        status, answer = self.call("GET", f"/control/wait_connection?since_id={since_id}&timeout_ms={timeout_ms}",
                                   timeout=timeout_ms / 1000 + 10)
        assert status == 200, answer
        return answer["id"]

    def received(self, since=1):
        return self.call("GET", f"/control/received?since={since}")[1]["messages"]

    def connections(self):
        return self.call("GET", "/control/connections")[1]["connections"]

    def upload_fault(self, **fields):
        """Arms faults for chunk POSTs: status=, count=, body=; drop=; after=; delay_ms=; pad=; record_raw=;
        close_after=.
        Each given member sets its fault; none, or reset=True, disarms all."""
        status, answer = self.call("POST", "/control/upload_fault", fields)
        assert status == 200, answer
        return answer

    def batch(self, batch_id, wait_complete=False, timeout_ms=60000):
        """(status, answer) of /control/batch; with wait_complete, once the image is made or a part failed."""
        path = f"/control/batch?batch_id={batch_id}"
        if wait_complete:
            path += f"&wait_complete=1&timeout_ms={timeout_ms}"
        return self.call("GET", path, timeout=timeout_ms / 1000 + 10)

    def upload_log(self, since=1):
        return self.call("GET", f"/control/upload_log?since={since}")[1]["requests"]

    def restart(self):
        """Stops the server and starts it again on the same data folder and ports."""
        self.stop()
        self._start(f"127.0.0.1:{self.port}", f"127.0.0.1:{self.tls_port}")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def connect_agent(target, server, period_scale=None):
    """Starts the target's agent configured for this server and waits until it is connected;
    `period_scale` shortens the agent's waiting periods (retry pauses, reconnects) by that factor."""
    target.config_dir.mkdir(parents=True, exist_ok=True)
    config = {"server_url": f"http://127.0.0.1:{server.port}"}
    if period_scale is not None:
        config["test_period_scale"] = period_scale
    target.config_file.write_text(json.dumps(config))
    agent = target.start()
    agent.wait_ready()
    server.wait_connection()
    return agent


@pytest.fixture
def server(tmp_path):
    """A zelvo-server of the test's own, on an ephemeral loopback port."""
    s = ZelvoServer(tmp_path / "server-data")
    yield s
    s.stop()
