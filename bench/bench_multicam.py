#!/usr/bin/python3
"""Several cameras scanned together at speed: N posed virtual cameras of one shared world (side by
side across the belt), served by kxeye-emulator, captured at once by `kxeye scan` through one
frame group. Reports per round each camera's frames, losses and unpaired frames, the groups, the
pairing spread and the CPU of the tool and the emulator (docs/multi-camera.md, "Measured").

Usage (root: network namespaces):
  bench_multicam.py --kxeye PATH --emulator PATH [--cameras 4] [--rate 1000] [--rows 256]
                    [--seconds 5] [--rounds 2] [--out FILE]

A lab of two network namespaces joined by a veth pair (192.0.2.0/24) is made for the run and
removed afterwards, also on failure or interrupt: the emulator serves every camera in one, the
tool runs in the other. The lab has no route out. Every run is bounded: at most 30 s a round,
5 rounds, 8 cameras, 2,000 frames/s.
"""
import argparse
import json
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time

from kxbenchlab import Lab

PREFIX = "kxm"  # namespaces kxm<pid>-host, kxm<pid>-cam
TICK = os.sysconf("SC_CLK_TCK")


def interrupt(signum, frame):
    raise KeyboardInterrupt


def process_cpu(pid):
    """utime + stime of a process and its waited-for children, seconds."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            s = f.read()
    except OSError:
        return 0.0
    fields = s[s.rfind(")") + 2:].split()
    return sum(int(x) for x in fields[11:15]) / TICK


def loadavg():
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def emulator_pid(lab):
    """The emulator itself (ip netns exec replaces itself with it)."""
    return lab.emulator.pid if lab.emulator else None


def one_round(args, lab, host, work, index):
    cameras = ["192.0.2.%d" % (10 + i) for i in range(args.cameras)]
    out_dir = os.path.join(work, "scan%d" % index)
    period_us = 1000000 // args.rate
    # Camera i exposes i x period / N after the shared instant: no two lasers at once.
    stagger = period_us // args.cameras
    cmd = ["ip", "netns", "exec", host, "env", "KXEYE_VIRTUAL_CARDS=*", "timeout", str(args.seconds + 25),
           args.kxeye, "--source", "ethernet", "--log-level", "1", "scan"] + cameras + [
        "--seconds", str(args.seconds), "--stagger", str(stagger), "--out", out_dir, "--json",
        "--set", "frame-rate=%d" % args.rate,
        "--set", "exposure=%d" % max(10, stagger // 2),
        "--set", "roi=0,%d,%d,%d" % (args.width, args.top, args.top + args.rows)]
    emu0 = process_cpu(emulator_pid(lab))
    ru0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    load0 = loadavg()
    t0 = time.monotonic()
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=args.seconds + 30)
    wall = time.monotonic() - t0
    emu1 = process_cpu(emulator_pid(lab))
    ru1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    tool = (ru1.ru_utime + ru1.ru_stime) - (ru0.ru_utime + ru0.ru_stime)
    with open(os.path.join(work, "scan%d.err" % index), "w") as f:
        f.write(p.stderr)
    try:
        j = json.loads(p.stdout)
    except ValueError:
        raise RuntimeError("kxeye scan (exit %d) printed no JSON: %s" % (p.returncode, (p.stderr or p.stdout)[-800:]))
    cams = [{"camera": c.get("given"), "frames": c["frames"], "lost": c.get("framesLost", 0),
             "unpaired": c["unpaired"], "points": c.get("points", 0)} for c in j["cameras"]]
    # Unpaired beyond what the cameras lost: a lost frame leaves its partners of that instant unpaired.
    lost_total = sum(c["lost"] for c in cams)
    return {
        "exit": p.returncode,
        "seconds": j.get("seconds"),
        "groups": j["groups"],
        "groups_per_s": round(j["groups"] / j["seconds"], 1) if j.get("seconds") else None,
        "paired_by": j.get("pairedBy"),
        "pairing_spread_mm": j.get("pairingSpread"),
        "cameras": cams,
        "unpaired_total": sum(c["unpaired"] for c in cams),
        "lost_total": lost_total,
        "unpaired_beyond_losses": max(0, sum(c["unpaired"] for c in cams) - lost_total * (args.cameras - 1)),
        "tool_cpu_core": round(tool / wall, 3),  # the whole run: open, capture, decode, write
        "emulator_cpu_core": round((emu1 - emu0) / wall, 3),
        "wall_s": round(wall, 3),
        "load_avg_before": load0, "load_avg_after": loadavg(),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--kxeye", required=True)
    ap.add_argument("--emulator", required=True)
    ap.add_argument("--cameras", type=int, default=4)
    ap.add_argument("--rate", type=int, default=1000, help="frames per second of every camera")
    ap.add_argument("--rows", type=int, default=256, help="sensor rows of the window (one point per row)")
    ap.add_argument("--top", type=int, default=384, help="first row of the window")
    ap.add_argument("--width", type=int, default=1280, help="columns of the window")
    ap.add_argument("--seconds", type=float, default=5)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--out", help="write the results as JSON here")
    args = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("bench_multicam.py: needs root (network namespaces)")
    if not (1 <= args.cameras <= 8 and 1 <= args.rate <= 2000 and 0 < args.seconds <= 30 and 1 <= args.rounds <= 5):
        sys.exit("bench_multicam.py: 1-8 cameras, 1-2000 frames/s, at most 30 s and 5 rounds")
    signal.signal(signal.SIGTERM, interrupt)
    work = tempfile.mkdtemp(prefix="kxbench-multicam-")
    # Side by side across the belt, 250 mm apart, all looking straight down.
    config = [{"ip": "192.0.2.%d/24" % (10 + i), "mac": "02:4b:58:00:01:%02x" % i, "unlimited_rate": True,
               "pose": {"x": -250 * (args.cameras - 1) / 2 + 250 * i}} for i in range(args.cameras)]
    lab = Lab(PREFIX)
    results = []
    try:
        host = lab.add("host")
        cam = lab.add("cam")
        lab.link(host, cam)
        lab.start_emulator(cam, args.emulator, ["--config", json.dumps(config)], os.path.join(work, "emulator.log"))
        for r in range(args.rounds):
            res = one_round(args, lab, host, work, r)
            results.append(res)
            print(json.dumps({k: res[k] for k in ("groups", "groups_per_s", "unpaired_total", "lost_total",
                                                   "unpaired_beyond_losses", "pairing_spread_mm",
                                                   "tool_cpu_core", "emulator_cpu_core", "exit")}), flush=True)
    except KeyboardInterrupt:
        print("bench_multicam.py: interrupted", file=sys.stderr)
        return 130
    except (RuntimeError, OSError, subprocess.TimeoutExpired) as e:
        print("bench_multicam.py: %s" % e, file=sys.stderr)
        return 1
    finally:
        lab.close()
    report = {"bench": "multicam", "cameras": args.cameras, "rate": args.rate, "rows": args.rows,
              "width": args.width, "seconds": args.seconds, "work": work, "rounds": results}
    if args.out:
        with open(args.out, "w") as f:
            json.dump(report, f, indent=1)
    print(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
