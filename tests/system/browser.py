"""Headless Chromium through Selenium for the web interface tests."""

import shutil
import tempfile
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService

CHROMIUM = Path("/usr/bin/chromium")
CHROMEDRIVER = Path("/usr/bin/chromedriver")


def browser_available():
    return CHROMIUM.exists() and CHROMEDRIVER.exists()


class Browser:
    """A fresh headless Chromium with its own profile; a context manager."""

    def __init__(self, extra_flags=()):
        self.profile = tempfile.mkdtemp(prefix="kestrin-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = str(CHROMIUM)
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     f"--user-data-dir={self.profile}", *extra_flags):
            options.add_argument(flag)
        self.driver = webdriver.Chrome(service=DriverService(str(CHROMEDRIVER)), options=options)
        self.driver.set_page_load_timeout(30)

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self.driver

    def __exit__(self, *exc):
        self.close()
