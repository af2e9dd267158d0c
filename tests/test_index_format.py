"""The saved format's reader against a plain model of it: Python's json and
numpy's own .npy reader, with the checks a load makes of what they read, on
random and adversarial changes to a saved header.json (the same refusal,
word for word) and to a table's .npy header (refused or loaded alike)."""

import io
import json
import random
import re

import numpy as np
import pytest
from test_index import walk
from test_index_files import TABLES, copied, file_of, reseal

import morvel


class Refused(Exception):
    pass


def header_model(raw):
    """Why a load refuses header.json itself, or None."""
    if len(raw) > 1 << 16:
        return "its header is too large"
    try:
        fields = json.loads(raw)
    except ValueError, RecursionError:
        return "its header is not JSON"
    if type(fields) is not dict:
        return "its header is not an object"
    if fields.get("format") != "morvel.Index":
        return "its header names another format"

    def integer(key, high):
        if key not in fields:
            raise Refused(f"its header's {key} is missing")
        if type(fields[key]) is not int:
            raise Refused(f"its header's {key} is not an integer")
        if not 0 <= fields[key] <= high:
            raise Refused(f"its header's {key} is out of range")
        return fields[key]

    def text(key):
        try:
            return fields[key].encode()
        except KeyError, AttributeError, UnicodeEncodeError:
            raise Refused(f"its header's {key} is missing or not text") from None

    try:
        version = integer("version", 1 << 40)
        if not 1 <= version <= 2:
            return f"it is version {version}, and this morvel reads versions 1 to 2"
        if version == 2:
            if re.fullmatch(b"[0-9a-f]{32}", text("generation")) is None:
                return "its header's generation is not 32 hexadecimal digits"
            if text("checksum") != b"blake2b-256":
                return "its checksums are not blake2b-256"
        for key in ("length", "window", "stride", "w"):
            integer(key, 1 << 62)
        if integer("leaf", 1 << 62) != 64:
            return "its leaves are not of 64 windows"
    except Refused as refused:
        return str(refused)
    if type(fields.get("checksums")) is not dict:
        return "its header has no checksums"
    return None


def npy_refused(data, dtype, dimensions):
    """Whether a load refuses a table's file of these bytes, read as numpy
    reads it and checked as a load checks it."""
    stream = io.BytesIO(data[: 1 << 16])
    try:
        major, _ = np.lib.format.read_magic(stream)
        if major not in (1, 2):
            return True
        shape, fortran, found = getattr(np.lib.format, f"read_array_header_{major}_0")(stream)
    except Exception:
        return True
    if fortran or found != dtype or found.byteorder == ">" or len(shape) != dimensions:
        return True
    if any(type(extent) is not int or extent < 0 for extent in shape):
        return True
    # Mapped files start on a page: the values are aligned if their offset is.
    offset = stream.tell()
    return offset % found.itemsize != 0 or offset + int(np.prod(shape, dtype=object)) * found.itemsize != len(data)


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    ts = walk(300, 90)
    ts[100:130] = 2.0
    path = tmp_path_factory.mktemp("small")
    morvel.Index(ts, 16, w=4).save(path)
    return path


TOKENS = [
    b'"',
    b"\\",
    b"\\ud800",
    b"\\udc00",
    b"\\u0041",
    b"\xed\xa0\x80",
    b"\xff",
    b"\xc3\xa9",
    b"\x00",
    b"\t",
    b"NaN",
    b"-Infinity",
    b"-0",
    b"1e5",
    b"2.0",
    b"true",
    b"null",
    b"99999999999999999999",
    b"[",
    b"{",
    b"}",
    b",",
    b":",
    b'"version": 1,',
    b'"w": "4",',
    b"\xef\xbb\xbf",
]


def mutated(data, rng, tokens):
    """Data with one to three random changes: a byte replaced, a token put
    in (mostly where a value starts or ends), a few bytes cut out, a line
    repeated."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        end = len(data)
        at = rng.randrange(end)
        change = rng.randrange(4)
        if change == 0:
            data[at] = rng.randrange(256)
        elif change == 1:
            edges = [i + 1 for i in range(end) if data[i] in b"(),:'\"{}[]"]
            if edges and rng.random() < 0.8:
                at = rng.choice(edges)
            data[at:at] = rng.choice(tokens)
        elif change == 2:
            del data[at : at + rng.randint(1, 4)]
        else:
            line = data[: data.index(b"\n", at)].rsplit(b"\n", 1)[-1] + b"\n" if b"\n" in data[at:] else b""
            data[at:at] = line
    return bytes(data)


HEADER_REASONS = re.compile("its header(?! has no checksum of)|it is version|its leaves|its checksums are not")
UNREADABLE = re.compile("cannot be read|of the type and layout|of the size its header|aligned|.npy version")


@pytest.mark.parametrize("seed", range(4))
def test_headers_changed_at_random_are_refused_as_the_model_refuses_them(small, tmp_path, seed):
    rng = random.Random(seed)
    path = copied(small, tmp_path / "index")
    original = (small / "header.json").read_bytes()
    header_reasons = 0
    for _ in range(150):
        raw = mutated(original, rng, TOKENS)
        (path / "header.json").write_bytes(raw)
        expected = header_model(raw)
        try:
            morvel.Index.load(path)
            got = None
        except ValueError as error:
            got = str(error).removeprefix("not a readable morvel.Index: ")
        if expected is None:
            # The header's fields pass: what follows is about the files.
            assert got is None or HEADER_REASONS.match(got) is None, (raw, got)
        else:
            header_reasons += 1
            assert got == expected, raw
    assert header_reasons > 50


def npy_variant(rng, array):
    """A .npy file of the array's values under a header numpy might read:
    its fields in any order and quoting, and now and then one of them wrong
    (another type or byte order, Fortran order, an extent negative, a
    boolean, beyond 64 bits, too many or too few), the length field off, or
    a version numpy never wrote."""
    code = array.dtype.str[1:]
    extents = [str(extent) for extent in array.shape]
    fields = {"descr": repr(array.dtype.str), "fortran_order": "False"}
    fault = rng.randrange(12)
    if fault == 0:
        fields["descr"] = repr(rng.choice([">" + code, "=" + code, code, "<i2", "|b1", "<u4", "<f8", "|u9"]))
    elif fault == 1:
        fields["fortran_order"] = rng.choice(["True", "0", "None"])
    elif fault == 2:
        at = rng.randrange(len(extents))
        extents[at] = rng.choice(["-1", "-" + extents[at], "True", "0", str(2**64), "'5'", str(int(extents[at]) * 2)])
    elif fault == 3:
        extents = rng.choice([extents + ["1"], extents[1:], ["1", *extents]])
    shape = "(" + ", ".join(extents) + ("," if len(extents) == 1 else "") + ")"
    items = [*fields.items(), ("shape", shape)]
    if fault == 4:
        items.pop(rng.randrange(3)) if rng.random() < 0.5 else items.append(("extra", "1"))
    rng.shuffle(items)
    quote = rng.choice("'\"")
    text = "{" + ", ".join(f"{quote}{key}{quote}: {value}" for key, value in items) + rng.choice([", }", "}", " , }"])
    major = rng.choice([1, 1, 2, 2, 3]) if fault == 5 else rng.choice([1, 2])
    prefix = 10 if major == 1 else 12
    length = len(text) + 1 + (-(prefix + len(text) + 1) % 64)
    if fault == 6:
        length += rng.choice([-2, -1, 1, 4, 8])
    head = text.encode("latin1").ljust(max(length - 1, 0)) + b"\n"
    field = length.to_bytes(2 if major == 1 else 4, "little", signed=False) if length >= 0 else b""
    data = b"\x93NUMPY" + bytes([major, 0]) + field + head[:length] + array.tobytes()
    return data[: -rng.randint(1, 3)] if fault == 7 and array.size else data


@pytest.mark.parametrize("table", ["series", "words", "boxes"])
def test_npy_headers_of_every_form_are_refused_as_numpy_reads_them(small, tmp_path, table):
    rng = random.Random(TABLES.index(table))
    path = copied(small, tmp_path / "index")
    file = file_of(path, table)
    array = np.load(file_of(small, table))
    refusals = 0
    for _ in range(200):
        data = npy_variant(rng, array)
        file.write_bytes(data)
        reseal(path, table)
        expected = npy_refused(data, array.dtype, array.ndim)
        try:
            morvel.Index.load(path)
            reason = None
        except ValueError as error:
            reason = str(error)
        if expected:
            refusals += 1
            assert reason is not None and UNREADABLE.search(reason), (data[:128], reason)
        else:
            # Read by numpy as it must be; tables it does not fit are another matter.
            assert reason is None or UNREADABLE.search(reason) is None, (data[:128], reason)
    assert 40 < refusals < 160
