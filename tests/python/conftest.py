import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from stub_service import StubService  # noqa: E402

NORVEX_BINARY = os.environ.get("NORVEX_BINARY", "")


@pytest.fixture
def stub():
    s = StubService()
    yield s
    s.close()


@pytest.fixture(scope="session")
def demo_path(tmp_path_factory):
    """A small demonstration dataset written by `norvex demo-data`."""
    if not NORVEX_BINARY:
        pytest.skip("NORVEX_BINARY is not set (run through ctest)")
    path = tmp_path_factory.mktemp("demo") / "demo.h5ad"
    subprocess.run([NORVEX_BINARY, "demo-data", "--cells", "600", "--genes", "1400",
                    str(path)], check=True, capture_output=True)
    return str(path)
