"""Imaging and upload of the real agent against zelvo-server: whole files reassembled and hashed on
the server, the progress events, resume, refusals, retries, cancel, a second request, the request
guards, the multipart bodies as a standard parser reads them, WinHTTP under Wine and a block
device."""
import email.parser
import email.policy
import hashlib
import json
import random
import struct
import subprocess
import time
import urllib.request

import pytest

from conftest import FILE_LINE, wait_until
from zelvo_server import connect_agent as connect_server_agent, server  # noqa: F401 (fixture)

MiB = 1 << 20
TOKEN = "tok-123"
# Retry pauses and reconnects a tenth as long; the real pauses are proved by the unit tests.
PERIOD_SCALE = 0.1


def connect_agent(target, server):
    return connect_server_agent(target, server, period_scale=PERIOD_SCALE)


def log(target):
    return [m.group(3) for m in map(FILE_LINE.match, target.log_lines()) if m]


def events(server, since, names=("imaging_progress", "job_error", "job_complete")):
    out = []
    for message in server.received(since):
        envelope = json.loads(message["text"])
        if envelope.get("e") in names:
            out.append((envelope["e"], envelope["d"]))
    return out


def run_job(server, data, end=("job_complete", "job_error"), timeout=300, event="upload_local_file"):
    """Sends the request and waits until one of the `end` events arrives; returns every imaging
    event of the job and the sequence number the job started at."""
    since = server.call("GET", "/control/received")[1]["next"]
    request = dict({"token": TOKEN, "server_url": f"http://127.0.0.1:{server.port}"}, **data)
    server.send(event, request)
    ok = wait_until(lambda: any(name in end for name, _ in events(server, since)), timeout, interval=0.2)
    assert ok, f"no {end} in {events(server, since)[-5:]}"
    return events(server, since), since


def make_file(path, size, seed=1):
    """Zero, fill and random regions of uneven lengths, so that regions cross block, chunk and part
    edges; returns the SHA-256."""
    rng = random.Random(seed)
    digest = hashlib.sha256()
    written = 0
    with open(path, "wb") as f:
        while written < size:
            length = min(size - written, rng.choice([MiB // 3, MiB, 3 * MiB + 5, 7 * MiB - 11]))
            kind = rng.random()
            if kind < 0.4:
                block = bytes(length)
            elif kind < 0.6:
                block = bytes([rng.randrange(1, 256)]) * length
            elif kind < 0.7:
                block = bytearray(length)  # mostly zero, with a few stray bytes: stored raw
                for _ in range(3):
                    block[rng.randrange(length)] = rng.randrange(1, 256)
                block = bytes(block)
            else:
                block = rng.randbytes(length)
            f.write(block)
            digest.update(block)
            written += length
    return digest.hexdigest()


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(16 * MiB):
            digest.update(chunk)
    return digest.hexdigest()


def complete_batch(server, batch_id, timeout_ms=120000):
    status, batch = server.batch(batch_id, wait_complete=True, timeout_ms=timeout_ms)
    assert status == 200, batch
    assert batch["complete"], batch
    return batch


def chunk_requests(server, since=1):
    return [r for r in server.upload_log(since) if r["kind"] == "chunk"]


def errors_once_reader_stopped(target, events_so_far, mark, timeout=60):
    """The job_error texts of a failed job once its reader has stopped (its log lines from `mark`
    on). The uploader reports the failure; a reader still reading parts then reports the same
    error again, so a job may end with one or two of them."""
    ended = ("imaging: upload error:", "imaging: all parts read")
    assert wait_until(lambda: any(line.startswith(ended) for line in log(target)[mark:]), timeout, interval=0.1)
    time.sleep(0.5)  # the job's threads wind down after the reader's last line
    return [d["error"] for name, d in events_so_far() if name == "job_error"]


def next_log_seq(server):
    requests = server.upload_log()
    return requests[-1]["seq"] + 1 if requests else 1


def zvimg_decode(z):
    """Rebuilds a raw part from its ZVIMG form, refusing anything out of shape."""
    magic, word, size, blocks, table, data_offset, reserved = struct.unpack_from("<4sIQIIII", z)
    assert (magic, word, table, reserved) == (b"ZVIM", 0x04000001, 32, 0)
    assert blocks == (size + MiB - 1) // MiB and data_offset == 32 + 12 * blocks
    out, position = bytearray(), 0
    for b in range(blocks):
        kind, pos, stored = struct.unpack_from("<B3xII", z, 32 + 12 * b)
        length = min(MiB, size - b * MiB)
        if kind == 0:
            assert (pos, stored) == (0, 0)
            out += bytes(length)
        elif kind == 1:
            assert (pos, stored) == (position, length)
            out += z[data_offset + pos:data_offset + pos + length]
            position += stored
        else:
            assert kind == 3 and (pos, stored) == (position, 1)
            out += z[data_offset + pos:data_offset + pos + 1] * length
            position += 1
    assert data_offset + position == len(z)
    return bytes(out)


# ---- The big one: a 1.5 GiB file, 64 MiB parts ----------------------------------------------------

PROGRESS_KEYS = {
    "reading": ["phase", "part", "total_parts", "progress"],
    "pipeline": ["phase", "part", "total_parts", "parts_uploaded", "progress", "speed"],
    "uploading": ["phase", "part", "total_parts", "parts_uploaded", "size"],
}


@pytest.mark.big_data
def test_large_file_reassembles_with_events_in_order(linux, server, tmp_path):
    source = tmp_path / "big.bin"
    size = 1536 * MiB + 777  # the last part and its last chunk are partial
    digest = make_file(source, size)
    try:
        agent = connect_agent(linux, server)
        evs, _ = run_job(server, {"file_path": str(source), "part_size_mb": 64, "disk_name": "Big File #1"})
        names = [name for name, _ in evs]
        assert names[-1] == "job_complete", evs[-3:]
        assert "job_error" not in names
        parts = 25
        progress = [d for name, d in evs if name == "imaging_progress"]
        for d in progress:
            assert list(d) == PROGRESS_KEYS[d["phase"]], d
            assert d["total_parts"] == parts
        reader = [(d["phase"], d["part"]) for d in progress[:-1] if d["phase"] in ("reading", "pipeline")]
        assert reader == [(phase, p) for p in range(1, parts + 1) for phase in ("reading", "pipeline")]
        assert [d["progress"] for d in progress if d["phase"] == "reading"] == [i * 100 // parts for i in range(parts)]
        uploading = [d for d in progress if d["phase"] == "uploading"]
        assert [d["part"] for d in uploading] == list(range(1, parts + 1))
        assert [d["parts_uploaded"] for d in uploading] == list(range(parts))
        # Each part is uploaded only after it was read.
        order = [(d["phase"], d["part"]) for d in progress]
        for p in range(1, parts + 1):
            assert order.index(("uploading", p)) > order.index(("pipeline", p))
        assert all(d["speed"].endswith("/s") for d in progress if d["phase"] == "pipeline")
        final = progress[-1]
        assert (final["phase"], final["part"], final["parts_uploaded"], final["progress"]) == ("pipeline", parts,
                                                                                                 parts, 100)
        complete = evs[-1][1]
        assert list(complete) == ["batch_id", "total_parts"] and complete["total_parts"] == parts
        assert len(complete["batch_id"]) == 14 and complete["batch_id"].isdigit()

        batch = complete_batch(server, complete["batch_id"])
        assert batch["image_size"] == size
        assert batch["image_sha256"] == digest
        assert [p["filename"] for p in batch["parts"]] == [f"Big_File_1.part{p:03d}.zvimg" for p in range(1, 26)]
        assert all(p["compressed"] == "zvimg" for p in batch["parts"])

        lines = log(linux)
        assert f"imaging: {source} (1.5 GB) [file]" in lines
        assert "imaging: 1.5 GB in 25 parts (part_size=64MB, ZVIMG)" in lines
        assert any(l.startswith("  Part 25: zvimg 777 B -> ") for l in lines), [l for l in lines if "Part 25" in l]
        assert "  Upload OK part 25" in lines
        assert any(l.startswith("imaging: complete! 25 parts in ") for l in lines)
        linux.exit(agent)
        assert agent.wait_exit() == 0
    finally:
        source.unlink(missing_ok=True)
        for image in (server.data_dir / "uploads").glob("*/*"):
            if image.is_file():
                image.unlink()


# ---- Resume after the server went away in the middle of a part -------------------------------------

def test_resume_skips_the_chunks_the_server_holds(linux, server, tmp_path):
    source = tmp_path / "resume.bin"
    source.write_bytes(random.Random(5).randbytes(3 * 32 * MiB))  # random: 9 chunks per 32 MiB part
    digest = sha256_of(source)
    agent = connect_agent(linux, server)
    # Part 1 (9 chunks) and three chunks of part 2 get through; then the server goes quiet.
    server.upload_fault(drop=-1, after=12)
    evs, _ = run_job(server, {"file_path": str(source), "part_size_mb": 32, "existing_disk_id": "77"}, timeout=120)
    errors = [d["error"] for name, d in evs if name == "job_error"]
    assert errors and errors[0].startswith("Chunk 3 failed after 3 retries: WinHttpReceiveResponse failed ("), errors
    assert "job_complete" not in [name for name, _ in evs]
    batch_id = [r for r in server.upload_log() if r["kind"] == "chunk"][0]["batch_id"]

    server.restart()
    server.wait_connection()  # the agent reconnects by itself
    status, batch = server.batch(batch_id)
    assert status == 200 and batch["parts"][1]["received_chunks"] == [0, 1, 2], batch

    mark = next_log_seq(server)
    evs, _ = run_job(server, {"file_path": str(source), "part_size_mb": 32, "existing_disk_id": "77",
                              "batch_id": batch_id, "start_part_number": 2, "start_offset_gb": 32 / 1024})
    assert evs[-1][0] == "job_complete", evs[-3:]
    assert evs[-1][1] == {"batch_id": batch_id, "total_parts": 2}
    assert "upload: resume \u2014 3/9 chunks already on server, skipping" in log(linux)
    sent = [(r["part_number"], r["chunk_index"]) for r in chunk_requests(server, mark)]
    assert sent == [(2, k) for k in range(3, 9)] + [(3, k) for k in range(9)]
    batch = complete_batch(server, batch_id)
    assert batch["image_sha256"] == digest
    assert batch["disk_id"] == "77"
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_resume_with_another_part_size_sends_every_chunk(linux, server, tmp_path):
    """A batch id given back with another part size must not skip chunks of the part the server
    holds in the old cut. Needs a server whose status answer names the part it holds."""
    source = tmp_path / "recut.bin"
    source.write_bytes(random.Random(6).randbytes(16 * MiB))  # random: parts are stored raw in ZVIMG
    agent = connect_agent(linux, server)
    evs, _ = run_job(server, {"file_path": str(source), "part_size_mb": 8})
    assert evs[-1][0] == "job_complete", evs[-3:]
    batch_id = evs[-1][1]["batch_id"]
    status_url = (f"http://127.0.0.1:{server.port}/upload_chunk_status?token={TOKEN}&batch_id={batch_id}"
                  "&part_number=1")
    with urllib.request.urlopen(status_url, timeout=10) as answer:
        held = json.load(answer)
    if "total_chunks" not in held:
        pytest.skip("this zelvo-server does not name the part it holds in its status answer")
    assert held["received_chunks"] == [0, 1, 2] and held["total_chunks"] == 3, held

    mark = next_log_seq(server)
    evs, _ = run_job(server, {"file_path": str(source), "part_size_mb": 16, "batch_id": batch_id})
    assert evs[-1][0] == "job_complete", evs[-3:]
    sent = [(r["part_number"], r["chunk_index"]) for r in chunk_requests(server, mark)]
    assert sent == [(1, k) for k in range(5)]
    assert (f"upload: server holds part 1 of batch {batch_id} as another part (total_chunks 3, expected 5), "
            "sending every chunk") in log(linux)
    linux.exit(agent)
    assert agent.wait_exit() == 0


# ---- Refusals, retries, guards ----------------------------------------------------------------------

def test_refusals_retries_and_request_guards(linux, server, tmp_path):
    small = tmp_path / "small.bin"
    small.write_bytes(random.Random(2).randbytes(MiB))
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    agent = connect_agent(linux, server)

    # A refusal ends the job after one request, without retry.
    server.upload_fault(status=403, count=1, body="token expired")
    mark = next_log_seq(server)
    evs, _ = run_job(server, {"file_path": str(small)})
    assert [d for name, d in evs if name == "job_error"] == [{"error": "Chunk 0: HTTP 403: token expired"}]
    assert len(chunk_requests(server, mark)) == 1

    # A server error is tried three times, 3 s and 6 s apart (scaled here; logged as the real pauses).
    server.upload_fault(status=500, count=3, body="boom")
    mark = next_log_seq(server)
    started = time.monotonic()
    evs, _ = run_job(server, {"file_path": str(small)})
    assert [d for name, d in evs if name == "job_error"] == [
        {"error": "Chunk 0 failed after 3 retries: HTTP 500: boom"}]
    assert time.monotonic() - started >= 9 * PERIOD_SCALE
    assert len(chunk_requests(server, mark)) == 3
    lines = log(linux)
    for pause in (3, 6):
        assert f"upload: chunk 0 error: HTTP 500: boom, retrying in {pause}s" in lines
    assert "  Upload FAILED part 1: Chunk 0 failed after 3 retries: HTTP 500: boom" in lines

    # Requests the job cannot serve end before anything is read or sent.
    mark = next_log_seq(server)
    guards = [
        ({"file_path": str(empty)}, "File not found or empty."),
        ({"file_path": str(tmp_path / "missing.bin")}, "File not found or empty."),
        ({"file_path": str(small), "part_size_mb": 0}, "Invalid part size: part_size_mb must be at least 1"),
        ({"file_path": str(small), "part_size_mb": 4096}, "Invalid part size: part_size_mb must be at most 4095"),
        ({"file_path": str(small), "start_offset_gb": 1}, "Start offset is beyond the end of the source (1.0 MB)"),
        ({"file_path": str(small), "batch_id": "../x"}, "Invalid batch_id"),
    ]
    for request, error in guards:
        evs, _ = run_job(server, request)
        assert evs == [("job_error", {"error": error})], request
    # A disk that cannot be sized (no such disk).
    evs, _ = run_job(server, {"disk_id": 99}, event="start_imaging")
    assert evs == [("job_error", {"error": "Could not determine disk size. Check permissions."})]
    assert chunk_requests(server, mark) == []
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_source_shorter_than_its_size_is_an_error(linux, server):
    """A sysfs attribute says 4096 bytes and holds a few: the source ends before the size it gave,
    as a shrinking file or a short device does."""
    source = "/sys/devices/system/cpu/online"
    try:
        with open(source, "rb") as f:
            length = len(f.read())
    except OSError as error:
        pytest.skip(f"no {source} here: {error}")
    agent = connect_agent(linux, server)
    mark = next_log_seq(server)
    evs, _ = run_job(server, {"file_path": source})
    expected = f"Source ended at byte {length} of {source}, expected 4096"
    assert [d for name, d in evs if name == "job_error"] == [{"error": expected}]
    assert "job_complete" not in [name for name, _ in evs]
    assert chunk_requests(server, mark) == []
    assert f"imaging: {expected}" in log(linux)
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_cancel_and_second_request_while_running(linux, server, tmp_path):
    source = tmp_path / "slow.bin"
    source.write_bytes(random.Random(3).randbytes(12 * 16 * MiB))  # twelve 16 MiB parts, 5 chunks each
    agent = connect_agent(linux, server)
    server.upload_fault(delay_ms=400)  # every chunk answer takes a while
    since = server.call("GET", "/control/received")[1]["next"]
    request = {"token": TOKEN, "server_url": f"http://127.0.0.1:{server.port}", "file_path": str(source),
               "part_size_mb": 16}
    server.send("upload_local_file", request)
    assert wait_until(lambda: any(d.get("phase") == "uploading" for _, d in events(server, since)), 30)

    # A second request while the job runs is answered with the reconnect event only.
    mark = server.call("GET", "/control/received")[1]["next"]
    server.send("start_imaging", dict(request, file_path=""))
    reconnect = {"phase": "pipeline", "status": "Job in progress (reconnected)", "progress": -1}
    assert wait_until(lambda: ("imaging_progress", reconnect) in events(server, mark), 10)
    assert "imaging: job already running, re-sending progress to browser" in log(linux)

    # Cancel while a chunk at least two before its part's last is on the wire: the part stops before
    # the next one, even when the cancel arrives a chunk late.
    seen = next_log_seq(server)
    assert wait_until(lambda: any(r["chunk_index"] < 3 for r in chunk_requests(server, seen)), 30, interval=0.02)
    server.send("cancel_job", {})
    assert wait_until(lambda: any(name == "job_error" for name, _ in events(server, mark)), 30)
    time.sleep(2)  # anything the job still sent
    evs = events(server, mark)
    assert ("job_error", {"error": "Upload cancelled"}) in evs
    assert ("imaging_progress", {"cancelled": True}) in evs
    assert "job_complete" not in [name for name, _ in evs]
    assert [d for name, d in evs if name == "imaging_progress"].count(reconnect) == 1
    lines = log(linux)
    assert "imaging: cancel requested" in lines
    assert any(l.startswith("  Upload FAILED part ") and l.endswith(": Upload cancelled") for l in lines)
    # The reader stops too: not every part was read.
    reads = [d for name, d in events(server, since) if name == "imaging_progress" and d.get("phase") == "reading"]
    assert len(reads) < 12

    # A new job starts at once and runs to its end.
    server.upload_fault(reset=True)
    evs, _ = run_job(server, {"file_path": str(source), "part_size_mb": 16})
    assert evs[-1][0] == "job_complete", evs[-3:]
    assert complete_batch(server, evs[-1][1]["batch_id"])["image_sha256"] == sha256_of(source)
    linux.exit(agent)
    assert agent.wait_exit() == 0


# ---- What goes over the wire ------------------------------------------------------------------------

def test_multipart_bodies_read_by_a_standard_parser(linux, server, tmp_path):
    source = tmp_path / "parts.bin"
    content = random.Random(4).randbytes(5 * MiB) + bytes(MiB) + b"\x07" * (2 * MiB + 3)
    source.write_bytes(content)
    agent = connect_agent(linux, server)
    server.upload_fault(record_raw=True, pad=8000)  # answers longer than 4 KiB must still count
    evs, _ = run_job(server, {"file_path": str(source), "part_size_mb": 6, "disk_name": "Card",
                              "existing_disk_id": "d-9"})
    assert evs[-1][0] == "job_complete", evs[-3:]
    batch_id = evs[-1][1]["batch_id"]

    parser = email.parser.BytesParser(policy=email.policy.HTTP)
    encoded = {}
    requests = chunk_requests(server)
    assert [(r["part_number"], r["chunk_index"]) for r in requests] == [(1, 0), (1, 1), (2, 0)]
    for r in requests:
        raw_dir = server.data_dir / "uploads" / "raw"
        body = (raw_dir / f"{r['seq']}.body").read_bytes()
        content_type = (raw_dir / f"{r['seq']}.type").read_text().strip()
        boundary = content_type.split("boundary=", 1)[1]
        assert content_type == f"multipart/form-data; boundary={boundary}"
        assert len(boundary) == 29 and boundary.startswith("----ChunkBoundary")
        message = parser.parsebytes(f"Content-Type: {content_type}\r\n\r\n".encode() + body)
        assert message.is_multipart() and not message.defects
        fields = [(p.get_param("name", header="content-disposition"), p) for p in message.iter_parts()]
        names = [name for name, _ in fields]
        assert names == ["batch_id", "part_number", "total_parts", "chunk_index", "total_chunks", "filename",
                         "disk_name", "compressed", "original_size", "existing_disk_id", "chunk"]
        values = {name: p.get_payload(decode=True) for name, p in fields}
        part, index = r["part_number"], r["chunk_index"]
        raw_length = 6 * MiB if part == 1 else len(content) - 6 * MiB
        expected = {"batch_id": batch_id, "part_number": str(part), "total_parts": "2", "chunk_index": str(index),
                    "total_chunks": "2" if part == 1 else "1", "filename": f"Card.part{part:03d}.zvimg",
                    "disk_name": "Card", "compressed": "zvimg", "original_size": str(raw_length),
                    "existing_disk_id": "d-9"}
        assert {k: v.decode() for k, v in values.items() if k != "chunk"} == expected
        chunk_part = fields[-1][1]
        assert chunk_part.get_filename() == f"chunk{index:04d}"
        assert chunk_part.get_content_type() == "application/octet-stream"
        assert len(values["chunk"]) == {(1, 0): 4 * MiB, (1, 1): MiB + 104, (2, 0): 71}[(part, index)]
        encoded[part] = encoded.get(part, b"") + values["chunk"]
    # Each part's chunks together are its ZVIMG form, and that decodes to the file's bytes.
    assert zvimg_decode(encoded[1]) == content[:6 * MiB]
    assert zvimg_decode(encoded[2]) == content[6 * MiB:]
    assert complete_batch(server, batch_id)["image_sha256"] == hashlib.sha256(content).hexdigest()
    assert "imaging: server disk id d-9" in log(linux)
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_one_kept_alive_connection_per_job_reopened_when_the_server_closes_it(target, server, tmp_path):
    """Every request of a job (status queries and chunks of all its parts) goes over one connection;
    one the server closes after answering, without saying so, is replaced by a new one with no
    retry and no pause, and the image still arrives whole."""
    source = tmp_path / "kept.bin"
    digest = make_file(source, 24 * MiB + 9, seed=12)
    path = str(source) if target.name == "linux" else "Z:" + str(source).replace("/", "\\")
    agent = connect_agent(target, server)

    def job():
        mark = next_log_seq(server)
        evs, _ = run_job(server, {"file_path": path, "part_size_mb": 8}, timeout=180)
        assert evs[-1][0] == "job_complete", evs[-3:]
        batch = complete_batch(server, evs[-1][1]["batch_id"])
        assert batch["image_size"] == 24 * MiB + 9 and batch["image_sha256"] == digest
        return server.upload_log(mark)

    requests = job()
    assert [r["kind"] for r in requests].count("status") == 4
    assert len(requests) > 8
    assert len({r["connection"] for r in requests}) == 1, requests

    # The first three chunks each close their connection behind their answer.
    server.upload_fault(close_after=3)
    requests = job()
    closed = [r["seq"] for r in requests if r["kind"] == "chunk"][:3]
    for before, after in zip(requests, requests[1:]):
        if before["seq"] in closed:
            assert after["connection"] not in {r["connection"] for r in requests if r["seq"] <= before["seq"]}
        else:
            assert after["connection"] == before["connection"], requests
    assert not [line for line in log(target) if "retrying in" in line]
    target.exit(agent)
    assert agent.wait_exit(60) == 0


def test_upload_through_winhttp_under_wine(wine, server, tmp_path):
    source = tmp_path / "wine.bin"
    digest = make_file(source, 20 * MiB + 5, seed=9)
    agent = connect_agent(wine, server)
    path = "Z:" + str(source).replace("/", "\\")
    # WinHTTP words a refusal as the upload's caller expects it.
    server.upload_fault(status=403, count=1, body="denied")
    mark = len(log(wine))
    _, since = run_job(server, {"file_path": path, "part_size_mb": 8}, timeout=180)
    errors = errors_once_reader_stopped(wine, lambda: events(server, since), mark)
    assert errors in (["Chunk 0: HTTP 403: denied"], ["Chunk 0: HTTP 403: denied"] * 2), errors
    evs, _ = run_job(server, {"file_path": path, "part_size_mb": 8}, timeout=180)
    assert evs[-1][0] == "job_complete", evs[-3:]
    assert evs[-1][1]["total_parts"] == 3
    batch = complete_batch(server, evs[-1][1]["batch_id"])
    assert batch["image_size"] == 20 * MiB + 5 and batch["image_sha256"] == digest
    wine.exit(agent)
    assert agent.wait_exit(60) == 0


def test_block_device(linux, server, tmp_path):
    backing = tmp_path / "disk.img"
    digest = make_file(backing, 24 * MiB, seed=11)
    result = subprocess.run(["losetup", "--find", "--show", "--read-only", str(backing)], capture_output=True,
                            text=True)
    if result.returncode != 0:
        pytest.skip(f"no loop device can be made here: {result.stderr.strip()}")
    device = result.stdout.strip()
    try:
        agent = connect_agent(linux, server)
        evs, _ = run_job(server, {"file_path": device, "part_size_mb": 10})
        assert evs[-1][0] == "job_complete", evs[-3:]
        assert f"imaging: {device} (24.0 MB) [file]" in log(linux)
        batch = complete_batch(server, evs[-1][1]["batch_id"])
        assert batch["image_size"] == 24 * MiB and batch["image_sha256"] == digest
        linux.exit(agent)
        assert agent.wait_exit() == 0
    finally:
        subprocess.run(["losetup", "--detach", device], capture_output=True)
