"""The cache export in real browsers: headless Firefox ESR over Marionette and
Chromium over chromedriver, against the suite's Jupyter server.

A page of the server's own origin (tests/pages/export.html, served as a static
file) holds the kernel's websocket and starts each export from a link, as a
front end does. The browser logs in once with the token; everything after goes
by the server's cookie."""
import asyncio
import json
import os
import tarfile
import urllib.parse
import warnings
from pathlib import Path

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service as ChromeService
from selenium.webdriver.common.by import By
from traitlets.config import Config

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)  # mozrunner still imports telnetlib
    from marionette_driver.by import By as MarionetteBy
    from marionette_driver.marionette import Marionette

from conftest import component, make_tree, states, wait_until_async

PAGES = Path(__file__).parent / "pages"
FIREFOX, CHROMIUM, CHROMEDRIVER = "/usr/bin/firefox-esr", "/usr/bin/chromium", "/usr/bin/chromedriver"


def require(*programs):
    """Skip where the browsers cannot be installed; anywhere else their absence is a failure."""
    missing = [p for p in programs if not os.access(p, os.X_OK)]
    if not missing:
        return
    if os.geteuid() != 0:
        pytest.skip(f"{', '.join(missing)} not installed, and installing Debian's packages needs root")
    pytest.fail(f"{', '.join(missing)} not installed: scripts/test installs them with apt-get")


class Firefox:
    """Firefox ESR over Marionette, saving downloads into `downloads`."""

    def __init__(self, downloads: Path, workspace: Path):
        prefs = {
            "browser.download.folderList": 2,  # the folder in browser.download.dir
            "browser.download.dir": str(downloads),
            "browser.download.useDownloadDir": True,
            "browser.download.always_ask_before_handling_new_types": False,
            "browser.download.start_downloads_in_tmp_dir": False,
            "browser.helperApps.neverAsk.saveToDisk": "application/octet-stream",
        }
        # gecko_log: the browser's own output; Marionette's default is a file in the working directory.
        self.client = Marionette(bin=FIREFOX, app="fxdesktop", port=0, headless=True, prefs=prefs,
                                 workspace=str(workspace), gecko_log=str(workspace / "gecko.log"))
        self.client.start_session()

    def open(self, url):
        self.client.navigate(url)

    def url(self):
        return self.client.get_url()

    def run(self, script, *args):
        # sandbox=None: in the page's own scope, where its globals are.
        return self.client.execute_script(script, script_args=args, sandbox=None)

    def type_into(self, element_id, text):
        self.client.find_element(MarionetteBy.ID, element_id).send_keys(text)

    def click(self, element_id):
        self.client.find_element(MarionetteBy.ID, element_id).click()

    def quit(self):
        self.client.cleanup()


class Chromium:
    """Debian's Chromium over its chromedriver, saving downloads into `downloads`."""

    def __init__(self, downloads: Path, workspace: Path):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", f"--user-data-dir={workspace}"):
            options.add_argument(argument)
        options.add_experimental_option("prefs", {
            "download.default_directory": str(downloads),
            "download.prompt_for_download": False,
        })
        self.driver = webdriver.Chrome(service=ChromeService(CHROMEDRIVER), options=options)

    def open(self, url):
        self.driver.get(url)

    def url(self):
        return self.driver.current_url

    def run(self, script, *args):
        return self.driver.execute_script(script, *args)

    def type_into(self, element_id, text):
        self.driver.find_element(By.ID, element_id).send_keys(text)

    def click(self, element_id):
        self.driver.find_element(By.ID, element_id).click()

    def quit(self):
        self.driver.quit()


def start_browser(kind, tmp_path_factory):
    downloads = tmp_path_factory.mktemp(f"{kind.__name__.lower()}-downloads")
    browser = kind(downloads, tmp_path_factory.mktemp(f"{kind.__name__.lower()}-profile"))
    browser.downloads = downloads
    return browser


@pytest.fixture(scope="session")
def firefox(tmp_path_factory):
    require(FIREFOX)
    browser = start_browser(Firefox, tmp_path_factory)
    yield browser
    browser.quit()


@pytest.fixture(scope="session")
def chromium(tmp_path_factory):
    require(CHROMIUM, CHROMEDRIVER)
    browser = start_browser(Chromium, tmp_path_factory)
    yield browser
    browser.quit()


@pytest.fixture(params=["firefox", "chromium"])
def browser(request):
    """Each browser of the session, its download folder emptied for the test."""
    browser = request.getfixturevalue(request.param)
    for entry in browser.downloads.iterdir():
        entry.unlink()
    return browser


@pytest.fixture
def jp_server_config(jp_server_config):
    """The suite's server, serving the test page among its static files."""
    config = Config(jp_server_config)
    config.ServerApp.extra_static_paths = [str(PAGES)]
    return config


async def in_browser(call, *args):
    """Runs a blocking driver call off the loop, which serves the browser meanwhile."""
    return await asyncio.get_running_loop().run_in_executor(None, call, *args)


def partial(name):
    """A file of a download under way: Firefox writes "<stem>.<random>.<ext>.part"
    beside an empty file under the final name; Chromium writes a hidden
    ".org.chromium.Chromium.<random>", then "<name>.crdownload"."""
    return name.startswith(".") or name.endswith((".part", ".crdownload"))


async def saved_file(folder: Path):
    """The one finished download in `folder`."""

    async def finished():
        entries = list(folder.iterdir())
        if len(entries) == 1 and not partial(entries[0].name) and entries[0].stat().st_size > 0:
            return entries[0]
        return None

    return await wait_until_async(finished, f"a finished download in {folder}")


async def export_broadcast(browser, first):
    """The (status, progress) pairs the page received from message `first` on,
    once the export has ended."""

    async def ended():
        page = await in_browser(browser.run, "const page = window.vexloPage;"
                                "return {progress: page.progress, closeCode: page.closeCode}")
        texts = page["progress"][first:]
        if texts and states(texts[-1:])[0][0] in ("successful", "failed"):
            assert {json.loads(text)["procedure"] for text in texts} == {"export:cache"}
            return states(texts)
        assert page["closeCode"] is None, f"the page's websocket closed with code {page['closeCode']}"
        return None

    return await wait_until_async(ended, "the export's last broadcast")


NOTEBOOKS = [
    ("notebooks/Sales Report.ipynb", "Sales Report-diskcache.tar.gz"),
    ("Über Daten.ipynb", "Über Daten-diskcache.tar.gz"),
    ("a;b c.ipynb", "a;b c-diskcache.tar.gz"),
    ("分析/売上データ.ipynb", "売上データ-diskcache.tar.gz"),
]


async def test_export_from_a_page_of_the_server(browser, jp_serverapp, jp_http_port, jp_base_url,
                                                register_pipeline, scratch, tmp_path):
    base = f"http://127.0.0.1:{jp_http_port}{jp_base_url}"
    page = base + "static/export.html"
    table = b"x,y\n" * 20000
    await register_pipeline("k1", [
        component("a", make_tree(tmp_path / "a", {"table.csv": table, "sub/blob.bin": bytes(range(256))})),
        component("b", make_tree(tmp_path / "b", {"m.json": b'{"k": 1}'})),
    ])

    # Log in once with the token; the login page sends the browser on to the page.
    await in_browser(browser.open, base + "login?next=" + urllib.parse.quote(jp_base_url + "static/export.html"))
    await in_browser(browser.type_into, "password_input", jp_serverapp.identity_provider.token)
    await in_browser(browser.click, "login_submit")

    async def on_page():
        return await in_browser(browser.url) == page and await in_browser(browser.run, "return !!window.vexloPage")

    await wait_until_async(on_page, f"the page {page} after logging in")
    assert await in_browser(browser.run, "return window.vexloPage.connect('k1')") is True

    saved, broadcasts = [], {}
    for notebook, offered in NOTEBOOKS:
        first = len(await in_browser(browser.run, "return window.vexloPage.progress"))
        await in_browser(browser.run, "window.vexloPage.pointExport('k1', arguments[0])", notebook)
        await in_browser(browser.click, "export")
        broadcasts[offered] = await export_broadcast(browser, first)
        archive = await saved_file(browser.downloads)
        with tarfile.open(archive, "r:gz") as members:
            saved.append((archive.name, members.getnames()))
            assert members.extractfile("component-a/table.csv").read() == table, archive.name
        archive.unlink()

    assert [name for name, _ in saved] == [offered for _, offered in NOTEBOOKS]
    for name, members in saved:
        assert members == ["pipeline.json", "component-a", "component-a/sub", "component-a/sub/blob.bin",
                           "component-a/table.csv", "component-b", "component-b/m.json"], name
    for offered, seen in broadcasts.items():
        assert seen[:2] == [("invalid", 0), ("running", 0)] and seen[-1] == ("successful", 100), offered
        running = [progress for _, progress in seen[1:-1]]
        assert {status for status, _ in seen[1:-1]} == {"running"} and running == sorted(running), offered
    # The downloads began no navigation: the page and its websocket are still there.
    assert await in_browser(browser.run, "return window.vexloPage.socketOpen()") is True

    refused = await in_browser(browser.run, "return window.vexloPage.fetchExport('k9', 'n.ipynb')")
    assert refused == {"status": 500, "type": "application/json",
                       "body": '{"message": "kernel_id: \'k9\' not valid."}'}
