#!/usr/bin/python3
"""kxeye view in a real browser: headless Chromium from Debian, driven through chromium-driver by
Selenium (Debian's python3-selenium), against the embedded virtual camera.

Usage: test_view_browser.py KXEYE LOG_DIR. Exits 0 when every check passed, 1 on a failure, 77
(skipped) when the browser, its driver or Selenium is not installed. Nothing leaves the host:
the page is served on 127.0.0.1 and Chromium starts with its background networking off.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
# KXEYE_TEST_CHROMIUM and KXEYE_TEST_CHROMEDRIVER name others (or, naming nothing, show the skip).
CHROMIUM = os.environ.get("KXEYE_TEST_CHROMIUM") or shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = os.environ.get("KXEYE_TEST_CHROMEDRIVER") or shutil.which("chromedriver") or "/usr/bin/chromedriver"

results = []


def check(name, ok, detail=""):
    results.append((name, bool(ok)))
    print(("PASS " if ok else "FAIL ") + name + ("" if ok or not detail else ": " + str(detail)), flush=True)
    return ok


def wait_for(fn, seconds, step=0.1):
    end = time.monotonic() + seconds
    while True:
        value = fn()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    kxeye, log_dir = sys.argv[1], sys.argv[2]
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError:
        print("SKIP: python3-selenium is not installed (bash scripts/deps.sh installs it)")
        return SKIP
    if not (os.path.exists(CHROMIUM) and os.path.exists(DRIVER)):
        print("SKIP: chromium or chromium-driver is not installed (bash scripts/deps.sh installs them)")
        return SKIP
    os.makedirs(log_dir, exist_ok=True)
    work = tempfile.mkdtemp(prefix="kxeye-view-browser-")
    env = dict(os.environ)
    env.pop("KXEYE_VIRTUAL_CAMERAS", None)  # the embedded default camera
    server = subprocess.Popen([kxeye, "view", "0", "--port", "0", "--seconds", "120", "--out", os.path.join(work, "out")],
                              stdout=subprocess.PIPE, stderr=open(os.path.join(log_dir, "view-browser-server.log"), "w"),
                              text=True, env=env)
    driver = None
    try:
        line = server.stdout.readline()
        m = re.search(r"(http://127\.0\.0\.1:\d+/\?token=[0-9a-f]+)", line)
        if not check("server prints its URL", m, line):
            return 1
        url = m.group(1)

        opts = webdriver.ChromeOptions()
        opts.binary_location = CHROMIUM
        for a in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-dev-shm-usage", "--window-size=1280,1500", "--user-data-dir=" + os.path.join(work, "profile")]:
            opts.add_argument(a)
        opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service(DRIVER, log_path=os.path.join(log_dir, "view-browser-driver.log")),
                                  options=opts)
        driver.set_page_load_timeout(30)
        driver.get(url)
        el = lambda i: driver.find_element(By.ID, i)

        check("page connects", wait_for(lambda: el("connection").text == "connected", 15), el("connection").text)
        check("camera opened and named", wait_for(lambda: "VC000001" in el("identity").text, 20), el("identity").text)
        check("camera list shows the virtual camera",
              wait_for(lambda: "(virtual)" in el("camera-select").text, 10), el("camera-select").text)

        # The profile canvas draws the scene: coloured points over the dark background.
        lit_js = """
            const c = document.getElementById(arguments[0]);
            const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
            let n = 0;
            for (let i = 0; i < d.length; i += 4) {
              const r = d[i], g = d[i + 1], b = d[i + 2];
              if (Math.max(r, g, b) - Math.min(r, g, b) > 40) n++;   // coloured, not grey
            }
            return n;"""
        lit = wait_for(lambda: driver.execute_script(lit_js, "profile") > 200, 15)
        check("profile canvas draws coloured points", lit, driver.execute_script(lit_js, "profile"))

        # The height map grows.
        rows0 = int(el("heightmap").get_attribute("data-rows") or 0)
        grown = wait_for(lambda: int(el("heightmap").get_attribute("data-rows") or 0) >= rows0 + 10, 15)
        check("height map grows", grown, el("heightmap").get_attribute("data-rows"))
        check("height map shows colours", driver.execute_script(lit_js, "heightmap") > 500,
              driver.execute_script(lit_js, "heightmap"))

        # An exposure change reaches the camera: success, and the value read back from it.
        exposure = el("exposure")
        exposure.clear()
        exposure.send_keys("1234")
        el("exposure-apply").click()
        answered = wait_for(lambda: el("exposure-answer").text not in ("", "..."), 15)
        check("exposure change succeeds", answered and el("exposure-answer").text.startswith("0 "),
              el("exposure-answer").text)
        check("exposure read back from the camera", el("exposure").get_attribute("value") == "1234",
              el("exposure").get_attribute("value"))

        # A refused ROI shows its code and meaning.
        roi = el("roi")
        roi.clear()
        roi.send_keys("3,1536,0,1000")
        el("roi-apply").click()
        wait_for(lambda: el("roi-answer").text not in ("", "..."), 15)
        check("refused ROI shows its code", el("roi-answer").text.startswith("-78003 (")
              and "bad" in el("roi-answer").get_attribute("class"), el("roi-answer").text)

        # The camera image in debug mode, with the detection window drawn over it.
        el("image-take").click()
        wait_for(lambda: el("image-answer").text not in ("", "..."), 20)
        check("camera image shown", el("image-answer").text.startswith("image ")
              and driver.execute_script(lit_js, "image") > 100, el("image-answer").text)

        # The swing motor (the virtual camera has one): a move is answered with its code and state.
        if check("swing motor controls shown", el("motor-panel").is_displayed()):
            angle = el("motor-angle")
            angle.clear()
            angle.send_keys("12.5")
            el("motor-move").click()
            wait_for(lambda: el("motor-answer").text != "", 15)
            check("motor move answered", el("motor-answer").text.startswith("0 (") and "range 0 to" in el("motor-answer").text,
                  el("motor-answer").text)

        # Live again after the changes, and the snapshot writes its files.
        frame0 = el("profile").get_attribute("data-frame")
        check("live again after the changes",
              wait_for(lambda: el("profile").get_attribute("data-frame") != frame0, 15))
        el("snapshot").click()
        wait_for(lambda: el("snapshot-answer").text != "", 20)
        snap = el("snapshot-answer").text
        paths = re.findall(r"(\S+\.(?:ply|png))", snap)
        check("snapshot writes PLY and PNG", len(paths) == 2 and all(os.path.getsize(p) > 0 for p in paths), snap)

        # Record writes a recording that kxeye plays back: the same scene, frame for frame.
        frames = el("record-frames")
        frames.clear()
        frames.send_keys("20")
        el("record").click()
        wait_for(lambda: el("record-answer").text not in ("", "recording ..."), 60)
        m = re.match(r"(\S+\.kxr) \(20 frames\)", el("record-answer").text)
        if check("record writes a recording", m and os.path.getsize(m.group(1)) > 0, el("record-answer").text):
            replay_env = dict(env)
            replay_env["KXEYE_VIRTUAL_CAMERAS"] = json.dumps([{"recording": m.group(1)}])
            replay = subprocess.run([kxeye, "scan", "0", "--frames", "20", "--json", "--out", os.path.join(work, "replay")],
                                    capture_output=True, text=True, env=replay_env, timeout=120)
            ok = replay.returncode == 0
            j = json.loads(replay.stdout) if ok else {}
            check("kxeye plays the recording back", ok and j.get("frames") == 20 and j["pointCloud"]["points"] > 0
                  and 350 <= j["heightMap"]["z"]["min"] and j["heightMap"]["z"]["max"] <= 410,
                  replay.stderr[-300:] if not ok else j.get("heightMap"))
        check("live again after the recording", wait_for(lambda: "live" in el("identity").text, 20), el("identity").text)

        lat = el("stat-latency")
        print("on screen after decoding: median %s ms, max %s ms of the last 100 profiles"
              % (lat.get_attribute("data-median"), lat.get_attribute("data-max")), flush=True)

        shot = os.path.join(log_dir, "kxeye-view.png")
        driver.save_screenshot(shot)
        check("screenshot kept with the logs", os.path.getsize(shot) > 10000, shot)

        logs = driver.get_log("browser")
        with open(os.path.join(log_dir, "view-browser-console.log"), "w") as f:
            for entry in logs:
                f.write(json.dumps(entry) + "\n")
        errors = [e for e in logs if e.get("level") == "SEVERE"]
        check("no console errors", not errors, errors[:3])
    finally:
        if driver is not None:
            driver.quit()
        server.terminate()
        try:
            server.wait(20)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)
    check("server ends cleanly on SIGTERM", server.returncode == 0, server.returncode)
    passed = sum(1 for _, ok in results if ok)
    failed = len(results) - passed
    print("view browser: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
