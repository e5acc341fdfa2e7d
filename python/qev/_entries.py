"""What the archive's entries look like from Python: names and paths, stat results,
directory entries, title folders and the summary."""

from __future__ import annotations

import os
from typing import Any, List, NamedTuple, Union

from ._qev import lib as _lib

# A name or path inside an archive: str, or bytes to get bytes back.
Name = Union[str, bytes]
ArchivePath = Union[str, bytes, "os.PathLike[Any]"]


def encode(path: ArchivePath) -> bytes:
    return os.fsencode(path)


def fsdecode_all(names: List[bytes]) -> List[str]:
    """Names decoded as os.fsdecode does, in one decode: '/' joins them and is ASCII, so no
    name's bytes can run into the next."""
    if not names:
        return []
    return os.fsdecode(b"/".join(names)).split("/")


def join(parent: Name, name: Name) -> Name:
    if not parent:
        return name
    if isinstance(parent, bytes) and isinstance(name, bytes):
        return parent + b"/" + name
    return os.fsdecode(parent) + "/" + os.fsdecode(name)


class StatResult(NamedTuple):
    """What :meth:`Archive.stat` gives: like :func:`os.stat_result`, with fewer fields."""

    st_mode: int
    st_size: int
    st_ino: int  # the entry's index in the archive's tree

    def is_dir(self) -> bool:
        return self.st_mode & 0o170000 == 0o040000

    def is_file(self) -> bool:
        return self.st_mode & 0o170000 == 0o100000


def stat_result(kind: int, size: int, entry: int) -> StatResult:
    if kind == _lib.QEV_KIND_DIRECTORY:
        return StatResult(0o040555, 0, entry)
    return StatResult(0o100444, size, entry)


class DirEntry:
    """An entry met by :meth:`Archive.scandir`, shaped like :class:`os.DirEntry`."""

    __slots__ = ("name", "path", "_kind", "_size", "_entry")

    def __init__(self, name: Name, path: Name, kind: int, size: int, entry: int) -> None:
        self.name = name
        self.path = path
        self._kind = kind
        self._size = size
        self._entry = entry

    def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        return bool(self._kind == _lib.QEV_KIND_DIRECTORY)

    def is_file(self, *, follow_symlinks: bool = True) -> bool:
        return bool(self._kind == _lib.QEV_KIND_FILE)

    def is_symlink(self) -> bool:
        return False

    def inode(self) -> int:
        return self._entry

    def stat(self, *, follow_symlinks: bool = True) -> StatResult:
        return stat_result(self._kind, self._size, self._entry)

    def __fspath__(self) -> Name:
        return self.path

    def __repr__(self) -> str:
        return f"<qev.DirEntry {self.name!r}>"


class Title(NamedTuple):
    """A title folder at the archive's root, as ``qev-tool list`` shows it."""

    folder_name: str
    title_id: str
    version: int


class Info(NamedTuple):
    """What an archive holds. ``root_entries`` is what ``qev-tool info`` calls totalFiles;
    ``total_size`` is the real sum of the files' sizes (qev-tool info always says 0)."""

    root_entries: int
    total_size: int
    files: int
    directories: int
    titles: int
    tree_entries: int
    archive_size: int
