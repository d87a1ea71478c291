import sys; sys.path.insert(0, "bench")
import numpy as np, geokern
from timing import best_time
N=2_000_000
rng=np.random.default_rng(0)
geo=np.column_stack([rng.uniform(-180,180,N), rng.uniform(-85,85,N), rng.uniform(-1e3,1e4,N)])
xyz=geokern.geodetic2ecef_fast_array(geo); eye=np.eye(3)
print("dot", best_time(lambda: np.dot(xyz, eye)))
print("full z", best_time(lambda: geokern.ecef2geodetic_nparray_cy(xyz, eye, True)))
print("full noz", best_time(lambda: geokern.ecef2geodetic_nparray_cy(xyz, eye, False)))
print("g2e", best_time(lambda: geokern.geodetic2ecef_fast_array(geo)))
