"""Device key, pairing, challenge-response, revocation, reconnect runs, watchdog and the tray's
commands of the real agent against zelvo-server."""
import base64
import contextlib
import getpass
import json
import re
import shutil
import subprocess
import time

import nacl.signing
import pytest

from conftest import FILE_LINE, WIN_DIR, wait_until
from zelvo_server import ZelvoServer, server  # noqa: F401 (fixture)

CODE = re.compile(r"^[ABCDEFGHJKLMNPQRSTUVWXYZ23456789]{6}$")


def log(target):
    return [m.group(3) for m in map(FILE_LINE.match, target.log_lines()) if m]


def wait_log(target, text, timeout=20, count=1):
    ok = wait_until(lambda: log(target).count(text) >= count, timeout)
    assert ok, f"no {text!r} in {log(target)[-15:]}"


def config(target):
    return json.loads(target.config_file.read_text())


def public_key_of(seed_b64):
    key = nacl.signing.SigningKey(base64.b64decode(seed_b64))
    return base64.b64encode(bytes(key.verify_key)).decode()


def start_agent(target, server, extra=None):
    target.config_dir.mkdir(parents=True, exist_ok=True)
    current = json.loads(target.config_file.read_text()) if target.config_file.exists() else {}
    current.update({"server_url": f"http://127.0.0.1:{server.port}"}, **(extra or {}))
    target.config_file.write_text(json.dumps(current))
    agent = target.start()
    agent.wait_ready()
    return agent


def login(target, agent):
    if target.name == "linux":
        target.command(agent, "login")
    else:
        target.pick(3)  # version, status, Login with Browser


def pair(target, agent, server, username="alice"):
    since = server.call("GET", "/control/received")[1]["next"]
    login(target, agent)
    request = json.loads(server.wait("service_pair_request", since=since)["text"])["d"]
    status, linked = server.call("POST", "/control/pair_confirm", {"code": request["code"], "username": username})
    assert status == 200, linked
    wait_log(target, f"pair: success! linked as {username} (user_id={linked['user_id']})")
    return request, linked


# Waiting periods shortened tenfold; one test below proves the real ones.
FAST = {"test_period_scale": 0.1}
WATCHDOG_FAST = 1.5  # seconds


def tray_state(agent):
    """The last status line and tooltip the console tray printed."""
    out = agent.stdout_lines()
    last = lambda prefix: next((l[len(prefix):] for l in reversed(out) if l.startswith(prefix)), None)
    return last("tray: status: "), last("tray: tooltip: ")


def log_times(target, prefix):
    """(seconds since the epoch, message) of each log line starting with `prefix`."""
    out = []
    for m in map(FILE_LINE.match, target.log_lines()):
        if m and m.group(3).startswith(prefix):
            out.append((time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")), m.group(3)))
    return out


def test_device_key_is_created_once_and_kept(target, server):
    agent = start_agent(target, server)
    assert "auth: generated new keypair" in log(target)
    seed = config(target)["private_key"]
    assert len(seed) == 44 and len(base64.b64decode(seed)) == 32
    target.exit(agent)
    assert agent.wait_exit() == 0

    agent = start_agent(target, server)
    assert log(target).count("auth: loaded keypair from config") == 1
    assert config(target)["private_key"] == seed
    target.exit(agent)
    assert agent.wait_exit() == 0


@pytest.mark.parametrize("length", [31, 33])
def test_a_stored_key_of_the_wrong_length_is_replaced(linux, server, length):
    bad = base64.b64encode(bytes(range(length))).decode()
    agent = start_agent(linux, server, {"private_key": bad})
    assert "auth: generated new keypair" in log(linux)
    seed = config(linux)["private_key"]
    assert seed != bad and len(base64.b64decode(seed)) == 32
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_pairing_then_challenge_response_on_the_next_start(target, server):
    agent = start_agent(target, server)
    server.wait_connection()
    request, linked = pair(target, agent, server)

    assert list(request) == ["code", "public_key", "platform", "version", "build", "machine_id", "hostname"]
    assert CODE.match(request["code"])
    assert request["public_key"] == public_key_of(config(target)["private_key"])
    assert request["platform"] == ("Linux" if target.name == "linux" else "Windows")
    assert (request["version"], request["build"]) == ("1.0.2", "native")
    assert request["machine_id"] == config(target)["machine_id"]
    assert f"pair: opening http://127.0.0.1:{server.port}/link_service?code={request['code']}" in log(target)
    assert config(target)["username"] == "alice"
    if target.name == "linux":
        out = agent.stdout_lines()
        assert "tray: status: Waiting for browser login..." in out
        assert "tray: status: Connected \u2014 alice" in out and "tray: tooltip: Zelvo v1.0.2 \u2014 alice" in out

    # A challenge of the test's own choosing: the answer must verify over exactly its UTF-8 bytes.
    since = server.call("GET", "/control/received")[1]["next"]
    challenge = "caf\u00e9 \"quoted\" \\ \u2713"
    server.send("auth_challenge", {"challenge": challenge})
    answer = json.loads(server.wait("auth_response", since=since)["text"])["d"]
    assert list(answer) == ["signature", "public_key"] and answer["public_key"] == request["public_key"]
    key = nacl.signing.VerifyKey(base64.b64decode(answer["public_key"]))
    key.verify(challenge.encode(), base64.b64decode(answer["signature"]))  # raises when wrong

    target.exit(agent)
    assert agent.wait_exit() == 0

    # The next start authenticates on its own, and the server verifies the signature.
    agent = start_agent(target, server)
    wait_log(target, f"auth: authenticated as alice (user_id={linked['user_id']})")
    assert "auth: sending auth_key challenge request" in log(target)
    assert "auth: signed challenge, sent response" in log(target)
    connections = server.connections()
    assert any(c.get("authenticated") and c.get("username") == "alice" for c in connections), connections
    target.exit(agent)
    assert agent.wait_exit() == 0


def test_auth_fail_deletes_the_configuration_only_when_revoked(linux, server):
    agent = start_agent(linux, server, FAST)
    server.wait_connection()
    pair(linux, agent, server)

    server.send("auth_fail", {"error": "temporarily unavailable"})
    wait_log(linux, "auth: auth failed: temporarily unavailable")
    assert linux.config_file.exists()
    assert wait_until(lambda: "tray: status: Auth failed" in agent.stdout_lines(), 5)

    server.send("auth_fail", {})
    wait_log(linux, "auth: auth failed: Unknown error")
    assert linux.config_file.exists()

    # The server revokes the key: the next authentication fails and unlinks the PC.
    server.call("POST", "/control/revoke", {"public_key": public_key_of(config(linux)["private_key"])})
    linux.exit(agent)
    assert agent.wait_exit() == 0
    agent = start_agent(linux, server, FAST)
    wait_log(linux, "auth: cleared config (key revoked)")
    assert "auth: auth failed: device key revoked" in log(linux)
    assert wait_until(lambda: not linux.config_file.exists(), 5)
    assert wait_until(lambda: tray_state(agent) == ("Not linked", "Zelvo \u2014 Not linked"), 5), tray_state(agent)

    # A PC that is no longer linked stops trying once its connection ends: no reconnect run, no
    # watchdog, and the tray still says so.
    since = len(log(linux))
    server.call("POST", "/control/drop", {})
    wait_log(linux, "proto: disconnected")
    time.sleep(3 * WATCHDOG_FAST)
    assert not [m for m in log(linux)[since:] if m.startswith(("reconnect:", "watchdog:"))]
    assert tray_state(agent) == ("Not linked", "Zelvo \u2014 Not linked")
    linux.exit(agent)
    assert agent.wait_exit() == 0


ATTEMPTS = [f"reconnect: attempt {n}/6 (wait {w}s)" for n, w in zip(range(1, 7), [1, 2, 3, 5, 10, 15])]


def reconnect_cycle(linux, tmp_path, scale):
    """Links the agent, stops the server through a whole failing run and the watchdog's next
    start, then brings it back; returns the log times of the first run's lines."""
    server = ZelvoServer(tmp_path / "server-data")
    port = server.port
    try:
        agent = start_agent(linux, server, {"test_period_scale": scale})
        server.wait_connection()
        pair(linux, agent, server)
        server.stop()

        # Six attempts with their pauses, then the watchdog starts a new run within its period.
        wait_log(linux, "reconnect: all attempts failed, watchdog will retry", timeout=90 * scale + 5)
        attempts = [m for m in log(linux) if m.startswith("reconnect: attempt")]
        assert attempts == ATTEMPTS
        assert wait_until(lambda: "tray: status: Connection failed \u2014 retrying soon" in agent.stdout_lines(), 5)
        first_run = log_times(linux, "reconnect:")
        wait_log(linux, "watchdog: not connected, triggering reconnect", timeout=20 * scale + 5)
        wait_log(linux, "reconnect: attempt 1/6 (wait 1s)", count=2, timeout=5)
        first_run.append(log_times(linux, "watchdog:")[0])

        # The server comes back on the same port: the run's next attempt connects and the agent
        # authenticates again from its stored key.
        server = ZelvoServer(tmp_path / "server-data", listen=f"127.0.0.1:{port}")
        wait_log(linux, "reconnect: success", timeout=40 * scale + 5)
        wait_log(linux, "auth: authenticated as alice (user_id=1)", timeout=10)
        linux.exit(agent)
        assert agent.wait_exit() == 0
        return first_run
    finally:
        server.stop()


def test_reconnect_runs_then_watchdog_then_success(linux, tmp_path):
    reconnect_cycle(linux, tmp_path, 0.1)


@pytest.mark.real_periods
def test_reconnect_and_watchdog_keep_their_real_periods(linux, tmp_path):
    times = reconnect_cycle(linux, tmp_path, 1)
    # Each failed attempt: 0.5 s after the close, 5 s of polls, then its pause (log times are
    # whole seconds). The watchdog's next start comes within its 15 s period of the run's end.
    attempts = [t for t, m in times if m.startswith("reconnect: attempt")]
    gaps = [b - a for a, b in zip(attempts, attempts[1:])]
    for gap, pause in zip(gaps, [1, 2, 3, 5, 10]):
        assert pause + 5.5 - 1.5 <= gap <= pause + 5.5 + 2, (gaps, pause)
    failed = next(t for t, m in times if m.startswith("reconnect: all attempts failed"))
    assert 5.5 - 1.5 <= failed - attempts[-1] <= 5.5 + 2
    watchdog = times[-1][0]
    assert 0 <= watchdog - failed <= 15 + 1


def test_disconnect_unlinks_and_nothing_reconnects(linux, server):
    agent = start_agent(linux, server, FAST)
    server.wait_connection()
    pair(linux, agent, server)

    since = len(log(linux))
    linux.command(agent, "disconnect")
    wait_log(linux, "Disconnect requested")
    assert wait_until(lambda: not linux.config_file.exists(), 5)
    # The closed connection's hook runs, and leaves the tray as Disconnect set it: nothing
    # reconnects.
    wait_log(linux, "proto: disconnected")
    time.sleep(2 * WATCHDOG_FAST)
    assert not [m for m in log(linux)[since:] if m.startswith(("reconnect:", "watchdog:"))]
    assert tray_state(agent) == ("Not linked", "Zelvo \u2014 Not linked")
    linux.command(agent, "menu")
    assert wait_until(lambda: "tray: menu: Login with Browser [login]" in agent.stdout_lines(), 5)
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_disconnect_during_a_reconnect_pause_stays_disconnected(linux, server):
    # Real periods: the run waits 500 ms between closing the old connection and the attempt,
    # time enough for the Disconnect below to land inside that pause.
    agent = start_agent(linux, server)
    server.wait_connection()
    pair(linux, agent, server)
    connected = log(linux).count("ws: connected")

    server.call("POST", "/control/drop", {})
    wait_log(linux, "reconnect: attempt 1/6 (wait 1s)", timeout=10)
    linux.command(agent, "disconnect")
    wait_log(linux, "reconnect: should_reconnect=false", timeout=10)
    time.sleep(2)
    assert log(linux).count("ws: connected") == connected
    assert not [c for c in server.connections() if c.get("open", True)], server.connections()
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_threads_that_cannot_start_are_logged_and_the_agent_runs_on(linux, server):
    # Each thread's stack takes the stack limit: one of 4 TiB cannot be mapped, so every thread
    # start fails while the main thread runs normally.
    linux.config_dir.mkdir(parents=True, exist_ok=True)
    linux.config_file.write_text(json.dumps({"server_url": f"http://127.0.0.1:{server.port}"}))
    agent = linux._spawn(["prlimit", f"--stack={4 << 40}", str(linux.exe)], linux.env, subprocess.PIPE)
    agent.wait_ready()
    linux.command(agent, "login")
    wait_log(linux, "Login requested (browser pairing)")
    failures = [m for m in log(linux) if "cannot start" in m]
    assert [m.split(":")[0] for m in failures] == ["ws", "watchdog", "pair"], failures
    assert agent.proc.poll() is None
    linux.exit(agent)
    assert agent.wait_exit() == 0


def make_installer(path, size, record):
    """A shell 'installer' of `size` bytes that records its arguments."""
    head = f'#!/bin/sh\nprintf "%s\\n" "$*" > "{record}"\nexit 0\n'.encode()
    path.write_bytes(head + b"#" * (size - len(head) - 1) + b"\n")


def wait_status(server, since, status):
    """The first "update_status" with this status at or after `since`."""
    while True:
        message = server.wait("update_status", since=since)
        d = json.loads(message["text"])["d"]
        if d["status"] == status:
            return d
        since = message["seq"] + 1


def test_update_hands_over_to_the_installer_after_the_agent_ends(linux, server, tmp_path):
    downloads = server.data_dir / "download"
    downloads.mkdir(exist_ok=True)
    record = tmp_path / "installer-args.txt"
    make_installer(downloads / "small.sh", 800_000, record)
    make_installer(downloads / "setup.sh", 1_200_000, record)
    agent = start_agent(linux, server)
    server.wait_connection()
    base = f"http://127.0.0.1:{server.port}/download"

    # Too small: refused and removed; the agent runs on.
    since = server.call("GET", "/control/received")[1]["next"]
    server.send("do_update", {"download_url": f"{base}/small.sh", "filename": "small.sh", "version": "9.0"})
    assert wait_status(server, since, "error") == {"status": "error", "message": "Downloaded file too small"}
    assert not list(linux.temp_dir.iterdir()) and agent.proc.poll() is None

    # An error status is no installer, whatever its size.
    since = server.call("GET", "/control/received")[1]["next"]
    server.send("do_update", {"download_url": f"{base}/setup.sh?status=500", "filename": "setup.sh"})
    assert wait_status(server, since, "error") == {"status": "error", "message": "Download failed"}

    since = server.call("GET", "/control/received")[1]["next"]
    server.send("do_update", {"download_url": f"{base}/setup.sh", "filename": "dir/setup.sh", "version": "1.0.10"})
    assert wait_status(server, since, "downloading") == {"status": "downloading", "version": "1.0.10"}
    assert wait_status(server, since, "restarting") == {"status": "restarting", "version": "1.0.10"}
    assert agent.wait_exit() == 0
    assert wait_until(record.exists, 15), "the installer did not run"
    assert record.read_text() == "/VERYSILENT /NORESTART /SUPPRESSMSGBOXES /SP-\n"
    assert wait_until(lambda: not list(linux.temp_dir.iterdir()), 5)  # installer and script gone
    assert "update: downloaded 1200000 bytes, installing..." in log(linux)


@contextlib.contextmanager
def wine_user_temp(wine, path):
    """Points the Wine user's TEMP and TMP (Wine takes them from the registry, not from the
    environment) at the Windows path `path` for the duration, then puts the key back as it was."""
    saved = wine.tmp / "environment.reg"
    subprocess.run(["wine", "reg", "export", "HKCU\\Environment", str(saved), "/y"], env=wine.env, check=True,
                   capture_output=True, timeout=60)
    try:
        for name in ("TEMP", "TMP"):
            subprocess.run(["wine", "reg", "add", "HKCU\\Environment", "/v", name, "/t", "REG_SZ", "/d", path, "/f"],
                           env=wine.env, check=True, capture_output=True, timeout=60)
        yield
    finally:
        subprocess.run(["wine", "reg", "import", str(saved)], env=wine.env, check=True, capture_output=True,
                       timeout=60)
        # The session's persistent wineserver holds the registry, so the next test sees it restored.


def test_update_under_wine_runs_the_batch_script_after_exit(wine, server):
    """A temporary folder such as C:\\Users\\Jürgen\\... (here with a character outside the OEM code
    page as well) and an installer name with an umlaut: cmd.exe reads the script in the OEM code
    page, so a path written in UTF-8 would name nothing and leave the PC without an agent."""
    downloads = server.data_dir / "download"
    downloads.mkdir(exist_ok=True)
    # A real Windows program padded past the size floor (PE files ignore trailing data).
    installer = (WIN_DIR / "fakeinstaller.exe").read_bytes()
    (downloads / "setup.exe").write_bytes(installer + b"\0" * (1_100_000 - len(installer)))
    user_temp = wine.config_dir.parent.parent.parent / "Temp"  # the Wine user's default %TEMP%
    temp = user_temp / "J\u00fcrgen\u2713"  # no blank: Wine's cmd.exe pipes through %TEMP% unquoted
    shutil.rmtree(temp, ignore_errors=True)
    temp.mkdir(parents=True)
    record = temp / "zelvo-installer-args.txt"  # the installer writes into its own %TEMP%
    try:
        with wine_user_temp(wine, f"C:\\users\\{getpass.getuser()}\\Temp\\{temp.name}"):
            agent = start_agent(wine, server)
            server.wait_connection()
            server.send("do_update", {"download_url": f"http://127.0.0.1:{server.port}/download/setup.exe",
                                      "filename": "Setup f\u00fcr J\u00fcrgen.exe", "version": "2"})
            assert agent.wait_exit(timeout=60) == 0
            assert wait_until(record.exists, 60), ("the installer did not run", [p.name for p in temp.rglob("*")])
            assert record.read_text().strip() == "/VERYSILENT /NORESTART /SUPPRESSMSGBOXES /SP-"
            # Installer and script are gone; their private folder is emptied (cmd.exe under Wine keeps
            # the script open to its end, so the folder itself may stay).
            folders = list(temp.glob("zelvo-update-*"))
            assert len(folders) == 1 and folders[0].is_dir()
            assert wait_until(lambda: not any(folders[0].iterdir()), 20), list(folders[0].iterdir())
    finally:
        shutil.rmtree(temp, ignore_errors=True)
