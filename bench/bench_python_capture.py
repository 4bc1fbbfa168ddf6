#!/usr/bin/env python3
"""Capture to NumPy arrays from Python against the same capture in C++.

Both runs open the local virtual camera (version 8, no motor, its 200 frames per second cap
lifted), set a 64-column ROI over the laser line, whose frame-rate table entry (1070 frames per
second) is the highest rate the device asks of the camera, capture for SECONDS and read the
format 1 points and image positions of every frame on the application's thread:
  - cpp:    bench_capture_loop (queue in the data callback, GetPointData/GetPixelData);
  - stream: kxlasereye Device.stream(), block.points() and block.pixels() as NumPy views;
  - callback: kxlasereye Device.start_capture(), the same arrays inside the callback.
Each run is a fresh process; runs alternate; medians are reported. The figure that matters is
the process CPU over the C++ run's, in percent of one core, at the same frame rate.

    /usr/bin/python3 bench/bench_python_capture.py [--build build/bench] [--seconds 5] [--repetitions 5]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

CAMERAS = '[{"version": 8, "swing_motor": false, "unlimited_rate": true}]'
ROI = (736, 800, 0, 1024)  # 64 columns around the laser line, 1024 rows: table rate 1070 fps


def python_run(road, seconds):
    import kxlasereye as kx
    dev = kx.Device(kx.list_devices(kx.SEARCH_LOCAL)[0])
    dev.open()
    dev.roi = (ROI, ROI)
    state = {"frames": 0, "checksum": 0.0, "points": 0, "first": None, "last": None, "t0": None}

    def take(block):
        points = block.points()
        pixels = block.pixels()
        if len(points):
            state["checksum"] += float(points[0, 2]) + int(pixels[0, 1])
        state["points"] = len(points)
        state["last"] = block.frame_index

    if road == "stream":
        with dev.stream(timeout=3.0) as stream:
            first = next(stream)
            state["first"] = first.frame_index
            del first
            t0, c0 = time.perf_counter(), time.process_time()
            while time.perf_counter() - t0 < seconds:
                take(next(stream))
                state["frames"] += 1
            wall, cpu = time.perf_counter() - t0, time.process_time() - c0
    else:
        def on_block(block):
            if state["first"] is None:
                state["first"] = block.frame_index
                return
            take(block)
            state["frames"] += 1
        dev.start_capture(on_block)
        while state["first"] is None:
            time.sleep(0.001)
        t0, c0, f0 = time.perf_counter(), time.process_time(), state["frames"]
        time.sleep(seconds)
        wall, cpu = time.perf_counter() - t0, time.process_time() - c0
        state["frames"] -= f0
        dev.stop_capture()
        state["first"] += f0
    dev.close()
    dropped = state["last"] - state["first"] - state["frames"]
    print(json.dumps({"frames": state["frames"], "wall": wall, "cpu": cpu, "camera_dropped": dropped,
                      "points": state["points"], "checksum": state["checksum"]}))


def run(cmd, env):
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=120)
    if out.returncode != 0:
        sys.exit("%s failed: %s" % (cmd[0], out.stderr[-2000:]))
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--python-run":
        python_run(sys.argv[2], float(sys.argv[3]))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/bench")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--out", default="bench/results/python_capture.json")
    args = parser.parse_args()
    env = dict(os.environ, KXEYE_VIRTUAL_CAMERAS=CAMERAS,
               PYTHONPATH=os.path.join(os.path.abspath(args.build), "python"))
    env.pop("KXEYE_LOG_LEVEL", None)
    loop = os.path.join(args.build, "bench", "bench_capture_loop")
    cmds = {
        "cpp": [loop, str(args.seconds)] + [str(v) for v in ROI],
        "stream": [sys.executable, os.path.abspath(__file__), "--python-run", "stream", str(args.seconds)],
        "callback": [sys.executable, os.path.abspath(__file__), "--python-run", "callback", str(args.seconds)],
    }
    runs = {name: [] for name in cmds}
    for _ in range(args.repetitions):
        for name, cmd in cmds.items():
            runs[name].append(run(cmd, env))
    load = os.getloadavg()

    table = {}
    for name in cmds:
        table[name] = {
            "fps": statistics.median(r["frames"] / r["wall"] for r in runs[name]),
            "cpu_core_percent": statistics.median(100 * r["cpu"] / r["wall"] for r in runs[name]),
            "cpu_us_per_frame": statistics.median(1e6 * r["cpu"] / max(r["frames"], 1) for r in runs[name]),
            "camera_dropped": statistics.median(r["camera_dropped"] for r in runs[name]),
            "points": runs[name][-1]["points"],
        }
    print("load average at the end: %.2f %.2f %.2f, %d cores" % (load + (os.cpu_count(),)))
    print("%-9s %8s %10s %12s %9s %7s" % ("road", "fps", "cpu %core", "cpu us/frame", "dropped", "points"))
    for name, t in table.items():
        print("%-9s %8.0f %10.1f %12.1f %9.0f %7d" % (name, t["fps"], t["cpu_core_percent"], t["cpu_us_per_frame"],
                                                    t["camera_dropped"], t["points"]))
    for name in ("stream", "callback"):
        print("%s over cpp: %+.1f %% of a core" % (name, table[name]["cpu_core_percent"] - table["cpp"]["cpu_core_percent"]))
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump({"date": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), "load": load,
                   "seconds": args.seconds, "repetitions": args.repetitions, "table": table, "runs": runs}, f, indent=1)


if __name__ == "__main__":
    main()
