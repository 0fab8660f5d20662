"""zelvo-server's upload side driven straight from Python: chunked multipart parts, ZVIMG decoding,
the whole image and its hash, resume after a restart, refusals and ordered faults."""
import hashlib
import http.client
import json
import os
import socket
import struct
import uuid

from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import wait_until
from zelvo_server import ZelvoServer

MIB = 1 << 20


def zvimg(raw):
    """A ZVIMG part as the agent makes it: zero, fill and raw blocks of 1 MiB."""
    count = -(-len(raw) // MIB)
    entries, data = [], bytearray()
    for i in range(count):
        block = raw[i * MIB:(i + 1) * MIB]
        if block.count(block[0]) != len(block):
            entries.append((1, len(data), len(block)))
            data += block
        elif block[0]:
            entries.append((3, len(data), 1))
            data.append(block[0])
        else:
            entries.append((0, 0, 0))
    header = b"ZVIM" + struct.pack("<IQIIII", 0x04000001, len(raw), count, 32, 32 + 12 * count, 0)
    return header + b"".join(struct.pack("<B3xII", *e) for e in entries) + bytes(data)


def chunk_body(boundary, fields, index, data):
    body = b"".join(f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n{value}\r\n'.encode()
                    for name, value in fields.items())
    return (body + f'--{boundary}\r\nContent-Disposition: form-data; name="chunk"; filename="chunk{index:04d}"\r\n'
            f"Content-Type: application/octet-stream\r\n\r\n".encode() + data + f"\r\n--{boundary}--\r\n".encode())


def request(server, method, path, body=None, content_type=None):
    """(status, parsed JSON answer or raw bytes); (None, None) when the server closed without answering."""
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        conn.request(method, path, body=body, headers={"Content-Type": content_type} if content_type else {})
        response = conn.getresponse()
        raw = response.read()
    except (http.client.HTTPException, ConnectionError):
        return None, None
    finally:
        conn.close()
    try:
        return response.status, json.loads(raw)
    except ValueError:
        return response.status, raw


def chunk_request(batch, part, total_parts, index, chunks, data, filename, extra=None):
    """(body, content type) of one chunk POST, laid out as the agent lays it out."""
    boundary = f"----ChunkBoundary{uuid.uuid4().hex[:12]}"
    fields = dict(batch_id=batch, part_number=part, total_parts=total_parts, chunk_index=index, total_chunks=chunks,
                  filename=filename, disk_name="Disk_2", **(extra or {}))
    return chunk_body(boundary, fields, index, data), f"multipart/form-data; boundary={boundary}"


def post_chunk(server, *args, token="t", extra=None):
    path = f"/upload_chunk?token={token}" if token is not None else "/upload_chunk"
    return request(server, "POST", path, *chunk_request(*args, extra=extra))


def pieces(data, size):
    return [data[i:i + size] for i in range(0, len(data), size)] or [b""]


def upload_part(server, batch, part, total_parts, raw, chunk_size=1 << 18, encode=True, order=None, extra=None):
    data = zvimg(raw) if encode else raw
    chunks = pieces(data, chunk_size)
    extra = dict(extra or {}, **({"compressed": "zvimg", "original_size": len(raw)} if encode else {}))
    filename = f"Disk_2.part{part:03d}.{'zvimg' if encode else 'img'}"
    answers = [post_chunk(server, batch, part, total_parts, k, len(chunks), chunks[k], filename, extra=extra)
               for k in (order if order is not None else range(len(chunks)))]
    assert all(status == 200 for status, _ in answers), answers
    return answers


def status_of(server, batch, part, token="t"):
    return request(server, "GET", f"/upload_chunk_status?token={token}&batch_id={batch}&part_number={part}")


@pytest.fixture
def server(tmp_path):
    """A zelvo-server whose log must show no sanitizer report and whose exit must be clean."""
    s = ZelvoServer(tmp_path / "server-data")
    yield s
    s.stop()
    log = (tmp_path / "server-data.out").read_text(errors="replace")
    assert "Sanitizer" not in log and "runtime error" not in log, log[-4000:]
    assert s.proc.returncode == 0


def test_parts_in_chunks_become_one_image_with_its_hash(server):
    rng = os.urandom
    # Zero, fill and raw blocks, a short last block, and boundary look-alikes inside the bytes.
    lookalike = b"\r\n------ChunkBoundary\r\n--" + b"\r\n--\r\n\r\n"
    raw_block = bytearray(rng(MIB))
    raw_block[1000:1000 + len(lookalike)] = lookalike
    first = bytes(MIB) + b"\xab" * MIB + bytes(raw_block) + rng(1234)
    second = rng(5000) + lookalike
    third = b""
    disk = {"existing_disk_id": "d-42"}

    # A continuation job: parts 3 to 5; chunks out of order, one of them twice.
    answers = upload_part(server, "20240102030405", 3, 5, first, chunk_size=300000, order=[2, 0], extra=disk)
    assert answers[0][1] == {"status": "ok", "batch_id": "20240102030405", "part_number": 3, "chunk_index": 2,
                             "disk_id": "d-42"}
    assert status_of(server, "20240102030405", 3) == (
        200, {"received_chunks": [0, 2], "total_chunks": 4, "original_size": len(first)})
    upload_part(server, "20240102030405", 3, 5, first, chunk_size=300000, order=[0, 3, 1], extra=disk)
    upload_part(server, "20240102030405", 4, 5, second, encode=False, extra=disk)
    upload_part(server, "20240102030405", 5, 5, third, encode=False, extra=disk)

    status, batch = server.batch("20240102030405", wait_complete=True)
    assert status == 200, batch
    assert batch["complete"], batch
    image = first + second + third
    assert (batch["first_part"], batch["total_parts"], batch["disk_id"]) == (3, 5, "d-42")
    assert (batch["image_size"], batch["image_sha256"]) == (len(image), hashlib.sha256(image).hexdigest())
    assert [(p["part_number"], p["state"], p["size"], p["received_chunks"]) for p in batch["parts"]] == [
        (3, "complete", len(first), [0, 1, 2, 3]), (4, "complete", len(second), [0]), (5, "complete", 0, [0])]
    folder = server.data_dir / "uploads" / "20240102030405"
    assert (folder / "Disk_2.part003.zvimg").read_bytes() == zvimg(first)
    assert (folder / "part003.raw").read_bytes() == first
    assert (folder / "image.img").read_bytes() == image

    # A batch without an existing disk id gets one from the server.
    assert upload_part(server, "20240102030406", 1, 1, b"x")[0][1]["disk_id"] == 1
    log = server.upload_log()
    assert [(e["kind"], e["part_number"], e.get("chunk_index"), e["status"]) for e in log[:4]] == [
        ("chunk", 3, 2, 200), ("chunk", 3, 0, 200), ("status", 3, None, 200), ("chunk", 3, 0, 200)]


def test_resume_listing_and_finished_batches_survive_a_restart(server):
    raw = os.urandom(3 * MIB)
    data = zvimg(raw)
    chunks = pieces(data, MIB)
    send = lambda k: post_chunk(server, "resume1", 1, 1, k, len(chunks), chunks[k], "Disk_2.part001.zvimg",
                                extra={"compressed": "zvimg", "original_size": len(raw)})
    assert len(chunks) == 4
    assert send(0)[0] == send(2)[0] == 200
    disk_id = server.batch("resume1")[1]["disk_id"]

    port = server.port
    server.restart()
    assert server.port == port
    shape = {"total_chunks": 4, "original_size": len(raw)}
    assert status_of(server, "resume1", 1) == (200, dict(received_chunks=[0, 2], **shape))
    assert status_of(server, "resume1", 2) == (200, {"received_chunks": []})
    assert status_of(server, "unknown", 1) == (200, {"received_chunks": []})
    assert status_of(server, "resume1", 1, token="") == (401, {"error": "missing token"})
    assert send(1)[0] == send(3)[0] == 200
    status, batch = server.batch("resume1", wait_complete=True)
    assert status == 200 and batch["complete"] and batch["disk_id"] == disk_id
    assert batch["image_sha256"] == hashlib.sha256(raw).hexdigest()

    # A finished batch stays finished, and disk ids are not handed out twice.
    server.restart()
    status, again = server.batch("resume1")
    assert (status, again["complete"], again["image_sha256"]) == (200, True, batch["image_sha256"])
    assert status_of(server, "resume1", 1) == (200, dict(received_chunks=[0, 1, 2, 3], **shape))
    assert upload_part(server, "resume2", 1, 1, b"y")[0][1]["disk_id"] == disk_id + 1


def test_a_resumed_upload_replaces_a_failed_part_or_one_of_another_shape(server):
    old_raw, new_raw = os.urandom(4 * MIB), os.urandom(2 * MIB + 77)
    old_chunks = pieces(zvimg(old_raw), MIB)
    zv = lambda raw: {"compressed": "zvimg", "original_size": len(raw)}

    def hold(batch, kind):
        """Leaves the part as `kind` says; gives the status answer expected for it."""
        send = lambda k, data, extra=zv(old_raw), name="Disk_2.part001.zvimg": post_chunk(
            server, batch, 1, 1, k, len(old_chunks), data, name, extra=extra)
        if kind == "failed":
            assert send(0, b"ZVIX" + old_chunks[0][4:])[0] == 200
            for k in range(1, len(old_chunks)):
                assert send(k, old_chunks[k])[0] == 200
            assert server.batch(batch, wait_complete=True)[1]["parts"][0]["state"] == "error"
            return [], len(old_chunks), len(old_raw)
        if kind == "complete":
            upload_part(server, batch, 1, 1, old_raw, chunk_size=MIB)
            assert server.batch(batch, wait_complete=True)[1]["complete"]
            return list(range(len(old_chunks))), len(old_chunks), len(old_raw)
        if kind == "uncompressed":
            assert send(1, old_raw[MIB:2 * MIB], extra={}, name="Disk_2.part001.img")[0] == 200
            return [1], len(old_chunks), None
        for k in (0, 2):  # some chunks of a part of another size
            assert send(k, old_chunks[k])[0] == 200
        return [0, 2], len(old_chunks), len(old_raw)

    for kind in ["failed", "complete", "uncompressed", "other size"]:
        batch = "again-" + kind.replace(" ", "-")
        received, chunks, original = hold(batch, kind)
        expected = {"received_chunks": received, "total_chunks": chunks}
        if original is not None:
            expected["original_size"] = original
        assert status_of(server, batch, 1) == (200, expected), kind

        # What the agent does when the answer does not fit its part: send every chunk again.
        upload_part(server, batch, 1, 1, new_raw, chunk_size=MIB)
        status, result = server.batch(batch, wait_complete=True)
        assert status == 200 and result["complete"], (kind, result)
        assert result["image_sha256"] == hashlib.sha256(new_raw).hexdigest(), kind
        new_chunks = len(pieces(zvimg(new_raw), MIB))
        assert status_of(server, batch, 1) == (200, {"received_chunks": list(range(new_chunks)),
                                                     "total_chunks": new_chunks, "original_size": len(new_raw)})
        folder = server.data_dir / "uploads" / batch
        assert sorted(p.name for p in folder.iterdir() if p.name != ".discard") == [
            ".meta", "Disk_2.part001.zvimg", "image.img", "part001.raw"], kind
    server.restart()
    assert server.batch("again-failed")[1]["image_sha256"] == hashlib.sha256(new_raw).hexdigest()


def test_the_image_follows_parts_sent_again_earlier_parts_and_a_longer_batch(server):
    """The image is built while its parts come in: whatever changes under what was built already
    (an earlier part sent again with other bytes, a part before the first, more parts) makes it anew."""
    rng = os.urandom
    a, a2, b, b2 = rng(2 * MIB + 5), rng(MIB + 1), bytes(MIB) + rng(3000), rng(MIB)
    c, d, e = b"\x07" * (2 * MIB), rng(MIB), rng(700)
    parts = {}
    # Part, total_parts, bytes; sent again with other bytes, a part is started anew (another size).
    steps = [(2, 4, a), (1, 4, c), (2, 4, a2), (3, 4, b), (4, 4, d), (5, 5, e), (3, 5, b2)]
    for part, total, raw in steps:
        upload_part(server, "grow", part, total, raw, chunk_size=MIB, encode=part != 4)
        parts[part] = raw
        states = lambda: {p["part_number"]: p["state"] for p in server.batch("grow")[1]["parts"]}
        assert wait_until(lambda: states()[part] == "complete", 30), states()
        image = b"".join(parts.get(n, b"") for n in range(1, total + 1))
        if len(parts) < total:
            assert not server.batch("grow")[1]["complete"], part
            continue
        status, batch = server.batch("grow", wait_complete=True)
        assert status == 200 and batch["complete"], (part, batch)
        assert (batch["image_size"], batch["image_sha256"]) == (len(image), hashlib.sha256(image).hexdigest()), part
        assert (server.data_dir / "uploads" / "grow" / "image.img").read_bytes() == image, part
    server.restart()
    assert server.batch("grow")[1]["image_sha256"] == hashlib.sha256(image).hexdigest()


def test_every_part_name_the_agent_makes_is_taken_and_unsafe_names_are_not(server):
    accepted = [".hidden.part001.img", "...part001.zvimg", "..part001.img", "part12.part001.zvimg",
                "part7.part001.img", "a..b.part001.img", "-x_.part001.img.gz", "D" * 112 + ".part001.zvimg",
                "image.part001.img", "part001.raw.part001.img"]
    refused = [".", "..", "a/b.img", "..\\b.img", "a\x00b.img", "a\x01b.img", "a\tb.img", "a b.img", "D" * 128,
               "image.img", "part001", "part001.raw", "part12", ".meta", ".discard", "\u00e9.img"]
    assert all(len(name) <= 127 for name in accepted)
    for n, name in enumerate(accepted):
        batch = f"named{n}"
        status, answer = post_chunk(server, batch, 1, 1, 0, 1, name.encode(), name)
        assert status == 200, (name, answer)
        result = server.batch(batch, wait_complete=True)[1]
        assert result["complete"] and result["parts"][0]["filename"] == name, (name, result)
        assert (server.data_dir / "uploads" / batch / name).read_bytes() == name.encode()
    for name in refused:
        assert post_chunk(server, "refused", 1, 1, 0, 1, b"x", name) == (400, {"error": "invalid filename"}), name
    assert server.batch("refused")[0] == 404
    # Names kept across a restart are read back under the same rules.
    server.restart()
    assert all(server.batch(f"named{n}")[1]["complete"] for n in range(len(accepted)))


def test_malformed_zvimg_parts_end_in_error(server):
    # Zero, fill and a 100-byte raw block: table entries at 32, 44 and 56, data at 68.
    raw = bytes(MIB) + b"\x07" * MIB + os.urandom(100)
    good = zvimg(raw)
    assert len(good) == 32 + 36 + 1 + 100

    def patched(offset, fmt, *values):
        data = bytearray(good)
        struct.pack_into(fmt, data, offset, *values)
        return bytes(data)

    huge = 0x10000000
    cases = [  # name, part bytes, original_size sent, expected words of the error
        ("magic", b"ZVIX" + good[4:], len(raw), "bad magic"),
        ("format", patched(4, "<I", 0x04000002), len(raw), "format word"),
        ("count", patched(16, "<I", 2), len(raw), "block count"),
        ("table offset", patched(20, "<I", 36), len(raw), "table offset"),
        ("data offset", patched(24, "<I", 69), len(raw), "data offset"),
        ("reserved word", patched(28, "<I", 1), len(raw), "reserved"),
        ("type 2", patched(56, "<B", 2), len(raw), "invalid type 2"),
        ("entry reserved", patched(45, "<B", 1), len(raw), "reserved bytes"),
        ("zero with data", patched(32, "<BxxxII", 0, 0, 5), len(raw), "zero block"),
        ("fill length", patched(44, "<BxxxII", 3, 0, 2), len(raw), "fill block"),
        ("raw length", patched(56, "<BxxxII", 1, 1, 99), len(raw), "raw block"),
        ("position", patched(56, "<BxxxII", 1, 0xFFFFFFF0, 100), len(raw), "beyond the end"),
        ("truncated", good[:-1], len(raw), "beyond the end"),
        ("trailing byte", good + b"\0", len(raw), "data area"),
        ("size mismatch", good, len(raw) + 1, "differs from original_size"),
        ("short header", good[:20], len(raw), "header"),
        ("huge table", b"ZVIM" + struct.pack("<IQIIII", 0x04000001, huge * MIB, huge, 32, 32 + 12 * huge, 0),
         huge * MIB, "past the end"),
    ]
    wrong, disk_ids = [], []
    for n, (name, part, original_size, expected) in enumerate(cases):
        batch = f"bad{n}"
        status, answer = post_chunk(server, batch, 1, 1, 0, 1, part, "Disk_2.part001.zvimg",
                                    extra={"compressed": "zvimg", "original_size": original_size})
        assert status == 200, (name, answer)
        disk_ids.append(answer["disk_id"])
        status, result = server.batch(batch, wait_complete=True, timeout_ms=20000)
        (part_state,) = result["parts"]
        if status != 200 or part_state["state"] != "error" or expected not in part_state.get("error", ""):
            wrong.append((name, status, part_state))
        assert not result["complete"]
    assert not wrong, wrong
    assert disk_ids == list(range(1, len(cases) + 1))
    # Still serving, and a good part goes through after all of that.
    upload_part(server, "good", 1, 1, raw)
    assert server.batch("good", wait_complete=True)[1]["image_sha256"] == hashlib.sha256(raw).hexdigest()


def test_unusable_requests_are_refused_and_touch_nothing(server, tmp_path):
    base = dict(batch="b1", part=1, total_parts=1, index=0, chunks=1, data=b"abc", filename="Disk_2.part001.img")
    cases = [  # overrides of the chunk's fields, expected status
        (dict(batch="../escape"), 400),
        (dict(batch=".hidden"), 400),
        (dict(batch="a" * 128), 400),
        (dict(batch="raw"), 400),
        (dict(filename="../../escape.img"), 400),
        (dict(filename="sub/escape.img"), 400),
        (dict(filename="image.img"), 400),
        (dict(filename="part001.raw"), 400),
        (dict(part="1x"), 400),
        (dict(part="-1"), 400),
        (dict(part=2, total_parts=1), 400),
        (dict(index=1, chunks=1), 400),
        (dict(chunks=0), 400),
        (dict(token=None), 401),
        (dict(token=""), 401),
    ]
    for override, expected in cases:
        args = dict(base, **override)
        status, answer = post_chunk(server, args.pop("batch"), args.pop("part"), args.pop("total_parts"),
                                    args.pop("index"), args.pop("chunks"), args.pop("data"), args.pop("filename"),
                                    **args)
        assert status == expected and isinstance(answer.get("error"), str), (override, status, answer)
        if expected == 401:
            assert answer == {"error": "missing token"}

    boundary = "----ChunkBoundary0123456789ab"
    fields = {"batch_id": "b1", "part_number": 1, "total_parts": 1, "chunk_index": 0, "total_chunks": 1,
              "filename": "x.img", "disk_name": ""}
    whole = chunk_body(boundary, fields, 0, b"abc")
    without_index = chunk_body(boundary, {k: v for k, v in fields.items() if k != "chunk_index"}, 0, b"abc")
    bodies = [  # body, content type
        (whole, "application/octet-stream"),
        (whole, "multipart/form-data"),
        (whole, "multipart/form-data; boundary=----OtherBoundary"),
        (whole[:-8], f"multipart/form-data; boundary={boundary}"),
        (whole.replace(b"Content-Disposition", b"Content-Dispositio", 1), f"multipart/form-data; boundary={boundary}"),
        (without_index, f"multipart/form-data; boundary={boundary}"),
        (b"", f"multipart/form-data; boundary={boundary}"),
    ]
    for body, content_type in bodies:
        status, answer = request(server, "POST", "/upload_chunk?token=t", body, content_type)
        assert status == 400 and "error" in answer, (content_type, body[-40:], answer)
    # The quoted boundary form is as good as the plain one.
    status, _ = request(server, "POST", "/upload_chunk?token=t", whole, f'multipart/form-data; boundary="{boundary}"')
    assert status == 200

    assert sorted(p.name for p in (server.data_dir / "uploads").iterdir()) == ["b1"]
    assert not list(tmp_path.rglob("escape*"))
    assert [e["status"] for e in server.upload_log()] == [c[1] for c in cases] + [400] * len(bodies) + [200]


def test_ordered_faults_answer_drop_pad_and_record(server):
    def send(k, data=b"chunk"):
        return post_chunk(server, "faulty", 1, 1, k, 4, data, "Disk_2.part001.img")

    server.upload_fault(status=500, count=2, body="busy")
    assert send(0) == (500, b"busy")
    assert send(0) == (500, b"busy")
    server.upload_fault(status=403)
    assert send(0)[0] == 403
    server.upload_fault(drop=1)
    assert send(1) == (None, None)
    assert status_of(server, "faulty", 1) == (200, {"received_chunks": []})
    assert send(1)[0] == 200

    server.upload_fault(pad=8000, record_raw=True)
    body, content_type = chunk_request("faulty", 1, 1, 2, 4, b"\0\r\n--raw bytes\xff", "Disk_2.part001.img")
    status, answer = request(server, "POST", "/upload_chunk?token=t", body, content_type)
    assert status == 200 and answer["pad"] == "x" * 8000
    log = server.upload_log()
    assert [(e["chunk_index"], e["status"], e["dropped"]) for e in log if e["kind"] == "chunk"] == [
        (0, 500, False), (0, 500, False), (0, 403, False), (1, 0, True), (1, 200, False), (2, 200, False)]
    recorded = server.data_dir / "uploads" / "raw" / str(log[-1]["seq"])
    assert recorded.with_suffix(".body").read_bytes() == body
    assert recorded.with_suffix(".type").read_text() == content_type

    # Armed until disarmed, then nothing left over.
    server.upload_fault(status=404, count=-1)
    assert send(3)[0] == send(3)[0] == 404
    server.upload_fault()
    status, answer = send(3)
    assert status == 200 and "pad" not in answer
    # An uncompressed part has no original size to name.
    assert status_of(server, "faulty", 1) == (200, {"received_chunks": [1, 2, 3], "total_chunks": 4})

    # Faults held back for two requests; an answer held back shows in the log while it waits.
    server.upload_fault(status=503, after=2, delay_ms=1000)
    with ThreadPoolExecutor(1) as pool:
        pending = pool.submit(send, 3)
        assert wait_until(lambda: [(e["status"], e["dropped"]) for e in server.upload_log()][-1:] == [(0, False)], 5)
        assert pending.result()[0] == 200
    server.upload_fault(delay_ms=0)  # the other faults stay as they are
    assert send(3)[0] == 200 and send(3)[0] == 503
    assert [e["status"] for e in server.upload_log()][-3:] == [200, 200, 503]

    assert server.call("POST", "/control/upload_fault", {"stauts": 500}) == (400, {"error": "invalid stauts"})
    server.upload_fault(status=500, count=-1)
    assert server.call("POST", "/control/reset") == (200, {"ok": True})
    assert server.upload_log() == []
    assert send(0)[0] == 200
    assert server.batch("faulty", wait_complete=True)[1]["complete"]


def test_keep_alive_connections_are_numbered_and_closed_when_ordered(server):
    data = os.urandom(4 * MIB)

    def exchange(conn, method, path, body=None, content_type=None):
        conn.request(method, path, body=body, headers={"Content-Type": content_type} if content_type else {})
        response = conn.getresponse()
        return response, response.read()

    def chunk(conn, k):
        response, _ = exchange(conn, "POST", "/upload_chunk?token=t",
                               *chunk_request("kept", 1, 1, k, 8, data, "Disk_2.part001.img"))
        assert response.status == 200
        return response

    def closed_by_server(conn):
        conn.sock.settimeout(5)
        return conn.sock.recv(1) == b""

    first, second, third = (http.client.HTTPConnection("127.0.0.1", server.port, timeout=30) for _ in range(3))
    # Chunks, a resume query and a control route, interleaved on two connections that stay open.
    chunk(first, 0)
    sockets = (first.sock, first.sock.getsockname())
    chunk(second, 1)
    chunk(first, 2)
    assert exchange(first, "GET", "/upload_chunk_status?token=t&batch_id=kept&part_number=1")[0].status == 200
    assert exchange(second, "GET", "/control/batch?batch_id=kept")[0].status == 200
    chunk(first, 3)
    assert (first.sock, first.sock.getsockname()) == sockets

    # Two answers given as usual, each connection then closed without a word; the third stays.
    server.upload_fault(close_after=2)
    for conn, k in ((second, 4), (third, 5)):
        response = chunk(conn, k)
        assert response.getheader("Connection") is None and not response.will_close
        assert closed_by_server(conn)
    chunk(first, 6)
    chunk(first, 7)
    first.sock.settimeout(0.3)
    with pytest.raises(socket.timeout):
        first.sock.recv(1)
    for conn in (first, second, third):
        conn.close()

    log = server.upload_log()
    ids = [e["connection"] for e in log]
    assert [e.get("chunk_index") for e in log] == [0, 1, 2, None, 3, 4, 5, 6, 7]
    a, b, c = ids[0], ids[1], ids[6]
    assert len({a, b, c}) == 3 and ids == [a, b, a, a, a, b, c, a, a]
    assert server.batch("kept", wait_complete=True)[1]["image_size"] == 8 * 4 * MIB


def test_chunks_written_in_place_are_whole_after_refused_cut_and_overlong_requests(server):
    raw = os.urandom(7 * MIB)
    data = zvimg(raw)
    chunks = pieces(data, 2 * MIB)  # three of 2 MiB and the rest
    extra = {"compressed": "zvimg", "original_size": len(raw)}
    name = "Disk_2.part001.zvimg"

    def body(k, payload):
        return chunk_request("placed", 1, 1, k, len(chunks), payload, name, extra=extra)

    def send(k, payload):
        return request(server, "POST", "/upload_chunk?token=t", *body(k, payload))[0]

    assert send(0, chunks[0]) == 200  # its length places the others
    garbage = os.urandom(len(chunks[1]))
    # Refused after its bytes were written: by an ordered fault, by a missing token, and by a body
    # whose closing boundary never comes.
    server.upload_fault(status=500)
    assert send(1, garbage) == 500
    assert request(server, "POST", "/upload_chunk", *body(1, garbage))[0] == 401
    cut, content_type = body(1, garbage)
    assert request(server, "POST", "/upload_chunk?token=t", cut[:-10], content_type)[0] == 400
    # Cut off by the client in the middle of the bytes.
    with socket.create_connection(("127.0.0.1", server.port)) as conn:
        whole, content_type = body(1, garbage)
        conn.sendall(f"POST /upload_chunk?token=t HTTP/1.1\r\nHost: x\r\nContent-Type: {content_type}\r\n"
                     f"Content-Length: {len(whole)}\r\n\r\n".encode() + whole[:len(whole) // 2])
    # Longer than its place, so it must not run into the next chunk's, then sent as it is.
    assert send(2, chunks[2]) == 200
    assert send(1, os.urandom(3 * MIB)) == 200
    assert send(1, chunks[1]) == 200
    assert send(3, chunks[3]) == 200

    status, batch = server.batch("placed", wait_complete=True)
    assert status == 200 and batch["complete"], batch
    assert batch["image_sha256"] == hashlib.sha256(raw).hexdigest()
    assert (server.data_dir / "uploads" / "placed" / name).read_bytes() == data


def test_a_request_still_writing_its_chunk_cannot_spoil_the_finished_part(server):
    raw = os.urandom(3 * MIB)
    data = zvimg(raw)
    chunks = pieces(data, MIB)
    extra = {"compressed": "zvimg", "original_size": len(raw)}

    def body(k, payload):
        return chunk_request("late", 1, 1, k, len(chunks), payload, "Disk_2.part001.zvimg", extra=extra)

    def send(k, payload):
        return request(server, "POST", "/upload_chunk?token=t", *body(k, payload))[0]

    assert send(0, chunks[0]) == 200
    # Chunk 1 begins on one connection and stalls; it then comes whole on another, and the rest.
    slow, content_type = body(1, os.urandom(len(chunks[1])))
    with socket.create_connection(("127.0.0.1", server.port)) as conn:
        conn.sendall(f"POST /upload_chunk?token=t HTTP/1.1\r\nHost: x\r\nContent-Type: {content_type}\r\n"
                     f"Content-Length: {len(slow)}\r\n\r\n".encode() + slow[:len(slow) // 4])
        assert status_of(server, "late", 1)[0] == 200  # the stalled bytes have been read meanwhile
        for k in range(1, len(chunks)):
            assert send(k, chunks[k]) == 200
        status, batch = server.batch("late", wait_complete=True)
        assert status == 200 and batch["image_sha256"] == hashlib.sha256(raw).hexdigest()
        # The stalled request goes on writing where chunk 1 would have been placed.
        conn.sendall(slow[len(slow) // 4:])
        conn.settimeout(30)
        assert conn.recv(100).startswith(b"HTTP/1.1 200")
    assert (server.data_dir / "uploads" / "late" / "Disk_2.part001.zvimg").read_bytes() == data
    assert (server.data_dir / "uploads" / "late" / "part001.raw").read_bytes() == raw
