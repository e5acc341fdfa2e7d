# The compiled binding (built by _build.py with cffi): its objects are cffi's, untyped.
from typing import Any

ffi: Any
lib: Any
