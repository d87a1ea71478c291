"""The empty functions the benchmarks take as the floor of a scalar call:
geokern's function type and argument matching, nothing else."""
import traceback

import pytest

import geokern
from geokern_tools import _native


def type_error(f, *args):
    with pytest.raises(TypeError) as caught:
        f(*args)
    return caught.value


@pytest.mark.parametrize("noop, twin", [(_native._noop2, geokern.out_of_china_cpp),
                                        (_native._noop3, geokern.geodetic2ecef_cpp)])
def test_noop_matches_arguments_as_geokern_does(noop, twin):
    assert type(noop).__name__ == type(twin).__name__ == "function"
    assert type(noop) is not type(len)
    names = list(noop.__signature__.parameters)
    assert len(names) == len(twin.__signature__.parameters)
    assert noop(*names) is None
    assert noop(*names[:-1], **{names[-1]: "never read"}) is None
    for args in (names[:-1], names + ["extra"]):
        ours, theirs = type_error(noop, *args), type_error(twin, *args)
        assert str(ours).replace(noop.__name__, "f") == str(theirs).replace(twin.__name__, "f")
        assert traceback.extract_tb(ours.__traceback__)[-1].name == \
            f"geokern_tools._native.{noop.__name__}"
