# The Python module against the embedded virtual camera: listing, errors, parameters, arrays over
# result blocks and their lifetime, both capture roads, single shots, the swing motor, saving.
import gc
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import kxlasereye as kx
from conftest import SOURCE_DIR


def test_list_finds_the_virtual_camera_and_its_record_round_trips(info):
    assert info.local and info.valid
    assert info.version == 8 and info.resolution == (1536, 2048)
    raw = info.raw
    assert len(raw) == 1084
    again = kx.DeviceInfo.from_raw(raw)
    assert (again.device_id, again.name) == (info.device_id, info.name)
    with pytest.raises(ValueError):
        kx.DeviceInfo.from_raw(raw[:-1])


def test_error_carries_code_and_text(info):
    d = kx.Device(info)  # not opened
    with pytest.raises(kx.KxError) as e:
        d.exposure
    assert isinstance(e.value, RuntimeError)
    assert e.value.code == -79988
    assert e.value.text == kx.code_text(-79988) == "device not open"
    assert str(e.value) == "device not open (-79988)"


@pytest.mark.parametrize("call, code", [
    (lambda d: d.set_gain(43), -79945),
    (lambda d: d.set_gain(481), -79945),
    (lambda d: d.set_frame_rate(0), -80000),
    (lambda d: setattr(d, "roi", ((1, 200, 0, 100), (1, 200, 0, 100))), -78003),  # left edge off the 32 grid
])
def test_refused_values_raise_their_code(device, call, code):
    with pytest.raises(kx.KxError) as e:
        call(device)
    assert e.value.code == code


def test_parameters_round_trip(device):
    old_exposure, old_threshold = device.exposure, device.laser_threshold
    try:
        device.exposure = 1234
        device.laser_threshold = 55
        assert (device.exposure, device.laser_threshold) == (1234, 55)
    finally:
        device.exposure, device.laser_threshold = old_exposure, old_threshold
    left, right = device.roi
    device.roi = (left, right)
    assert device.roi == (left, right)
    q = device.q_matrix()
    assert q.shape == (4, 4) and q.dtype == np.float64
    assert device.version()["device_id"]


# Output formats: dtype, and the record stride the array walks (the records are wider than the
# three coordinates for every format but 1).
FORMATS = [
    (kx.FORMAT_INDEXED_DOUBLE, np.float64, 32, 20),
    (kx.FORMAT_FLOAT, np.float32, 12, 16),
    (kx.FORMAT_FLOAT16, np.float32, 16, 16),
    (kx.FORMAT_FLOAT16B, np.float32, 16, 16),
    (kx.FORMAT_FLOAT16C, np.float32, 16, 16),
    (kx.FORMAT_FLOAT32, np.float32, 32, 16),
    (kx.FORMAT_DOUBLE, np.float64, 32, 16),
]


@pytest.mark.parametrize("fmt, dtype, point_stride, pixel_stride", FORMATS)
def test_every_format_is_a_view_with_the_record_layout(device, fmt, dtype, point_stride, pixel_stride):
    block = device.detect()
    reference = block.points(kx.FORMAT_DOUBLE).copy()
    pixels_reference = block.pixels(kx.FORMAT_DOUBLE).copy()
    gc.collect()
    points, pixels = block.points(fmt), block.pixels(fmt)
    assert points.dtype == dtype and points.shape == (block.raw_point_count, 3)
    assert points.strides == (point_stride, np.dtype(dtype).itemsize)
    assert pixels.dtype == np.int32 and pixels.shape == (block.raw_point_count, 4)
    assert pixels.strides == (pixel_stride, 4)
    assert not points.flags.owndata and not points.flags.writeable
    np.testing.assert_allclose(points, reference, rtol=1e-5, atol=1e-3)
    np.testing.assert_array_equal(pixels, pixels_reference)
    # Points and positions lie in one decode buffer of the block: no copy was made.
    assert np.shares_memory(block.points(fmt), points)


def test_an_array_keeps_its_block_alive(device):
    with device.stream(timeout=3.0, max_queued=2) as stream:
        first = next(stream)
        points = first.points()
        index = first.frame_index
        kept = points.copy()
        del first
        gc.collect()
        # Many more frames reuse the camera's buffers and the pool's decode blocks.
        seen = [next(stream).points().sum() for _ in range(60)]
    assert len(seen) == 60
    np.testing.assert_array_equal(points, kept)
    assert index == 0


def test_a_live_array_pins_the_decode(device):
    block = device.detect()
    points = block.points(kx.FORMAT_FLOAT)
    with pytest.raises(BufferError):
        block.points(kx.FORMAT_DOUBLE)
    with pytest.raises(BufferError):
        block.set_after_proc(kx.AfterProc())
    with pytest.raises(BufferError):
        block.save("/nonexistent/never-written.raw")
    assert block.points(kx.FORMAT_FLOAT).shape == points.shape  # the same format is fine
    del points
    gc.collect()
    assert block.points(kx.FORMAT_DOUBLE).dtype == np.float64


def test_after_processing_applies_to_the_points(device):
    block = device.detect()
    plain = block.points().copy()
    param = kx.AfterProc()
    param.mirror_y = 1
    block.set_after_proc(param)
    np.testing.assert_array_equal(block.points()[:, 1], -plain[:, 1])


def test_stream_iterates_in_frame_order_and_stops(device):
    with device.stream(timeout=3.0) as stream:
        indices = [next(stream).frame_index for _ in range(10)]
        assert device.is_capturing
    assert indices == sorted(indices) and len(set(indices)) == 10
    assert not device.is_capturing
    with pytest.raises(StopIteration):
        next(stream)


def test_stream_times_out(device):
    with device.stream(timeout=0.0, max_queued=1) as stream:
        # The camera delivers every few milliseconds: an empty queue is seen quickly.
        timeouts = 0
        for _ in range(200):
            try:
                next(stream)
            except TimeoutError:
                timeouts += 1
        assert timeouts > 0
        assert stream.get(timeout=3.0) is not None


def test_busy_while_capturing(device):
    with device.stream():
        with pytest.raises(kx.KxError) as e:
            device.detect()
        assert e.value.code == -79971
        with pytest.raises(RuntimeError):
            device.start_capture(lambda block: None)


def test_callback_capture_and_no_call_after_stop(device):
    frames = []
    done = threading.Event()

    def on_block(block):
        frames.append((block.frame_index, block.points().shape[0]))
        if len(frames) >= 10:
            done.set()

    device.start_capture(on_block)
    assert done.wait(10.0)
    device.stop_capture()
    count = len(frames)
    time.sleep(0.1)
    assert len(frames) == count
    assert all(n > 0 for _, n in frames)


def test_callback_exception_is_raised_by_stop(device):
    calls = []

    def on_block(block):
        calls.append(block.frame_index)
        raise ValueError("from the callback")

    device.start_capture(on_block)
    deadline = time.time() + 10
    while not calls and time.time() < deadline:
        time.sleep(0.01)
    with pytest.raises(ValueError, match="from the callback"):
        device.stop_capture()
    assert not device.is_capturing


def test_callback_may_stop_its_own_capture(device):
    stopped = threading.Event()

    def on_block(block):
        if not stopped.is_set():
            device.stop_capture()
            stopped.set()

    device.start_capture(on_block)
    assert stopped.wait(10.0)
    deadline = time.time() + 5
    while device.is_capturing and time.time() < deadline:
        time.sleep(0.01)
    assert not device.is_capturing
    with device.stream(timeout=3.0) as stream:  # the device captures again
        assert next(stream) is not None


def test_the_lock_is_released_while_the_library_waits(device):
    # Stopping waits for a slow callback that needs the lock on the camera thread (it would never
    # return with the lock held), and another Python thread runs while the motor moves.
    ticks = [0]
    finished = threading.Event()

    def counter():
        while not finished.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    called = threading.Event()

    def slow(block):
        called.set()
        time.sleep(0.02)

    device.start_capture(slow)
    assert called.wait(10.0)
    device.stop_capture()
    t = threading.Thread(target=counter)
    t.start()
    try:
        motor = device.swing_motor()
        before = ticks[0]
        motor.move_to(20.0, wait=True)
        motor.move_to(50.0, wait=True)
        during = ticks[0] - before
    finally:
        finished.set()
        t.join(5.0)
    assert during > 0


def test_single_shots(device):
    block = device.detect()
    assert block.points().shape[0] > 0
    left, right = device.get_image()
    (l0, r0, t0, b0), _ = device.roi
    assert left.shape == (b0 - t0, r0 - l0) and left.dtype == np.uint8 and right.shape == left.shape
    assert left.base is not None and not left.flags.writeable
    assert left.any()


def test_images_of_blocks_in_image_mode(device):
    device.image_mode = True
    try:
        with device.stream(timeout=3.0) as stream:
            block = next(stream)
            left, right = block.images()
            del block
            gc.collect()
        assert left.ndim == 2 and left.dtype == np.uint8 and left.shape == right.shape
    finally:
        device.image_mode = False


def test_swing_motor(device):
    motor = device.swing_motor()
    assert motor is not None
    old = motor.range
    try:
        motor.range = (10, 60)
        assert motor.range == (10, 60)
        motor.move_to(30.0, wait=True)
        assert abs(motor.position - 30.0) < 1.0
        with pytest.raises(kx.KxError) as e:
            motor.move_to(motor.max_angle + 1.0, wait=True)
        assert e.value.code == -79945
        assert motor.info()["max_angle"] == motor.max_angle
    finally:
        motor.range = old


def test_save_writes_the_frame_and_its_points(device, tmp_path):
    block = device.detect()
    path = tmp_path / "frame.raw"
    block.save(str(path))
    assert path.stat().st_size >= 32800
    lines = (tmp_path / "frame_3D.txt").read_text().splitlines()
    assert lines[0].startswith("LeftPicROI_X:")
    assert sum(1 for line in lines if line.startswith("{")) == block.raw_point_count


def test_example_scans_and_writes_a_ply(tmp_path):
    out = tmp_path / "scan.ply"
    example = os.path.join(SOURCE_DIR, "examples", "scan_to_ply.py")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, example, str(out), "--frames", "20"], env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    data = out.read_bytes()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    header = data[:end].decode()
    count = int(header.split("element vertex ")[1].split()[0])
    assert count > 0 and len(data) - end == count * 12
    cloud = np.frombuffer(data[end:], dtype="<f4").reshape(-1, 3)
    assert np.isfinite(cloud).all() and cloud[:, 0].max() > cloud[:, 0].min()


@pytest.mark.parametrize("start", [
    "d.start_capture(lambda b: seen.append(b.frame_index))",
    "s = d.stream(); seen.extend(next(s).frame_index for _ in range(5))",
])
def test_exit_with_a_capture_running(start):
    # The device is dropped while capturing and the interpreter exits without a stop: the module
    # keeps the device until its capture is stopped at exit, before the interpreter goes.
    code = "\n".join([
        "import time, kxlasereye as kx",
        "d = kx.Device(kx.list_devices()[0]); d.open(); seen = []",
        start,
        "deadline = time.time() + 10",
        "while len(seen) < 5 and time.time() < deadline: time.sleep(0.01)",
        "del d",
        "time.sleep(0.1)",
        "print('frames', len(seen) >= 5)",
    ])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert "frames True" in r.stdout


def test_reconnect_is_off_by_default_and_reachable(device):
    assert not device.reconnect_enabled
    assert device.reconnect_state["state"] == "online"
    assert device.reconnect_state["losses"] == 0
    device.enable_reconnect(True, interval=0.2, give_up=5)
    assert device.reconnect_enabled
    device.enable_reconnect(False)
    assert not device.reconnect_enabled


def test_leaving_with_blocks_after_a_loss_keeps_the_loops_error():
    # The camera answers its stream switch with "offline": the device is lost inside the blocks,
    # and leaving them raises nothing on top of the error the block itself raised.
    code = "\n".join([
        "import kxlasereye as kx",
        "try:",
        "    with kx.Device(kx.list_devices()[0]) as d:",
        "        with d.stream() as s:",
        "            next(s)",
        "except kx.KxError as e:",
        "    print('error', e.code, e.__context__ is None)",
    ])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path),
               KXEYE_VIRTUAL_CAMERAS='{"count": 1, "defaults": {"faults": [{"op": "EnableStream", "code": -10030}]}}')
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert "error -10030 True" in r.stdout, r.stdout + r.stderr
