# pip install ./python: the module built against an installed libqev (found by pkg-config).
# Its version is the library's, read from the installed header.
import re
import shlex
import subprocess
from pathlib import Path

from setuptools import setup


def library_version():
    flags = subprocess.run(["pkg-config", "--cflags-only-I", "qev"], capture_output=True, text=True).stdout
    for folder in [w[2:] for w in shlex.split(flags) if w.startswith("-I")] + ["/usr/local/include", "/usr/include"]:
        header = Path(folder) / "qev" / "qev_version.h"
        if header.exists():
            return re.search(r'QEV_VERSION_STRING "([^"]+)"', header.read_text()).group(1)
    return "0"


setup(
    name="qev",
    version=library_version(),
    description="Reading QEV archives through libqev",
    packages=["qev"],
    package_data={"qev": ["py.typed", "_qev.pyi", "_qev_cdef.h", "_qev_helpers.c"]},
    setup_requires=["cffi>=1.15"],
    install_requires=["cffi>=1.15"],
    extras_require={"fsspec": ["fsspec"]},
    cffi_modules=["qev/_build.py:ffibuilder"],
    entry_points={"fsspec.specs": ["qev = qev.filesystem:QevFileSystem"]},
    python_requires=">=3.9",
)
