"""Builds qev._qev, the compiled binding to libqev, with cffi in API mode.

Run by CMake (``python3 _build.py OUTPUT_DIR``, with QEV_INCLUDE_DIRS and QEV_LIBRARY_DIRS
naming the build tree) and by setuptools (``cffi_modules``), where pkg-config finds an
installed libqev.
"""

import os
import shlex
import subprocess
import sys
from typing import List

import cffi

HERE = os.path.dirname(os.path.abspath(__file__))


def _text(name: str) -> str:
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        return f.read()


def _folders(variable: str, option: str) -> List[str]:
    given = os.environ.get(variable)
    if given:
        return [p for p in given.split(os.pathsep) if p]
    try:
        out = subprocess.run(["pkg-config", option, "qev"], check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return []
    prefix = "-I" if option == "--cflags-only-I" else "-L"
    return [word[2:] for word in shlex.split(out) if word.startswith(prefix)]


ffibuilder = cffi.FFI()
ffibuilder.cdef(_text("_qev_cdef.h"))
# Built in a tree, the module finds that tree's libqev through QEV_RPATH; installed, the
# system's.
ffibuilder.set_source(
    "qev._qev",
    _text("_qev_helpers.c"),
    libraries=["qev"],
    include_dirs=_folders("QEV_INCLUDE_DIRS", "--cflags-only-I"),
    library_dirs=_folders("QEV_LIBRARY_DIRS", "--libs-only-L"),
    extra_link_args=["-Wl,-rpath," + os.environ["QEV_RPATH"]] if os.environ.get("QEV_RPATH") else [],
)

if __name__ == "__main__":
    output = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
    os.makedirs(output, exist_ok=True)
    ffibuilder.compile(tmpdir=output, verbose=False)
