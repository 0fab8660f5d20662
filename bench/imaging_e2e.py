#!/usr/bin/python3
"""End-to-end throughput of imaging a local file, next to what the machine allows on its own.

Makes a file of mixed content (runs of zero, fill and random 1 MiB blocks, 2 GiB by default) in a
temporary folder, then measures in one run:
  read    a plain sequential read of the file (64 MiB reads);
  curl    an upload of the file with curl to a local HTTP sink that throws the body away (a small
          server in this script: zelvo-server takes no body that large);
  agent   the agent imaging the file to zelvo-server on loopback ("upload_local_file"), timed from
          sending the event to the arrival of "job_complete".
The page cache is dropped before each measurement when the system lets us (root); otherwise the
file is read once beforehand and every figure is a warm-cache one. The table says which.

Run from the repository after building the native tree (cmake --build build/linux):
  /usr/bin/python3 bench/imaging_e2e.py [--size-gib 2] [--part-size-mb 500] [--dir /tmp] [--keep]
"""
import argparse
import hashlib
import json
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "integration"))
from conftest import wait_until  # noqa: E402
from zelvo_server import ZelvoServer  # noqa: E402

MIB = 1024 * 1024
READ_SIZE = 64 * MIB


# ---- the input file ----

def make_file(path, size, seed=1):
    """Runs of 1 to 64 MiB: about 45% random, 40% zero, 15% filled with one byte value. Zeros are
    written out, not left as holes, so that reading them costs what reading a disk would."""
    rng = random.Random(seed)
    zero = bytes(MIB)
    fills = {value: bytes([value]) * MIB for value in (0xFF, 0x20, 0xE5, 0x01)}
    counts = {"random": 0, "zero": 0, "fill": 0}
    written = 0
    with open(path, "wb", buffering=0) as f:
        while written < size:
            run = min(rng.randint(1, 64) * MIB, size - written)
            pick = rng.randrange(100)
            kind = "random" if pick < 45 else "zero" if pick < 85 else "fill"
            fill = fills[rng.choice(list(fills))]
            left = run
            while left:
                n = min(MIB, left)
                f.write(os.urandom(n) if kind == "random" else (zero if kind == "zero" else fill)[:n])
                left -= n
            counts[kind] += run
            written += run
        os.fsync(f.fileno())
    return counts


def sha256_of(path):
    digest = hashlib.sha256()
    buffer = bytearray(READ_SIZE)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(buffer):
            digest.update(view[:n])
    return digest.hexdigest()


# ---- page cache ----

def drop_caches():
    """True when the page cache was dropped."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def timed_read(path):
    buffer = bytearray(READ_SIZE)
    total = 0
    start = time.monotonic()
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(buffer):
            total += n
    return time.monotonic() - start, total


# ---- the HTTP sink for curl ----

def run_sink(port_file):
    """Answers every request with 200 after reading and dropping its body (Content-Length only)."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    Path(port_file + ".tmp").write_text(str(listener.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)
    buffer = bytearray(4 * MIB)
    view = memoryview(buffer)
    while True:
        conn, _ = listener.accept()
        with conn:
            head = b""
            while b"\r\n\r\n" not in head:
                piece = conn.recv(65536)
                if not piece:
                    break
                head += piece
            header, _, rest = head.partition(b"\r\n\r\n")
            length = 0
            for line in header.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value.strip())
            left = length - len(rest)
            while left > 0:
                n = conn.recv_into(view, min(left, len(buffer)))
                if n == 0:
                    break
                left -= n
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")


def timed_curl(path, workdir):
    port_file = str(workdir / "sink.port")
    sink = subprocess.Popen([sys.executable, __file__, "--sink", port_file])
    try:
        if not wait_until(lambda: os.path.exists(port_file), 10):
            raise SystemExit("the HTTP sink did not start")
        port = int(Path(port_file).read_text())
        start = time.monotonic()
        result = subprocess.run(
            ["curl", "-sS", "-o", "/dev/null", "-X", "POST", "-H", "Expect:", "-H",
             "Content-Type: application/octet-stream", "-T", str(path),
             "-w", "%{http_code} %{size_upload}", f"http://127.0.0.1:{port}/sink"],
            capture_output=True, text=True, timeout=1800)
        seconds = time.monotonic() - start
    finally:
        sink.kill()
        sink.wait()
    code, uploaded = result.stdout.split()
    if result.returncode != 0 or code != "200":
        raise SystemExit(f"curl failed: {result.returncode} {result.stdout} {result.stderr}")
    return seconds, int(float(uploaded))


# ---- zelvo-server and the agent ----

def start_agent(exe, workdir, server):
    home, config, run, temp = (workdir / n for n in ("home", "config", "run", "temp"))
    for folder in (home, config / "Zelvo", temp):
        folder.mkdir(parents=True, exist_ok=True)
    run.mkdir(mode=0o700, exist_ok=True)
    (config / "Zelvo" / "zelvo.conf").write_text(json.dumps({"server_url": server.base}))
    env = dict(os.environ, HOME=str(home), XDG_CONFIG_HOME=str(config), XDG_RUNTIME_DIR=str(run),
               TMPDIR=str(temp))
    out = open(workdir / "agent.out", "wb")
    proc = subprocess.Popen([str(exe)], env=env, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT,
                            cwd=workdir)
    return proc, out, config / "Zelvo" / "service.log"


def stop_agent(proc, out):
    if proc.poll() is None:
        try:
            proc.stdin.write(b"exit\n")
            proc.stdin.flush()
            proc.wait(20)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            proc.kill()
            proc.wait()
    out.close()


def received_errors(server):
    status, answer = server.call("GET", "/control/received?since=1")
    errors = []
    for message in answer.get("messages", []) if status == 200 else []:
        envelope = json.loads(message["text"])
        if envelope.get("e") == "job_error":
            errors.append(envelope.get("d"))
    return errors


def timed_agent(path, part_size_mb, build, workdir, cold):
    server = ZelvoServer(workdir / "server-data", exe=build / "zelvo-server")
    agent, agent_out, log = None, None, None
    try:
        status, answer = server.call("GET", "/upload_chunk_status?token=t&batch_id=probe&part_number=1")
        if status != 200:
            raise SystemExit(f"zelvo-server has no upload side yet: /upload_chunk_status -> {status} {answer}")
        agent, agent_out, log = start_agent(build / "zelvo", workdir, server)
        status, answer = server.call("GET", "/control/wait_connection?since_id=0&timeout_ms=30000", timeout=40)
        if status != 200:
            raise SystemExit(f"the agent did not connect: {status} {answer}")
        request = {"file_path": str(path), "part_size_mb": part_size_mb, "token": "t", "server_url": server.base}
        dropped = drop_caches() if cold else False

        start = time.monotonic()
        status, answer = server.call("POST", "/control/send", {"e": "upload_local_file", "d": request})
        if status != 200:
            raise SystemExit(f"cannot send the event: {status} {answer}")
        deadline = start + 1800
        complete = None
        while time.monotonic() < deadline:
            status, answer = server.call("GET", "/control/wait?event=job_complete&since=1&timeout_ms=2000", timeout=15)
            if status == 200:
                complete = json.loads(answer["text"])["d"]
                break
            if errors := received_errors(server):
                raise SystemExit(f"the job failed: {errors}")
        seconds = time.monotonic() - start
        if complete is None:
            raise SystemExit("no job_complete within 30 minutes")

        # The server goes on decoding and joining parts after the agent is done; report that too.
        batch_id = complete.get("batch_id")
        status, batch = server.call("GET", f"/control/batch?batch_id={batch_id}&wait_complete=1&timeout_ms=120000",
                                    timeout=130)
        stored_seconds = time.monotonic() - start if status == 200 else None
        lines = log.read_text(errors="replace").splitlines() if log.exists() else []
        summary = next((l.split("] ", 1)[-1] for l in reversed(lines) if "imaging: complete!" in l), "(no line)")
        return {"seconds": seconds, "dropped": dropped, "complete": complete, "batch": batch if status == 200 else None,
                "stored_seconds": stored_seconds, "log": summary}
    finally:
        if agent:
            stop_agent(agent, agent_out)
        server.stop()


# ---- main ----

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-gib", type=float, default=2.0)
    parser.add_argument("--part-size-mb", type=int, default=500)
    parser.add_argument("--dir", default=None, help="parent of the temporary folder (default: the system's)")
    parser.add_argument("--build", default=str(ROOT / "build" / "linux"), help="folder with zelvo and zelvo-server")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("--sink", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.sink:
        return run_sink(args.sink)

    build = Path(args.build)
    for exe in ("zelvo", "zelvo-server"):
        if not (build / exe).exists():
            raise SystemExit(f"{build / exe} is missing: build the native tree first")
    workdir = Path(tempfile.mkdtemp(prefix="zelvo-e2e-", dir=args.dir))
    try:
        size = int(args.size_gib * 1024 * MIB)
        path = workdir / "source.img"
        start = time.monotonic()
        counts = make_file(path, size)
        print(f"made {path} ({size / MIB:.0f} MiB) in {time.monotonic() - start:.1f}s: "
              + ", ".join(f"{k} {v / MIB:.0f} MiB" for k, v in counts.items()), flush=True)

        cold = drop_caches()
        if not cold:
            timed_read(path)  # warm it once: every figure below is then a warm-cache one
        print("page cache: " + ("dropped before each measurement (cold)" if cold else
                                "could not be dropped; the file was read once and all figures are warm"), flush=True)

        rows = []
        seconds, total = timed_read(path)
        rows.append(("read, " + ("cold" if cold else "warm") + " cache", seconds, total))
        if cold:
            seconds, total = timed_read(path)
            rows.append(("read, warm cache (again right after)", seconds, total))
            drop_caches()
        seconds, total = timed_curl(path, workdir)
        rows.append(("curl -T to a loopback sink" + (", cold" if cold else ""), seconds, total))
        print(f"  {rows[-1][0]}: {seconds:.2f}s", flush=True)

        result = timed_agent(path, args.part_size_mb, build, workdir, cold)
        if cold and not result["dropped"]:
            print("warning: the page cache could not be dropped before the agent run")
        rows.append((f"agent upload_local_file -> job_complete ({args.part_size_mb} MiB parts)",
                     result["seconds"], size))
        if result["stored_seconds"] is not None:
            rows.append(("  ...until the server has the whole image", result["stored_seconds"], size))

        print()
        print(f"{'measurement':<66} {'seconds':>8} {'MB/s':>8}")
        for name, seconds, total in rows:
            print(f"{name:<66} {seconds:>8.2f} {total / seconds / 1e6:>8.0f}")
        print(f"(MB = 1e6 bytes; {size} bytes; {os.cpu_count()} CPUs; load average now "
              f"{' '.join(f'{x:.2f}' for x in os.getloadavg())})")
        print(f"agent log: {result['log']}")
        print(f"job_complete: {json.dumps(result['complete'])}")

        batch = result["batch"] or {}
        image_hash = next((batch[k] for k in ("sha256", "image_sha256") if isinstance(batch.get(k), str)), None)
        if image_hash:
            source_hash = sha256_of(path)
            print(f"server image sha256 {'matches' if image_hash == source_hash else 'DIFFERS from'} the source")
    finally:
        if args.keep:
            print(f"kept {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
