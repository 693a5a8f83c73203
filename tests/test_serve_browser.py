"""The serve command's pages in headless Chromium, driven by Selenium: a search typed in, its results
without a reload and in the URL, an image page, a palette colour clicked into a new search, and a similar
image followed. Each page's screenshot is saved in the test's folder, printed."""

import os
import shutil

import pytest

pytest.importorskip("flask", reason="the serve extra (pip install 'lumvarde_quorle[serve]') is not installed")
webdriver = pytest.importorskip("selenium.webdriver", reason="Selenium is not installed (pip install selenium)")

from serving import HOSTILE, Running, make_catalogue  # noqa: E402

from lumvarde_quorle.web import create_app  # noqa: E402

BROWSER = next(filter(None, map(shutil.which, ("chromium", "chromium-browser"))), None)
DRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    BROWSER is None or DRIVER is None,
    reason="no Chromium or chromedriver on PATH (Debian packages 'chromium' and 'chromium-driver'; .ci/run "
    "installs them)",
)


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    folder = tmp_path_factory.mktemp("browsed")
    db, ids = make_catalogue(str(folder))
    running = Running(create_app(db, cache=str(folder / "cache")))
    yield running.url, ids
    running.close()


@pytest.fixture(scope="module")
def browser():
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = BROWSER
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,1000"):
        options.add_argument(argument)
    # Under the sanitizer build the preloaded runtime is for this process, not for the driver and browser.
    preload = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    env = {key: value for key, value in os.environ.items() if key not in preload}
    driver = webdriver.Chrome(options=options, service=Service(executable_path=DRIVER, env=env))
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def test_search_open_an_image_click_its_colour_and_follow_a_similar_image(site, browser, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as shows
    from selenium.webdriver.support.ui import WebDriverWait

    url, ids = site
    wait = WebDriverWait(browser, 60)
    shots = []

    def shot(name):
        shots.append(tmp_path / f"{len(shots) + 1}-{name}.png")
        browser.save_screenshot(str(shots[-1]))

    def thumbnails_loaded():
        return browser.execute_script(
            "return [...document.querySelectorAll('.card img')].every(i => i.complete && i.naturalWidth > 0)")

    browser.get(url + "/")
    browser.execute_script("window.notReloaded = true")
    field = browser.find_element(By.CSS_SELECTOR, "#colours input[type=text]")
    field.send_keys("lightsteelblue")
    browser.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    wait.until(shows.text_to_be_present_in_element((By.ID, "count"), "2 images"))
    wait.until(lambda _: thumbnails_loaded())
    assert browser.execute_script("return window.notReloaded") is True  # updated in place
    assert "color=lightsteelblue" in browser.current_url
    paths = [element.text for element in browser.find_elements(By.CSS_SELECTOR, ".card .path")]
    assert paths[0].endswith("/china.png") and paths[1].endswith("/" + HOSTILE)  # the name shown as text
    shot("search")

    browser.find_element(By.CSS_SELECTOR, ".card a.picture").click()
    wait.until(shows.url_contains(f"/image/{ids['china.png']}"))
    wait.until(lambda _: browser.execute_script("const i = document.getElementById('view'); "
                                                "return i.complete && i.naturalWidth > 0"))
    wait.until(lambda _: thumbnails_loaded())
    assert len(browser.find_elements(By.CSS_SELECTOR, "svg.distribution circle")) > 20
    shot("image")

    swatch = browser.find_elements(By.CSS_SELECTOR, "table.palette a.swatch")[0]
    colour = swatch.get_attribute("data-hex")
    swatch.click()
    wait.until(shows.url_contains("color=%23" + colour[1:]))
    wait.until(lambda _: browser.find_elements(By.CSS_SELECTOR, ".card"))
    assert browser.find_element(By.CSS_SELECTOR, "#colours input[type=text]").get_attribute("value") == colour
    shot("palette-colour-search")

    browser.back()
    wait.until(shows.url_contains(f"/image/{ids['china.png']}"))
    similar = browser.find_elements(By.CSS_SELECTOR, ".card .path a")
    assert similar, "no similar images listed"
    target = similar[0].get_attribute("href")
    similar[0].click()
    wait.until(shows.url_to_be(target))
    wait.until(lambda _: browser.find_elements(By.CSS_SELECTOR, "h1.path"))
    shot("similar-image")
    print("screenshots:", *shots, sep="\n  ")
