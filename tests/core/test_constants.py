"""The module-level ellipsoid constants follow from their defining parameters.

tests/shared.py holds the same decimals as src/core/constants.hpp; the ECEF
tests compare the native paths bit for bit with references built on them.
"""

import math
from decimal import Decimal, localcontext
from fractions import Fraction

import pytest

from shared import A, A2, B, B2_OVER_A2, E, KRASOVSKY_A, KRASOVSKY_E2

F = 1 / Fraction("298.257223563")


def test_wgs84_semi_minor_axis_is_b_to_eight_decimals():
    b = float(A * (1 - F))  # the nearest double, the core set's value
    assert B == round(b, 8) and B - b == math.ulp(B)


def test_wgs84_derived_values():
    assert A2 == A * A
    assert B2_OVER_A2 == float((Fraction(B) / Fraction(A)) ** 2)
    assert B2_OVER_A2 - float((1 - F) ** 2) == 2 * math.ulp(B2_OVER_A2)
    assert E == math.sqrt(A * A - B * B)
    with localcontext() as ctx:
        ctx.prec = 40
        exact = (Decimal(A) ** 2 - Decimal(B) ** 2).sqrt()
    assert float(Decimal(E) - exact) == pytest.approx(1.4e-9, rel=0.05)


def test_krasovsky_eccentricity():
    f = 1 / Fraction("298.3")
    assert KRASOVSKY_A == 6378245.0 and KRASOVSKY_E2 == float(2 * f - f * f)
