"""The exceptions the module raises, and the one way a failed call of libqev becomes one."""

from __future__ import annotations

import errno as _errno
import os
from typing import Any, Callable, Dict, Optional, Tuple, Type, Union

from ._qev import ffi as _ffi, lib as _lib


class Error(OSError):
    """A failure of libqev, carrying its message; ``code`` is the library's status name."""

    code: str = ""


class NotFoundError(Error, FileNotFoundError):
    """A path that names nothing, in the archive or of the archive file itself."""


class NotADirectoryInArchive(Error, NotADirectoryError):
    """A path that names a file where a directory is needed."""


class IsADirectoryInArchive(Error, IsADirectoryError):
    """A path that names a directory where a file is needed."""


class PermissionDeniedError(Error, PermissionError):
    """An archive file the system does not let this process read."""


class CorruptError(Error):
    """A block that fails its integrity hash or does not decompress: no bytes are given."""


_STATUS: Dict[int, Tuple[str, Type[Error], int]] = {
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

# The system's reasons a file does not open, as open() raises them.
_SYSTEM_ERRORS: Dict[int, Type[Error]] = {
    _errno.ENOENT: NotFoundError,
    _errno.EACCES: PermissionDeniedError,
    _errno.EPERM: PermissionDeniedError,
    _errno.EISDIR: IsADirectoryInArchive,
    _errno.ENOTDIR: NotADirectoryInArchive,
}

Filename = Union[str, bytes, "os.PathLike[Any]", None]


def raise_error(status: int, error: Any, filename: Filename = None) -> None:
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


def call(function: Callable[..., int], *args: Any, filename: Filename = None) -> None:
    """Calls a function of libqev that ends in a ``qev_error **``; raises when it fails."""
    error = _ffi.new("qev_error **")
    status = function(*args, error)
    if status != _lib.QEV_OK:
        raise_error(status, error, filename)
