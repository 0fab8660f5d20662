"""The file back ends beyond folders: raw reads of a block device, and replacing a file that a
reader holds open under Windows."""
import hashlib
import json
import random
import re
import subprocess

import pytest

from conftest import WIN_DIR, wait_until
from zelvo_server import connect_agent, server  # noqa: F401 (fixture)

MiB = 1 << 20
GiB = 1 << 30


def imaging_events(server, since):
    out = []
    for message in server.received(since):
        envelope = json.loads(message["text"])
        if envelope.get("e") in ("job_error", "job_complete"):
            out.append((envelope["e"], envelope["d"]))
    return out


@pytest.mark.parametrize("sector", [512, 4096])
def test_unaligned_range_of_a_block_device(linux, server, tmp_path, sector):
    """The agent opens a block device unbuffered (O_DIRECT), which, like a Windows disk handle,
    refuses offsets, lengths and buffers that are not whole sectors. A start offset and an image
    size given in GiB fall inside sectors; the image must still hold exactly those bytes."""
    backing = tmp_path / "disk.img"
    data = random.Random(sector).randbytes(64 * MiB)
    backing.write_bytes(data)
    result = subprocess.run(["losetup", "--find", "--show", "--read-only", "--direct-io=on",
                             "--sector-size", str(sector), str(backing)], capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip(f"no loop device can be made here: {result.stderr.strip()}")
    device = result.stdout.strip()
    try:
        agent = connect_agent(linux, server)
        start_gb, size_gb = 0.01, 0.03  # 10737418 and 32212254 bytes: inside sectors at both ends
        start, size = int(start_gb * GiB), int(size_gb * GiB)
        assert start % 512 and (start + size) % 512
        since = server.call("GET", "/control/received")[1]["next"]
        server.send("upload_local_file", {"token": "tok", "server_url": f"http://127.0.0.1:{server.port}",
                                          "file_path": device, "part_size_mb": 16, "start_offset_gb": start_gb,
                                          "image_size_gb": size_gb})
        assert wait_until(lambda: imaging_events(server, since), 120, interval=0.2)
        name, d = imaging_events(server, since)[0]
        assert name == "job_complete", d
        status, batch = server.batch(d["batch_id"], wait_complete=True, timeout_ms=120000)
        assert status == 200 and batch["complete"], batch
        assert batch["image_size"] == size
        assert batch["image_sha256"] == hashlib.sha256(data[start:start + size]).hexdigest()
        linux.exit(agent)
        assert agent.wait_exit() == 0
    finally:
        subprocess.run(["losetup", "--detach", device], capture_output=True)


@pytest.mark.parametrize("hold_ms, replaced", [(400, True), (3000, False)])
def test_replacing_a_file_a_reader_holds_under_wine(wine, tmp_path, hold_ms, replaced):
    """A reader that opened the configuration without FILE_SHARE_DELETE blocks its replacement for
    as long as it holds it: a short hold is waited out, a long one fails with its reason and
    leaves the file as it was."""
    target = tmp_path / "zelvo.conf"
    target.write_text("old content")
    result = subprocess.run(["wine", str(WIN_DIR / "filetool.exe"), "replace-held",
                             "Z:" + str(target).replace("/", "\\"), str(hold_ms)],
                            env=wine.env, capture_output=True, text=True, timeout=120)
    lines = result.stdout.splitlines()
    assert result.returncode == 0, result.stderr
    if replaced:
        assert lines == ["ok", "new content"]
    else:
        # Access denied (5) or sharing violation (32), in the system's words.
        assert re.fullmatch(r"failed: MoveFileExW failed: .+ \((5|32)\)", lines[0]), lines
        assert lines[1:] == ["old content"]
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith("zelvo.conf")] == ["zelvo.conf"]
