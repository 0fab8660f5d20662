"""Runs the real agent, natively and as zelvo.exe under Wine, in throw-away configuration folders."""
import getpass
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
LINUX_EXE = ROOT / os.environ.get("ZELVO_LINUX_BUILD", "build/linux") / "zelvo"
WIN_DIR = ROOT / "build" / "windows"
WIN_EXE = WIN_DIR / "zelvo.exe"
TRAYTOOL = WIN_DIR / "traytool.exe"
WINEPREFIX = ROOT / "build" / "wineprefix-tests"


def pytest_configure(config):
    config.addinivalue_line("markers", "wine: runs zelvo.exe under Wine (given to every test that does)")
    config.addinivalue_line("markers", "big_data: moves gigabytes; run once, against the native agent")
    config.addinivalue_line("markers", "real_periods: proves the real waiting periods; run once, natively")


def pytest_collection_modifyitems(items):
    for item in items:
        params = getattr(getattr(item, "callspec", None), "params", {})
        if "wine" in item.fixturenames or "wine" in params.values():
            item.add_marker(pytest.mark.wine)


def wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


def read_lines(path):
    try:
        return path.read_bytes().decode("utf-8").splitlines()
    except FileNotFoundError:
        return []


class Agent:
    """One running agent process with its captured console."""

    def __init__(self, target, proc, out_path, err_path):
        self.target = target
        self.proc = proc
        self.out_path = out_path
        self.err_path = err_path

    def stdout_lines(self):
        return read_lines(self.out_path)

    def console_lines(self):
        return read_lines(self.err_path)

    def wait_ready(self, timeout=30):
        # The log may hold earlier runs: wait for this run's line.
        ok = wait_until(lambda: self.target.tray_lines() >= self.ready_count, timeout)
        assert ok, f"agent did not reach its tray loop; console: {self.console_lines()}"

    def wait_exit(self, timeout=20):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            pytest.fail("agent did not end in time")

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Target:
    name = ""
    exe = None

    def __init__(self, tmp):
        self.tmp = tmp
        self.runs = 0
        self.agents = []

    @property
    def config_file(self):
        return self.config_dir / "zelvo.conf"

    @property
    def log_file(self):
        return self.config_dir / "service.log"

    def log_lines(self):
        return read_lines(self.log_file)

    def tray_lines(self):
        return sum("System tray icon added" in l for l in self.log_lines())

    def _spawn(self, argv, env, stdin):
        self.runs += 1
        ready_count = self.tray_lines() + 1
        out = self.tmp / f"stdout-{self.runs}.txt"
        err = self.tmp / f"stderr-{self.runs}.txt"
        with open(out, "wb") as o, open(err, "wb") as e:
            proc = subprocess.Popen(argv, env=env, stdin=stdin, stdout=o, stderr=e, cwd=self.tmp)
        agent = Agent(self, proc, out, err)
        agent.ready_count = ready_count
        self.agents.append(agent)
        return agent

    def cleanup(self):
        for agent in self.agents:
            agent.kill()


class LinuxTarget(Target):
    name = "linux"
    exe = LINUX_EXE

    def __init__(self, tmp):
        super().__init__(tmp)
        (tmp / "home").mkdir()
        (tmp / "run").mkdir(mode=0o700)
        (tmp / "temp").mkdir()
        self.temp_dir = tmp / "temp"
        self.env = dict(os.environ, HOME=str(tmp / "home"), XDG_CONFIG_HOME=str(tmp / "config"),
                        XDG_RUNTIME_DIR=str(tmp / "run"), TMPDIR=str(tmp / "temp"))
        self.config_dir = tmp / "config" / "Zelvo"

    def start(self, exe=None):
        return self._spawn([str(exe or self.exe)], self.env, subprocess.PIPE)

    def command(self, agent, word):
        agent.proc.stdin.write(word.encode() + b"\n")
        agent.proc.stdin.flush()

    def exit(self, agent):
        self.command(agent, "exit")


class WineTarget(Target):
    name = "wine"
    exe = WIN_EXE

    def __init__(self, tmp, display):
        super().__init__(tmp)
        self.env = dict(os.environ, WINEPREFIX=str(WINEPREFIX), WINEDEBUG="-all", DISPLAY=display,
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.config_dir = WINEPREFIX / "drive_c" / "users" / getpass.getuser() / "AppData" / "Roaming" / "Zelvo"
        self.own_server = False
        shutil.rmtree(self.config_dir, ignore_errors=True)

    def start(self, exe=None):
        return self._spawn(["wine", str(exe or self.exe)], self.env, subprocess.DEVNULL)

    def traytool(self, *args, timeout=30):
        result = subprocess.run(["wine", str(TRAYTOOL), *map(str, args)], env=self.env, capture_output=True,
                                timeout=timeout)
        return result.returncode, result.stdout.decode(errors="replace").strip()

    def pick(self, n):
        code, out = self.traytool("pick", n)
        assert code == 0, out

    def exit(self, agent):
        code, out = self.traytool("command", 1004)  # Exit, whatever the menu holds now
        assert code == 0, out

    def cleanup(self):
        # The session's wineserver stays up for the next test; only this test's agents go. A test
        # that ran its programs under a wineserver of its own (own_server) hands the next test a
        # fresh persistent one.
        super().cleanup()
        if self.own_server:
            start_wineserver(self.env)
        shutil.rmtree(self.config_dir, ignore_errors=True)


@pytest.fixture(scope="session")
def xvfb():
    """A private X display for Wine's tray and menus."""
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_fd, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_fd)
    assert number.strip(), "Xvfb did not start"
    yield f":{number.strip().decode()}"
    proc.send_signal(signal.SIGTERM)
    proc.wait(timeout=10)


@pytest.fixture(scope="session")
def wine_prefix(xvfb):
    """The tests' Wine prefix, with one persistent wineserver for the whole session: starting
    Wine's services afresh for every test costs seconds each."""
    env = dict(os.environ, WINEPREFIX=str(WINEPREFIX), WINEDEBUG="-all", DISPLAY=xvfb,
               WINEDLLOVERRIDES="mscoree,mshtml=")
    subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=60)  # left by an earlier run
    if not (WINEPREFIX / "system.reg").exists():
        subprocess.run(["wineboot", "-i"], env=env, check=True, capture_output=True, timeout=300)
    start_wineserver(env)
    yield WINEPREFIX
    subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=60)


def start_wineserver(env):
    """(Re)starts the prefix's wineserver, persistent, so that it outlives each test's programs."""
    subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=60)
    subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=120)
    # It daemonizes, and the services Wine starts with the first program live as long as it does:
    # hand neither a pipe, or a later run(capture_output=True) would wait for their end.
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-p"], env=env, timeout=30, **quiet)
    subprocess.run(["wineboot"], env=env, timeout=120, **quiet)


@pytest.fixture(params=["linux", "wine"])
def target(request, tmp_path):
    if request.param == "linux":
        t = LinuxTarget(tmp_path)
    else:
        request.getfixturevalue("wine_prefix")
        t = WineTarget(tmp_path, request.getfixturevalue("xvfb"))
    yield t
    t.cleanup()


@pytest.fixture
def linux(tmp_path):
    t = LinuxTarget(tmp_path)
    yield t
    t.cleanup()


@pytest.fixture
def wine(tmp_path, wine_prefix, xvfb):
    t = WineTarget(tmp_path, xvfb)
    yield t
    t.cleanup()


FILE_LINE = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) (DEBUG|INFO |WARN |ERROR|\?{5})\] (.*)$")
CONSOLE_LINE = re.compile(r"^\[(\d\d:\d\d:\d\d) (DEBUG|INFO |WARN |ERROR|\?{5})\] (.*)$")
