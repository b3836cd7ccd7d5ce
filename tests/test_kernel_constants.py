"""Constants the kernels store instead of computing with the platform's libm
(whose last bits differ between machines) are what they claim to be: each
recomputed here to 60 digits and compared with its correct rounding."""

import os
import re
from decimal import Decimal, getcontext

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TREE = os.path.join(ROOT, "native", "kernels", "sinc_sum_tree.cpp")

pytestmark = pytest.mark.skipif(not os.path.isfile(TREE), reason="needs the source tree")


def stored(name, path):
    text = open(path).read()
    body = re.search(name + r"\[\d+\] = \{(.*?)\};", text, re.S).group(1)
    return [float.fromhex(x) if "0x" in x else float(x) for x in re.findall(r"[-0-9a-fx.p+]+", body)]


def pi():
    """Machin's formula, to the current precision."""
    def arctan(inverse):
        x = Decimal(1) / inverse
        term, total, n = x, x, 1
        while abs(term) > Decimal(10) ** -(getcontext().prec + 2):
            term *= -x * x
            n += 2
            total += term / n
        return total
    return 4 * (4 * arctan(5) - arctan(239))


def cos(x):
    term, total, n = Decimal(1), Decimal(1), 0
    while abs(term) > Decimal(10) ** -(getcontext().prec + 2):
        n += 2
        term *= -x * x / (n * (n - 1))
        total += term
    return total


def test_cosines_of_multiples_of_pi_over_32():
    getcontext().prec = 60
    values = stored("kCosPi32", TREE)
    assert len(values) == 17
    p = pi()
    for k, value in enumerate(values):
        exact = cos(p * k / 32)
        # float() of a Decimal is correctly rounded; cos(pi/2) is exactly 0.
        assert value == (0.0 if k == 16 else float(exact)), k
