"""Disk, drive and folder browsing of the real agent, driven through zelvo-server's control
interface, natively and under Wine."""
import getpass
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import FILE_LINE, WIN_DIR, WINEPREFIX
from zelvo_server import server  # noqa: F401 (fixture)

# Root reads every folder; without these two capabilities it obeys the mode bits like anyone else,
# so an unreadable folder is really unreadable (also for the wineserver that Wine starts).
DROP_DAC = ["setpriv", "--inh-caps=-dac_override,-dac_read_search",
            "--bounding-set=-dac_override,-dac_read_search"]

UNICODE_DIR = "Fotos \u00dcn\u00efcode \u2713"
FILES = {"photo.jpg": 3, "PHOTO.JPG": 5, "clip.jpeg": 7, "README": 11, "notes.txt": 13, "archive.tar.gz": 17}


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "tree"
    folders = ["System Volume Information", "$Recycle.Bin", "$RECYCLE.BIN", "$recycle.bin", "RECOVERY",
               "config.msi", ".git", "bin_only/$Recycle.Bin", "dot_only/.cache", "files_only", "empty",
               f"{UNICODE_DIR}/\u5b50\u76ee\u5f55", "locked"]
    for folder in folders:
        (root / folder).mkdir(parents=True)
    for name, size in FILES.items():
        (root / name).write_bytes(b"x" * size)
    (root / ".hidden.jpg").write_bytes(b"x")
    (root / "files_only" / "a.txt").write_bytes(b"x")
    (root / UNICODE_DIR / "r\u00e9sum\u00e9.txt").write_bytes(b"x")
    (root / "locked" / "inner").mkdir()
    (root / "locked").chmod(0)
    yield root
    (root / "locked").chmod(0o700)


def start_agent(target, server):
    target.config_dir.mkdir(parents=True, exist_ok=True)
    target.config_file.write_text(json.dumps({"server_url": f"http://127.0.0.1:{server.port}"}))
    if target.name == "linux":
        agent = target._spawn(DROP_DAC + [str(target.exe)], target.env, subprocess.PIPE)
    else:
        # The session's wineserver would read the folder with full rights: this agent runs under
        # a wineserver of its own, started with the same dropped rights.
        subprocess.run(["wineserver", "-k"], env=target.env, capture_output=True)
        subprocess.run(["wineserver", "-w"], env=target.env, capture_output=True, timeout=60)
        target.own_server = True
        agent = target._spawn(DROP_DAC + ["wine", str(target.exe)], target.env, subprocess.DEVNULL)
    agent.wait_ready()
    server.wait_connection()
    return agent


def ask(server, event, data, reply):
    since = server.call("GET", "/control/received")[1]["next"]
    server.send(event, data)
    return json.loads(server.wait(reply, since=since)["text"])["d"]


def system_path(target, path):
    """The agent's name for a Linux path: Wine shows the Linux root as drive Z:."""
    return str(path) if target.name == "linux" else "Z:" + str(path).replace("/", "\\")


def by_name(entries):
    return sorted(entries, key=lambda entry: entry["name"])


def files(*names):
    return by_name({"name": name, "size": FILES[name]} for name in names)


ROOT_DIRS = by_name([
    {"name": "bin_only", "has_children": True},  # the probe ignores the skip list
    {"name": "dot_only", "has_children": False},
    {"name": "files_only", "has_children": False},
    {"name": "empty", "has_children": False},
    {"name": "locked", "has_children": False},
    {"name": UNICODE_DIR, "has_children": True},
])


def test_folder_listing_and_path_validation(target, server, tree):
    agent = start_agent(target, server)
    root = system_path(target, tree)
    sep = "/" if target.name == "linux" else "\\"
    unicode_dir = root + sep + UNICODE_DIR

    listings = [
        # (include_files, expected files or None when the reply must have no "files" key)
        ("absent", None),
        (False, files(*FILES)),
        ([], files(*FILES)),
        ([".JPG"], files("photo.jpg", "PHOTO.JPG")),
        ([".gz", 5, ".TXT"], files("archive.tar.gz", "notes.txt")),
        ([".jpeg", "jpg"], files("clip.jpeg")),
    ]
    for include, expected in listings:
        data = {"path": root} if include == "absent" else {"path": root, "include_files": include}
        reply = ask(server, "list_directories", data, "directory_list")
        assert list(reply) == (["dirs", "path"] if expected is None else ["dirs", "files", "path"]), include
        assert reply["path"] == root
        assert by_name(reply["dirs"]) == ROOT_DIRS, include
        assert all(list(entry) == ["name", "has_children"] for entry in reply["dirs"])
        if expected is not None:
            assert by_name(reply["files"]) == expected, include
            assert all(list(entry) == ["name", "size"] for entry in reply["files"])

    reply = ask(server, "list_directories", {"path": unicode_dir}, "directory_list")
    assert reply == {"dirs": [{"name": "\u5b50\u76ee\u5f55", "has_children": False}], "path": unicode_dir}

    failures = [
        (root + sep + "missing", "Path not found"),
        (root + sep + "locked", "Permission denied"),
        (root + sep + "notes.txt", "Cannot read directory"),
        (root + sep + "a" * 300, "Cannot read directory"),  # beyond the path bound: refused, not cut
    ]
    for path, error in failures:
        reply = ask(server, "list_directories", {"path": path}, "directory_list")
        assert list(reply) == ["dirs", "error", "path"] and reply == {"dirs": [], "error": error, "path": path}

    for data in [{}, {"path": ""}, {"path": 5}, {"path": None}, [root]]:
        reply = ask(server, "list_directories", data, "directory_list")
        assert list(reply) == ["path", "dirs", "error"]
        assert reply == {"path": "", "dirs": [], "error": "Invalid path"}, data

    valid_dir = {"valid": True, "is_dir": True}
    valid_file = {"valid": True, "is_dir": False}
    invalid = {"valid": False, "error": "Path does not exist"}
    checks = [
        ({"path": root}, root, valid_dir),
        ({"path": unicode_dir}, unicode_dir, valid_dir),
        ({"path": unicode_dir + sep + "r\u00e9sum\u00e9.txt", "allow_files": True},
         unicode_dir + sep + "r\u00e9sum\u00e9.txt", valid_file),
        ({"path": root + sep + "notes.txt", "allow_files": True}, root + sep + "notes.txt", valid_file),
        ({"path": root + sep + "notes.txt"}, root + sep + "notes.txt", invalid),
        ({"path": root + sep + "notes.txt", "allow_files": "yes"}, root + sep + "notes.txt", invalid),
        ({"path": root + sep + "missing", "allow_files": True}, root + sep + "missing", invalid),
        ({"path": ""}, "", invalid),
        ({"path": 7}, "", invalid),
        ({}, "", invalid),
        ([root], "", invalid),
    ]
    for data, path, expected in checks:
        reply = ask(server, "validate_path", data, "path_validated")
        assert list(reply) == ["path", *expected], data
        assert reply == {"path": path, **expected}, data

    target.exit(agent)
    assert agent.wait_exit() == 0


def test_names_that_are_not_utf8_are_left_out_and_the_link_stays(linux, server, tmp_path):
    # POSIX names are bytes: one that is not UTF-8 cannot travel in a text frame (the server drops
    # the connection on one), so the listing leaves it out and answers with the rest.
    folder = tmp_path / "mixed"
    folder.mkdir()
    os.mkdir(os.path.join(bytes(folder), b"bad\xffdir"))
    (folder / "good").mkdir()
    with open(os.path.join(bytes(folder), b"pic\xff.jpg"), "wb") as f:
        f.write(b"x")
    (folder / "pic.jpg").write_bytes(b"xy")
    agent = start_agent(linux, server)
    first = server.connections()

    for _ in range(2):
        reply = ask(server, "list_directories", {"path": str(folder), "include_files": False}, "directory_list")
        assert reply == {"dirs": [{"name": "good", "has_children": False}],
                         "files": [{"name": "pic.jpg", "size": 2}], "path": str(folder)}
    assert server.connections() == first
    assert not [l for l in linux.log_lines() if "ws: disconnected" in l or "reconnect:" in l]

    linux.exit(agent)
    assert agent.wait_exit() == 0


def sysfs_disks():
    names = []
    for entry in sorted(os.listdir("/sys/block")):
        if entry.startswith(("sr", "fd")) or "/devices/virtual/" in os.path.realpath(f"/sys/block/{entry}"):
            continue
        names.append(entry)
    return names


def device_mounts():
    """Folders where a /dev device is mounted, first entry of each, as the agent reads them."""
    seen = []
    for line in Path("/proc/self/mounts").read_text().splitlines():
        source, point, kind = line.split()[:3]
        point = point.encode().decode("unicode_escape")
        if source.startswith("/dev/") and kind != "squashfs" and os.path.isdir(point) and point not in seen:
            seen.append(point)
    return seen


DISK_KEYS = ["id", "path", "name", "model", "size", "size_str", "media_type", "bus_type", "bus_type_raw",
             "removable"]


def test_disks_and_drives_answer(target, server):
    home = target.tmp / "home"
    if target.name == "linux":
        profile, sep = home, "/"
        (home / "Desktop").mkdir()
        (home / "Downloads").write_bytes(b"")  # a file of that name counts too
    else:
        profile, sep = WINEPREFIX / "drive_c" / "users" / getpass.getuser(), "\\"
    agent = start_agent(target, server)

    disks = ask(server, "list_disks", {}, "disk_list")
    assert list(disks) == ["disks"]
    for disk in disks["disks"]:
        assert list(disk) == DISK_KEYS
        assert disk["path"] == disk["name"] and disk["bus_type"] in ("usb", "nvme", "sata", "other")
        assert disk["removable"] == (disk["bus_type"] == "usb")
    if target.name == "linux":
        names = sysfs_disks()
        assert [d["path"] for d in disks["disks"]] == [f"/dev/{n}" for n in names]
        assert [d["id"] for d in disks["disks"]] == list(range(len(names)))
        for disk, name in zip(disks["disks"], names):
            sectors = int(Path(f"/sys/block/{name}/size").read_text())
            assert disk["size"] == sectors * 512

    log = [m.group(3) for m in map(FILE_LINE.match, target.log_lines()) if m]
    found = f"disk: found {len(disks['disks'])} disk(s)"
    assert found in log and log.index("disk: listing disks") < log.index(found)

    drives = ask(server, "list_drives", {}, "drive_list")
    assert list(drives) == ["drives", "quick_access", "last_folder"] and drives["last_folder"] == ""
    assert all(list(d) == ["letter", "label", "path"] for d in drives["drives"])
    if target.name == "linux":
        assert [d["path"] for d in drives["drives"]] == device_mounts()
        assert all(d["letter"] == d["path"] for d in drives["drives"])
    else:
        letters = [d["letter"] for d in drives["drives"]]
        assert "C:" in letters and "Z:" in letters and letters == sorted(letters)
        assert all(d["path"] == d["letter"] + "\\" for d in drives["drives"])
    prefix = str(home) if target.name == "linux" else f"C:\\users\\{getpass.getuser()}"
    expected = {k: prefix + sep + k for k in ("Desktop", "Downloads", "Documents") if (profile / k).exists()}
    assert list(drives["quick_access"].items()) == list(expected.items())

    target.exit(agent)
    assert agent.wait_exit() == 0


POWERSHELL_ERROR = ("Get-Disk : Access denied\r\nAt line:1 char:1\r\n+ Get-Disk | Select-Object Number\r\n"
                    "    + CategoryInfo          : PermissionDenied: (MSFT_Disk:ROOT/Microsoft/...MSFT_Disk) [Get-Disk]\r\n"
                    "    + FullyQualifiedErrorId : HRESULT 0x80070005,Get-Disk\r\n")


def test_disk_query_takes_only_rows_of_a_successful_get_disk(wine, server):
    # The agent's current folder is searched before the system's, so this stands in for PowerShell.
    shutil.copy(WIN_DIR / "fakepowershell.exe", wine.tmp / "powershell.exe")

    def powershell(stdout, stderr, code):
        # A console program writes in the system's OEM code page (437 in the test's Wine prefix).
        (wine.tmp / "powershell-stdout.txt").write_bytes(stdout.encode("cp437"))
        (wine.tmp / "powershell-stderr.txt").write_bytes(stderr.encode())
        (wine.tmp / "powershell-exit.txt").write_text(str(code))

    agent = start_agent(wine, server)
    header = '"Number","FriendlyName","Size","BusType"\r\n'

    # Get-Disk failed: its message is no disk list, whatever it looks like.
    powershell("", POWERSHELL_ERROR, 1)
    assert ask(server, "list_disks", {}, "disk_list") == {"disks": []}
    log = [m.group(2, 3) for m in map(FILE_LINE.match, wine.log_lines()) if m]
    failed = ("ERROR", "disk: PowerShell Get-Disk failed: exit code 1")
    assert failed in log and log.index(("INFO ", "disk: found 0 disk(s)")) > log.index(failed)

    # A successful run: warnings on standard error stay out, lines without a disk number are dropped.
    powershell(header + ",,,\r\nWARNING: a storage provider did not answer\r\n"
               '"2","J\u00fcrgen\'s ""NVMe"" Disk","512110190592","NVMe"\r\n', POWERSHELL_ERROR, 0)
    disks = ask(server, "list_disks", {}, "disk_list")["disks"]
    assert [(d["id"], d["path"], d["model"], d["size"], d["bus_type"]) for d in disks] == [
        (2, "\\\\.\\PHYSICALDRIVE2", 'J\u00fcrgen\'s "NVMe" Disk', 512110190592, "nvme")]

    wine.exit(agent)
    assert agent.wait_exit() == 0
