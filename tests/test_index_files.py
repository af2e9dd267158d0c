"""An index's files: what load refuses at each level (damage, impossible
tables, tables that are not the series'), version 1 still read, and a
directory shared by readers and saves: no reader killed, no load of a mixed
index, no link followed, nothing left by a save that fails."""

import builtins
import hashlib
import io
import json
import os
import re
import subprocess
import sys
import threading

import numpy as np
import pytest
from test_index import bits, walk

import morvel

import reference

TABLES = ["series", "words", "windows", "boxes", "irregular", "shapeless"]


def header_of(path):
    return json.loads((path / "header.json").read_text())


def file_of(path, table):
    header = header_of(path)
    return path / (f"{table}-{header['generation']}.npy" if header["version"] >= 2 else f"{table}.npy")


def blake2b(path):
    return hashlib.blake2b(path.read_bytes(), digest_size=32).hexdigest()


def reseal(path, table):
    """The header's checksum of a table made that of its file as it is now."""
    header = header_of(path)
    header["checksums"][table] = blake2b(file_of(path, table))
    (path / "header.json").write_text(json.dumps(header))


def copied(source, target):
    target.mkdir(exist_ok=True)
    for file in source.iterdir():
        (target / file.name).write_bytes(file.read_bytes())
    return target


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    ts = walk(3000, 21)
    ts[500:600] = 1.0
    path = tmp_path_factory.mktemp("saved")
    morvel.Index(ts, 64, w=8).save(path)
    return path


# ---- Damage: what the checksums and the checks of each file catch ------------


def flip_last_byte(path):
    data = bytearray(path.read_bytes())
    data[-1] ^= 0x10
    path.write_bytes(bytes(data))


def truncate(path):
    path.write_bytes(path.read_bytes()[: max(1, path.stat().st_size * 2 // 3)])


@pytest.mark.parametrize("table", ["header", *TABLES])
@pytest.mark.parametrize("damage", [flip_last_byte, truncate], ids=["byte-flipped", "truncated"])
@pytest.mark.parametrize("mmap", [True, False], ids=["mapped", "read"])
def test_damaged_files_are_refused(saved, tmp_path, table, damage, mmap):
    path = copied(saved, tmp_path / "index")
    damage(path / "header.json" if table == "header" else file_of(path, table))
    with pytest.raises(ValueError, match="not a readable morvel.Index"):
        morvel.Index.load(path, mmap=mmap)


HEADER_DAMAGE = {
    "other-version": lambda h: h.update(version=3),
    "foreign": lambda h: h.update(format="something else"),
    "window-changed": lambda h: h.update(window=h["window"] + 1),
    "w-as-text": lambda h: h.update(w="16"),
    "no-checksums": lambda h: h.pop("checksums"),
    "checksum-changed": lambda h: h["checksums"].update(words="0" * 64),
    "another-checksum": lambda h: h.update(checksum="crc32"),
    "generation-a-path": lambda h: h.update(generation="../" + h["generation"][3:]),
    "generation-a-lone-surrogate": lambda h: h.update(generation="\ud800"),
    "not-an-object": lambda h: h.clear() or h.update({"format": ["morvel.Index"]}),
}


@pytest.mark.parametrize("change", list(HEADER_DAMAGE.values()), ids=list(HEADER_DAMAGE))
def test_damaged_headers_are_refused(saved, tmp_path, change):
    path = copied(saved, tmp_path / "index")
    header = header_of(path)
    change(header)
    (path / "header.json").write_text(json.dumps(header))
    with pytest.raises(ValueError, match="not a readable morvel.Index"):
        morvel.Index.load(path)


@pytest.mark.parametrize(
    ("table", "replace"),
    [
        pytest.param("windows", lambda a: np.full_like(a, 2**31), id="window-out-of-range"),
        pytest.param("windows", lambda a: np.zeros_like(a), id="window-repeated"),
        pytest.param("words", lambda a: a.astype(np.int16), id="words-of-another-type"),
        pytest.param("series", lambda a: a.astype(">f8"), id="series-big-endian"),
        pytest.param("boxes", lambda a: a[:-1], id="boxes-missing-a-leaf"),
        pytest.param("series", lambda a: np.array([a]), id="series-two-dimensional"),
        pytest.param("words", lambda a: np.asfortranarray(a), id="words-in-fortran-order"),
    ],
)
def test_consistent_but_impossible_tables_are_refused(saved, tmp_path, table, replace):
    """Rewritten with a matching checksum: the tables themselves are checked."""
    path = copied(saved, tmp_path / "index")
    np.save(file_of(path, table), replace(np.load(file_of(path, table))))
    reseal(path, table)
    with pytest.raises(ValueError, match="not a readable morvel.Index"):
        morvel.Index.load(path)


@pytest.mark.parametrize("shape", [b"(-1, -8)", b"(True, 8)"], ids=["negative", "boolean"])
def test_npy_headers_of_impossible_shapes_are_refused(saved, tmp_path, shape):
    path = copied(saved, tmp_path / "index")
    file = file_of(path, "words")
    data = file.read_bytes()
    end = data.index(b"\n")
    header = re.sub(rb"\(\d+, 8\)", shape, data[:end])
    file.write_bytes(header.ljust(end) + data[end:])
    reseal(path, "words")
    with pytest.raises(ValueError, match="not a readable morvel.Index: words-.* is not of the type"):
        morvel.Index.load(path)


def test_files_are_as_json_hashlib_and_numpy_write_them(saved):
    """The header as json.dumps writes it, with what `b2sum -l 256` prints
    for each file; each table as numpy.save writes it."""
    header = header_of(saved)
    assert (saved / "header.json").read_text() == json.dumps(header, indent=1, sort_keys=True)
    assert header["checksum"] == "blake2b-256"
    assert header["checksums"] == {table: blake2b(file_of(saved, table)) for table in TABLES}
    for table in TABLES:
        written = io.BytesIO()
        np.save(written, np.load(file_of(saved, table)))
        assert file_of(saved, table).read_bytes() == written.getvalue(), table


def test_version_one_is_still_read(saved, tmp_path):
    path = tmp_path / "version-1"
    path.mkdir()
    header = header_of(saved)
    header.update(version=1, checksums={})
    del header["generation"], header["checksum"]
    for table in TABLES:
        array = np.load(file_of(saved, table))
        np.save(path / f"{table}.npy", array)
        header["checksums"][table] = reference.checksum(array.tobytes())
    (path / "header.json").write_text(json.dumps(header))
    q = walk(64, 22)
    expected = bits(*morvel.Index.load(saved).query(q, 5))
    assert bits(*morvel.Index.load(path, mmap=False, verify=True).query(q, 5)) == expected
    (path / "notes.txt").write_text("the user's")
    morvel.Index.load(path).save(path)  # as version 2: version 1's files go
    assert sorted(os.listdir(path)) == sorted(["notes.txt", "header.json", *(file_of(path, t).name for t in TABLES)])
    assert bits(*morvel.Index.load(path).query(q, 5)) == expected


def test_a_save_leaves_files_of_the_same_names_that_no_index_holds(tmp_path):
    np.save(tmp_path / "series.npy", walk(500, 23))
    morvel.Index(np.load(tmp_path / "series.npy"), 32).save(tmp_path)
    assert (tmp_path / "series.npy").exists()


# ---- Tables of another index, with their checksums: verify=True ---------------


@pytest.fixture(scope="module")
def alike(tmp_path_factory):
    """Two indexes of series with their special windows in the same places:
    as many windows with no shape (64) as beyond the bounds (64, their
    squares overflow), so every table but the contents is alike."""
    paths = []
    for seed in (40, 41):
        ts = walk(3000, seed)
        ts[500:627] = 1.0
        ts[2000] = 1e200
        path = tmp_path_factory.mktemp("alike")
        morvel.Index(ts, 64, w=8).save(path)
        paths.append(path)
    return paths


def exchange_the_lists(path, donor):
    irregular, shapeless = file_of(path, "irregular"), file_of(path, "shapeless")
    irregular_bytes = irregular.read_bytes()
    irregular.write_bytes(shapeless.read_bytes())
    shapeless.write_bytes(irregular_bytes)
    return ["irregular", "shapeless"]


def taken_from(table):
    def swap(path, donor):
        file_of(path, table).write_bytes(file_of(donor, table).read_bytes())
        return [table]

    return swap


@pytest.mark.parametrize(
    ("swap", "named"),
    [
        pytest.param(taken_from("words"), "words", id="words"),
        pytest.param(taken_from("windows"), "windows", id="windows"),
        pytest.param(taken_from("boxes"), "boxes", id="boxes"),
        pytest.param(exchange_the_lists, "irregular windows", id="irregular-and-shapeless-exchanged"),
    ],
)
def test_tables_of_another_index_are_refused_by_verify(alike, tmp_path, swap, named):
    own, donor = alike
    path = copied(own, tmp_path / "index")
    for table in swap(path, donor):
        reseal(path, table)
    morvel.Index.load(path)  # the checksums and the tables' own checks cannot tell
    with pytest.raises(ValueError, match=f"not a readable morvel.Index: its {named} are not those of its series"):
        morvel.Index.load(path, verify=True)
    assert len(morvel.Index.load(own, verify=True)) == len(morvel.Index.load(path))


# ---- A directory shared by readers and saves -------------------------------------

LOADER = """
import json, sys, time
import numpy as np
import morvel

path, seconds, q = sys.argv[1], float(sys.argv[2]), np.load(sys.argv[3])
answers = json.loads(sys.argv[4])

def answer(index):
    distances, starts = index.query(q, 5)
    return [distances.tobytes().hex(), starts.tolist()]

counts = {"loads": 0, "refused": 0, "wrong": 0}
kept = []  # indexes loaded before, still mapped while saves remove their files
end = time.monotonic() + seconds
while time.monotonic() < end:
    counts["loads"] += 1
    try:
        index = morvel.Index.load(path)
    except ValueError as error:
        counts["refused"] += 1
        print(error, file=sys.stderr)
        continue
    kept = [*kept[-7:], index]
    counts["wrong"] += sum(answer(one) not in answers for one in kept)
print(json.dumps(counts))
"""


@pytest.mark.parametrize("savers", [1, 2], ids=["one-saver", "two-savers"])
def test_loads_beside_saves_see_one_index_whole(tmp_path, savers):
    """MORVEL_SHARED_SECONDS sets how long (a soak of 60 s, say)."""
    seconds = float(os.environ.get("MORVEL_SHARED_SECONDS", "1.5"))
    indexes = [morvel.Index(walk(20_000, 50 + i), 64) for i in range(2)]
    q = walk(64, 52)
    np.save(tmp_path / "q.npy", q)
    path = tmp_path / "index"
    indexes[0].save(path)
    answers = [[d.tobytes().hex(), s.tolist()] for d, s in (index.query(q, 5) for index in indexes)]
    loader = subprocess.Popen(
        [sys.executable, "-c", LOADER, str(path), str(seconds), str(tmp_path / "q.npy"), json.dumps(answers)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    stop, failures = threading.Event(), []

    def save(turn):
        while not stop.is_set():
            try:
                indexes[turn % 2].save(path)
            except Exception as error:
                failures.append(error)
                return
            turn += 1

    threads = [threading.Thread(target=save, args=(turn,)) for turn in range(savers)]
    for thread in threads:
        thread.start()
    try:
        out, err = loader.communicate(timeout=seconds + 300)
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    print(f"\n{savers} saver(s), {seconds} s: {out.strip() or 'no counts'}, the reader's status {loader.returncode}")
    assert loader.returncode == 0, f"the reader ended with {loader.returncode}: {err[-2000:]}"
    counts = json.loads(out)
    assert failures == []
    assert counts["loads"] > 0 and counts["refused"] == counts["wrong"] == 0, err[-2000:]
    generation = header_of(path)["generation"]
    assert sorted(os.listdir(path)) == sorted(["header.json", *(f"{t}-{generation}.npy" for t in TABLES)])


def test_threads_loading_and_saving_one_directory_see_one_index_whole(tmp_path):
    """In one process, where a load checks its files with the interpreter
    released (on cp314t with no GIL at all) while other threads save."""
    indexes = [morvel.Index(walk(20_000, 80 + i), 64) for i in range(2)]
    q = walk(64, 82)
    answers = [bits(*index.query(q, 5)) for index in indexes]
    indexes[0].save(tmp_path)
    failures, loads = [], []

    def work(turn):
        try:
            for step in range(12):
                if turn < 2:
                    indexes[(turn + step) % 2].save(tmp_path)
                else:
                    loads.append(bits(*morvel.Index.load(tmp_path, mmap=step % 2 == 0).query(q, 5)))
        except Exception as error:
            failures.append(error)

    threads = [threading.Thread(target=work, args=(turn,)) for turn in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert len(loads) == 24 and all(answer in answers for answer in loads)


GENERATION = bytes(range(16)).hex()
SAVE_NAMES = [
    "header.json",
    f".saving-{GENERATION}",
    f".header-{GENERATION}.json",
    *(f"{table}-{GENERATION}.npy" for table in TABLES),
    *(f"{table}.npy" for table in TABLES),
    *(f".partial-{table}.npy" for table in TABLES),
]


@pytest.mark.skipif(not hasattr(os, "symlink") or sys.platform == "win32", reason="links need POSIX")
@pytest.mark.parametrize("name", SAVE_NAMES)
def test_no_link_planted_where_a_save_writes_is_followed(tmp_path, monkeypatch, name):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "precious").write_bytes(b"precious")
    path = tmp_path / "index"
    index = morvel.Index(walk(500, 60), 32)
    index.save(path)
    (path / name).unlink(missing_ok=True)
    (path / name).symlink_to(outside / "precious")
    monkeypatch.setattr(os, "urandom", lambda size: bytes(range(size)))  # the save's generation, foreseen
    try:
        index.save(path)
    except FileExistsError:
        assert name != "header.json"
    monkeypatch.undo()
    assert sorted(os.listdir(outside)) == ["precious"]
    assert (outside / "precious").read_bytes() == b"precious"
    if name != "header.json" or not (path / name).is_symlink():
        assert len(morvel.Index.load(path)) == len(index)


@pytest.mark.skipif(not hasattr(os, "symlink") or sys.platform == "win32", reason="links need POSIX")
@pytest.mark.parametrize("table", ["header", "words"])
def test_load_follows_no_link(saved, tmp_path, table):
    path = copied(saved, tmp_path / "index")
    file = path / "header.json" if table == "header" else file_of(path, table)
    file.rename(tmp_path / "elsewhere")
    file.symlink_to(tmp_path / "elsewhere")
    with pytest.raises(ValueError, match="is a link"):
        morvel.Index.load(path)


class FullDisk:
    """Files opened for writing whose n-th write, counted across them, fails
    with `error` (by default as a full disk does)."""

    def __init__(self, failing, monkeypatch, error=None):
        self.writes, self.failing, self.open = 0, failing, io.open
        self.error = error or OSError(28, "No space left on device")
        for module in (io, builtins):
            monkeypatch.setattr(module, "open", self.opened)

    def opened(self, file, mode="r", *args, **kwargs):
        opened = self.open(file, mode, *args, **kwargs)
        return self.Writer(self, opened) if "w" in mode else opened

    class Writer:
        def __init__(self, disk, file):
            self.disk, self.file = disk, file

        def write(self, data):
            self.disk.writes += 1
            if self.disk.writes == self.disk.failing:
                raise self.disk.error
            return self.file.write(data)

        def __getattr__(self, name):
            return getattr(self.file, name)

        def __enter__(self):
            return self

        def __exit__(self, *exception):
            self.file.close()


@pytest.mark.parametrize("error", [None, KeyboardInterrupt()], ids=["full-disk", "interrupt"])
@pytest.mark.parametrize("failing", range(1, 12))
def test_a_save_that_fails_part_way_leaves_the_old_index_whole(tmp_path, monkeypatch, failing, error):
    old = morvel.Index(walk(2000, 70), 32)
    old.save(tmp_path)
    before, q = sorted(os.listdir(tmp_path)), walk(32, 71)
    expected = bits(*old.query(q, 5))
    disk = FullDisk(failing, monkeypatch, error)
    with pytest.raises(KeyboardInterrupt) if error else pytest.raises(OSError, match="No space left"):
        morvel.Index(walk(3000, 72), 32).save(tmp_path)
    monkeypatch.undo()
    assert disk.writes == failing
    assert sorted(os.listdir(tmp_path)) == before
    assert bits(*morvel.Index.load(tmp_path).query(q, 5)) == expected


@pytest.mark.parametrize("kind", [str, os.fsencode, lambda p: p], ids=["str", "bytes", "path"])
def test_paths_of_every_kind_save_and_load(tmp_path, kind):
    index = morvel.Index(walk(500, 74), 32)
    index.save(kind(tmp_path / "index"))
    assert len(morvel.Index.load(kind(tmp_path / "index"))) == len(index)


def test_saving_onto_a_file_is_refused(tmp_path):
    (tmp_path / "file").write_text("not a directory")
    with pytest.raises(FileExistsError):
        morvel.Index(walk(500, 73), 32).save(tmp_path / "file")
