"""The check qev-check runs, from Python: its findings and its progress."""

from __future__ import annotations

from typing import Any, Callable, List, NamedTuple, Optional, Tuple

from ._qev import ffi as _ffi, lib as _lib


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


class Verification:
    """What one check gathers: the findings handed out, and an exception the progress
    callback raised (which stops the check and is raised again once it returns)."""

    def __init__(self, progress: Optional[Callable[[int, int], Any]]) -> None:
        self.progress = progress
        self.findings: List[Finding] = []
        self.failure: Optional[BaseException] = None


def _finding(user_data: Any, finding: Any) -> None:
    state: Verification = _ffi.from_handle(user_data)
    state.findings.append(Finding(
        error=finding.severity == _lib.QEV_FINDING_ERROR,
        kind=_ffi.string(finding.kind).decode(),
        message=_ffi.string(finding.message).decode("utf-8", "replace"),
        entry=None if finding.entry == _lib.QEV_NO_ENTRY else int(finding.entry),
        block=None if finding.block == _lib.QEV_NO_BLOCK else int(finding.block),
        offset=int(finding.offset),
        size=int(finding.size),
    ))


def _progress(user_data: Any, done: int, total: int) -> int:
    state: Verification = _ffi.from_handle(user_data)
    try:
        if state.progress is not None:
            state.progress(done, total)
        return 0
    except BaseException as failure:  # stops the check; raised again once it returns
        state.failure = failure
        return 1


_ffi.def_extern(name="qev_py_finding")(_finding)
_ffi.def_extern(name="qev_py_progress")(_progress)
