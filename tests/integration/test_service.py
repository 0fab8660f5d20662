"""Start-up, configuration, single instance, crash log and tray commands of the real agent."""
import json
import os
import re
import shutil
import signal
import subprocess
import time
from datetime import datetime
from zoneinfo import ZoneInfo

import pytest

from conftest import CONSOLE_LINE, FILE_LINE, LINUX_EXE, read_lines, wait_until

MACHINE_ID = re.compile(r"^[0-9a-f]{12}$")


def messages(target):
    return [m.group(3) for m in map(FILE_LINE.match, target.log_lines()) if m]


def run_until_ready(target, exe=None):
    agent = target.start(exe)
    agent.wait_ready()
    return agent


def stop(target, agent):
    target.exit(agent)
    assert agent.wait_exit() == 0
    assert target.log_lines()[-1].endswith("] Shutting down")


def test_first_start_banner_identity_and_exit(target):
    agent = run_until_ready(target)
    stop(target, agent)

    file_lines = target.log_lines()
    parsed = [FILE_LINE.match(l) for l in file_lines]
    assert all(parsed), file_lines
    messages = [m.group(3) for m in parsed]
    assert messages[0] == "Zelvo v1.0.2 starting"
    assert messages[1].startswith("Machine ID: ")
    machine_id = messages[1][len("Machine ID: "):]
    assert MACHINE_ID.match(machine_id)
    assert re.match(r"^Hostname: \S+", messages[2])
    # A connection attempt to the default server may still be ending while the agent exits.
    assert [m for m in messages if not m.startswith(("ws:", "proto:"))][-2:] == ["Exit requested", "Shutting down"]

    # The console carries the same lines, with the time only.
    console = [CONSOLE_LINE.match(l) for l in agent.console_lines()]
    assert all(console), agent.console_lines()
    assert [m.group(3) for m in console] == messages
    assert [m.group(1) for m in console] == [m.group(1)[11:] for m in parsed]

    config = json.loads(target.config_file.read_text())
    assert list(config) == ["machine_id", "private_key"]  # the device key follows the ID
    assert config["machine_id"] == machine_id and len(config["private_key"]) == 44
    assert target.config_file.read_text() == json.dumps(config, separators=(",", ":"))

    # The ID stays the same across starts.
    agent = run_until_ready(target)
    stop(target, agent)
    assert f"Machine ID: {machine_id}" in "\n".join(target.log_lines()[len(file_lines):])
    assert not list(target.config_dir.glob("*.tmp*"))


@pytest.mark.parametrize("content", [b"", b"{\"machine_id\": \"abc", b"[1,2]"], ids=["empty", "broken", "not-object"])
def test_unreadable_configuration_reads_as_none(target, content):
    target.config_dir.mkdir(parents=True, exist_ok=True)
    target.config_file.write_bytes(content)
    agent = run_until_ready(target)
    stop(target, agent)
    config = json.loads(target.config_file.read_text())
    assert list(config) == ["machine_id", "private_key"] and MACHINE_ID.match(config["machine_id"])


def test_unknown_keys_survive_a_save(target):
    target.config_dir.mkdir(parents=True, exist_ok=True)
    target.config_file.write_text('{"note": {"kept": [1, "two"]}, "machine_id": "", "zz": true}')
    agent = run_until_ready(target)
    stop(target, agent)
    config = json.loads(target.config_file.read_text())
    assert list(config) == ["note", "zz", "machine_id", "private_key"]  # saved keys go to the end
    assert config["note"] == {"kept": [1, "two"]} and config["zz"] is True
    assert MACHINE_ID.match(config["machine_id"])


def test_configuration_beside_the_executable_seeds_once(target, tmp_path):
    install = tmp_path / "install"
    install.mkdir()
    exe = install / target.exe.name
    shutil.copy2(target.exe, exe)
    (install / "zelvo.conf").write_text('{"server_url": "http://127.0.0.1:9", "seed": 1}')

    agent = run_until_ready(target, exe)
    stop(target, agent)
    config = json.loads(target.config_file.read_text())
    assert config["seed"] == 1 and config["server_url"] == "http://127.0.0.1:9"
    assert any(l.endswith("config: server http://127.0.0.1:9") for l in target.log_lines())

    # Once the folder has its own file, the one beside the executable is ignored.
    (install / "zelvo.conf").write_text('{"seed": 2}')
    agent = run_until_ready(target, exe)
    stop(target, agent)
    assert json.loads(target.config_file.read_text())["seed"] == 1


def test_second_instance_ends_quietly(target):
    first = run_until_ready(target)

    started = time.monotonic()
    second = target.start()
    assert second.wait_exit(timeout=30) == 0
    elapsed = time.monotonic() - started
    assert 3.5 < elapsed < 15, elapsed  # it waited for the first one (10 tries, 9 pauses of 0.5 s)
    # The first instance keeps logging (its connection attempts); the second adds nothing.
    assert messages(target).count("Zelvo v1.0.2 starting") == 1
    assert second.console_lines() == []

    assert first.proc.poll() is None
    stop(target, first)


@pytest.mark.parametrize("other,second_runs", [("XDG_RUNTIME_DIR", False), ("XDG_CONFIG_HOME", True)],
                         ids=["same-configuration", "other-configuration"])
def test_single_instance_guards_the_configuration_folder(linux, tmp_path, other, second_runs):
    # Two agents on one configuration would overwrite each other's key and log; two with
    # configurations of their own do not meet, whatever session they run in.
    first = run_until_ready(linux)
    (tmp_path / "other").mkdir(mode=0o700)
    env = dict(linux.env, **{other: str(tmp_path / "other")})
    second = subprocess.Popen([str(linux.exe)], env=env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, cwd=tmp_path)
    try:
        if second_runs:
            other_log = tmp_path / "other" / "Zelvo" / "service.log"
            assert wait_until(lambda: any("System tray icon added" in l for l in read_lines(other_log)), 30)
            second.stdin.write(b"exit\n")
            second.stdin.flush()
            assert second.wait(20) == 0
        else:
            assert second.wait(30) == 0
            assert second.stderr.read() == b""
            assert messages(linux).count("Zelvo v1.0.2 starting") == 1
    finally:
        if second.poll() is None:
            second.kill()
            second.wait()
    assert first.proc.poll() is None
    stop(linux, first)


def test_runs_without_a_configuration_folder(linux):
    # A configuration folder that cannot be made: the agent runs on, logging to its console only,
    # still guarded against a second instance by the per-user lock.
    blocker = linux.tmp / "not-a-folder"
    blocker.write_text("")
    linux.env["XDG_CONFIG_HOME"] = str(blocker / "config")
    first = linux.start()
    assert wait_until(lambda: any("System tray icon added" in l for l in first.console_lines()), 30), \
        first.console_lines()
    second = linux.start()
    assert second.wait_exit(timeout=30) == 0
    assert first.proc.poll() is None
    linux.exit(first)
    assert first.wait_exit() == 0


def test_instance_takes_over_when_the_first_ends(linux):
    first = run_until_ready(linux)
    second = linux.start()
    time.sleep(1.0)
    linux.exit(first)
    assert first.wait_exit() == 0
    second.wait_ready(timeout=10)
    assert second.proc.poll() is None
    stop(linux, second)


@pytest.mark.parametrize("signum", [signal.SIGSEGV, signal.SIGABRT, signal.SIGFPE])
def test_fatal_signal_writes_one_crash_line(linux, signum):
    agent = run_until_ready(linux)
    os.kill(agent.proc.pid, signum)
    assert agent.wait_exit() == -signum
    lines = (linux.config_dir / "crash.log").read_text().splitlines()
    assert len(lines) == 1
    assert re.match(r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] CRASH: exception code 0x%08X at address \S+$" % signum,
                    lines[0]), lines


CRASH_LINE = re.compile(r"^\[(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\] CRASH: exception code 0x0000000B at address \S+$")


@pytest.mark.parametrize("mode", ["overflow", "heap"])
def test_crash_line_is_written_without_the_heap_or_the_thread_stack(tmp_path, mode):
    # "overflow": a thread exhausts its stack, so the handler must run on the alternate stack.
    # "heap": the allocator ends the process if the handler allocates (a broken heap would hang).
    log = tmp_path / "crash.log"
    zone = "Asia/Kathmandu"  # +05:45: a wrong offset or date shows in the line
    result = subprocess.run([str(LINUX_EXE.parent / "crashprobe"), str(log), mode], capture_output=True,
                            env=dict(os.environ, TZ=zone), timeout=30)
    if result.returncode == 77:
        pytest.skip("the sanitizers replace the allocator")
    assert result.returncode == -signal.SIGSEGV, result.stderr
    lines = read_lines(log)
    assert len(lines) == 1 and CRASH_LINE.match(lines[0]), lines
    written = datetime.strptime(CRASH_LINE.match(lines[0]).group(1), "%Y-%m-%dT%H:%M:%S")
    now = datetime.now(ZoneInfo(zone)).replace(tzinfo=None)
    assert abs((now - written).total_seconds()) < 10, (lines[0], now)


def test_closed_output_pipe_does_not_end_the_agent(linux):
    # The console tray writes to standard output; a reader that went away must not kill us.
    proc = subprocess.Popen([str(linux.exe)], env=linux.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, cwd=linux.tmp)
    try:
        assert wait_until(lambda: linux.tray_lines() == 1, 30)
        proc.stdout.close()
        proc.stdin.write(b"menu\n")
        proc.stdin.flush()
        time.sleep(1.0)
        assert proc.poll() is None, proc.returncode
        proc.stdin.write(b"exit\n")
        proc.stdin.flush()
        assert proc.wait(20) == 0
        assert linux.log_lines()[-1].endswith("] Shutting down")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_console_tray_menu_and_commands(linux):
    agent = run_until_ready(linux)
    linux.command(agent, "menu")
    menu = lambda: [l for l in agent.stdout_lines() if l.startswith("tray: menu: ")]
    assert wait_until(lambda: len(menu()) == 6, 5)
    assert menu() == [
        "tray: menu: Zelvo v1.0.2 (grayed)",
        "tray: menu: Not linked (grayed)",
        "tray: menu: ----",
        "tray: menu: Login with Browser [login]",
        "tray: menu: ----",
        "tray: menu: Exit [exit]",
    ]
    assert agent.stdout_lines()[0] == "tray: tooltip: Zelvo v1.0.2"

    linux.config_file.write_text('{"machine_id":"0123456789ab","private_key":"x"}')
    linux.command(agent, "disconnect")
    assert wait_until(lambda: "tray: status: Not linked" in agent.stdout_lines(), 5)
    assert "tray: tooltip: Zelvo \u2014 Not linked" in agent.stdout_lines()
    assert not linux.config_file.exists()  # unlinking removes the device key with the file

    linux.command(agent, "login")
    assert wait_until(lambda: any(l.endswith("Login requested (browser pairing)") for l in linux.log_lines()), 5)

    agent.proc.send_signal(signal.SIGTERM)  # the session ending acts as Exit
    assert agent.wait_exit() == 0
    tail = [m for m in messages(linux) if not m.startswith(("ws:", "proto:"))]  # connection attempts
    assert tail[-2:] == ["Exit requested", "Shutting down"]


def test_agent_keeps_running_without_a_console(linux):
    agent = linux._spawn([str(linux.exe)], linux.env, subprocess.DEVNULL)
    agent.wait_ready()
    time.sleep(0.5)
    assert agent.proc.poll() is None
    agent.proc.send_signal(signal.SIGINT)
    assert agent.wait_exit() == 0


def test_wine_tray_menu_entries_and_double_click(wine):
    agent = run_until_ready(wine)
    commands = lambda: [m for m in messages(wine) if "requested" in m]

    # Items 1 and 2 (version and status) are grayed: choosing them runs nothing. A fifth step
    # wraps round to the version line, so the menu has exactly four items besides separators.
    for n in (1, 2, 5):
        wine.pick(n)
    wine.pick(3)
    assert wait_until(lambda: commands() == ["Login requested (browser pairing)"], 5), commands()

    code, out = wine.traytool("dblclick")  # not linked: double-click logs in too
    assert code == 0, out
    assert wait_until(lambda: len(commands()) == 2, 5)
    assert commands()[1] == "Login requested (browser pairing)"

    stop(wine, agent)
    assert commands()[-1] == "Exit requested"
