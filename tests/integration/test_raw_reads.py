"""Raw reads of a block device: the agent opens it unbuffered (O_DIRECT), which, like a Windows
disk handle, refuses offsets, lengths and buffers that are not whole sectors. A start offset and an
image size given in GiB fall inside sectors; the image must still hold exactly those bytes."""
import hashlib
import json
import random
import subprocess

import pytest

from conftest import wait_until
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
