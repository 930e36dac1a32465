"""Node2VecParams: a plain, immutable record of training hyper-parameters."""

import math

import pytest

from test_binding import GOOD, PARAM_NAMES


def test_reads_back_every_field(native):
    p = native.Node2VecParams(**GOOD)
    assert [getattr(p, k) for k in PARAM_NAMES] == [1.0, 1.0, 0.025, 0.0001, 5, 256, 80, 5, None]
    assert type(p.p) is float and type(p.window) is int


def test_values_are_stored_unchecked_and_exact(native):
    p = native.Node2VecParams(**{**GOOD, "p": 0.0, "q": float("nan"), "batch_size": 0, "max_walk_length": 0,
                                 "num_negative": 0, "workers": 0, "start_alpha": 0.1, "end_alpha": 0.2})
    assert p.p == 0.0 and math.isnan(p.q)
    assert (p.batch_size, p.max_walk_length, p.num_negative, p.workers) == (0, 0, 0, 0)
    assert p.start_alpha == 0.1 and p.end_alpha == 0.2


def test_is_immutable(native):
    p = native.Node2VecParams(**GOOD)
    with pytest.raises(AttributeError):
        p.p = 2.0
    with pytest.raises(AttributeError):
        p.colour = "red"
    assert p.p == 1.0
    assert not hasattr(p, "__dict__")


def test_attribute_docs_are_empty_and_identity_semantics(native):
    assert all(getattr(native.Node2VecParams, k).__doc__ in ("", None) for k in PARAM_NAMES)
    a, b = native.Node2VecParams(**GOOD), native.Node2VecParams(**GOOD)
    assert a != b and a == a
