"""A refused call: the exact ValueError text, and the state's contents left as they were."""

import numpy as np
import pytest


def assert_refused_unchanged(call, message, state, expected):
    """call() must raise ValueError with exactly `message`; state.to_numpy() must then equal
    `expected` element for element."""
    with pytest.raises(ValueError) as caught:
        call()
    assert str(caught.value) == message
    np.testing.assert_array_equal(state.to_numpy(), expected)
