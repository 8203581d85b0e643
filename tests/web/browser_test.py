#!/usr/bin/env python3
"""The web view's page in a real browser: headless Chromium, driven by Selenium, against the built
core running LogPI, MediaSource (two paced file cameras), SegmentRecorder and WebView on a free port
of 127.0.0.1, under parentsim. Screenshots go to the artefacts folder, named in the output.

    browser_test.py --build BUILD --artefacts FOLDER [unittest options]
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.chrome.service import Service

# Two cameras of different sizes, each a clip looped at its own pace.
CAMERAS = {"camera1": (640, 360), "camera2": (320, 240)}
PATIENCE = 30  # seconds, for anything the core or the browser must get to
ARGS = None  # the command line's --build and --artefacts


def wait_for(what, condition, timeout=PATIENCE, every=0.2):
    """condition()'s first true value within timeout; fails naming what it waited for."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"waited {timeout} s for {what}")
        time.sleep(every)


def make_clip(path, size):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    f"testsrc2=size={size[0]}x{size[1]}:rate=25", "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=48000", "-t", "10", "-c:v", "libx264", "-preset", "veryfast",
                    "-g", "25", "-keyint_min", "25", "-sc_threshold", "0", "-bf", "0", "-pix_fmt", "yuv420p",
                    "-c:a", "aac", "-b:a", "64k", path], check=True, timeout=120)


class Core:
    """The built core in a folder of its own, under parentsim, serving the web view on a free port."""

    def __init__(self, name, users=""):
        self.folder = tempfile.mkdtemp(prefix=f"browser_test_{name}.")
        build = ARGS.build
        os.makedirs(f"{self.folder}/bin/plugins")
        os.makedirs(f"{self.folder}/bin/protected-plugins")
        shutil.copy(f"{build}/dvrcore", f"{self.folder}/bin/dvrcore")
        for plugin in ("LogPI", "MediaSource", "SegmentRecorder", "WebView"):
            shutil.copy(f"{build}/plugins/{plugin}.so", f"{self.folder}/bin/plugins/")
        os.makedirs(f"{self.folder}/clips")
        cameras = ""
        for camera, size in CAMERAS.items():
            make_clip(f"{self.folder}/clips/{camera}.mp4", size)
            cameras += f'  <Camera name="{camera}" url="file:clips/{camera}.mp4"/>\n'
        self.write("media_source.xml", f"<MediaSource>\n{cameras}</MediaSource>\n")
        self.write("segment_recorder.xml", '<SegmentRecorder folder="recordings" segmentSeconds="6"/>\n')
        # The page is what is tested here: the core's video throttling is not, and a core built with a
        # sanitizer passes its memory limit within seconds (its heap's shadow and quarantine).
        self.write("core.xml", '<oDVR><Memory Throttling="0"/></oDVR>\n')
        self.write("web_view.xml", f'<WebView address="127.0.0.1" port="0">{users}</WebView>\n')
        self.output = []
        self.process = subprocess.Popen([f"{build}/parentsim", "bin/dvrcore"], cwd=self.folder,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True, errors="replace")
        threading.Thread(target=self.read, daemon=True).start()
        try:
            self.port = int(wait_for("the web view's port in dvrcore.log", lambda: re.search(
                r"serving http://127\.0\.0\.1:(\d+)/", self.log())).group(1))
        except AssertionError as error:
            self.stop()
            raise AssertionError(f"{error}:\n{self.log()}{''.join(self.output)}") from None
        self.url = f"http://127.0.0.1:{self.port}"

    def write(self, name, text):
        with open(f"{self.folder}/{name}", "w") as file:
            file.write(text)

    def read(self):
        for line in self.process.stdout:
            self.output.append(line)

    def log(self):
        try:
            with open(f"{self.folder}/dvrcore.log", errors="replace") as file:
                return file.read()
        except FileNotFoundError:
            return ""

    def get(self, path, headers=None):
        """(status, body) of a GET to the core."""
        request = urllib.request.Request(self.url + path, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return answer.status, answer.read()
        except urllib.error.HTTPError as error:
            return error.code, error.read()

    def recordings(self, camera):
        status, body = self.get(f"/api/recordings?camera={camera}")
        return json.loads(body)["files"] if status == 200 else []

    def stop(self):
        # A core that ended before it was told to, or a sanitizer's report, is shown with its log.
        ended_early = self.process.poll() is not None
        if not ended_early:
            try:
                self.process.stdin.write("stop\n")
                self.process.stdin.flush()
                self.process.wait(timeout=PATIENCE)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait(timeout=PATIENCE)
        output = "".join(self.output)
        if ended_early or "Sanitizer" in output or "runtime error" in output:
            print(f"the core's output:\n{output}\ndvrcore.log:\n{self.log()[-20000:]}", file=sys.stderr, flush=True)
        shutil.rmtree(self.folder, ignore_errors=True)


def start_browser(downloads):
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900",
                     "--autoplay-policy=no-user-gesture-required", "--mute-audio", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync"):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    browser = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                               options=options)
    browser.set_page_load_timeout(PATIENCE)
    browser.set_script_timeout(PATIENCE)
    return browser


class Page(unittest.TestCase):
    """The page of a core without users: live tiles, a camera's day, export and the status panel."""

    @classmethod
    def setUpClass(cls):
        cls.core = Core("page")
        cls.downloads = tempfile.mkdtemp(prefix="browser_test_downloads.")
        try:
            cls.browser = start_browser(cls.downloads)
        except Exception:
            cls.core.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.core.stop()
        shutil.rmtree(cls.downloads, ignore_errors=True)

    def screenshot(self, name):
        path = os.path.join(ARGS.artefacts, name)
        self.browser.save_screenshot(path)
        print(f"screenshot: {path}", flush=True)

    def script(self, text, *arguments):
        return self.browser.execute_script(text, *arguments)

    # Opens the page at fragment afresh: going to the fragment already shown would change nothing.
    def open(self, fragment):
        url = f"{self.core.url}/{fragment}"
        if self.browser.current_url == url:
            self.browser.refresh()
        else:
            self.browser.get(url)

    def test_page_is_served_with_its_tag_and_the_policy(self):
        status, body = self.core.get("/")
        self.assertEqual(status, 200)
        self.assertIn(b'<script type="module" src="/page/app.js">', body)
        request = urllib.request.Request(self.core.url + "/page/app.js")
        with urllib.request.urlopen(request, timeout=10) as answer:
            self.assertEqual(answer.headers["Content-Type"], "text/javascript; charset=utf-8")
            policy = answer.headers["Content-Security-Policy"]
            self.assertIn("default-src 'self'", policy)
            self.assertIn("media-src 'self' blob:", policy)
            tag = answer.headers["ETag"]
        self.assertEqual(self.core.get("/page/app.js", {"If-None-Match": tag})[0], 304)
        self.assertEqual(self.core.get("/page/missing.js")[0], 404)

    def test_every_live_tile_plays_with_little_latency(self):
        self.open("#/")
        tiles = wait_for("a tile per camera", lambda: len(self.browser.find_elements(By.CSS_SELECTOR, ".tile"))
                         == len(CAMERAS) and self.browser.find_elements(By.CSS_SELECTOR, ".tile"))
        for tile in tiles:
            camera = tile.get_attribute("data-camera")
            video = tile.find_element(By.TAG_NAME, "video")
            wait_for(f"{camera}'s live video", lambda: self.script("return arguments[0].videoWidth", video)
                     == CAMERAS[camera][0])
        # Each tile's clock moves on by 3 s of video, and its latency figure, sampled meanwhile, stays near
        # the live edge: a player that fell behind, or a figure in the wrong unit, shows seconds.
        def played(tile):
            return self.script("return arguments[0].querySelector('video').currentTime", tile)

        start = {tile.get_attribute("data-camera"): played(tile) for tile in tiles}
        latencies = {camera: [] for camera in CAMERAS}

        def all_played():
            for tile in tiles:
                figure = tile.get_attribute("data-latency-ms")
                if figure is not None:
                    latencies[tile.get_attribute("data-camera")].append(int(figure))
            return all(played(tile) - start[tile.get_attribute("data-camera")] >= 3 for tile in tiles)

        wait_for("3 s played on every tile", all_played, every=0.25)
        self.screenshot("page-live.png")
        for camera, figures in latencies.items():
            self.assertTrue(figures, f"{camera} showed no latency figure")
            self.assertLess(sorted(figures)[len(figures) // 2], 2000, f"{camera}: capture to buffer {figures} ms")

    def wait_for_complete_file(self, camera):
        return wait_for(f"a finished recording of {camera}",
                        lambda: [f for f in self.core.recordings(camera) if f["state"] == "complete"], timeout=60,
                        every=0.5)[0]

    # The point of the detail timeline at ms, for a click: (element, x offset from its centre).
    def timeline_point(self, ms):
        timeline = self.browser.find_element(By.ID, "timeline")
        start, span = self.window()
        width = timeline.size["width"]
        return timeline, int((ms - start) / span * width - width / 2)

    # The window of the detail timeline: (start, span) in ms.
    def window(self):
        timeline = self.browser.find_element(By.ID, "timeline")
        return float(timeline.get_attribute("data-window-start")), float(timeline.get_attribute("data-window-span"))

    # The start of the day shown, in ms.
    def day_start(self):
        return float(self.script("return Date.parse(document.getElementById('day').value + 'T00:00:00Z')"))

    # Clicks the whole day's bar at ms and zooms in from an hour to under ten minutes across the
    # timeline (about a second a pixel); returns the whole day's ms a pixel.
    def pick_and_zoom_in(self, ms):
        overview = self.browser.find_element(By.ID, "overview")
        day = self.day_start()
        width = overview.size["width"]
        ActionChains(self.browser).move_to_element_with_offset(
            overview, int((ms - day) / 86400000 * width - width / 2), 0).click().perform()
        for _ in range(3):
            self.browser.find_element(By.ID, "zoom-in").click()
        wait_for("the window zoomed in", lambda: self.window()[1] <= 600000)
        return 86400000 / width

    def open_day(self, camera, file):
        self.open(f"#/camera/{camera}")
        wait_for("the day's files on the timeline", lambda: self.browser.find_elements(
            By.CSS_SELECTOR, "#timeline .span.complete"))
        middle = (file["start"] + file["duration"] / 2) / 1e6
        self.pick_and_zoom_in(middle)
        start, span = self.window()
        self.assertTrue(start <= middle <= start + span, f"{middle} outside the window {start} + {span}")

    def test_zooming_in_near_either_end_of_the_day_keeps_the_moment_picked(self):
        self.open("#/camera/camera1")
        wait_for("the timeline's hours", lambda: self.browser.find_elements(By.CSS_SELECTOR, "#ticks span"))
        day = self.day_start()
        for minute in (5, 24 * 60 - 5):  # where an hour's window cannot centre on the moment
            for _ in range(3):  # back to an hour
                self.browser.find_element(By.ID, "zoom-out").click()
            picked = day + minute * 60000
            pixel = self.pick_and_zoom_in(picked)
            start, span = self.window()
            self.assertTrue(start - pixel <= picked <= start + span + pixel,
                            f"minute {minute}: the window is {(start - day) / 60000:.1f} + {span / 60000:.1f} min")

    def test_clicking_a_recorded_span_plays_that_moment(self):
        file = self.wait_for_complete_file("camera1")
        self.open_day("camera1", file)
        moment = (file["start"] + file["duration"] * 0.6) / 1e6
        timeline, x = self.timeline_point(moment)
        ActionChains(self.browser).move_to_element_with_offset(timeline, x, 0).click().perform()
        video = self.browser.find_element(By.ID, "playback")
        wait_for("the recording to play", lambda: self.script(
            "const v = arguments[0]; return v.readyState >= 2 && !v.paused && v.currentTime > 0", video))
        playing = float(wait_for("the moment played", lambda: video.get_attribute("data-playing-ms")))
        window = float(timeline.get_attribute("data-window-span"))
        # Within a pixel of the timeline and the time the browser took to start playing.
        slack = window / timeline.size["width"] * 2 + 3000
        self.assertLess(abs(playing - moment), slack, f"asked {moment}, playing {playing}")
        self.assertEqual(video.get_attribute("data-file"), file["url"])
        first = self.script("return arguments[0].currentTime", video)
        wait_for("playback to go on", lambda: self.script("return arguments[0].currentTime", video) > first + 1)
        self.screenshot("page-day.png")

    def test_a_selected_span_exports_to_a_file_that_decodes(self):
        file = self.wait_for_complete_file("camera2")
        self.open_day("camera2", file)
        timeline, begin = self.timeline_point(file["start"] / 1e6 + 1000)
        _, end = self.timeline_point((file["start"] + file["duration"]) / 1e6 - 1000)
        ActionChains(self.browser).move_to_element_with_offset(timeline, begin, 0).click_and_hold().move_by_offset(
            end - begin, 0).release().perform()
        link = wait_for("the export link", lambda: [e for e in self.browser.find_elements(By.ID, "export-link")
                                                    if e.is_displayed()])[0]
        found = re.search(r"/api/export\?camera=camera2&from=(\d+)&to=(\d+)$", link.get_attribute("href"))
        self.assertTrue(found, link.get_attribute("href"))
        # The span dragged, to within two pixels of the timeline.
        pixel = float(timeline.get_attribute("data-window-span")) / timeline.size["width"] * 1e6
        self.assertLess(abs(int(found.group(1)) - (file["start"] + 1e9)), 2 * pixel)
        self.assertLess(abs(int(found.group(2)) - (file["start"] + file["duration"] - 1e9)), 2 * pixel)
        self.screenshot("page-export.png")
        link.click()
        path = wait_for("the download", lambda: [os.path.join(self.downloads, n) for n in os.listdir(self.downloads)
                                                 if n.endswith(".mp4")], timeout=60)[0]
        checked = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"],
                                 capture_output=True, text=True, timeout=120)
        self.assertEqual((checked.returncode, checked.stderr), (0, ""))

    def test_status_panel_shows_each_camera_recording(self):
        self.wait_for_complete_file("camera1")
        self.open("#/status")
        rows = wait_for("a row per camera recording", lambda: [
            r for r in self.browser.find_elements(By.CSS_SELECTOR, "#status-table tbody tr")
            if r.find_elements(By.TAG_NAME, "td")[4].text == "yes"] if len(self.browser.find_elements(
                By.CSS_SELECTOR, "#status-table tbody tr")) == len(CAMERAS) else None)
        self.assertEqual(len(rows), len(CAMERAS))
        self.assertIn("resident", self.browser.find_element(By.ID, "core-status").text)
        self.screenshot("page-status.png")
        # Escape goes back to the grid, and a tile opens its camera's day with Enter.
        self.browser.find_element(By.TAG_NAME, "body").send_keys(Keys.ESCAPE)
        tile = wait_for("the grid", lambda: self.browser.find_elements(By.CSS_SELECTOR, '.tile[data-camera="camera2"]'))
        tile[0].send_keys(Keys.ENTER)
        wait_for("camera2's day", lambda: self.browser.find_element(By.ID, "camera-title").text == "camera2")


    def test_the_keyboard_alone_opens_a_day_plays_selects_and_goes_back(self):
        self.wait_for_complete_file("camera1")
        self.open("#/")
        tile = wait_for("camera1's tile", lambda: self.browser.find_elements(By.CSS_SELECTOR,
                                                                             '.tile[data-camera="camera1"]'))[0]
        tile.send_keys(Keys.ENTER)
        wait_for("the timeline focused", lambda: self.script("return document.activeElement.id") == "timeline"
                 and self.browser.find_elements(By.CSS_SELECTOR, "#ticks span"))
        keys = ActionChains(self.browser)
        keys.send_keys(Keys.ARROW_LEFT).send_keys(Keys.ENTER).perform()
        video = self.browser.find_element(By.ID, "playback")
        wait_for("the recording to play", lambda: self.script(
            "const v = arguments[0]; return v.readyState >= 2 && !v.paused && v.currentTime > 0", video))
        ActionChains(self.browser).key_down(Keys.SHIFT).send_keys(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT).key_up(
            Keys.SHIFT).perform()
        link = self.browser.find_element(By.ID, "export-link")
        wait_for("the export link", link.is_displayed)
        found = re.search(r"from=(\d+)&to=(\d+)$", link.get_attribute("href"))
        self.assertLess(int(found.group(1)), int(found.group(2)))
        ActionChains(self.browser).send_keys(Keys.ESCAPE).perform()
        wait_for("the grid", lambda: self.browser.find_element(By.ID, "grid-view").is_displayed())

    def assert_no_wider_than_the_screen(self, what):
        wide = self.script("return document.documentElement.scrollWidth - window.innerWidth")
        self.assertLessEqual(wide, 0, f"{what} is {wide} px wider than the screen")

    def test_on_a_phone_the_grid_is_one_column_and_nothing_is_wider_than_the_screen(self):
        self.browser.set_window_size(390, 844)
        try:
            for fragment, ready in (("#/", ".tile"), ("#/status", "#status-table tbody tr"),
                                    ("#/camera/camera1", "#timeline .span")):
                self.open(fragment)
                found = wait_for(f"{fragment} on a phone", lambda: self.browser.find_elements(By.CSS_SELECTOR, ready))
                if fragment == "#/":
                    self.assertEqual(len({tile.location["x"] for tile in found}), 1, "tiles side by side")
                if fragment.startswith("#/camera/"):  # opened at its newest recording
                    wait_for("the timeline's hours", lambda: self.browser.find_elements(By.CSS_SELECTOR, "#ticks span"))
                    newest = max(f["start"] for f in self.core.recordings("camera1")) / 1e6
                    timeline = self.browser.find_element(By.ID, "timeline")
                    start = float(timeline.get_attribute("data-window-start"))
                    self.assertLessEqual(start, newest)
                    self.assertLessEqual(newest, start + float(timeline.get_attribute("data-window-span")))
                self.assert_no_wider_than_the_screen(fragment)
            # The whole day puts hour labels, the window and its border at both ends of the bars.
            timeline = self.browser.find_element(By.ID, "timeline")
            for _ in range(6):  # an hour doubled five times is more than the day
                self.browser.find_element(By.ID, "zoom-out").click()
            self.assertEqual(timeline.get_attribute("data-window-span"), str(24 * 3600 * 1000))
            self.assert_no_wider_than_the_screen("the whole day")
            self.screenshot("page-phone.png")
        finally:
            self.browser.set_window_size(1280, 900)


class Login(unittest.TestCase):
    """A core with a user: the page asks for the login, and a wrong password sees no video."""

    @classmethod
    def setUpClass(cls):
        hashed = subprocess.run(["openssl", "passwd", "-6", "right"], capture_output=True, text=True,
                                check=True, timeout=30).stdout.strip()
        cls.core = Core("login", f'<User name="viewer" hash="{hashed}"/>')
        try:
            cls.browser = start_browser(tempfile.gettempdir())
        except Exception:
            cls.core.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.core.stop()

    def log_in(self, password):
        form = self.browser.find_element(By.ID, "login-form")
        for field, text in (("name", "viewer"), ("password", password + Keys.ENTER)):
            form.find_element(By.NAME, field).clear()
            form.find_element(By.NAME, field).send_keys(text)

    def test_a_wrong_password_sees_no_video(self):
        self.browser.get(self.core.url + "/")
        wait_for("the login form", lambda: self.browser.find_element(By.ID, "login-view").is_displayed())
        self.log_in("wrong")
        wait_for("the refusal", lambda: "Wrong" in self.browser.find_element(By.ID, "login-message").text)
        self.browser.save_screenshot(os.path.join(ARGS.artefacts, "page-login-refused.png"))
        print(f"screenshot: {os.path.join(ARGS.artefacts, 'page-login-refused.png')}", flush=True)
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, ".tile"), [])
        self.assertEqual(self.script("return [...document.querySelectorAll('video')]"
                                     ".filter(v => v.videoWidth > 0).length"), 0)
        status, _ = self.core.get("/api/cameras")
        self.assertEqual(status, 401)
        # The right one opens the grid: the refusal was the password's. A failure pauses the address
        # for a moment (the page says so); the login is tried again until the pause is over.
        def logged_in():
            if len(self.browser.find_elements(By.CSS_SELECTOR, ".tile")) == len(CAMERAS):
                return True
            message = self.browser.find_element(By.ID, "login-message")
            if message.is_displayed() and message.text != "":
                self.script("document.getElementById('login-message').textContent = ''")
                self.log_in("right")
            return False
        self.log_in("right")
        wait_for("the grid after the login", logged_in, every=0.5)

    def script(self, text, *arguments):
        return self.browser.execute_script(text, *arguments)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--artefacts", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.build = os.path.abspath(ARGS.build)
    ARGS.artefacts = os.path.abspath(ARGS.artefacts)
    os.makedirs(ARGS.artefacts, exist_ok=True)
    print(f"browser_test: screenshots in {ARGS.artefacts}", flush=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
