#!/usr/bin/python3
"""End-to-end benchmark of the remote scan: the native agent scanning a whole 2 GiB image file
through "disk_path" into zelvo-server, beside a plain sequential read of the same file.

Needs the native build (linux preset): zelvo and zelvo-server in --build. Makes a 2 GiB file of
random bytes with a few hundred JPEG starts planted in it under --dir and reads it once, so that
every figure is a warm-cache one. Then, --reps times, interleaved:
  read   a sequential read of the file in 64 MiB reads
  scan   "stream_disk_chunks" with the default 64 MiB chunks, from sending the request to
         "stream_chunk_complete"; the agent's CPU seconds over the scan (utime + stime)
Every figure printed is the median of the repetitions. MB = 1e6 bytes.

  /usr/bin/python3 bench/scan_e2e.py [--dir /tmp] [--reps 3] [--build build/linux] [--keep]
"""
import argparse
import json
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "integration"))
from conftest import LinuxTarget, wait_until  # noqa: E402
from zelvo_server import ZelvoServer, connect_agent  # noqa: E402

MIB = 1024 * 1024
FILE_SIZE = 2048 * MIB
READ_SIZE = 64 * MIB


def make_image(path, size, seed=7):
    rng = random.Random(seed)
    with open(path, "wb", buffering=0) as f:
        for _ in range(size // (16 * MIB)):
            block = bytearray(os.urandom(16 * MIB))
            for _ in range(3):  # a JPEG start here and there: hits, and regions to send
                at = rng.randrange(16 * MIB - 4)
                block[at:at + 4] = b"\xff\xd8\xff\xe0"
            f.write(block)


def read_pass(path):
    start = time.monotonic()
    with open(path, "rb", buffering=0) as f:
        while f.read(READ_SIZE):
            pass
    return time.monotonic() - start


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def scan_once(server, agent, image, scan_id):
    since = server.call("GET", "/control/received")[1]["next"]
    cpu = cpu_seconds(agent.proc.pid)
    start = time.monotonic()
    server.send("stream_disk_chunks", {"scan_id": scan_id, "disk_path": str(image), "upload_token": "bench",
                                       "server_url": f"http://127.0.0.1:{server.port}"})

    def ended():
        for message in server.received(since):
            envelope = json.loads(message["text"])
            if envelope["e"] in ("stream_chunk_complete", "remote_scan_error"):
                return envelope
        return None

    last = wait_until(ended, 900, interval=0.05)
    elapsed = time.monotonic() - start
    assert last and last["e"] == "stream_chunk_complete" and "failed_chunks" not in last["d"], last
    return elapsed, cpu_seconds(agent.proc.pid) - cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", default="/tmp")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--build", default="build/linux")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="zelvo-scan-bench-", dir=args.dir))
    build = ROOT / args.build
    server = agent = target = None
    try:
        image = work / "image.bin"
        make_image(image, FILE_SIZE)
        read_pass(image)
        (work / "agent").mkdir()
        target = LinuxTarget(work / "agent")
        target.exe = build / "zelvo"
        (work / "server").mkdir()
        server = ZelvoServer(work / "server" / "data", exe=build / "zelvo-server")
        agent = connect_agent(target, server)
        print(f"load average before: {os.getloadavg()}")
        reads, scans, cpus = [], [], []
        for rep in range(args.reps):
            reads.append(read_pass(image))
            elapsed, cpu = scan_once(server, agent, image, f"bench{rep}")
            scans.append(elapsed)
            cpus.append(cpu)
            shutil.rmtree(work / "server" / "data" / "scans" / f"bench{rep}", ignore_errors=True)
        mb = FILE_SIZE / 1e6
        print(f"load average after: {os.getloadavg()}")
        print(f"sequential read (64 MiB reads): {mb / statistics.median(reads):8.0f} MB/s")
        print(f"whole scan to zelvo-server:     {mb / statistics.median(scans):8.0f} MB/s "
              f"({statistics.median(scans):.2f} s, agent CPU {statistics.median(cpus):.2f} s)")
        print(f"scan / read: {statistics.median(reads) / statistics.median(scans):.2f}")
    finally:
        if target:
            target.cleanup()
        if server:
            server.stop()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
