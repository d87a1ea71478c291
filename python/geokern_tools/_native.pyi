# Type stubs of the native helper (src/tools_native/).
from typing import Any, TypedDict

import numpy as np
import numpy.typing as npt

type _F64 = npt.NDArray[np.float64]

class BuildInfo(TypedDict):
    compiler: str
    simd: str
    vector_path: str  # the build of geokern's batch kernels that runs: "avx512" or "avx2"
    openmp_threads: int

def build_info() -> BuildInfo: ...

# (lon, lat) rows in columns 0 and 1 of `arr`; the result is `out` (its
# columns 0 and 1 overwritten) or a new (N, 2) array.
def wgs84_to_gcj02(arr: _F64 | None, out: _F64 | None = None) -> _F64: ...
def gcj02_to_wgs84(arr: _F64 | None, out: _F64 | None = None) -> _F64: ...
def wgs84_to_bd09(arr: _F64 | None, out: _F64 | None = None) -> _F64: ...
def bd09_to_wgs84(arr: _F64 | None, out: _F64 | None = None) -> _F64: ...
def gcj02_to_bd09(arr: _F64 | None, out: _F64 | None = None) -> _F64: ...
def bd09_to_gcj02(arr: _F64 | None, out: _F64 | None = None) -> _F64: ...

# R @ (row - frame[3]) + frame[4] for each (x, y, z) row, R = frame[:3];
# a new (N, 3) array (see geokern_tools._frames).
def move_points(arr: _F64 | None, frame: _F64) -> _F64: ...

# The OBJ reader of geokern_tools (see geokern_tools._obj): bytes, or a
# file descriptor read to its end.  (line, message) for a fault of the
# text; (bytes,) for UTF-16 text to decode; else (vertices, texcoords,
# texcoord_width, corner_vertices, corner_texcoords, face_sizes, faces,
# statements), the arrays as writable buffers for numpy.frombuffer.
def read_obj_mesh(source: bytes | int) -> tuple[Any, ...]: ...

# Empty functions of geokern's function type, the floor of a scalar call in
# the benchmarks: they match their arguments and return None.
def _noop2(lon: object, lat: object) -> None: ...
def _noop3(x: object, y: object, z: object) -> None: ...
