"""Fuzzing the argument layer: every function called with hostile and
ordinary values (objects whose conversions raise, arrays of every dtype,
stride and writability).  No call may crash, report a SystemError, or change
its inputs; whatever it raises is an ordinary exception."""

import inspect

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import geokern

NAMES = [name for name in dir(geokern)
         if not name.startswith("_") and callable(getattr(geokern, name)) and
         type(getattr(geokern, name)).__name__ == type(geokern.geodetic2ecef_cpp).__name__]


class Hostile(Exception):
    pass


class Raises:
    """A number whose conversions raise."""

    def __float__(self):
        raise Hostile("__float__")

    def __index__(self):
        raise Hostile("__index__")

    def __int__(self):
        raise Hostile("__int__")

    def __bool__(self):
        raise Hostile("__bool__")


class Odd:
    """Conversions that return the wrong types."""

    def __float__(self):
        return "1.0"

    def __index__(self):
        return 2.5

    def __bool__(self):
        return 3


class FloatSub(float):
    def __float__(self):
        raise Hostile("subclass __float__")


DTYPES = [np.float64, np.float32, np.uint32, np.int32, np.int64, np.bool_, np.complex128,
          np.dtype(">f8"), np.dtype(">u4"), np.float16, object]
SCALARS = [0.0, -0.0, 1.5, -200.0, 1e308, np.nan, np.inf, 3, -1, 2**31, 2**63, 2**200, True, None,
           "1.0", b"1", "/nonexistent/geokern.obj", "", Raises(), Odd(), FloatSub(2.0),
           np.float64(2.0), np.float32(1.5), np.int64(7), [1.0, 2.0, 3.0], (1, 2)]


@st.composite
def arrays(draw):
    rows = draw(st.integers(0, 20))
    cols = draw(st.sampled_from([None, 1, 2, 3, 4, 6]))
    dtype = draw(st.sampled_from(DTYPES))
    shape = (rows,) if cols is None else (rows, cols)
    base = np.arange(np.prod(shape) * 2, dtype=np.float64) % 7
    if draw(st.booleans()):
        base[::5] = draw(st.sampled_from([np.nan, -np.inf, 1e300, -5.0, 2**33]))
    a = base.astype(dtype).reshape((2 * rows,) + shape[1:])
    a = draw(st.sampled_from([a[::2], a[rows:], a[::-2], a[:rows]]))
    if cols is not None and draw(st.booleans()):
        a = np.asfortranarray(a)
    if draw(st.booleans()):
        a = a.view()
        a.setflags(write=False)
    if rows and draw(st.integers(0, 7)) == 0:
        a = np.broadcast_to(a[:1], a.shape)           # zero stride
    if draw(st.integers(0, 11)) == 0:
        a = a[..., None]                              # one dimension too many
    return a


values = st.one_of(st.sampled_from(SCALARS), arrays(), st.floats(allow_nan=True),
                   st.integers(-2**70, 2**70))


def snapshot(args):
    return [a.copy() if isinstance(a, np.ndarray) else None for a in args]


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("name", NAMES)
@given(data=st.data())
def test_fuzz_hostile_arguments(name, data):
    function = getattr(geokern, name)
    params = list(inspect.signature(function).parameters)
    count = data.draw(st.sampled_from([len(params)] * 6 + list(range(len(params) + 2))))
    args = [data.draw(values) for _ in range(count)]
    keywords = {}
    if args and data.draw(st.integers(0, 4)) == 0:
        keywords[data.draw(st.sampled_from(params + ["bogus"]))] = args.pop()
    before = snapshot(args)
    try:
        function(*args, **keywords)
    except SystemError:
        raise
    except Exception:
        pass
    for old, new in zip(before, args):
        if old is None:
            continue
        assert new.shape == old.shape and new.dtype == old.dtype
        if old.dtype == object:
            assert list(map(id, new.ravel())) == list(map(id, old.ravel()))
        else:
            assert new.tobytes() == old.tobytes()
