"""Warnings that point at the user's line, however deep inside the package they are raised."""

from __future__ import annotations

import os
import sys
import warnings

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def warn_at_caller(message: str, category: type[Warning]) -> None:
    """Issue a warning attributed to the nearest caller outside this package.

    A fixed ``stacklevel`` is right for one call path only: ``Graph.from_scipy`` is called by the
    user directly, or through ``Node2Vec.fit`` and two frames of the package. Counting the
    package's own frames instead makes the warning name the line that the user wrote (and lets
    warning filters keyed on the user's module work) on every path.
    """
    frame, level = sys._getframe(0), 1
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    warnings.warn(message, category, stacklevel=level)
