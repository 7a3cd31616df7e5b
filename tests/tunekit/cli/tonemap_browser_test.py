"""The live page in headless Chromium: a slider changes the picture, a bad value shows the library's
reason, reset recovers, and a saved preset maps the capture as `tunekit tonemap --params` does."""
import os
import shutil
import statistics
import tempfile

import httpx
import numpy as np
import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

from tonemap_helpers import scene, served
from tonewright.python import load_preset
from tuning.cli.main import main

CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
WAIT_SECONDS = 30
SCREENSHOT_ENV = "TONEMAP_SCREENSHOT"  # where to keep a screenshot of the page (the README's)


@pytest.fixture
def browser():
    if not (os.path.exists(CHROMIUM) and os.path.exists(DRIVER)):
        pytest.fail(f"the browser test needs {CHROMIUM} and {DRIVER} (scripts/install-deps)")
    profile = tempfile.mkdtemp(prefix="tonemap-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile}", "--window-size=1500,1000"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(WAIT_SECONDS)
    driver.set_script_timeout(WAIT_SECONDS)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def settled(driver, renders_before):
    """Waits until a render newer than renders_before is shown and nothing more is on its way."""
    def done(d):
        body = d.find_element(By.TAG_NAME, "body")
        renders = int(body.get_attribute("data-renders") or 0)
        shown_error = "error" in d.find_element(By.ID, "status").get_attribute("class")
        return (renders > renders_before or shown_error) and body.get_attribute("data-idle") == "1"
    WebDriverWait(driver, WAIT_SECONDS).until(done)
    return int(driver.find_element(By.TAG_NAME, "body").get_attribute("data-renders") or 0)


def test_the_page_tunes_and_saves_a_preset_the_command_agrees_with(tmp_path, browser):
    cap = scene(1920, 1080)
    np.save(tmp_path / "cap.npy", cap)
    with served(tmp_path / "cap.npy", tmp_path / "page") as (address, _, _lines):
        browser.get(address)
        renders = settled(browser, 0)
        status = browser.find_element(By.ID, "status")
        after = browser.find_element(By.ID, "after")
        first = after.get_attribute("src")
        assert "ok" in status.get_attribute("class")

        slider = browser.find_element(By.ID, "s-tm_strength")
        slider.send_keys(Keys.ARROW_LEFT * 4)  # a quick drag: 16 -> 12
        renders = settled(browser, renders)
        assert after.get_attribute("src") != first
        assert status.get_attribute("class") == "ok", status.text
        assert browser.find_element(By.ID, "n-tm_strength").get_attribute("value") == "12"

        # One step at a time, from the key press to the decoded new picture.
        times = []
        for _ in range(3):
            slider.send_keys(Keys.ARROW_LEFT)
            renders = settled(browser, renders)
            times.append(float(browser.find_element(By.ID, "roundtrip").get_attribute("data-ms")))
        print(f"\nslider to new picture, 1920 x 1080 preview: median {statistics.median(times):.0f} ms "
              f"(each: {', '.join(f'{t:.0f}' for t in times)} ms; goal under 150 ms)")

        # A value the library refuses: its reason shows, and reset brings the picture back.
        bins = browser.find_element(By.ID, "n-bins")
        bins.send_keys(Keys.CONTROL, "a")
        bins.send_keys("20", Keys.TAB)
        WebDriverWait(browser, WAIT_SECONDS).until(lambda d: "error" in status.get_attribute("class"))
        assert status.text == ("the library refused these parameters: bins: expected more than the full-scale "
                               "log bin 60, found 20")
        browser.find_element(By.ID, "reset").click()
        renders = settled(browser, renders)
        assert status.get_attribute("class") == "ok", status.text
        slider.send_keys(Keys.ARROW_LEFT * 5)
        renders = settled(browser, renders)

        browser.find_element(By.ID, "save").click()
        saved = browser.find_element(By.ID, "saved")
        WebDriverWait(browser, WAIT_SECONDS).until(lambda d: saved.get_attribute("data-path"))
        if os.environ.get(SCREENSHOT_ENV):
            browser.save_screenshot(os.environ[SCREENSHOT_ENV])
        shown = np.frombuffer(httpx.get(address + "api/output.raw", timeout=20).content, "<u2")
    preset_path = saved.get_attribute("data-path")
    assert load_preset(preset_path).tm_strength == 11
    assert main(["tonemap", str(tmp_path / "cap.npy"), "--params", preset_path, "-o", str(tmp_path / "command")]) == 0
    assert np.array_equal(np.fromfile(tmp_path / "command" / "tonemapped.raw", "<u2"), shown)
