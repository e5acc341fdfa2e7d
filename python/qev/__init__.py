"""Reading QEV archives: title folders kept as a tree of files in one archive.

A thin, fast binding to libqev, the same core the qev programs use::

    import qev

    with qev.open("games.qev") as archive:
        for title in archive.titles():
            print(title.title_id, title.version)
        for dirpath, dirnames, filenames in archive.walk():
            ...
        with archive.open("0005000010101D00_v64/meta/meta.xml") as f:
            data = f.read()

Paths inside an archive take ``/`` or ``\\``; each name meets the entry of exactly its
spelling, else the first equal to it with ASCII letters in either case, so every path a
listing gives opens what it listed, even beside twins that differ in case. Names are
``str`` decoded as :func:`os.fsdecode` does; pass ``bytes`` to get ``bytes`` back, as
:func:`os.listdir` does. Every read proves its blocks
against the archive's integrity record: a block that fails raises :class:`CorruptError`,
never wrong bytes. Reads release the GIL, so threads reading one archive run in parallel.
"""

from __future__ import annotations

import errno as _errno
import io
import os
import threading
from typing import Any, BinaryIO, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

from ._qev import ffi as _ffi, lib as _lib

__all__ = [
    "open", "Archive", "ArchiveFile", "DirEntry", "StatResult", "Title", "Info", "Finding",
    "VerifyReport", "Error", "NotFoundError", "PermissionDeniedError", "CorruptError", "__version__",
]

__version__: str = _ffi.string(_lib.qev_version()).decode()

# A name or path inside an archive: str, or bytes to get bytes back.
Name = Union[str, bytes]
ArchivePath = Union[str, bytes, "os.PathLike[Any]"]


class Error(OSError):
    """A failure of libqev, carrying its message; ``code`` is the library's status name."""

    code: str = ""


class NotFoundError(Error, FileNotFoundError):
    """A path that names nothing in the archive."""


class NotADirectoryInArchive(Error, NotADirectoryError):
    """A path that names a file where a directory is needed."""


class IsADirectoryInArchive(Error, IsADirectoryError):
    """A path that names a directory where a file is needed."""


class PermissionDeniedError(Error, PermissionError):
    """An archive file the system does not let this process read."""


class CorruptError(Error):
    """A block that fails its integrity hash or does not decompress: no bytes are given."""


_STATUS = {
    _lib.QEV_ERROR_INVALID_ARGUMENT: ("invalid-argument", Error, _errno.EINVAL),
    _lib.QEV_ERROR_IO: ("io", Error, _errno.EIO),
    _lib.QEV_ERROR_NOT_AN_ARCHIVE: ("not-an-archive", Error, _errno.EINVAL),
    _lib.QEV_ERROR_MISMATCH: ("mismatch", CorruptError, _errno.EIO),
    _lib.QEV_ERROR_UNPROVEN: ("unproven", CorruptError, _errno.EIO),
    _lib.QEV_ERROR_NOT_FOUND: ("not-found", NotFoundError, _errno.ENOENT),
    _lib.QEV_ERROR_NOT_A_FILE: ("not-a-file", IsADirectoryInArchive, _errno.EISDIR),
    _lib.QEV_ERROR_NOT_A_DIRECTORY: ("not-a-directory", NotADirectoryInArchive, _errno.ENOTDIR),
    _lib.QEV_ERROR_CORRUPT: ("corrupt", CorruptError, _errno.EIO),
    _lib.QEV_ERROR_CHANGED: ("changed", Error, _errno.ESTALE),
    _lib.QEV_ERROR_NO_MEMORY: ("no-memory", Error, _errno.ENOMEM),
    _lib.QEV_ERROR_STOPPED: ("stopped", Error, _errno.EINTR),
}


_SYSTEM_ERRORS = {
    _errno.ENOENT: NotFoundError,
    _errno.EACCES: PermissionDeniedError,
    _errno.EPERM: PermissionDeniedError,
    _errno.EISDIR: IsADirectoryInArchive,
    _errno.ENOTDIR: NotADirectoryInArchive,
}


def _raise(status: int, error: Any, filename: Optional[Name] = None) -> None:
    """Raises the exception for a failed call; frees the library's error object."""
    message = "Unknown failure"
    system = 0
    if error[0] != _ffi.NULL:
        message = _ffi.string(_lib.qev_error_message(error[0])).decode("utf-8", "replace")
        system = int(_lib.qev_error_system_code(error[0]))
        _lib.qev_error_free(error[0])
        error[0] = _ffi.NULL
    code, kind, number = _STATUS.get(status, ("unknown", Error, _errno.EIO))
    if status == _lib.QEV_ERROR_IO and system != 0 and os.name == "posix":
        # The file itself would not open: the system's own reason, as open() raises it.
        number = system
        kind = _SYSTEM_ERRORS.get(system, Error)
    exception = kind(number, message) if filename is None else kind(number, message, filename)
    exception.code = code
    raise exception


def _call(function: Callable[..., int], *args: Any, filename: Optional[Name] = None) -> None:
    error = _ffi.new("qev_error **")
    status = function(*args, error)
    if status != _lib.QEV_OK:
        _raise(status, error, filename)


def _encode(path: ArchivePath) -> bytes:
    return os.fsencode(path)


def _fsdecode_all(names: List[bytes]) -> List[str]:
    """Names decoded as os.fsdecode does, in one decode: '/' joins them and is ASCII, so no
    name's bytes can run into the next."""
    if not names:
        return []
    return os.fsdecode(b"/".join(names)).split("/")


def _join(parent: Name, name: Name) -> Name:
    if not parent:
        return name
    return parent + (b"/" if isinstance(parent, bytes) else "/") + name  # type: ignore[operator]


class StatResult(NamedTuple):
    """What :meth:`Archive.stat` gives: like :func:`os.stat_result`, with fewer fields."""

    st_mode: int
    st_size: int
    st_ino: int  # the entry's index in the archive's tree

    def is_dir(self) -> bool:
        return self.st_mode & 0o170000 == 0o040000

    def is_file(self) -> bool:
        return self.st_mode & 0o170000 == 0o100000


def _stat_result(kind: int, size: int, entry: int) -> StatResult:
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
        return self._kind == _lib.QEV_KIND_DIRECTORY

    def is_file(self, *, follow_symlinks: bool = True) -> bool:
        return self._kind == _lib.QEV_KIND_FILE

    def is_symlink(self) -> bool:
        return False

    def inode(self) -> int:
        return self._entry

    def stat(self, *, follow_symlinks: bool = True) -> StatResult:
        return _stat_result(self._kind, self._size, self._entry)

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


class Finding(NamedTuple):
    """One thing :meth:`Archive.verify` found. ``kind`` is the word ``qev-check --json``
    gives ("damaged-block", "table-mismatch", ...); ``entry`` and ``block`` are None when
    the finding is not about one; ``offset`` and ``size`` are the archive's bytes."""

    error: bool
    kind: str
    message: str
    entry: Optional[int]
    block: Optional[int]
    offset: int
    size: int


class VerifyReport(NamedTuple):
    """The result of :meth:`Archive.verify`: ``ok`` when nothing makes a file unreadable
    or unreachable. ``findings`` holds at most 100 of a kind; the counts count all."""

    ok: bool
    errors: int
    warnings: int
    findings: Tuple[Finding, ...]


class _Source:
    """A seekable binary file object as libqev's source. One object has one position, so
    its reads take turns under a lock."""

    def __init__(self, file: BinaryIO) -> None:
        self.file = file
        self.lock = threading.Lock()
        self.failure: Optional[BaseException] = None

    def read_at(self, offset: int, buffer: Any, length: int) -> int:
        with memoryview(_ffi.buffer(buffer, length)) as view, self.lock:
            try:
                self.file.seek(offset)
                done = 0
                while done < length:
                    if hasattr(self.file, "readinto"):
                        got = self.file.readinto(view[done:])
                    else:
                        chunk = self.file.read(length - done)
                        got = len(chunk)
                        view[done:done + got] = chunk
                    if not got:
                        return 1
                    done += got
                return 0
            except Exception as failure:  # the library sees a failed read; the cause is kept
                self.failure = failure
                return 1

    def take_failure(self) -> Optional[BaseException]:
        with self.lock:
            failure, self.failure = self.failure, None
        return failure


@_ffi.def_extern()
def qev_py_file_read(user_data: Any, offset: int, buffer: Any, length: int) -> int:
    return _ffi.from_handle(user_data).read_at(offset, buffer, length)


class _Verification:
    def __init__(self, progress: Optional[Callable[[int, int], Any]]) -> None:
        self.progress = progress
        self.findings: List[Finding] = []
        self.failure: Optional[BaseException] = None


@_ffi.def_extern()
def qev_py_finding(user_data: Any, finding: Any) -> None:
    state = _ffi.from_handle(user_data)
    state.findings.append(Finding(
        error=finding.severity == _lib.QEV_FINDING_ERROR,
        kind=_ffi.string(finding.kind).decode(),
        message=_ffi.string(finding.message).decode("utf-8", "replace"),
        entry=None if finding.entry == _lib.QEV_NO_ENTRY else int(finding.entry),
        block=None if finding.block == _lib.QEV_NO_BLOCK else int(finding.block),
        offset=int(finding.offset),
        size=int(finding.size),
    ))


@_ffi.def_extern()
def qev_py_progress(user_data: Any, done: int, total: int) -> int:
    state = _ffi.from_handle(user_data)
    try:
        state.progress(done, total)
        return 0
    except BaseException as failure:  # stops the check; raised again once it returns
        state.failure = failure
        return 1


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
        self._handle = _ffi.NULL
        self._users = 0
        self._closed = False
        self._lock = threading.Condition()
        self._budget: Optional[int] = None
        self._wrapper: Optional[_Source] = None
        archive = _ffi.new("qev_archive **")
        if isinstance(source, (bytes, bytearray, memoryview)):
            data = _ffi.from_buffer(source)
            memory = _ffi.new("qev_py_memory *", {"data": data, "size": len(data)})
            self._keep = (source, data, memory)
            self._open_source(len(data), memory, _ffi.addressof(_lib, "qev_py_memory_read"), options, archive)
        elif isinstance(source, (str, os.PathLike)):
            _call(_lib.qev_open, _encode(source), options, archive, filename=source)
        elif hasattr(source, "seek") and (hasattr(source, "readinto") or hasattr(source, "read")):
            size = source.seek(0, io.SEEK_END)
            wrapper = _Source(source)
            handle = _ffi.new_handle(wrapper)
            self._keep = (wrapper, handle)
            self._wrapper = wrapper
            self._open_source(size, handle, _lib.qev_py_file_read, options, archive, wrapper)
        else:
            raise TypeError("source must be a path, bytes, or a seekable binary file object")
        self._handle = archive[0]

    def _open_source(self, size: int, user_data: Any, read_at: Any, options: Any, archive: Any,
                     wrapper: Optional[_Source] = None) -> None:
        source = _ffi.new("qev_source *")
        source.struct_size = _ffi.sizeof("qev_source")
        source.size = size
        source.user_data = _ffi.cast("void *", user_data)
        source.read_at = read_at
        source.close = _ffi.NULL
        try:
            _call(_lib.qev_open_source, source, options, archive)
        except Error:
            if wrapper is not None and wrapper.failure is not None:
                raise wrapper.failure
            raise

    # Every call holds the archive open: close() waits for calls running in other threads.
    def _enter(self) -> Any:
        with self._lock:
            if self._closed:
                raise ValueError("I/O operation on a closed archive")
            self._users += 1
            return self._handle

    def _leave(self) -> None:
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
        encoded = _encode(path)
        entry = _ffi.new("qev_entry *")
        _call(_lib.qev_resolve, handle, encoded, len(encoded), _ffi.NULL, entry, filename=os.fsdecode(path))
        return int(entry[0])

    def _stat(self, handle: Any, entry: int) -> Any:
        st = _ffi.new("qev_stat *")
        st.struct_size = _ffi.sizeof("qev_stat")
        _call(_lib.qev_stat_entry, handle, entry, st)
        return st

    def stat(self, path: ArchivePath = "") -> StatResult:
        """The kind and size of the entry at ``path``; "" is the root."""
        handle = self._enter()
        try:
            entry = self._lookup(handle, path)
            st = self._stat(handle, entry)
            return _stat_result(st.kind, st.size, entry)
        finally:
            self._leave()

    def _list(self, directory: int) -> Tuple[List[bytes], List[int], List[int], List[int], int]:
        """A directory's children that a path can reach, in stored order, listed in one call
        into C: names, kinds, entries, sizes, and how many children it has in all. Of
        names repeated exactly (only a hostile archive has them) the first is kept."""
        listing = _ffi.new("qev_py_listing *")
        handle = self._enter()
        try:
            _call(_lib.qev_py_list, handle, directory, listing)
        finally:
            self._leave()
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
            seen: set = set()
            keep = [i for i, name in enumerate(names) if not (name in seen or seen.add(name))]
            names, kinds, entries, sizes = ([column[i] for i in keep] for column in (names, kinds, entries, sizes))
        return names, list(kinds), entries, sizes, children

    def _listing(self, path: ArchivePath) -> Tuple[bool, List[Tuple[bytes, int, int, int]]]:
        as_bytes = isinstance(path, bytes)
        handle = self._enter()
        try:
            directory = self._lookup(handle, path)
        finally:
            self._leave()
        names, kinds, entries, sizes, _ = self._list(directory)
        return as_bytes, list(zip(names, kinds, sizes, entries))

    def scandir(self, path: ArchivePath = "") -> Iterator[DirEntry]:
        """The entries of the directory at ``path``, like :func:`os.scandir`."""
        as_bytes, children = self._listing(path)
        top = path if as_bytes else os.fsdecode(path)
        for name, kind, size, entry in children:
            shown = name if as_bytes else os.fsdecode(name)
            yield DirEntry(shown, _join(top, shown), kind, size, entry)  # type: ignore[arg-type]

    def listdir(self, path: ArchivePath = "") -> List[Name]:
        """The names in the directory at ``path``, in stored order, like :func:`os.listdir`."""
        as_bytes, children = self._listing(path)
        names = [name for name, _, _, _ in children]
        return names if as_bytes else _fsdecode_all(names)

    def walk(self, top: ArchivePath = "", topdown: bool = True
             ) -> Iterator[Tuple[Name, List[Name], List[Name]]]:
        """Yields ``(dirpath, dirnames, filenames)`` for every directory below ``top``, like
        :func:`os.walk`; with ``topdown``, ``dirnames`` may be pruned in place.

        Lazy: it holds the directories still to visit, never the tree. Each directory is
        entered once however the archive links them, and a hostile archive whose
        directories share children endlessly is walked in time proportional to its size.
        """
        as_bytes = isinstance(top, bytes)
        start = top if as_bytes else os.fsdecode(top)
        handle = self._enter()
        try:
            root = self._lookup(handle, top)
            budget = self._walk_budget(handle)
        finally:
            self._leave()
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
                pending.append((_join(dirpath, name), entry))

    def _walked(self, directory: int, as_bytes: bool) -> Tuple[List[Name], Dict[Name, int], List[Name], int]:
        """One directory for walk(): its directories' names, their entries by name, its
        files' names, and how many children it has in all."""
        names, kinds, entries, _, children = self._list(directory)
        is_dir = [kind == _lib.QEV_KIND_DIRECTORY for kind in kinds]
        shown: List[Any] = names if as_bytes else _fsdecode_all(names)
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
        handle = self._enter()
        try:
            count = _ffi.new("uint32_t *")
            _call(_lib.qev_title_count, handle, count)
            title = _ffi.new("qev_title *")
            title.struct_size = _ffi.sizeof("qev_title")
            titles = []
            for index in range(count[0]):
                _call(_lib.qev_title_at, handle, index, title)
                name = _ffi.unpack(title.folder_name, title.folder_name_length).decode("ascii")
                titles.append(Title(name, name[:16], int(title.version)))
            return titles
        finally:
            self._leave()

    def info(self) -> Info:
        """What the archive holds (one walk of its tree)."""
        handle = self._enter()
        try:
            info = _ffi.new("qev_info *")
            info.struct_size = _ffi.sizeof("qev_info")
            _call(_lib.qev_get_info, handle, info)
            return Info(int(info.root_entries), int(info.total_size), int(info.files), int(info.directories),
                        int(info.titles), int(info.tree_entries), int(info.archive_size))
        finally:
            self._leave()

    def _read_into(self, entry: int, offset: int, buffer: Any) -> int:
        """Reads into ``buffer`` (writable, C-contiguous) at ``offset``; releases the GIL."""
        done = _ffi.new("size_t *")
        handle = self._enter()
        # Released at once: a buffer still exported when a cycle is collected cannot be.
        target = _ffi.from_buffer(buffer, require_writable=True)
        try:
            _call(_lib.qev_read, handle, entry, offset, target, len(target), done)
        except Error as error:
            # A file object that failed to read: its own exception says why, not "corrupt".
            failure = self._wrapper.take_failure() if self._wrapper is not None else None
            if failure is not None:
                raise failure from error
            raise
        finally:
            _ffi.release(target)
            self._leave()
        return int(done[0])

    def open(self, path: ArchivePath, mode: str = "rb", buffering: int = -1
             ) -> Union["ArchiveFile", io.BufferedReader]:
        """The file at ``path`` as a binary file object, readable and seekable. With
        ``buffering=0`` it is the raw :class:`ArchiveFile` itself, whose ``readinto``
        writes straight into the caller's buffer; otherwise an :class:`io.BufferedReader`
        over it (whose large reads do the same)."""
        if mode not in ("r", "rb"):
            raise ValueError("archives are read-only: mode must be 'rb'")
        handle = self._enter()
        try:
            entry = self._lookup(handle, path)
            st = self._stat(handle, entry)
        finally:
            self._leave()
        if st.kind != _lib.QEV_KIND_FILE:
            raise IsADirectoryInArchive(_errno.EISDIR, "Is a directory", os.fsdecode(path))
        raw = ArchiveFile(self, entry, int(st.size), os.fsdecode(path))
        if buffering == 0:
            return raw
        return io.BufferedReader(raw, buffer_size=buffering if buffering > 1 else 1 << 16)

    def read_bytes(self, path: ArchivePath) -> bytes:
        """The whole file at ``path``."""
        with self.open(path, buffering=0) as f:
            return f.readall()

    def verify(self, progress: Optional[Callable[[int, int], Any]] = None, *, threads: int = 0) -> VerifyReport:
        """Runs the check qev-check runs: the tree, the tables and the footer against the
        integrity record, every block read and proven, on ``threads`` threads (0: one per
        core). ``progress(done, total)`` is called about ten times a second with bytes of
        blocks, and once at the end; an exception it raises stops the check and is raised
        again here."""
        state = _Verification(progress)
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
        handle = self._enter()
        try:
            _call(_lib.qev_verify, handle, options, result)
        except Error:
            if state.failure is not None:
                raise state.failure
            raise
        finally:
            self._leave()
        if state.failure is not None:  # from the last call, once every block was read
            raise state.failure
        return VerifyReport(result.errors == 0, int(result.errors), int(result.warnings), tuple(state.findings))

    def __repr__(self) -> str:
        return f"<qev.Archive{' (closed)' if self._closed else ''}>"


class ArchiveFile(io.RawIOBase):
    """A file inside an archive, read-only and seekable. Reads are positional in the
    library: each file object keeps only its own position."""

    def __init__(self, archive: Archive, entry: int, size: int, name: str) -> None:
        super().__init__()
        self._archive = archive
        self._entry = entry
        self._size = size
        self._position = 0
        self.name = name
        self.mode = "rb"

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self.closed:
            raise ValueError("I/O operation on a closed file")
        if self._position >= self._size:
            return 0
        with memoryview(buffer) as given, given.cast("B") as view:
            wanted = min(len(view), self._size - self._position)
            with view[:wanted] as part:
                done = self._archive._read_into(self._entry, self._position, part)
        self._position += done
        return done

    def readall(self) -> bytes:
        # In pieces that double from 16 MiB: a hostile archive may declare a size far
        # beyond its bytes, and its first missing block must fail the read before memory
        # for the rest is taken.
        pieces = []
        piece = 1 << 24
        while self._position < self._size:
            chunk = bytearray(min(piece, self._size - self._position))
            done = self.readinto(chunk)
            if done == 0:
                break
            pieces.append(chunk if done == len(chunk) else chunk[:done])
            piece *= 2
        return b"".join(pieces)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_SET:
            position = offset
        elif whence == io.SEEK_CUR:
            position = self._position + offset
        elif whence == io.SEEK_END:
            position = self._size + offset
        else:
            raise ValueError("whence must be 0, 1 or 2")
        if position < 0:
            raise OSError(_errno.EINVAL, "Negative seek position")
        self._position = position
        return position

    def tell(self) -> int:
        return self._position

    @property
    def size(self) -> int:
        return self._size

    def __repr__(self) -> str:
        return f"<qev.ArchiveFile {self.name!r}>"
