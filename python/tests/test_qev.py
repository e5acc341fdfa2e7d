"""import qev against the programs: every call checked against qev-tool and qev-check on
the sample and the regression archives, hostile archives, threads, file objects, names as
bytes, and fsspec."""

import errno
import io
import json
import os
import random
import shutil
import subprocess
import threading
import tracemalloc
import zipfile
from pathlib import Path

import pytest

import qev

SOURCE = Path(os.environ["QEV_SOURCE_DIR"])
SAMPLE = SOURCE / "examples" / "sample.qev"
REGRESSION = sorted((SOURCE / "tests" / "regression" / "archive").glob("*.qev"))


def tool(*args):
    return subprocess.run([os.environ["QEV_TOOL"], *map(str, args)], capture_output=True)


def pack(source, archive):
    subprocess.run([os.environ["QEV_PACK"], str(source), str(archive), "-q"], check=True)


def all_files(archive):
    for dirpath, _, filenames in archive.walk():
        for name in filenames:
            yield f"{dirpath}/{name}" if dirpath else name


@pytest.mark.parametrize("path", [SAMPLE] + REGRESSION, ids=lambda p: p.name)
def test_every_call_agrees_with_the_programs(path):
    listed = tool("list", path)
    try:
        qev.open(path).close()  # with proof: opened, or refused with qev.Error, nothing else
    except qev.Error:
        pass
    try:
        archive = qev.open(path, verify="none")
    except qev.Error as e:
        # Refused by the library exactly when qev-tool refuses it, with words of its own.
        assert listed.returncode == 1 and str(e)
        return
    with archive:
        assert listed.returncode == 0
        titles = [{"folderName": t.folder_name, "titleId": t.title_id, "version": t.version}
                  for t in archive.titles()]
        assert titles == json.loads(listed.stdout)
        info = archive.info()
        assert info.root_entries == json.loads(tool("info", path).stdout)["totalFiles"]
        checked = json.loads(subprocess.run([os.environ["QEV_CHECK"], "--json", "--no-progress", str(path)],
                                            capture_output=True).stdout)
        assert (info.files, info.directories, info.total_size) == (checked["files"], checked["directories"],
                                                                     checked["fileBytes"])
        report = archive.verify(threads=1)
        assert (report.errors, report.warnings, report.ok) == (checked["errors"], checked["warnings"],
                                                               checked["errors"] == 0)
        assert [f.kind for f in report.findings] == [f["kind"] for f in checked["findings"]]
        for name in list(all_files(archive))[:50]:
            extracted = tool("extract", path, name)
            try:
                data = archive.read_bytes(name)
            except qev.CorruptError:
                assert extracted.returncode == 1
                continue
            assert extracted.returncode == 0 and data == extracted.stdout
            assert archive.stat(name).st_size == len(data)


def test_file_objects_seek_and_read_into_the_callers_buffer():
    with qev.open(SAMPLE) as archive:
        name = "0005000010101D00_v64/content/texture.bin"
        whole = tool("extract", SAMPLE, name).stdout
        with archive.open(name, buffering=0) as raw:
            buffer = bytearray(1000)
            raw.seek(70000)
            assert raw.readinto(buffer) == 1000 and buffer == whole[70000:71000]
            assert raw.seek(-10, io.SEEK_END) == len(whole) - 10 and raw.read() == whole[-10:]
            assert raw.read() == b""
        with archive.open(name.upper().replace("/", "\\")) as f:  # buffered, either slash, any case
            assert f.read(5) == whole[:5] and f.seek(65530) == 65530 and f.read(12) == whole[65530:65542]
            assert f.tell() == 65542
        with pytest.raises(IsADirectoryError):
            archive.open("0005000010101D00_v64")
        with pytest.raises(FileNotFoundError) as missing:
            archive.read_bytes("no/such/file")
        assert isinstance(missing.value, qev.Error) and "no/such/file" in str(missing.value)


def test_a_zip_inside_an_archive_reads_through_the_file_object(tmp_path):
    # zipfile seeks to the end, back to the directory, then to each member: the patterns
    # real readers use. shutil.copyfileobj reads in pieces.
    (tmp_path / "src" / "T").mkdir(parents=True)
    rng = random.Random(3)
    members = {f"m{i}.bin": rng.randbytes(rng.randrange(1, 200_000)) for i in range(6)}
    with zipfile.ZipFile(tmp_path / "src" / "T" / "pack.zip", "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members.items():
            z.writestr(name, data)
    pack(tmp_path / "src", tmp_path / "a.qev")
    with qev.open(tmp_path / "a.qev") as archive:
        for buffering in (0, -1):
            with archive.open("T/pack.zip", buffering=buffering) as f, zipfile.ZipFile(f) as z:
                assert {n: z.read(n) for n in reversed(z.namelist())} == members
        copy = io.BytesIO()
        with archive.open("T/pack.zip") as f:
            shutil.copyfileobj(f, copy, 7777)
        assert copy.getvalue() == (tmp_path / "src" / "T" / "pack.zip").read_bytes()


def test_bytes_file_objects_and_a_damaged_block():
    data = SAMPLE.read_bytes()
    name = "0005000010101D00_v64/content/texture.bin"
    expected = tool("extract", SAMPLE, name).stdout
    for source in (data, bytearray(data), io.BytesIO(data)):
        with qev.open(source) as archive:
            assert archive.read_bytes(name) == expected

    class Failing(io.BytesIO):  # a remote file whose connection drops after opening
        fail = False

        def readinto(self, b):
            if self.fail:
                raise ConnectionError("dropped")
            return super().readinto(b)

    source = Failing(data)
    with qev.open(source) as archive:
        source.fail = True
        with pytest.raises(ConnectionError):
            archive.read_bytes(name)
    damaged = bytearray(data)
    damaged[40] ^= 0x20
    corrupt = 0
    with qev.open(bytes(damaged)) as archive:
        for path in all_files(archive):
            try:
                assert archive.read_bytes(path) == tool("extract", SAMPLE, path).stdout
            except qev.CorruptError:
                corrupt += 1
    assert corrupt > 0
    with qev.open(bytes(damaged), verify="none") as archive:
        calls = []
        report = archive.verify(progress=lambda done, total: calls.append((done, total)))
        assert not report.ok and any(f.kind == "block-mismatch" and f.block is not None for f in report.findings)
        assert all(done <= total for done, total in calls)

        def stop(done, total):
            raise KeyboardInterrupt
        with pytest.raises(KeyboardInterrupt):  # raised again once the check has stopped
            archive.verify(progress=stop)


@pytest.mark.parametrize("make, kind, number", [
    (lambda p: None, FileNotFoundError, errno.ENOENT),
    (lambda p: p.mkdir(), IsADirectoryError, errno.EISDIR),
    (lambda p: p.write_bytes(b"x" * 300), qev.Error, errno.EINVAL),
], ids=["missing", "a folder", "not an archive"])
def test_an_archive_that_does_not_open_says_why(tmp_path, make, kind, number):
    path = tmp_path / "a.qev"
    make(path)
    with pytest.raises(kind) as raised:
        qev.open(path)
    assert isinstance(raised.value, qev.Error) and raised.value.errno == number
    assert raised.value.filename == path
    if number != errno.EINVAL:
        assert str(raised.value).startswith(f"[Errno {number}] Failed to open QEV file: {path}: {os.strerror(number)}")


def test_membership_and_repr():
    with qev.open(SAMPLE) as archive:
        assert archive.exists("0005000010101D00_v64/meta/meta.xml")
        assert "0005000010101d00_V64" in archive and b"0005000010101D00_v64" in archive
        assert not archive.exists("no/such") and "0005000010101D00_v64/meta/meta.xml/x" not in archive
        assert 5 not in archive
        assert repr(archive) == f"<qev.Archive {str(SAMPLE)!r}>"
    assert repr(archive).endswith("(closed)>")
    assert repr(qev.open(SAMPLE.read_bytes())).startswith("<qev.Archive of ")
    assert not [name for name in dir(qev) if name in ("annotations", "Any", "Union", "Optional")]


def test_names_are_str_or_bytes_as_given(tmp_path):
    odd = b"caf\xe9"  # not UTF-8: comes back through surrogateescape, or as bytes
    (tmp_path / "src" / "T").mkdir(parents=True)
    (tmp_path / "src" / "T" / os.fsdecode(odd)).write_bytes(b"x")
    pack(tmp_path / "src", tmp_path / "a.qev")
    with qev.open(tmp_path / "a.qev") as archive:
        assert archive.listdir("T") == [os.fsdecode(odd)]
        assert archive.listdir(b"T") == [odd]
        assert [e.path for e in archive.scandir(b"T")] == [b"T/" + odd]
        assert list(archive.walk(b"")) == [(b"", [b"T"], []), (b"T", [], [odd])]
        assert archive.read_bytes(b"t/" + odd) == b"x"


def test_four_threads_read_random_ranges(tmp_path):
    source = tmp_path / "src" / "T"
    source.mkdir(parents=True)
    rng = random.Random(7)
    blobs = {f"f{i}": rng.randbytes(300_000 + i * 77_777) for i in range(4)}
    for name, blob in blobs.items():
        (source / name).write_bytes(blob)
    pack(tmp_path / "src", tmp_path / "a.qev")
    failures = []

    with qev.open(tmp_path / "a.qev") as archive:
        def reader(seed):
            r = random.Random(seed)
            files = {name: archive.open(f"T/{name}", buffering=0) for name in blobs}
            for _ in range(300):
                name = r.choice(list(blobs))
                start = r.randrange(len(blobs[name]))
                length = r.randrange(1, 200_000)
                files[name].seek(start)
                if files[name].read(length) != blobs[name][start:start + length]:
                    failures.append((name, start, length))

        threads = [threading.Thread(target=reader, args=(s,)) for s in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert failures == []


def test_walk_is_lazy_and_prunes(tmp_path):
    # 20,000 entries: walking them holds the folders still to visit, never the tree.
    for d in range(40):
        folder = tmp_path / "src" / f"d{d:02}"
        folder.mkdir(parents=True)
        for f in range(500):
            (folder / f"file-with-a-long-name-{f:04}").touch()
    pack(tmp_path / "src", tmp_path / "wide.qev")
    with qev.open(tmp_path / "wide.qev") as archive:
        tracemalloc.start()
        walked = 0
        for _, _, filenames in archive.walk():
            walked += len(filenames)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert walked == 20_000
        assert peak < 400_000, peak  # one folder's names at a time (the tree's would be ~2 MB)
        seen = []
        for dirpath, dirnames, _ in archive.walk():
            seen.append(dirpath)
            dirnames[:] = [d for d in dirnames if d.endswith("7")]
        assert seen == ["", "d07", "d17", "d27", "d37"]
        bottom_up = [dirpath for dirpath, _, _ in archive.walk(topdown=False)]
        assert bottom_up[-1] == "" and len(bottom_up) == 41


def test_fsspec_reads_files_inside_an_archive():
    fsspec = pytest.importorskip("fsspec")
    name = "0005000010101D00_v64/meta/meta.xml"
    expected = tool("extract", SAMPLE, name).stdout
    with fsspec.open(f"qev://{name}", fo=str(SAMPLE)) as f:
        assert f.read() == expected
    # Through another fsspec filesystem: read by ranges, not the path.
    with fsspec.open(f"qev://{name}", fo=f"file://{SAMPLE}", target_protocol="file") as f:
        assert f.read() == expected
    fs = fsspec.filesystem("qev", fo=io.BytesIO(SAMPLE.read_bytes()))
    assert sorted(fs.ls("", detail=False)) == sorted(qev.open(SAMPLE).listdir(""))
    assert fs.cat_file(name, start=2, end=9) == expected[2:9]
    assert fs.cat(name) == expected
    assert fs.info(name)["size"] == len(expected)
    found = fs.find("")
    assert name in found and "README.txt" in found and len(found) == 7
