#!/usr/bin/python3
"""End-to-end benchmark of imaging: the agent next to what the machine allows on its own.

Needs the native build (linux preset): zelvo, zelvo-server and http_sink in --build. Makes its
files in a temporary folder under --dir (about 9 GB free needed; the all-zero file is sparse):
  random.bin  2 GiB of random bytes; the throughput jobs image its first GiB ("image_size_gb": 1)
  mixed.bin   2 GiB of runs of random (about a third), zero and fill bytes
  zero.bin    2 GiB of zeros
and reads each once, so that every figure is a warm-cache one. The agent is driven through
zelvo-server's control interface ("upload_local_file", /control/send) with the request's
"server_url" pointing at http_sink, a fast HTTP sink that drops chunk bodies and records when each
request's first byte arrived.

Once, untimed: the agent images the first GiB of random.bin with 64 MiB parts into a recording
sink, which keeps the chunk bodies as the agent sent them. Then three interleaved repetitions of:
  ceiling    curl posting those recorded bodies over one keep-alive connection into the sink
  read       a warm sequential read of mixed.bin (64 MiB reads)
  jobs       one long-lived agent imaging random.bin (1 GiB) and mixed.bin with 64 and 500 MiB
             parts: wall time from sending the request to "job_complete", the agent's CPU seconds
             (utime + stime of /proc/PID/stat) and the delay until the first chunk reached the sink
  fresh      a fresh agent imaging all of random.bin, and another all of zero.bin, with 500 MiB
             parts: peak resident memory (VmHWM) and the first chunk's delay of a first job
  server     curl posting the recorded bodies into a fresh zelvo-server, timed until the server
             reports the batch complete (stored, joined, decoded and hashed), beside the ceiling
Every figure printed is the median of the repetitions. MB = 1e6 bytes.

  /usr/bin/python3 bench/imaging_e2e.py [--dir /tmp] [--reps 3] [--build build/linux] [--keep]
"""
import argparse
import hashlib
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "integration"))
from conftest import wait_until  # noqa: E402
from zelvo_server import ZelvoServer  # noqa: E402

MIB = 1024 * 1024
GIB = 1024 * MIB
READ_SIZE = 64 * MIB
FILE_SIZE = 2 * GIB
JOB_TIMEOUT = 900


# ---- input files ----

def make_random(path, size):
    with open(path, "wb", buffering=0) as f:
        for _ in range(size // (16 * MIB)):
            f.write(os.urandom(16 * MIB))


def make_mixed(path, size, seed=1):
    """Runs of 1 to 64 MiB: a third random, the rest zero or filled with one byte value. Each run
    is of the kind furthest below its share so far. Zeros are written out, not left as holes, so
    that reading them costs what reading data does."""
    rng = random.Random(seed)
    shares = {"random": 0.33, "zero": 0.47, "fill": 0.20}
    zero = bytes(MIB)
    fills = [bytes([value]) * MIB for value in (0xFF, 0x20, 0xE5, 0x01)]
    counts = {"random": 0, "zero": 0, "fill": 0}
    written = 0
    with open(path, "wb", buffering=0) as f:
        while written < size:
            run = min(rng.randint(1, 64) * MIB, size - written)
            kind = min(shares, key=lambda k: counts[k] - shares[k] * (written + run))
            block = zero if kind == "zero" else rng.choice(fills)
            for _ in range(run // MIB):
                f.write(os.urandom(MIB) if kind == "random" else block)
            counts[kind] += run
            written += run
    return counts


def make_zero(path, size):
    """Sparse: reading a hole gives zeros without a disk, which is all a memory figure needs."""
    with open(path, "wb") as f:
        f.truncate(size)


def timed_read(path):
    buffer = bytearray(READ_SIZE)
    total = 0
    start = time.monotonic()
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(buffer):
            total += n
    return time.monotonic() - start, total


def sha256_of(path, limit):
    digest = hashlib.sha256()
    buffer = bytearray(READ_SIZE)
    view = memoryview(buffer)
    left = limit
    with open(path, "rb", buffering=0) as f:
        while left and (n := f.readinto(view[:min(left, READ_SIZE)])):
            digest.update(view[:n])
            left -= n
    return digest.hexdigest()


# ---- the sink ----

def http_json(method, url, timeout=30):
    request = urllib.request.Request(url, data=b"" if method == "POST" else None, method=method)
    with urllib.request.urlopen(request, timeout=timeout) as response:
        return json.loads(response.read() or b"{}")


class Sink:
    def __init__(self, exe, workdir, name, record=None):
        port_file = workdir / f"{name}.port"
        argv = [str(exe), "--port-file", str(port_file)] + (["--record", str(record)] if record else [])
        self.out = open(workdir / f"{name}.out", "wb")
        self.proc = subprocess.Popen(argv, stdout=self.out, stderr=subprocess.STDOUT)
        if not wait_until(port_file.exists, 10):
            raise SystemExit(f"{exe} did not start")
        self.base = f"http://127.0.0.1:{int(port_file.read_text())}"

    def stats(self):
        return http_json("GET", self.base + "/stats")

    def requests(self, since=0):
        return http_json("GET", f"{self.base}/requests?since={since}")

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.out.close()


# ---- agents, each with a control zelvo-server of its own ----

def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


def vm_hwm_bytes(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    return 0


class Agent:
    def __init__(self, build, workdir, name):
        folder = workdir / name
        folder.mkdir()
        self.control = ZelvoServer(folder / "control-data", exe=build / "zelvo-server")
        home, config, run, temp = (folder / n for n in ("home", "config", "run", "temp"))
        for path in (home, config / "Zelvo", temp):
            path.mkdir(parents=True, exist_ok=True)
        run.mkdir(mode=0o700, exist_ok=True)
        (config / "Zelvo" / "zelvo.conf").write_text(json.dumps({"server_url": self.control.base}))
        env = dict(os.environ, HOME=str(home), XDG_CONFIG_HOME=str(config), XDG_RUNTIME_DIR=str(run),
                   TMPDIR=str(temp))
        self.out = open(folder / "agent.out", "wb")
        self.proc = subprocess.Popen([str(build / "zelvo")], env=env, stdin=subprocess.PIPE, stdout=self.out,
                                     stderr=subprocess.STDOUT, cwd=folder)
        status, answer = self.control.call("GET", "/control/wait_connection?since_id=0&timeout_ms=30000", timeout=40)
        if status != 200:
            self.stop()
            raise SystemExit(f"the agent did not connect: {status} {answer}")

    def run_job(self, path, part_size_mb, sink, image_gib=None):
        """Images `path` into `sink`; returns the figures of the job."""
        request = {"file_path": str(path), "part_size_mb": part_size_mb, "token": "t", "server_url": sink.base}
        if image_gib:
            request["image_size_gb"] = image_gib
        since = self.control.call("GET", "/control/received?since=999999999")[1]["next"]
        sink_since = sink.requests(10 ** 12)["next"]
        cpu_before = cpu_seconds(self.proc.pid)
        sent_ns = time.monotonic_ns()
        status, answer = self.control.call("POST", "/control/send", {"e": "upload_local_file", "d": request})
        if status != 200:
            raise SystemExit(f"cannot send the request: {status} {answer}")
        deadline = time.monotonic() + JOB_TIMEOUT
        complete = None
        while complete is None:
            status, answer = self.control.call(
                "GET", f"/control/wait?event=job_complete&since={since}&timeout_ms=1000", timeout=15)
            if status == 200:
                complete = json.loads(answer["text"])["d"]
                break
            errors = [json.loads(m["text"]).get("d") for m in self.control.call(
                "GET", f"/control/received?since={since}")[1]["messages"] if '"job_error"' in m["text"]]
            if errors:
                raise SystemExit(f"the job failed: {errors}")
            if time.monotonic() > deadline:
                raise SystemExit(f"no job_complete within {JOB_TIMEOUT} s")
        seconds = (time.monotonic_ns() - sent_ns) / 1e9
        hwm = vm_hwm_bytes(self.proc.pid)
        time.sleep(0.2)  # the stages wind down after the last event; their CPU belongs to the job
        cpu = cpu_seconds(self.proc.pid) - cpu_before
        size = min(path.stat().st_size, int(image_gib * GIB)) if image_gib else path.stat().st_size
        parts = -(-size // (part_size_mb * MIB))
        if complete.get("total_parts") != parts:
            raise SystemExit(f"job_complete names {complete.get('total_parts')} parts, expected {parts}")
        requests = sink.requests(sink_since)["requests"]
        chunks = [r for r in requests if r["kind"] == "chunk"]
        if len(chunks) < parts:
            raise SystemExit(f"job_complete with {len(chunks)} chunks at the sink for {parts} parts")
        first_ns = min(r["first_byte_ns"] for r in chunks)
        return {"seconds": seconds, "cpu": cpu, "hwm": hwm, "first_chunk": (first_ns - sent_ns) / 1e9,
                "chunks": len(chunks), "connections": len({r["connection"] for r in requests}),
                "body_bytes": sum(r["body_bytes"] for r in chunks), "complete": complete}

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"exit\n")
                self.proc.stdin.flush()
                self.proc.wait(20)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.out.close()
        self.control.stop()


# ---- curl over one keep-alive connection ----

def curl_config(record_dir, base, path):
    """A curl config that posts every recorded body in order, one after another on one connection."""
    lines = []
    for row in (record_dir / "index.tsv").read_text().splitlines():
        name, content_type, target = row.split("\t")
        if lines:
            lines.append("next")
        lines += [f'url = "{base}{target}"', f'upload-file = "{record_dir / name}"', 'request = "POST"',
                  f'header = "Content-Type: {content_type}"', 'header = "Expect:"', 'output = "/dev/null"',
                  'silent', 'show-error', 'fail']
    path.write_text("\n".join(lines) + "\n")
    return path


def timed_curl(config):
    start = time.monotonic()
    result = subprocess.run(["curl", "-K", str(config)], capture_output=True, text=True, timeout=JOB_TIMEOUT)
    seconds = time.monotonic() - start
    if result.returncode != 0:
        raise SystemExit(f"curl failed ({result.returncode}): {result.stderr.strip()}")
    return seconds


def timed_server_receive(build, workdir, record_dir, batch_id, expected_sha):
    """curl posts the recorded chunks into a fresh zelvo-server; timed until the batch is complete."""
    data = workdir / "receiving-server"
    data.mkdir()
    server = ZelvoServer(data / "data", exe=build / "zelvo-server")
    try:
        config = curl_config(record_dir, server.base, workdir / "curl-server.conf")
        start = time.monotonic()
        result = subprocess.run(["curl", "-K", str(config)], capture_output=True, text=True, timeout=JOB_TIMEOUT)
        sent = time.monotonic() - start
        if result.returncode != 0:
            raise SystemExit(f"curl into zelvo-server failed ({result.returncode}): {result.stderr.strip()}")
        status, batch = server.call("GET", f"/control/batch?batch_id={batch_id}&wait_complete=1&timeout_ms=600000",
                                    timeout=610)
        seconds = time.monotonic() - start
        if status != 200 or not batch.get("complete"):
            raise SystemExit(f"zelvo-server did not complete the batch: {status} {batch}")
        if batch.get("image_sha256") != expected_sha:
            raise SystemExit("zelvo-server's image differs from the source")
        return sent, seconds
    finally:
        server.stop()
        shutil.rmtree(data, ignore_errors=True)


# ---- main ----

def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", default=None, help="parent of the temporary folder (default: the system's)")
    parser.add_argument("--build", default=str(ROOT / "build" / "linux"), help="folder with the native build")
    parser.add_argument("--reps", type=int, default=3, help="interleaved repetitions (default 3)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()

    build = Path(args.build)
    for exe in ("zelvo", "zelvo-server", "http_sink"):
        if not (build / exe).exists():
            raise SystemExit(f"{build / exe} is missing: cmake --build --preset linux --target zelvo zelvo-server "
                             "http_sink")
    began = time.monotonic()
    load_before = os.getloadavg()
    workdir = Path(tempfile.mkdtemp(prefix="zelvo-e2e-", dir=args.dir))
    agent, sink = None, None
    try:
        random_file, mixed_file, zero_file = workdir / "random.bin", workdir / "mixed.bin", workdir / "zero.bin"
        make_random(random_file, FILE_SIZE)
        counts = make_mixed(mixed_file, FILE_SIZE)
        make_zero(zero_file, FILE_SIZE)
        for path in (random_file, mixed_file, zero_file):
            timed_read(path)
        print(f"files made in {time.monotonic() - began:.0f} s; mixed.bin: "
              + ", ".join(f"{k} {v / MIB:.0f} MiB" for k, v in counts.items()), flush=True)

        # The agent's own chunk bodies, for curl to send again.
        agent = Agent(build, workdir, "agent")
        record_dir = workdir / "recorded"
        record_dir.mkdir()
        recorder = Sink(build / "http_sink", workdir, "recording-sink", record=record_dir)
        try:
            recorded = agent.run_job(random_file, 64, recorder, image_gib=1)
        finally:
            recorder.stop()
        batch_id = recorded["complete"]["batch_id"]
        recorded_bytes = sum(p.stat().st_size for p in record_dir.glob("*.body"))
        source_sha = sha256_of(random_file, GIB)
        print(f"recorded {recorded['chunks']} chunk bodies, {recorded_bytes} bytes", flush=True)

        sink = Sink(build / "http_sink", workdir, "sink")
        ceiling_config = curl_config(record_dir, sink.base, workdir / "curl-sink.conf")
        jobs = [("random 1 GiB", random_file, 64, 1), ("random 1 GiB", random_file, 500, 1),
                ("mixed 2 GiB", mixed_file, 64, None), ("mixed 2 GiB", mixed_file, 500, None)]
        figures = {}

        def add(key, value):
            figures.setdefault(key, []).append(value)

        for rep in range(1, args.reps + 1):
            sink_cpu = cpu_seconds(sink.proc.pid)
            seconds = timed_curl(ceiling_config)
            add("sink_cpu", cpu_seconds(sink.proc.pid) - sink_cpu)
            add("ceiling", seconds)
            seconds, total = timed_read(mixed_file)
            add("read", seconds)
            for name, path, part_mb, gib in jobs:
                job = agent.run_job(path, part_mb, sink, image_gib=gib)
                key = (name, part_mb)
                add(("job", key), job["seconds"])
                add(("cpu", key), job["cpu"])
                add(("follow", key), job["first_chunk"])
                add(("conns", key), job["connections"])
            for name, path in (("random", random_file), ("zero", zero_file)):
                fresh = Agent(build, workdir, f"fresh-{name}-{rep}")
                try:
                    job = fresh.run_job(path, 500, sink)
                finally:
                    fresh.stop()
                add(("hwm", name), job["hwm"])
                add(("first", name), job["first_chunk"])
                add(("cpu", (f"{name} 2 GiB, fresh agent", 500)), job["cpu"])
                add(("job", (f"{name} 2 GiB, fresh agent", 500)), job["seconds"])
            sent, seconds = timed_server_receive(build, workdir, record_dir, batch_id, source_sha)
            add("server_sent", sent)
            add("server", seconds)
            print(f"repetition {rep}/{args.reps} done at {time.monotonic() - began:.0f} s; load average "
                  + " ".join(f"{x:.2f}" for x in os.getloadavg()), flush=True)

        def rate(data_bytes, key):
            return data_bytes / median(figures[key]) / 1e6

        ceiling = rate(GIB, "ceiling")
        read = rate(FILE_SIZE, "read")
        print()
        print(f"Imaging into http_sink (medians of {args.reps}; MB/s of source data, MB = 1e6 bytes)")
        print(f"{'job':<34} {'parts':>6} {'seconds':>8} {'MB/s':>7} {'against':>16} {'CPU s/GiB':>10} "
              f"{'connections':>11}")
        for name, _path, part_mb, gib in jobs:
            size = GIB if gib else FILE_SIZE
            key = (name, part_mb)
            mbps = rate(size, ("job", key))
            against = f"{mbps / ceiling:.2f} x ceiling" if name.startswith("random") else f"{mbps / read:.2f} x read"
            print(f"{name:<34} {part_mb:>4}MB {median(figures[('job', key)]):>8.2f} {mbps:>7.0f} {against:>16} "
                  f"{median(figures[('cpu', key)]) / (size / GIB):>10.2f} {median(figures[('conns', key)]):>11.0f}")
        for name in ("random", "zero"):
            key = (f"{name} 2 GiB, fresh agent", 500)
            print(f"{key[0]:<34} {500:>4}MB {median(figures[('job', key)]):>8.2f} "
                  f"{rate(FILE_SIZE, ('job', key)):>7.0f} {'':>16} {median(figures[('cpu', key)]) / 2:>10.2f}")
        print(f"{'ceiling: curl, keep-alive, to sink':<34} {64:>4}MB {median(figures['ceiling']):>8.2f} {ceiling:>7.0f}"
              f" {'':>16} {'':>10} {1:>11}")
        print(f"{'warm sequential read, mixed 2 GiB':<34} {'':>6} {median(figures['read']):>8.2f} {read:>7.0f}")
        print()
        print("Peak resident memory (VmHWM) of a fresh agent after one job, 500 MiB parts, 2 GiB file")
        for name in ("random", "zero"):
            print(f"  {name:<8} {median(figures[('hwm', name)]) / MIB:>7.0f} MiB "
                  f"(all: {', '.join(f'{v / MIB:.0f}' for v in figures[('hwm', name)])})")
        print()
        print("First chunk at the sink, seconds after sending the request")
        for name in ("random", "zero"):
            print(f"  fresh agent's first job, {name} 2 GiB, 500 MiB parts: {median(figures[('first', name)]):.3f}")
        for name, _path, part_mb, _gib in jobs:
            print(f"  job following another, {name}, {part_mb} MiB parts: "
                  f"{median(figures[('follow', (name, part_mb))]):.3f}")
        print()
        print(f"zelvo-server receiving the recorded chunks ({recorded['chunks']} chunks, {recorded_bytes} body "
              f"bytes, 1 GiB of random data in 64 MiB parts)")
        print(f"  curl into http_sink:                         {recorded_bytes / median(figures['ceiling']) / 1e6:7.0f} MB/s"
              f" (http_sink's own CPU: {median(figures['sink_cpu']) / (recorded_bytes / GIB):.2f} s per GiB)")
        print(f"  curl into zelvo-server, until curl is done:  {recorded_bytes / median(figures['server_sent']) / 1e6:7.0f} MB/s")
        print(f"  ... until the batch is complete (image hashed, matches the source): "
              f"{recorded_bytes / median(figures['server']) / 1e6:.0f} MB/s")
        print()
        print(f"{os.cpu_count()} CPUs; load average before {' '.join(f'{x:.2f}' for x in load_before)}, "
              f"after {' '.join(f'{x:.2f}' for x in os.getloadavg())}; {time.monotonic() - began:.0f} s in all")
    finally:
        if agent:
            agent.stop()
        if sink:
            sink.stop()
        if args.keep:
            print(f"kept {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
