import pytest

from kestrin import BINARY, make_home


def pytest_configure(config):
    if not BINARY.exists():
        raise pytest.UsageError(f"build the service first: {BINARY} is missing")


@pytest.fixture
def home(tmp_path):
    """A fresh home folder with the database client library."""
    return make_home(tmp_path / "home")
