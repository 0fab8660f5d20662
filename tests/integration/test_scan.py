"""Remote scan of the real agent against zelvo-server: a FAT32 image scanned through "disk_path",
its tree, hits and regions checked against the image; a second request and a cancel while a chunk
is on the wire; retries; the requests and reads that must end in an error; the same scan under
Wine."""
import json
import os
import random
import re
import struct
import subprocess
import time
import urllib.request

import pytest

from conftest import FILE_LINE, LinuxTarget, wait_until
from zelvo_server import connect_agent as connect_server_agent, server  # noqa: F401 (fixture)

MiB = 1 << 20
TOKEN = "scan-tok"
PERIOD_SCALE = 0.1  # retry pauses of 0.5 s and 1 s
SCAN_EVENTS = ("stream_chunk_progress", "directory_tree", "stream_chunk_complete", "remote_scan_error")
DEEP = 19  # folders nested deeper than the tree reader descends


def connect_agent(target, server):
    return connect_server_agent(target, server, period_scale=PERIOD_SCALE)


def log(target):
    return [m.group(3) for m in map(FILE_LINE.match, target.log_lines()) if m]


def scan_errors(target):
    return [m.group(3) for m in map(FILE_LINE.match, target.log_lines())
            if m and m.group(2) == "ERROR" and m.group(3).startswith("scan:")]


def events(server, since):
    out = []
    for message in server.received(since):
        envelope = json.loads(message["text"])
        if envelope.get("e") in SCAN_EVENTS:
            out.append((envelope["e"], envelope["d"]))
    return out


def next_event(server):
    return server.call("GET", "/control/received")[1]["next"]


def start_scan(server, data):
    since = next_event(server)
    request = dict({"upload_token": TOKEN, "server_url": f"http://127.0.0.1:{server.port}"}, **data)
    server.send("stream_disk_chunks", request)
    return since


def run_scan(server, data, timeout=120):
    """Sends the request and waits for the scan's last event; returns the scan events."""
    since = start_scan(server, data)
    end = ("stream_chunk_complete", "remote_scan_error")
    assert wait_until(lambda: any(n in end for n, _ in events(server, since)), timeout, interval=0.1), \
        events(server, since)[-3:]
    return events(server, since)


def scan_log(server, since=1):
    return server.call("GET", f"/control/scan_log?since={since}")[1]["requests"]


def next_scan_seq(server):
    return server.call("GET", "/control/scan_log")[1]["next"]


def scan_chunks(server, scan_id):
    status, answer = server.call("GET", f"/control/scan_chunks?scan_id={scan_id}")
    assert status == 200, answer
    return answer["chunks"]


def scan_region(server, scan_id, offset, index):
    url = f"{server.base}/control/scan_region?scan_id={scan_id}&offset={offset}&index={index}"
    with urllib.request.urlopen(url, timeout=30) as response:
        return response.read()


# ---- The image and a plain reading of what the agent must find --------------------------------

def jpeg_bytes(rng, length):
    return b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + bytes(rng.randrange(0, 0xFF) for _ in range(length)) + b"\xff\xd9"


def mp4_bytes():
    """ftyp, an mdat filling the first sector, then a moov box of 2000 bytes at byte 512."""
    ftyp = struct.pack(">I4s4sI8s", 24, b"ftyp", b"isom", 0x200, b"isommp41")
    mdat = struct.pack(">I4s", 512 - len(ftyp), b"mdat") + bytes(512 - len(ftyp) - 8)
    moov = struct.pack(">I4s", 2000, b"moov") + bytes(1992)
    return ftyp + mdat + moov


def make_fat32_image(tmp_path):
    """A 34 MiB FAT32 volume with 512-byte clusters holding photos, a video, a text file and a chain
    of folders deeper than the reader descends. Returns the image path and the files written."""
    rng = random.Random(5)
    files = {
        "/DCIM/100CAMRA/IMG_0001.JPG": jpeg_bytes(rng, 3000),
        "/DCIM/100CAMRA/IMG_0002.JPG": jpeg_bytes(rng, 70000),
        "/Videos/holiday clip.mp4": mp4_bytes(),
        "/notes.txt": b"nothing to find here\n" * 40,
    }
    stage = tmp_path / "stage"
    for path, content in files.items():
        target = stage / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content)
    deep = stage / "/".join(f"d{i}" for i in range(DEEP))
    deep.mkdir(parents=True)
    image = tmp_path / "card.img"
    subprocess.run(["truncate", "-s", "34M", str(image)], check=True)
    subprocess.run(["mkfs.fat", "-F", "32", "-s", "1", "-S", "512", str(image)], check=True, capture_output=True)
    env = dict(os.environ, LC_ALL="C.UTF-8", MTOOLS_SKIP_CHECK="1")
    subprocess.run("mcopy -s -i " + str(image) + " ./* ::/", shell=True, cwd=stage, env=env, check=True,
                   capture_output=True)
    return image, files


def cluster_offset(image_bytes, cluster):
    sector, per_cluster, reserved, fats = struct.unpack_from("<HBHB", image_bytes, 11)
    fat_sectors = struct.unpack_from("<I", image_bytes, 36)[0]
    return (reserved + fats * fat_sectors) * sector + (cluster - 2) * sector * per_cluster


def expected_results(data, base, sector=512):
    """The hits and regions of one chunk with the default settings, found the obvious way."""
    n = len(data)
    ftyp, moov, sigs = [], {}, []
    if n >= 32:
        for p in range(0, n - 31, sector):
            size = int.from_bytes(data[p:p + 4], "big")
            if data[p + 4:p + 8] == b"ftyp" and 16 <= size <= 64:
                ftyp.append(base + p)
            elif data[p + 4:p + 8] == b"moov" and 1000 <= size <= 52428800:
                moov[str(base + p)] = size
        first = (sector - base % sector) % sector
        sigs += [[base + p, "ARW"] for p in range(first, n - 2047, sector)
                 if data[p:p + 4] == b"II*\x00" and re.search(b"SONY|ILCE", data[p:p + 2048])]
        sigs += [[base + m.start(), "JPEG"] for m in re.finditer(rb"\xff\xd8\xff[\xc0\xc2\xdb\xe0\xe1\xe2]", data)]
        sigs += [[base + p, "XML"] for p in range(first, n - 4, sector) if data[p:p + 5] == b"<?xml"]
    regions = [(int(o), int(o) + z) for o, z in moov.items() if int(o) - base + z <= n]
    regions += [(o, o + min(base + n - o, 524288)) for o, _ in sigs]
    if base == 0 and n >= 512:
        regions.append((0, min(n, 4 * MiB)))
    regions += [(o, o + min(base + n - o, 524288)) for o in ftyp]
    index = [{"start": s, "end": e, "size": e - s} for s, e in regions]
    return {"ftyp_list": ftyp, "moov_dict": moov, "image_sigs": sigs}, index


def check_stored_chunks(server, scan_id, image_bytes, chunk_size, end, start=0):
    """Every chunk of [start, end) stored once, its results and index as the image demands, each
    region's bytes those of the image."""
    chunks = scan_chunks(server, scan_id)
    offsets = list(range(start, end, chunk_size))
    assert [c["offset"] for c in chunks] == offsets
    for chunk in chunks:
        offset = chunk["offset"]
        data = image_bytes[offset:min(offset + chunk_size, end)]
        assert chunk["chunk_size"] == len(data)
        results, index = expected_results(data, offset)
        assert chunk["scan_results"] == results, offset
        assert chunk["region_index"] == index, offset
        assert chunk["regions_size"] == sum(r["size"] for r in index)
        for k, region in enumerate(index):
            assert scan_region(server, scan_id, offset, k) == image_bytes[region["start"]:region["end"]]
    return chunks


# ---- End to end ------------------------------------------------------------------------------------

def test_fat32_image_scanned_end_to_end(linux, server, tmp_path):
    image, files = make_fat32_image(tmp_path)
    image_bytes = image.read_bytes()
    size = len(image_bytes)
    chunk_size = 5_000_000  # not a whole number of sectors: every later chunk starts mid-sector
    agent = connect_agent(linux, server)
    seq = next_scan_seq(server)
    evs = run_scan(server, {"scan_id": "card-1", "disk_path": str(image), "chunk_size": chunk_size})

    chunk_count = -(-size // chunk_size)
    progress = [d for n, d in evs if n == "stream_chunk_progress"]
    assert progress == [{"scan_id": "card-1", "offset": min(k * chunk_size, size), "total_size": size,
                         "chunk_index": k} for k in range(chunk_count + 1)]
    names = [n for n, _ in evs]
    assert names == ["stream_chunk_progress", "directory_tree"] + ["stream_chunk_progress"] * chunk_count + \
        ["stream_chunk_complete"]
    assert evs[-1][1] == {"scan_id": "card-1", "status": "complete"}

    # The tree: every file and folder written, sizes as written, and each file's first cluster holds
    # its first bytes.
    tree = evs[1][1]
    assert tree["scan_id"] == "card-1" and tree["directory_tree"]["fs_type"] == "fat32"
    entries = {e["path"]: e for e in tree["directory_tree"]["entries"]}
    for path, content in files.items():
        entry = entries[path]
        assert (entry["name"], entry["size"], entry["is_dir"]) == (path.rsplit("/", 1)[1], len(content), False)
        start = cluster_offset(image_bytes, entry["cluster"])
        assert image_bytes[start:start + len(content)] == content, path
    for folder in ("/DCIM", "/DCIM/100CAMRA", "/Videos", "/d0"):
        assert entries[folder]["is_dir"], folder
    assert all(list(e) == ["name", "path", "size", "is_dir", "cluster"] for e in tree["directory_tree"]["entries"])

    # One request per chunk, each taken; what was stored is what the image holds.
    assert [r["status"] for r in scan_log(server, seq)] == [200] * chunk_count
    chunks = check_stored_chunks(server, "card-1", image_bytes, chunk_size, size)
    # The planted media were found where the tree says they are.
    hits = chunks[0]["scan_results"]
    mp4 = cluster_offset(image_bytes, entries["/Videos/holiday clip.mp4"]["cluster"])
    assert hits["ftyp_list"] == [mp4] and hits["moov_dict"] == {str(mp4 + 512): 2000}
    for photo in ("/DCIM/100CAMRA/IMG_0001.JPG", "/DCIM/100CAMRA/IMG_0002.JPG"):
        assert [cluster_offset(image_bytes, entries[photo]["cluster"]), "JPEG"] in hits["image_sigs"]

    lines = log(linux)
    assert f"scan: starting {'34.0 MB'} scan_id=card-1 chunk=4MB" in lines, [l for l in lines if "scan" in l]
    assert f"scan: sent directory tree ({len(entries)} entries)" in lines
    assert f"scan: complete, {chunk_count} chunks processed" in lines
    # The folders below the reader's depth are left out, and that is said.
    assert sum(l.startswith("scan: directory tree cut short at ") for l in lines) == 1
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_second_request_refused_and_cancel_during_upload(linux, server, tmp_path):
    source = tmp_path / "disk.bin"
    source.write_bytes(random.Random(2).randbytes(8 * MiB))
    agent = connect_agent(linux, server)
    server.upload_fault(delay_ms=1500)  # every chunk answer is held back
    seq = next_scan_seq(server)
    since = start_scan(server, {"scan_id": "slow", "disk_path": str(source), "chunk_size": MiB})
    assert wait_until(lambda: scan_log(server, seq), 30, interval=0.02)  # chunk 0 is on the wire

    mark = next_event(server)
    server.send("stream_disk_chunks", {"scan_id": "other", "disk_path": str(source)})
    server.send("cancel_remote_scan", {})
    # The upload in flight finishes and is reported; nothing follows it.
    assert wait_until(lambda: any(d.get("chunk_index") == 1 for _, d in events(server, since)), 30)
    time.sleep(2.5)
    evs = events(server, since)
    assert ("remote_scan_error", {"error": "Remote scan already in progress"}) in events(server, mark)
    assert [d["chunk_index"] for n, d in evs if n == "stream_chunk_progress"] == [0, 1]
    assert "stream_chunk_complete" not in [n for n, _ in evs]
    assert [(r["offset"], r["status"]) for r in scan_log(server, seq)] == [(0, 200)]
    assert "scan: cancel requested" in log(linux)

    # The scan has ended: the next one runs.
    server.upload_fault(reset=True)
    evs = run_scan(server, {"scan_id": "again", "disk_path": str(source), "chunk_size": MiB, "start_offset": 3 * MiB,
                            "scan_size": 2 * MiB})
    assert evs[-1] == ("stream_chunk_complete", {"scan_id": "again", "status": "complete"})
    assert [c["offset"] for c in scan_chunks(server, "again")] == [3 * MiB, 4 * MiB]
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_retries_and_chunks_given_up(linux, server, tmp_path):
    source = tmp_path / "disk.bin"
    source.write_bytes(bytes(2 * MiB))
    agent = connect_agent(linux, server)

    # Two failures then success: two WARN lines, nothing given up.
    server.upload_fault(status=503, count=2, body="busy")
    seq = next_scan_seq(server)
    evs = run_scan(server, {"scan_id": "r1", "disk_path": str(source), "chunk_size": MiB})
    assert evs[-1] == ("stream_chunk_complete", {"scan_id": "r1", "status": "complete"})
    assert [r["status"] for r in scan_log(server, seq)] == [503, 503, 200, 200]
    warns = [l for l in log(linux) if l.startswith("scan: chunk upload failed")]
    assert warns == ["scan: chunk upload failed: HTTP 503: busy, retrying..."] * 2
    assert scan_errors(linux) == []

    # Three failures: the chunk is given up, the scan goes on and names it.
    server.upload_fault(status=503, count=3, body="busy")
    seq = next_scan_seq(server)
    evs = run_scan(server, {"scan_id": "r2", "disk_path": str(source), "chunk_size": MiB})
    assert evs[-1] == ("stream_chunk_complete", {"scan_id": "r2", "status": "complete", "failed_chunks": [0]})
    assert [d["chunk_index"] for n, d in evs if n == "stream_chunk_progress"] == [0, 1, 2]
    assert [r["status"] for r in scan_log(server, seq)] == [503, 503, 503, 200]
    assert [c["offset"] for c in scan_chunks(server, "r2")] == [MiB]
    assert scan_errors(linux) == ["scan: chunk upload failed: HTTP 503: busy"]
    linux.exit(agent)
    assert agent.wait_exit() == 0


def gap_after_executable(pid):
    """Where the agent's executable and the mappings right after it end and nothing is mapped:
    reading its memory through /proc/<pid>/mem fails there."""
    exe = os.readlink(f"/proc/{pid}/exe")
    spans = {}
    named = []
    for line in open(f"/proc/{pid}/maps"):
        fields = line.split()
        start, end = (int(x, 16) for x in fields[0].split("-"))
        spans[start] = end
        if fields[-1] == exe:
            named.append(start)
    if not named:
        return None
    end = spans[max(named)]
    while end in spans:
        end = spans[end]
    return end if end - min(named) >= 2 * MiB else None


def test_requests_and_reads_that_end_in_an_error(linux, server, tmp_path):
    source = tmp_path / "disk.bin"
    source.write_bytes(random.Random(4).randbytes(3 * MiB))
    size = 3 * MiB
    agent = connect_agent(linux, server)
    path = str(source)
    # (request, the error, whether the first progress event comes before it)
    cases = [
        ({"chunk_size": 0}, "Invalid chunk_size 0: it must be 1 to 1073741824 bytes", False),
        ({"chunk_size": -4096}, "Invalid chunk_size -4096: it must be 1 to 1073741824 bytes", False),
        ({"chunk_size": 1073741825}, "Invalid chunk_size 1073741825: it must be 1 to 1073741824 bytes", False),
        ({"chunk_size": "64"}, "Invalid chunk_size 0: it must be 1 to 1073741824 bytes", False),
        ({"start_offset": -512}, "Invalid start_offset: it must be a byte offset of 0 or more", False),
        ({"start_offset": size}, f"Start offset {size} is at or past the end of the disk ({size} bytes)", True),
        ({"start_offset": size + 4096, "scan_size": MiB},
         f"Start offset {size + 4096} is at or past the end of the disk ({size} bytes)", True),
        ({"disk_path": str(tmp_path / "missing.img")}, "Cannot open disk for scanning", True),
    ]
    seq = next_scan_seq(server)
    for extra, error, progress_first in cases:
        evs = run_scan(server, dict({"scan_id": "bad", "disk_path": path}, **extra))
        expected = [("remote_scan_error", {"scan_id": "bad", "error": error})]
        if progress_first:
            assert evs[0][0] == "stream_chunk_progress", (extra, evs)
            evs = evs[1:]
        assert evs == expected, extra
    assert scan_log(server, seq) == []

    # A device that ends before the size the request gave ends the scan there, complete.
    evs = run_scan(server, {"scan_id": "short", "disk_path": path, "chunk_size": 2 * MiB, "total_size": 10 * MiB})
    assert [d["offset"] for n, d in evs if n == "stream_chunk_progress"] == [0, 2 * MiB, 3 * MiB]
    assert evs[-1] == ("stream_chunk_complete", {"scan_id": "short", "status": "complete"})

    # A read that fails in the middle of the range: the agent's own memory past a mapping's end.
    gap = gap_after_executable(agent.proc.pid)
    if gap is None:
        pytest.skip("no unmapped gap after the agent's executable")
    seq = next_scan_seq(server)
    evs = run_scan(server, {"scan_id": "eio", "disk_path": "/proc/self/mem", "chunk_size": 4 * MiB,
                            "start_offset": gap - MiB, "scan_size": 2 * MiB, "total_size": 1 << 47})
    assert evs[-1] == ("remote_scan_error", {"scan_id": "eio", "error": f"Read error at byte {gap}"})
    assert "stream_chunk_complete" not in [n for n, _ in evs]
    assert scan_log(server, seq) == []
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_dense_chunk_regions_capped_with_one_warning(linux, server, tmp_path):
    # JPEG starts every 2 KiB over 2 MiB: 1024 regions of up to 512 KiB, far past the 256 MiB cap.
    source = tmp_path / "dense.bin"
    block = bytearray(2048)
    block[0:4] = b"\xff\xd8\xff\xe0"
    source.write_bytes(bytes(block) * 1024 + bytes(4 * MiB))
    agent = connect_agent(linux, server)
    evs = run_scan(server, {"scan_id": "dense", "disk_path": str(source), "chunk_size": 2 * MiB, "start_offset": 0})
    assert evs[-1] == ("stream_chunk_complete", {"scan_id": "dense", "status": "complete"})
    chunks = scan_chunks(server, "dense")
    first = chunks[0]
    assert len(first["scan_results"]["image_sigs"]) == 1024  # every hit stays in the results
    assert 255 * MiB < first["regions_size"] <= 256 * MiB
    assert len(first["region_index"]) < 1024
    assert all(c["regions_size"] < 256 * MiB for c in chunks[1:])
    warns = [l for l in log(linux) if " left out of the upload, over the " in l]
    assert len(warns) == 1 and warns[0].startswith("scan: chunk at 0: "), warns
    linux.exit(agent)
    assert agent.wait_exit() == 0


def test_no_buffer_for_the_chunk_is_an_error(server, tmp_path):
    target = LinuxTarget(tmp_path)
    exe = str(target.exe)
    # One allocation of 1 GiB must fail: ASan is told so; a plain build gets too little address space.
    asan = b"__asan_init" in open(exe, "rb").read()
    wrapper = tmp_path / "zelvo-limited"
    wrapper.write_text("#!/bin/sh\n" + ("" if asan else "ulimit -v 786432\n") + f"exec {exe}\n")
    wrapper.chmod(0o755)
    target.env["ASAN_OPTIONS"] = "max_allocation_size_mb=512:allocator_may_return_null=1"
    try:
        target.exe = wrapper
        agent = connect_agent(target, server)
        source = tmp_path / "disk.bin"
        source.write_bytes(bytes(MiB))
        evs = run_scan(server, {"scan_id": "mem", "disk_path": str(source), "chunk_size": 1 << 30})
        assert evs[-1] == ("remote_scan_error", {"scan_id": "mem", "error": "Not enough memory for a chunk of 1.0 GB"})
        target.exit(agent)
        assert agent.wait_exit() == 0
    finally:
        target.cleanup()


def test_same_tree_and_results_under_wine(wine, server, tmp_path):
    image, _ = make_fat32_image(tmp_path)
    image_bytes = image.read_bytes()
    request = {"disk_path": str(image), "chunk_size": 7 * MiB + 123}

    (tmp_path / "native-run").mkdir()
    native = LinuxTarget(tmp_path / "native-run")
    agent = connect_agent(native, server)
    linux_evs = run_scan(server, dict(request, scan_id="lin"))
    native.exit(agent)
    assert agent.wait_exit() == 0
    native.cleanup()

    agent = connect_agent(wine, server)
    wine_evs = run_scan(server, dict(request, scan_id="win", disk_path="Z:" + str(image).replace("/", "\\")),
                        timeout=180)
    wine.exit(agent)
    assert agent.wait_exit(60) == 0

    def tree(evs):
        return [d["directory_tree"] for n, d in evs if n == "directory_tree"]

    assert tree(wine_evs) == tree(linux_evs) and len(tree(linux_evs)) == 1
    assert wine_evs[-1] == ("stream_chunk_complete", {"scan_id": "win", "status": "complete"})
    strip = lambda chunks: [(c["offset"], c["chunk_size"], c["scan_results"], c["region_index"]) for c in chunks]
    assert strip(scan_chunks(server, "win")) == strip(scan_chunks(server, "lin"))
    check_stored_chunks(server, "win", image_bytes, request["chunk_size"], len(image_bytes))
