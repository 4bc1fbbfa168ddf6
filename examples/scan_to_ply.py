#!/usr/bin/env python3
"""Scans the embedded virtual camera and writes the point cloud as a binary PLY file.

    /usr/bin/python3 examples/scan_to_ply.py [OUT.ply] [--frames N] [--step MM]

Every frame's points come out as a NumPy array over the frame's own memory (no copy, no Python
work per point); the frame index times the step is the travel across the laser line.
Run it with Debian's interpreter (python3-numpy); PYTHONPATH names the module's folder when the
SDK is not installed (build/release/python in the build tree).
"""
import argparse
import sys

import numpy as np

import kxlasereye as kx


def scan(frames, step):
    """Captures `frames` profiles from the first local camera; answers an n x 3 float32 cloud."""
    cameras = kx.list_devices(kx.SEARCH_LOCAL)
    if not cameras:
        sys.exit("no camera found")
    profiles = []
    with kx.Device(cameras[0]) as device, device.stream(timeout=2.0) as stream:
        for block in stream:
            points = block.points(kx.FORMAT_FLOAT)  # n x 3, a view of the block
            travel = np.float32(block.frame_index * step)
            # The line lies along Y; the travel moves it along X. One vector operation per frame.
            profile = points + np.array([travel, 0, 0], dtype=np.float32)
            profiles.append(profile[np.isfinite(profile).all(axis=1)])
            if len(profiles) >= frames:
                break
        lost = stream.dropped
    cloud = np.concatenate(profiles) if profiles else np.zeros((0, 3), np.float32)
    return cloud, lost


def write_ply(path, cloud):
    header = ("ply\nformat binary_little_endian 1.0\ncomment kxlasereye scan_to_ply\n"
              "element vertex %d\nproperty float x\nproperty float y\nproperty float z\nend_header\n"
              % len(cloud))
    with open(path, "wb") as f:
        f.write(header.encode("ascii"))
        f.write(np.ascontiguousarray(cloud, dtype="<f4").tobytes())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", nargs="?", default="scan.ply")
    parser.add_argument("--frames", type=int, default=200)
    parser.add_argument("--step", type=float, default=0.5, help="travel per frame in mm")
    args = parser.parse_args()
    cloud, lost = scan(args.frames, args.step)
    write_ply(args.out, cloud)
    print("%s: %d points from %d frames (%d dropped by the queue)" % (args.out, len(cloud), args.frames, lost))


if __name__ == "__main__":
    main()
