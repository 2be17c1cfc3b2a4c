"""Shared test set-up: Vulkan validation on, and any validation message fails
the test during which it was printed."""

import os
import sys
import tempfile
from pathlib import Path

import pytest

os.environ.setdefault("QUENDAL_VK_VALIDATION", "1")
_VALIDATION_LOG = Path(
    os.environ.setdefault(
        "QUENDAL_VK_VALIDATION_LOG",
        os.path.join(tempfile.mkdtemp(prefix="quendal-vk-"), "validation.log"),
    )
)

# Test-only helpers (the main-loop host extension, the file-access hook
# libraries, the C++ unit tests) live in the build tree's testing/ folder.
TEST_BUILD = os.environ.get("QUENDAL_TEST_BUILD")
TESTING_DIR = Path(TEST_BUILD, "testing") if TEST_BUILD else None
if TESTING_DIR and TESTING_DIR.is_dir():
    sys.path.insert(0, str(TESTING_DIR))


def _log_size() -> int:
    try:
        return _VALIDATION_LOG.stat().st_size
    except FileNotFoundError:
        return 0


@pytest.fixture(autouse=True)
def no_validation_messages():
    before = _log_size()
    yield
    if _log_size() > before:
        with open(_VALIDATION_LOG, "rb") as f:
            f.seek(before)
            text = f.read().decode("utf-8", "replace")
        pytest.fail("Vulkan validation reported:\n" + text)


@pytest.fixture(scope="session")
def testing_dir() -> Path:
    if not TESTING_DIR or not TESTING_DIR.is_dir():
        pytest.skip("QUENDAL_TEST_BUILD does not point at a build with QUENDAL_TESTS=ON")
    return TESTING_DIR
