"""The index's files: its record of the chunks, a chunk built and saved,
and a chunk opened (and checked) by the worker that answers for it."""

import hashlib
import os
import pathlib
import re
import threading
from typing import Any

import morvel

from .chunks import _joined

_MANIFEST = "index.json"
_FORMAT = "morvel_dask.Index"
_VERSION = 1


def _digest(directory: pathlib.Path) -> str:
    """What identifies a saved chunk: its header holds every file's checksum."""
    with open(directory / "header.json", "rb") as header:
        return hashlib.sha256(header.read(morvel.Index._header_limit)).hexdigest()


def _build_chunk(
    pieces: list[Any], window: int, stride: int, w: int, directory: str, number: int, first: int
) -> dict[str, Any]:
    index = morvel.Index(_joined(pieces), window, stride, w=w, threads=1)
    index.save(directory)
    path = pathlib.Path(directory)
    return {"number": number, "directory": path.name, "first": first, "windows": len(index), "digest": _digest(path)}


# The chunks a worker process has opened, by directory and digest, with what
# their files were when they were checked: a file written, replaced or
# removed since has the chunk opened, and checked, again.
_opened: dict[tuple[str, str], tuple[morvel.Index, list[tuple[int, ...]]]] = {}
_opening = threading.Lock()


def _files_of(directory: pathlib.Path) -> list[tuple[int, ...]]:
    found: list[tuple[int, ...]] = []
    for name in sorted(os.listdir(directory)):
        status = os.stat(directory / name)
        found.append((status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns))
    return found


def _chunk_name(chunk: dict[str, Any], stride: int) -> str:
    first, windows = chunk["first"], chunk["windows"]
    return f"chunk {chunk['number']} (starts {first * stride} to {(first + windows - 1) * stride})"


def _open(path: str, chunk: dict[str, Any], shape: tuple[int, int, int], verify: bool = False) -> morvel.Index:
    """A chunk's index, opened and checked once per worker (with verify, its
    tables built again from its series, whether opened before or not)."""
    directory = pathlib.Path(path) / chunk["directory"]
    key = (str(directory), chunk["digest"])
    with _opening:
        opened = _opened.pop(key, None)
        if opened is not None and not verify:
            try:
                if _files_of(directory) == opened[1]:
                    _opened[key] = opened
                    return opened[0]
            except OSError:
                pass
        window, stride, w = shape
        named = f"{_chunk_name(chunk, stride)} of the index at {path}"
        try:
            files = _files_of(directory)
            digest = _digest(directory)
        except OSError as error:
            raise ValueError(f"{named} is missing: {error.strerror} ({directory})") from None
        if digest != chunk["digest"]:
            raise ValueError(f"{named} is not the one built: its header was changed or replaced ({directory})")
        try:
            index = morvel.Index.load(directory, verify=verify)
        except ValueError as error:
            raise ValueError(f"{named} is damaged: {error}") from None
        if (len(index), index.window, index.stride, index.w) != (chunk["windows"], window, stride, w):
            raise ValueError(f"{named} is not the one built: its shape differs ({directory})")
        _opened[key] = (index, files)
        return index


def _sound(manifest: dict[str, Any]) -> bool:
    """Whether a record describes an index: a shape an index can have, and
    chunks that follow each other from window 0, each once, in directories
    of this one, each its own."""
    chunks = manifest["chunks"]
    shape = [manifest[name] for name in ("window", "stride", "w", "windows")]
    fields = ("number", "directory", "first", "windows", "digest")
    if not (
        manifest["format"] == _FORMAT
        and manifest["version"] == _VERSION
        and all(type(value) is int and value >= 1 for value in shape)
        # As any morvel.Index of one chunk could be: its window fits 31 bits.
        and 2 <= manifest["window"] < 2**31
        and manifest["stride"] < 2**62
        and manifest["w"] <= min(manifest["window"], 256)
        and type(chunks) is list
        and all(type(chunk) is dict and set(chunk) == set(fields) for chunk in chunks)
    ):
        return False
    first = 0
    for chunk in sorted(chunks, key=lambda chunk: chunk["first"]):
        if not (
            all(type(chunk[name]) is int for name in ("number", "first", "windows"))
            and chunk["first"] == first
            and chunk["windows"] >= 1
            and re.fullmatch(r"chunk-[0-9]+-[0-9a-f]+", chunk["directory"]) is not None
            and re.fullmatch(r"[0-9a-f]{64}", chunk["digest"]) is not None
        ):
            return False
        first += chunk["windows"]
    numbers = [chunk["number"] for chunk in chunks]
    directories = [chunk["directory"] for chunk in chunks]
    return (
        first == manifest["windows"] and len(set(numbers)) == len(numbers) and len(set(directories)) == len(directories)
    )
