import os

import pytest

from kestrin import BINARY, STARTED, make_home

# In CI every test must run: a test that would be skipped (a missing service, a
# missing package) fails instead, with the reason it gave.
SKIPS_FAIL = os.environ.get("CI", "").lower() == "true"


def pytest_configure(config):
    if not BINARY.exists():
        raise pytest.UsageError(f"build the service first: {BINARY} is missing")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if SKIPS_FAIL and report.skipped and not hasattr(report, "wasxfail"):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else report.longrepr
        report.outcome = "failed"
        report.longrepr = f"skipped under CI=true, which runs every test: {reason}"


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
