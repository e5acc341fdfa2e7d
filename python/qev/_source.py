"""A seekable binary file object as libqev's source of an archive's bytes."""

from __future__ import annotations

import threading
from typing import Any, BinaryIO, Optional

from ._qev import ffi as _ffi


class Source:
    """One object has one position, so its reads take turns under a lock. A read that
    fails keeps its exception, for the call that needed the bytes to raise."""

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


def _file_read(user_data: Any, offset: int, buffer: Any, length: int) -> int:
    source: Source = _ffi.from_handle(user_data)
    return source.read_at(offset, buffer, length)


_ffi.def_extern(name="qev_py_file_read")(_file_read)
