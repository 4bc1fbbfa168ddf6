# The module under test comes from the build tree (PYTHONPATH, set by scripts/test.sh) or, when
# PYTHONPATH does not name it, from build/release/python of this checkout.
import os
import sys

import pytest

try:
    import kxlasereye  # noqa: F401
except ImportError:
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, os.path.join(here, "..", "..", "build", "release", "python"))
    import kxlasereye  # noqa: F401

import kxlasereye as kx

SOURCE_DIR = os.environ.get("KX_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))


@pytest.fixture
def info():
    cameras = kx.list_devices(kx.SEARCH_LOCAL)
    assert cameras, "the embedded virtual camera is always present"
    return cameras[0]


@pytest.fixture
def device(info):
    with kx.Device(info) as d:
        yield d
