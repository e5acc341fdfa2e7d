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

from ._archive import Archive, open
from ._entries import DirEntry, Info, StatResult, Title
from ._errors import (CorruptError, Error, IsADirectoryInArchive, NotADirectoryInArchive, NotFoundError,
                      PermissionDeniedError)
from ._file import ArchiveFile
from ._qev import ffi as _ffi, lib as _lib
from ._verification import Finding, VerifyReport

__all__ = [
    "open", "Archive", "ArchiveFile", "DirEntry", "StatResult", "Title", "Info", "Finding",
    "VerifyReport", "Error", "NotFoundError", "PermissionDeniedError", "CorruptError", "__version__",
]

__version__: str = _ffi.string(_lib.qev_version()).decode()
