"""A read-only fsspec filesystem over an archive, registered under the protocol ``qev``::

    import fsspec
    with fsspec.open("qev://0005000010101D00_v64/meta/meta.xml", fo="games.qev") as f:
        meta = f.read()

``fo`` is the archive: a local path (opened directly, read in parallel), a URL fsspec can
open (``https://...``, ``s3://...``: only the ranges needed are fetched, one read at a
time), a file object, or the archive's bytes.
"""

from __future__ import annotations

import os
from typing import Any, Dict, List, Optional, Union

import fsspec
from fsspec import AbstractFileSystem
from fsspec.core import split_protocol

import qev


class QevFileSystem(AbstractFileSystem):
    """The files of one archive; paths as the archive's reader takes them."""

    protocol = "qev"
    root_marker = ""

    def __init__(self, fo: Any = "", target_protocol: Optional[str] = None,
                 target_options: Optional[Dict[str, Any]] = None, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self._source = None
        if isinstance(fo, str):
            protocol, _ = split_protocol(fo)
            if target_protocol in (None, "file") and protocol in (None, "file"):
                self.archive = qev.open(fo.split("://", 1)[-1])
                return
            self._source = fsspec.open(fo, mode="rb", protocol=target_protocol, **(target_options or {})).open()
            fo = self._source
        self.archive = qev.open(fo)

    @classmethod
    def _strip_protocol(cls, path: str) -> str:
        if path.startswith("qev://"):
            path = path[len("qev://"):]
        return path.split("::", 1)[0].strip("/")

    def _entry(self, path: str, kind: str, size: int) -> Dict[str, Any]:
        return {"name": path, "size": size, "type": kind}

    def info(self, path: str, **kwargs: Any) -> Dict[str, Any]:
        path = self._strip_protocol(path)
        st = self.archive.stat(path)
        return self._entry(path, "directory" if st.is_dir() else "file", st.st_size)

    def ls(self, path: str, detail: bool = True, **kwargs: Any) -> Union[List[str], List[Dict[str, Any]]]:
        path = self._strip_protocol(path)
        if not self.archive.stat(path).is_dir():
            entries = [self.info(path)]
        else:
            entries = [self._entry(os.fsdecode(e.path), "directory" if e.is_dir() else "file", e.stat().st_size)
                       for e in self.archive.scandir(path)]
        return entries if detail else [e["name"] for e in entries]

    def _open(self, path: str, mode: str = "rb", block_size: Any = None, autocommit: bool = True,
              cache_options: Any = None, **kwargs: Any) -> Any:
        if mode != "rb":
            raise ValueError("qev archives are read-only")
        return self.archive.open(self._strip_protocol(path))

    def cat_file(self, path: str, start: Optional[int] = None, end: Optional[int] = None, **kwargs: Any) -> bytes:
        path = self._strip_protocol(path)
        if start is None and end is None:
            return self.archive.read_bytes(path)
        with self.archive.open(path) as f:
            size = self.archive.stat(path).st_size
            begin = 0 if start is None else (start if start >= 0 else max(size + start, 0))
            stop = size if end is None else (end if end >= 0 else max(size + end, 0))
            f.seek(begin)
            return f.read(max(stop - begin, 0)) or b""

    def ukey(self, path: str) -> str:
        return str(self.info(path)["name"])
