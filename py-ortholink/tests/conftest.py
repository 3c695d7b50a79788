import numpy as np
import pytest

import ortholink


@pytest.fixture
def robot() -> ortholink.Crx:
    return ortholink.Crx.crx10ia()


ZERO_POSE_FLANGE = np.array(
    [
        [0.0, -8.659560562354934e-17, 1.0000000000000002, 700.0],
        [8.659560562354934e-17, -1.0000000000000002, -8.659560562354934e-17, -150.0],
        [1.0000000000000002, 8.659560562354934e-17, 0.0, 540.0],
        [0.0, 0.0, 0.0, 1.0],
    ]
)
