# SPDX-License-Identifier: Apache-2.0
# What a careless or hostile caller gives the module: each is refused at
# once with the argument named, or stops cleanly; none may take the
# interpreter down, hang, lose a file or key the wrong thing.
import copy
import itertools
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import OpenImageIO as oiio
import pytest

import veilcast

PLATE = os.path.join(os.environ["VEILCAST_SAMPLES"], "synthetic", "synth_greenscreen_plate.exr")
PACKAGE_PATH = os.path.dirname(os.path.dirname(os.path.abspath(veilcast.__file__)))
GREEN = {"Screen Color": (0.02, 0.14, 0.03)}


def read(path):
    image = oiio.ImageInput.open(path)
    try:
        return image.read_image("float")
    finally:
        image.close()


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


def big_plate(folder):
    """The plate tiled to 4K wide, written without compression: a key of some seconds on one thread."""
    path = os.path.join(folder, "plate.exr")
    pixels = np.ascontiguousarray(np.tile(read(PLATE)[:, :, :3], (5, 4, 1)))
    spec = oiio.ImageSpec(pixels.shape[1], pixels.shape[0], 3, "float")
    spec.attribute("compression", "none")
    out = oiio.ImageOutput.create(path)
    assert out.open(path, spec) and out.write_image(pixels) and out.close()
    return path, pixels


def self_referential():
    values = [0.1, 0.2]
    values.append(values)
    return values


def deeply_nested():
    values = [0.5]
    for _ in range(100000):
        values = [values]
    return values


def movie(path):
    """Two frames of green backing, made by ffmpeg."""
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "color=c=0x10a020:s=64x48:d=0.2", "-r", "10",
                    "-c:v", "mjpeg", str(path)], check=True)
    return path


def with_plate(call):
    return call(read(PLATE))


REFUSALS = [
    # (what, call given a scratch folder, exception, words)
    ("threads over the pool's limit", lambda d: veilcast.key(np.zeros((4, 4, 3), np.float32), threads=70000),
     veilcast.UsageError, "threads takes a count of threads from 0 (every core) to 1024, not 70000"),
    ("threads over the limit for a file", lambda d: veilcast.key_file(PLATE, d / "k.exr", threads=70000),
     veilcast.UsageError, "threads takes a count of threads from 0 (every core) to 1024, not 70000"),
    ("a list holding itself", lambda d: veilcast.Settings({"Screen Color": self_referential()}),
     veilcast.ArgumentTypeError, "not a list holding a list"),
    ("a list nested 100000 deep", lambda d: veilcast.Settings({"Screen Color": deeply_nested()}),
     veilcast.ArgumentTypeError, "not a list holding a list"),
    ("an endless iterator", lambda d: veilcast.Settings({"Screen Color": itertools.count()}),
     veilcast.ArgumentTypeError, "not count"),
    ("a long sequence", lambda d: veilcast.Settings({"Screen Color": range(10**12)}),
     veilcast.ArgumentTypeError, "not a range of 1000000000000 items"),
    ("NUL in key_file's output", lambda d: veilcast.key_file(PLATE, str(d / "o\x00.exr")),
     veilcast.UsageError, "output: embedded null byte"),
    ("NUL in a clean plate's path", lambda d: veilcast.key_file(PLATE, d / "o.exr", screen_map=PLATE + "\x00x"),
     veilcast.UsageError, "screen_map: embedded null byte"),
    ("NUL in Settings.write", lambda d: veilcast.Settings(GREEN).write(str(d / "s\x00.keyer")),
     veilcast.UsageError, "path: embedded null byte"),
    ("NUL in Settings.read", lambda d: veilcast.Settings.read(str(d / "s\x00.keyer")),
     veilcast.UsageError, "path: embedded null byte"),
    ("a zero-stride array of 10^10 pixels",
     lambda d: veilcast.key(np.broadcast_to(np.zeros(3, np.float32), (100000, 100000, 3)), GREEN),
     veilcast.UsageError, "the image is too large to key: 100000 x 100000 pixels need"),
    ("the plate as its own clean plate", lambda d: with_plate(lambda p: veilcast.key(p, GREEN, screen_map=p)),
     veilcast.UsageError, "screen_map shares its pixels with the image"),
    ("a view of the plate as its clean plate",
     lambda d: with_plate(lambda p: veilcast.key(p, GREEN, screen_map=p[:, :, :3])),
     veilcast.UsageError, "screen_map shares its pixels with the image"),
    ("find with a mirrored plate as its clean plate",
     lambda d: with_plate(lambda p: veilcast.find(p[:, :, :3], screen_map=p[::-1, :, :3])),
     veilcast.UsageError, "screen_map shares its pixels with the image"),
    ("key_file with the plate as its clean plate", lambda d: veilcast.key_file(PLATE, d / "k.exr", screen_map=PLATE),
     veilcast.UsageError, "the clean plate given to screen_map is the plate being keyed"),
    ("the same file by another name",
     lambda d: (os.symlink(PLATE, d / "clean.exr"), veilcast.key_file(PLATE, d / "k.exr", screen_map=d / "clean.exr")),
     veilcast.UsageError, "the clean plate given to screen_map is the plate being keyed"),
    ("a movie as its own clean plate",
     lambda d: veilcast.key_file(movie(d / "m.mov"), d / "k.mov", screen_map=d / "m.mov"),
     veilcast.UsageError, "the clean plate given to screen_map is the plate being keyed"),
    ("a codec the container cannot hold",
     lambda d: veilcast.key_file(movie(d / "m.mov"), d / "k.webm", codec="prores422"),
     veilcast.UsageError, "codec prores422 is written into .mov, not .webm"),
    ("a colour space without a configuration", lambda d: veilcast.key_file(PLATE, d / "k.exr", in_colorspace="sRGB"),
     veilcast.UsageError, "in_colorspace and out_colorspace need a colour configuration: ocio or $OCIO"),
    ("no pixels allowed", lambda d: veilcast.key_file(PLATE, d / "k.exr", max_pixels=0),
     veilcast.UsageError, "max_pixels takes a positive number of pixels, not 0"),
    ("\"Auto\" for \"auto\"", lambda d: veilcast.key(np.zeros((4, 4, 3), np.float32), screen_map="Auto"),
     veilcast.UsageError, "screen_map takes \"auto\" (in lower case)"),
    ("a box of text", lambda d: veilcast.pick_screen(np.zeros((4, 4, 3), np.float32), box=("a", 0, 1, 1)),
     veilcast.ArgumentTypeError, "box takes four pixel coordinates (x0, y0, x1, y1), not 'a'"),
    ("a box far outside", lambda d: veilcast.pick_screen(np.zeros((4, 4, 3), np.float32), box=(0, 0, 2**40, 3)),
     veilcast.UsageError, "box takes four pixel coordinates (x0, y0, x1, y1) inside the image, not 1099511627776"),
    ("a number as the pick's box", lambda d: veilcast.key_file(PLATE, d / "k.exr", pick_screen=5),
     veilcast.ArgumentTypeError, "pick_screen takes four pixel coordinates"),
    ("a number as a path", lambda d: veilcast.key_file(5, d / "k.exr"),
     veilcast.ArgumentTypeError, "input takes a path (str, bytes or os.PathLike), not 5"),
    ("a fractional frame", lambda d: veilcast.key_file(PLATE, d / "k.exr", frames=1.5),
     veilcast.ArgumentTypeError, "frames takes a frame list as text"),
    ("frames as bytes", lambda d: veilcast.key_file(PLATE, d / "k.exr", frames=b"1-3"),
     veilcast.ArgumentTypeError, "not b'1-3'"),
    ("a shot's frames without a shot", lambda d: veilcast.key_file(PLATE, d / "k.exr", shot_frames="1-3"),
     veilcast.UsageError, "shot_frames names the frames a shot's plate is gathered over: it goes with screen_map shot"),
    ("a shot's frames of a still", lambda d: veilcast.key_file(PLATE, d / "k.exr", screen_map="shot", shot_frames="1-3"),
     veilcast.UsageError, "shot_frames is for a sequence such as plate.####.exr"),
    ("text for a count of pixels", lambda d: veilcast.key_file(PLATE, d / "k.exr", max_pixels="abc"),
     veilcast.ArgumentTypeError, "max_pixels takes a count of pixels, not 'abc'"),
]


@pytest.mark.parametrize("what, call, error, words", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refused_at_once_naming_the_argument(tmp_path, what, call, error, words):
    with pytest.raises(error) as raised:
        call(tmp_path)
    assert words in str(raised.value)
    assert isinstance(raised.value, veilcast.Error)
    # Nothing written: a NUL refused, not taken as the end of the path.
    assert set(os.listdir(tmp_path)) <= {"clean.exr", "m.mov"}


def test_a_float32_carrying_metadata_keys_as_float32():
    plate = read(PLATE)
    tagged = plate.view(np.dtype(np.float32, metadata={"source": "scan"}))
    assert same_bits(veilcast.key(tagged, GREEN), veilcast.key(plate, GREEN))


# The child keys the big plate on a thread of its own and ends (or is sent
# Ctrl-C) once the output's private folder shows writing has begun.
CHILD = """
import os, sys, threading, time, numpy as np, veilcast
def work():
    if sys.argv[1] == "array":
        veilcast.key(np.tile(np.full((270, 480, 3), (0.02, 0.5, 0.03), np.float32), (8, 8, 1)),
                     screen_map="auto", threads=1)
    else:
        veilcast.key_file("plate.exr", "keyed.exr", {"Screen Color": (0.02, 0.14, 0.03)}, threads=1)
keying = threading.Thread(target=work, daemon=True)
keying.start()
if sys.argv[2] == "join":
    print("joining", flush=True)
    keying.join()
while sys.argv[1] == "file" and not any(n.startswith(".veilcast-") for n in os.listdir(".")):
    time.sleep(0.005)
time.sleep(0.2)
"""


@pytest.mark.parametrize("keyed, ending, status", [
    ("file", "exit", 0),  # the interpreter exits with a daemon thread keying
    ("array", "exit", 0),
    ("file", "join", -signal.SIGINT),  # Ctrl-C while the main thread joins the keying thread
])
def test_the_interpreter_ends_cleanly_while_a_thread_keys(tmp_path, keyed, ending, status):
    big_plate(str(tmp_path))
    child = subprocess.Popen([sys.executable, "-c", CHILD, keyed, ending], cwd=tmp_path, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=PACKAGE_PATH))
    if ending == "join":
        assert child.stdout.readline() == "joining\n"
        while not any(n.startswith(".veilcast-") for n in os.listdir(tmp_path)):
            assert child.poll() is None
        child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=240)
    assert child.returncode == status, err
    assert "terminate called" not in err
    assert os.listdir(tmp_path) == ["plate.exr"]


def test_an_array_resized_by_another_thread_is_never_read_after_it_is_freed():
    plate = np.tile(read(PLATE)[:, :, :3], (4, 4, 1)).copy()
    assert plate.flags.owndata
    original = plate.copy()
    go = threading.Event()

    def resize():
        go.wait()
        # Larger: numpy moves the pixels to new memory and frees the old.
        plate.resize((plate.shape[0] * 2, plate.shape[1], 3), refcheck=False)

    resizer = threading.Thread(target=resize)
    resizer.start()
    go.set()
    keyed = veilcast.key(plate, GREEN, threads=1)
    resizer.join()
    # Keyed before the resize or after it, whole either way.
    assert same_bits(keyed, veilcast.key(original, GREEN)) or same_bits(keyed, veilcast.key(plate, GREEN))


class Stop(Exception):
    pass


def stop_once_begun(fraction):
    if fraction > 0:
        raise Stop("from the progress callback")


@pytest.mark.parametrize("call", ["key", "key_file"])
@pytest.mark.parametrize("stopped_by", ["progress callback", "signal"])
def test_a_stop_comes_out_as_the_callers_own_exception(tmp_path, call, stopped_by):
    path, pixels = big_plate(str(tmp_path))
    fractions = []
    if stopped_by == "signal":
        def send():
            threading.Timer(0.001, os.kill, (os.getpid(), signal.SIGINT)).start()

        # What the signal's handler raises, not a cancellation of the module's own. Handled inside the
        # progress callback it would only test the callback's path, so it is sent again until the
        # module's own check while it works is what finds it.
        def on_signal(number, frame):
            while frame is not None and frame.f_code is not progress.__code__:
                frame = frame.f_back
            if frame is not None:
                send()
                return
            raise Stop("from the signal handler")
        previous = signal.signal(signal.SIGINT, on_signal)

        def progress(fraction):
            if not fractions:
                send()
            fractions.append(fraction)
    else:
        previous = None

        def progress(fraction):
            fractions.append(fraction)
            stop_once_begun(fraction)
    try:
        # Anything at all, so that a cancellation of the module's own fails here rather than ending the run.
        # An automatic screen map and clips make the key long enough for the signal to land while it works.
        with pytest.raises(BaseException) as raised:
            if call == "key":
                veilcast.key(pixels, GREEN, screen_map="auto", clip="auto", threads=1, progress=progress)
            else:
                veilcast.key_file(path, tmp_path / "keyed.exr", GREEN, screen_map="auto", clip="auto", threads=1,
                                  progress=progress)
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
    assert type(raised.value) is Stop, repr(raised.value)
    assert fractions == sorted(fractions) and fractions[-1] < 1
    if stopped_by == "progress callback":
        assert fractions[-1] > 0
    assert os.listdir(tmp_path) == ["plate.exr"]
