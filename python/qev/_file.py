"""A file inside an archive as a Python binary file object."""

from __future__ import annotations

import errno as _errno
import io
from typing import TYPE_CHECKING, Any, List

if TYPE_CHECKING:
    from ._archive import Archive


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
        pieces: List[bytearray] = []
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
