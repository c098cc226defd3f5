#!/usr/bin/env python3
"""The viewer in a real browser: headless Chromium, driven through its
WebDriver, against `norvikcam view` on the simulated camera. Checks the
live picture, the exposure slider, the window drag, the snapshot download
and a POST without the token, from screenshots and the page; prints the
preview rate the browser saw and the CPU the viewer used.

    browser_test.py --binary build-test/tools/norvikcam [--artifacts DIR]
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import cv2
import numpy as np
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

ARGS = None


def picture(driver):
    """The live picture as the browser shows it: a BGR array."""
    png = driver.find_element(By.ID, "live").screenshot_as_png
    return cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_COLOR)


def wait_for(what, seconds=15):
    end = time.time() + seconds
    while time.time() < end:
        value = what()
        if value:
            return value
        time.sleep(0.1)
    return what()


class Browser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="norvikcam-browser-")
        cls.settings = os.path.join(cls.dir, "settings.reg")
        cls.downloads = os.path.join(cls.dir, "downloads")
        os.makedirs(cls.downloads)
        cls.env = dict(os.environ, XDG_RUNTIME_DIR=cls.dir, XDG_CONFIG_HOME=cls.dir)
        cls.viewer = subprocess.Popen(
            [ARGS.binary, "--settings", cls.settings, "view", "--listen", "127.0.0.1:0",
             "--snapshots", os.path.join(cls.dir, "snaps")],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=cls.env)
        line = cls.viewer.stdout.readline()
        match = re.search(r"http://\S+", line)
        if not match:
            raise RuntimeError("the viewer did not start: " + line + cls.viewer.stderr.read())
        cls.url = match.group(0)
        cls.cpu_start = cls.cpu_seconds()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--window-size=1500,1000"):
            options.add_argument(flag)
        options.add_experimental_option("prefs", {"download.default_directory": cls.downloads,
                                                  "download.prompt_for_download": False})
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.driver.get(cls.url)
        ok = wait_for(lambda: cls.driver.execute_script(
            "const i = document.getElementById('live'); return i.complete && i.naturalWidth > 0;"))
        if not ok:
            raise RuntimeError("the live picture never showed")
        wait_for(lambda: cls.driver.find_elements(By.ID, "control-exposure"))

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        if cls.viewer.poll() is None:
            cls.viewer.send_signal(signal.SIGINT)
            cls.viewer.wait(20)
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def cpu_seconds(cls):
        with open("/proc/%d/stat" % cls.viewer.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    @classmethod
    def state(cls):
        with urllib.request.urlopen(cls.url + "state") as r:
            return json.load(r)

    def test_1_the_live_picture_shows_the_scene_and_moves(self):
        first = picture(self.driver)
        time.sleep(0.5)
        second = picture(self.driver)
        self.assertGreater(float(first.std()), 10, "a flat picture, not the scene")
        self.assertGreater(float(np.abs(first.astype(int) - second.astype(int)).mean()), 0.5,
                           "the picture does not change from frame to frame")
        # How many different pictures the page shows in three seconds.
        rate = self.driver.execute_async_script("""
            const done = arguments[0], img = document.getElementById('live');
            const c = document.createElement('canvas'); c.width = 64; c.height = 48;
            const g = c.getContext('2d');
            let last = -1, changes = 0; const start = performance.now();
            function tick() {
              g.drawImage(img, 0, 0, 64, 48);
              const d = g.getImageData(0, 0, 64, 48).data; let sum = 0;
              for (let i = 0; i < d.length; i += 4) sum = (sum * 31 + d[i] + d[i + 1] * 7) % 1000000007;
              if (sum !== last) { changes++; last = sum; }
              if (performance.now() - start < 3000) requestAnimationFrame(tick); else done(changes / 3);
            }
            tick();""")
        print("preview in the browser: %.1f frames/s (camera %.1f frames/s)" % (rate, self.state()["fps"]))
        self.assertGreater(rate, 5)
        if ARGS.artifacts:
            os.makedirs(ARGS.artifacts, exist_ok=True)
            self.driver.save_screenshot(os.path.join(ARGS.artifacts, "viewer.png"))

    def test_2_a_post_without_the_token_is_refused_and_changes_nothing(self):
        before = [c["value"] for c in self.state()["controls"] if c["name"] == "exposure"][0]
        status = self.driver.execute_async_script("""
            fetch('/control', {method: 'POST', body: 'name=exposure&value=5',
                               headers: {'Content-Type': 'application/x-www-form-urlencoded'}})
              .then(r => arguments[0](r.status));""")
        self.assertEqual(status, 403)
        after = [c["value"] for c in self.state()["controls"] if c["name"] == "exposure"][0]
        self.assertEqual(after, before)

    def test_3_the_exposure_slider_brightens_the_picture(self):
        darker = float(picture(self.driver).mean())
        self.driver.execute_script("""
            const s = document.getElementById('control-exposure');
            s.value = 600; s.dispatchEvent(new Event('input')); s.dispatchEvent(new Event('change'));""")
        wait_for(lambda: [c for c in self.state()["controls"] if c["name"] == "exposure"][0]["value"] == 600)
        time.sleep(1.0)
        brighter = float(picture(self.driver).mean())
        print("mean level of the picture: %.1f at the default exposure, %.1f at 600" % (darker, brighter))
        self.assertGreater(brighter, darker * 1.3)

    def test_4_a_window_dragged_on_the_map_gives_frames_of_its_size(self):
        sensor_map = self.driver.find_element(By.ID, "map")
        # The map is 256 x 192 for 2560 x 1920: a 64 x 48 drag is 640 x 480.
        ActionChains(self.driver).move_to_element_with_offset(sensor_map, -100, -70).click_and_hold() \
            .move_by_offset(32, 24).move_by_offset(32, 24).release().perform()
        ok = wait_for(lambda: self.state()["window"]["width"] == 640 and self.state()["width"] == 640)
        self.assertTrue(ok, self.state())
        self.assertEqual(self.state()["window"]["height"], 480)
        natural = wait_for(lambda: self.driver.execute_script(
            "return document.getElementById('live').naturalWidth;") == 640)
        self.assertTrue(natural)
        # Dragged from right to left and bottom to top, the window's corner
        # is where the drag ended: map (92, 74) is sensor (920, 740).
        ActionChains(self.driver).move_to_element_with_offset(sensor_map, 28, 26).click_and_hold() \
            .move_by_offset(-32, -24).move_by_offset(-32, -24).release().perform()
        moved = wait_for(lambda: abs(self.state()["window"]["y"] - 740) <= 20)
        window = self.state()["window"]
        self.assertTrue(moved, window)
        self.assertLessEqual(abs(window["x"] - 920), 20, window)
        self.assertEqual((window["width"], window["height"]), (640, 480))

    def test_5_the_snapshot_downloads_the_frame_it_saved(self):
        self.driver.find_element(By.ID, "snapshot").click()
        name = wait_for(lambda: [f for f in os.listdir(self.downloads) if f.endswith(".png")])
        self.assertTrue(name, "no download")
        downloaded = os.path.join(self.downloads, name[0])
        saved = os.path.join(self.dir, "snaps", name[0])
        wait_for(lambda: os.path.getsize(downloaded) == os.path.getsize(saved))
        with open(downloaded, "rb") as a, open(saved, "rb") as b:
            self.assertEqual(a.read(), b.read())
        # The picture is the driver's conversion of the raw frame saved with
        # it: the converter, given that DNG, makes the same pixels.
        remade = os.path.join(self.dir, "remade.png")
        subprocess.run([ARGS.binary, "convert", saved[:-4] + ".dng", remade], check=True, env=self.env,
                       stdout=subprocess.DEVNULL)
        got, want = cv2.imread(downloaded), cv2.imread(remade)
        self.assertEqual(got.shape, (480, 640, 3))
        self.assertTrue(np.array_equal(got, want))

    def test_5b_a_page_beyond_the_viewer_limit_says_why_and_shows_the_picture_once_there_is_room(self):
        # This page's picture and three more are the four the viewer serves.
        held = [urllib.request.urlopen(self.url + "stream.mjpg") for _ in range(3)]
        try:
            for r in held:
                self.assertEqual(r.status, 200)
                r.read(100)
            first = self.driver.current_window_handle
            self.driver.switch_to.new_window("tab")
            self.driver.get(self.url)
            said = lambda: self.driver.execute_script(
                "const n = document.getElementById('nolive'); return n.hidden ? '' : n.textContent;")
            wait_for(lambda: "too many viewers at once (4" in said())
            self.assertIn("too many viewers at once (4", said())
            self.assertTrue(wait_for(lambda: self.driver.find_element(By.ID, "stats").text
                                     == "no live picture"))
        finally:
            for r in held:
                r.close()
        self.assertTrue(wait_for(lambda: self.driver.execute_script(
            "const i = document.getElementById('live');"
            "return i.naturalWidth > 0 && document.getElementById('nolive').hidden;")))
        self.assertTrue(wait_for(lambda: "frames/s" in self.driver.find_element(By.ID, "stats").text))
        self.driver.close()
        self.driver.switch_to.window(first)

    def test_6_ctrl_c_saves_the_settings(self):
        used = self.cpu_seconds() - self.cpu_start
        print("the viewer used %.1f s of CPU over the browser tests" % used)
        self.viewer.send_signal(signal.SIGINT)
        self.assertEqual(self.viewer.wait(20), 0)
        got = subprocess.run([ARGS.binary, "--settings", self.settings, "get", "exposure"], env=self.env,
                             capture_output=True, text=True, check=True)
        self.assertIn("600", got.stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--artifacts")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
