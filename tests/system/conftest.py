import pytest

from kestrin import BINARY, STARTED, make_home


def pytest_configure(config):
    if not BINARY.exists():
        raise pytest.UsageError(f"build the service first: {BINARY} is missing")


def ended_with_sanitizer_errors():
    """Takes the services that have ended off the started list; returns their reports."""
    reports = []
    for service in list(STARTED):
        if service.proc.poll() is None:
            continue
        STARTED.remove(service)
        report = service.sanitizer_report()
        if report:
            reports.append(report)
    return reports


@pytest.fixture(autouse=True)
def no_sanitizer_errors():
    """Fails the test when a service that ended during it reported a sanitizer error.
    A service shared by several tests is checked after the test during which it ended."""
    yield
    reports = ended_with_sanitizer_errors()
    if reports:
        pytest.fail("the service reported a sanitizer error:\n" + "\n\n".join(reports),
                    pytrace=False)


def pytest_sessionfinish(session):
    for service in STARTED:
        service.stop()
    reports = ended_with_sanitizer_errors()
    if reports:
        print("\nthe service reported a sanitizer error:\n" + "\n\n".join(reports))
        session.exitstatus = 1


@pytest.fixture
def home(tmp_path):
    """A fresh home folder with the database client library."""
    return make_home(tmp_path / "home")
