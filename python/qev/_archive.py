"""The opened archive: lookups, listings, walks, titles, reads and the check."""

from __future__ import annotations

import contextlib
import errno as _errno
import io
import os
import threading
from typing import Any, BinaryIO, Callable, Dict, Iterator, List, Optional, Set, Tuple, Union, overload

from ._errors import Error, IsADirectoryInArchive, NotADirectoryInArchive, NotFoundError, call
from ._entries import (ArchivePath, DirEntry, Info, Name, StatResult, Title, encode, fsdecode_all, join,
                       stat_result)
from ._file import ArchiveFile
from ._qev import ffi as _ffi, lib as _lib
from ._source import Source
from ._verification import Verification, VerifyReport

def _described(source: Any) -> str:
    """How a repr names the archive: its path, a file object's name, or its bytes' size."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return f"of {len(source)} bytes"
    if isinstance(source, (str, os.PathLike)):
        return repr(os.fsdecode(source))
    name = getattr(source, "name", None)
    return repr(name) if isinstance(name, str) else "from a file object"


_VERIFY = {"blocks": "QEV_VERIFY_BLOCKS", "structure": "QEV_VERIFY_STRUCTURE", "none": "QEV_VERIFY_NONE"}


def open(source: Union[str, "os.PathLike[Any]", bytes, bytearray, memoryview, BinaryIO], *,
         verify: str = "blocks", cache_size: int = 0) -> "Archive":
    """Opens an archive.

    ``source`` is a path (``str`` or path-like), the archive's bytes (``bytes``,
    ``bytearray`` or ``memoryview``), or a seekable binary file object, such as one of
    fsspec's remote files: then only the ranges needed are read, and reads through it take
    turns (one object has one position).

    ``verify`` is "blocks" (the default: the tables proven against the integrity record at
    opening, every block as it is read), "structure" (the tables only) or "none": open a
    damaged archive with "none" to :meth:`~Archive.verify` it. ``cache_size`` is the bytes
    of decompressed blocks each reading thread keeps (0: 4 MiB).
    """
    return Archive(source, verify=verify, cache_size=cache_size)


class Archive:
    """An opened archive, safe to use from any number of threads at once. Use it as a
    context manager, or call :meth:`close`."""

    def __init__(self, source: Any, *, verify: str = "blocks", cache_size: int = 0) -> None:
        if verify not in _VERIFY:
            raise ValueError(f"verify must be one of {', '.join(_VERIFY)}")
        options = _ffi.new("qev_open_options *")
        _lib.qev_open_options_init(options)
        options.verify = getattr(_lib, _VERIFY[verify])
        options.cache_size = cache_size
        self._keep: Tuple[Any, ...] = ()
        self._name = _described(source)
        self._handle = _ffi.NULL
        self._users = 0
        self._closed = False
        self._lock = threading.Condition()
        self._budget: Optional[int] = None
        self._wrapper: Optional[Source] = None
        archive = _ffi.new("qev_archive **")
        if isinstance(source, (bytes, bytearray, memoryview)):
            data = _ffi.from_buffer(source)
            memory = _ffi.new("qev_py_memory *", {"data": data, "size": len(data)})
            self._keep = (source, data, memory)
            self._open_source(len(data), memory, _ffi.addressof(_lib, "qev_py_memory_read"), options, archive)
        elif isinstance(source, (str, os.PathLike)):
            call(_lib.qev_open, encode(source), options, archive, filename=source)
        elif hasattr(source, "seek") and (hasattr(source, "readinto") or hasattr(source, "read")):
            size = source.seek(0, io.SEEK_END)
            wrapper = Source(source)
            handle = _ffi.new_handle(wrapper)
            self._keep = (wrapper, handle)
            self._wrapper = wrapper
            self._open_source(size, handle, _lib.qev_py_file_read, options, archive, wrapper)
        else:
            raise TypeError("source must be a path, bytes, or a seekable binary file object")
        self._handle = archive[0]

    def _open_source(self, size: int, user_data: Any, read_at: Any, options: Any, archive: Any,
                     wrapper: Optional[Source] = None) -> None:
        source = _ffi.new("qev_source *")
        source.struct_size = _ffi.sizeof("qev_source")
        source.size = size
        source.user_data = _ffi.cast("void *", user_data)
        source.read_at = read_at
        source.close = _ffi.NULL
        try:
            call(_lib.qev_open_source, source, options, archive)
        except Error:
            if wrapper is not None and wrapper.failure is not None:
                raise wrapper.failure
            raise

    @contextlib.contextmanager
    def _held(self) -> Iterator[Any]:
        """The library's handle, held open for one call: close() waits for calls running
        in other threads."""
        with self._lock:
            if self._closed:
                raise ValueError("I/O operation on a closed archive")
            self._users += 1
            handle = self._handle
        try:
            yield handle
        finally:
            with self._lock:
                self._users -= 1
                if self._users == 0:
                    self._lock.notify_all()

    def close(self) -> None:
        """Closes the archive once calls in other threads have returned. Files opened from
        it can no longer be read."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            while self._users:
                self._lock.wait()
            handle, self._handle = self._handle, _ffi.NULL
        if handle != _ffi.NULL:
            _lib.qev_close(handle)
        for kept in self._keep:
            if isinstance(kept, _ffi.CData) and _ffi.typeof(kept).kind == "array":
                _ffi.release(kept)
        self._keep = ()

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "Archive":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def _lookup(self, handle: Any, path: ArchivePath) -> int:
        # The exact spelling first, so that every path a listing gives opens what it listed.
        encoded = encode(path)
        entry = _ffi.new("qev_entry *")
        call(_lib.qev_resolve, handle, encoded, len(encoded), _ffi.NULL, entry, filename=os.fsdecode(path))
        return int(entry[0])

    def _stat(self, handle: Any, entry: int) -> Any:
        st = _ffi.new("qev_stat *")
        st.struct_size = _ffi.sizeof("qev_stat")
        call(_lib.qev_stat_entry, handle, entry, st)
        return st

    def exists(self, path: ArchivePath) -> bool:
        """Whether ``path`` names a file or a directory in the archive."""
        try:
            self.stat(path)
        except (NotFoundError, NotADirectoryInArchive):
            return False
        return True

    def __contains__(self, path: object) -> bool:
        return isinstance(path, (str, bytes, os.PathLike)) and self.exists(path)

    def stat(self, path: ArchivePath = "") -> StatResult:
        """The kind and size of the entry at ``path``; "" is the root."""
        with self._held() as handle:
            entry = self._lookup(handle, path)
            st = self._stat(handle, entry)
            return stat_result(st.kind, st.size, entry)

    def _list(self, directory: int) -> Tuple[List[bytes], List[int], List[int], List[int], int]:
        """A directory's children that a path can reach, in stored order, listed in one call
        into C: names, kinds, entries, sizes, and how many children it has in all. Of
        names repeated exactly (only a hostile archive has them) the first is kept."""
        listing = _ffi.new("qev_py_listing *")
        with self._held() as handle:
            call(_lib.qev_py_list, handle, directory, listing)
        try:
            count = listing.count
            names = _ffi.unpack(listing.names, listing.names_length).split(b"/") if count else []
            kinds = _ffi.unpack(listing.kinds, count) if count else []
            entries = _ffi.unpack(listing.entries, count) if count else []
            sizes = _ffi.unpack(listing.sizes, count) if count else []
            children = listing.children
        finally:
            _lib.qev_py_listing_free(listing)
        if len(set(names)) != count:
            seen: Set[bytes] = set()
            keep = []
            for i, name in enumerate(names):
                if name not in seen:
                    seen.add(name)
                    keep.append(i)
            names, kinds, entries, sizes = ([column[i] for i in keep] for column in (names, kinds, entries, sizes))
        return names, list(kinds), entries, sizes, children

    def _listing(self, path: ArchivePath) -> Tuple[bool, List[Tuple[bytes, int, int, int]]]:
        as_bytes = isinstance(path, bytes)
        with self._held() as handle:
            directory = self._lookup(handle, path)
        names, kinds, entries, sizes, _ = self._list(directory)
        return as_bytes, list(zip(names, kinds, sizes, entries))

    def scandir(self, path: ArchivePath = "") -> Iterator[DirEntry]:
        """The entries of the directory at ``path``, like :func:`os.scandir`."""
        as_bytes, children = self._listing(path)
        top = path if as_bytes else os.fsdecode(path)
        for name, kind, size, entry in children:
            shown = name if as_bytes else os.fsdecode(name)
            yield DirEntry(shown, join(top, shown), kind, size, entry)  # type: ignore[arg-type]

    @overload
    def listdir(self, path: Union[str, "os.PathLike[str]"] = "") -> List[str]: ...
    @overload
    def listdir(self, path: bytes) -> List[bytes]: ...

    def listdir(self, path: ArchivePath = "") -> Union[List[str], List[bytes]]:
        """The names in the directory at ``path``, in stored order, like :func:`os.listdir`."""
        as_bytes, children = self._listing(path)
        names = [name for name, _, _, _ in children]
        if as_bytes:
            return names
        return fsdecode_all(names)

    @overload
    def walk(self, top: Union[str, "os.PathLike[str]"] = "", topdown: bool = True
             ) -> Iterator[Tuple[str, List[str], List[str]]]: ...
    @overload
    def walk(self, top: bytes, topdown: bool = True) -> Iterator[Tuple[bytes, List[bytes], List[bytes]]]: ...

    def walk(self, top: ArchivePath = "", topdown: bool = True) -> Iterator[Tuple[Any, List[Any], List[Any]]]:
        """Yields ``(dirpath, dirnames, filenames)`` for every directory below ``top``, like
        :func:`os.walk`; with ``topdown``, ``dirnames`` may be pruned in place.

        Lazy: it holds the directories still to visit, never the tree. Each directory is
        entered once however the archive links them, and a hostile archive whose
        directories share children endlessly is walked in time proportional to its size.
        """
        as_bytes = isinstance(top, bytes)
        start = top if as_bytes else os.fsdecode(top)
        with self._held() as handle:
            root = self._lookup(handle, top)
            budget = self._walk_budget(handle)
        entered = {root}
        looked = 0
        # Each item: (path, entry) to list, or, bottom-up, a finished triple to yield.
        pending: List[Any] = [(start, root)]
        while pending:
            item = pending.pop()
            if len(item) == 3:
                yield item
                continue
            dirpath, directory = item
            dirnames, subdirs, filenames, children = self._walked(directory, as_bytes)
            looked += children
            if looked > budget:
                break
            if topdown:
                yield dirpath, dirnames, filenames
            else:
                pending.append((dirpath, dirnames, filenames))
            for name in reversed(dirnames):
                entry = subdirs.get(name)
                if entry is None or entry in entered:
                    continue
                entered.add(entry)
                pending.append((join(dirpath, name), entry))

    def _walked(self, directory: int, as_bytes: bool) -> Tuple[List[Name], Dict[Name, int], List[Name], int]:
        """One directory for walk(): its directories' names, their entries by name, its
        files' names, and how many children it has in all."""
        names, kinds, entries, _, children = self._list(directory)
        is_dir = [kind == _lib.QEV_KIND_DIRECTORY for kind in kinds]
        shown: List[Any] = list(names)
        if not as_bytes:
            shown = list(fsdecode_all(names))
        dirnames = [name for name, d in zip(shown, is_dir) if d]
        filenames = [name for name, d in zip(shown, is_dir) if not d]
        subdirs = {name: entry for name, entry, d in zip(shown, entries, is_dir) if d}
        return dirnames, subdirs, filenames, children

    def _walk_budget(self, handle: Any) -> int:
        # As the library's own walk: at most 8 children looked at per entry of the tree
        # (and at least 2^20), however the directories share them.
        if self._budget is None:
            # Entries are numbered from 0 and qev_stat_entry refuses any past the last, so
            # the tree's size is found in 32 steps rather than by a walk of it.
            st = _ffi.new("qev_stat *")
            st.struct_size = _ffi.sizeof("qev_stat")
            low, high = 1, 1 << 32
            while low < high:
                middle = (low + high) // 2
                if _lib.qev_stat_entry(handle, middle - 1, st, _ffi.NULL) == _lib.QEV_OK:
                    low = middle + 1
                else:
                    high = middle
            self._budget = 8 * (low - 1) + (1 << 20)
        return self._budget

    def titles(self) -> List[Title]:
        """The title folders at the root, in stored order, as ``qev-tool list`` gives them."""
        with self._held() as handle:
            count = _ffi.new("uint32_t *")
            call(_lib.qev_title_count, handle, count)
            title = _ffi.new("qev_title *")
            title.struct_size = _ffi.sizeof("qev_title")
            titles = []
            for index in range(count[0]):
                call(_lib.qev_title_at, handle, index, title)
                name = _ffi.unpack(title.folder_name, title.folder_name_length).decode("ascii")
                titles.append(Title(name, name[:16], int(title.version)))
            return titles

    def info(self) -> Info:
        """What the archive holds (one walk of its tree)."""
        with self._held() as handle:
            info = _ffi.new("qev_info *")
            info.struct_size = _ffi.sizeof("qev_info")
            call(_lib.qev_get_info, handle, info)
            return Info(int(info.root_entries), int(info.total_size), int(info.files), int(info.directories),
                        int(info.titles), int(info.tree_entries), int(info.archive_size))

    def _read_into(self, entry: int, offset: int, buffer: Any) -> int:
        """Reads into ``buffer`` (writable, C-contiguous) at ``offset``; releases the GIL."""
        done = _ffi.new("size_t *")
        with self._held() as handle:
            # Released at once: a buffer still exported when a cycle is collected cannot be.
            target = _ffi.from_buffer(buffer, require_writable=True)
            try:
                call(_lib.qev_read, handle, entry, offset, target, len(target), done)
            except Error as error:
                # A file object that failed to read: its own exception says why, not "corrupt".
                failure = self._wrapper.take_failure() if self._wrapper is not None else None
                if failure is not None:
                    raise failure from error
                raise
            finally:
                _ffi.release(target)
        return int(done[0])

    def open(self, path: ArchivePath, mode: str = "rb", buffering: int = -1
             ) -> Union["ArchiveFile", io.BufferedReader]:
        """The file at ``path`` as a binary file object, readable and seekable. With
        ``buffering=0`` it is the raw :class:`ArchiveFile` itself, whose ``readinto``
        writes straight into the caller's buffer; otherwise an :class:`io.BufferedReader`
        over it (whose large reads do the same)."""
        if mode not in ("r", "rb"):
            raise ValueError("archives are read-only: mode must be 'rb'")
        raw = self._raw(path)
        if buffering == 0:
            return raw
        return io.BufferedReader(raw, buffer_size=buffering if buffering > 1 else 1 << 16)

    def _raw(self, path: ArchivePath) -> ArchiveFile:
        with self._held() as handle:
            entry = self._lookup(handle, path)
            st = self._stat(handle, entry)
        if st.kind != _lib.QEV_KIND_FILE:
            raise IsADirectoryInArchive(_errno.EISDIR, "Is a directory", os.fsdecode(path))
        return ArchiveFile(self, entry, int(st.size), os.fsdecode(path))

    def read_bytes(self, path: ArchivePath) -> bytes:
        """The whole file at ``path``."""
        with self._raw(path) as f:
            return f.readall()

    def verify(self, progress: Optional[Callable[[int, int], Any]] = None, *, threads: int = 0) -> VerifyReport:
        """Runs the check qev-check runs: the tree, the tables and the footer against the
        integrity record, every block read and proven, on ``threads`` threads (0: one per
        core). ``progress(done, total)`` is called about ten times a second with bytes of
        blocks, and once at the end; an exception it raises stops the check and is raised
        again here."""
        state = Verification(progress)
        handle_object = _ffi.new_handle(state)
        options = _ffi.new("qev_verify_options *")
        _lib.qev_verify_options_init(options)
        options.threads = threads
        options.user_data = handle_object
        options.finding = _lib.qev_py_finding
        if progress is not None:
            options.progress = _lib.qev_py_progress
        result = _ffi.new("qev_verify_result *")
        result.struct_size = _ffi.sizeof("qev_verify_result")
        with self._held() as handle:
            try:
                call(_lib.qev_verify, handle, options, result)
            except Error:
                if state.failure is not None:
                    raise state.failure
                raise
        if state.failure is not None:  # from the last call, once every block was read
            raise state.failure
        return VerifyReport(result.errors == 0, int(result.errors), int(result.warnings), tuple(state.findings))

    def __repr__(self) -> str:
        return f"<qev.Archive {self._name}{' (closed)' if self._closed else ''}>"


