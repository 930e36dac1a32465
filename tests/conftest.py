import numpy as np
import pytest


@pytest.fixture(scope="session")
def native():
    from velmor.engine import _native

    return _native


def panic_of(excinfo):
    """The message of a PanicException caught by pytest.raises(BaseException)."""
    assert type(excinfo.value).__name__ == "PanicException"
    assert not isinstance(excinfo.value, Exception)
    return str(excinfo.value)

