"""Density operation objects as the scripting layer hands them to dravik: plain objects
with attributes, no base class."""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np


def unitary(name, target, control=(), control_state=(), parameter=None, matrix=None):
    """A named operation, or an explicit matrix when `matrix` is given (the name is then unused)."""
    op = SimpleNamespace(
        id=name,
        target=list(target),
        control=list(control),
        control_state=list(control_state),
        parameter=None if parameter is None else list(parameter),
        has_stored_matrix=matrix is not None,
    )
    if matrix is not None:
        op.stored_matrix = np.asarray(matrix)
    return op


def kraus(target, matrices, channel_name=None):
    op = SimpleNamespace(operation_kind="kraus", target=list(target), kraus_matrices=np.asarray(matrices))
    if channel_name is not None:
        op.channel_name = channel_name
    return op
