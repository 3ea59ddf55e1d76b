# SPDX-License-Identifier: Apache-2.0
"""The ZAVVeilcast screen keyer in Python.

Keys images shot against a green or blue backing through the same operator
module, session and rules as the ``veilcast`` command line: an array keyed
here is bit-identical to the same pixels keyed by ``veilcast -d float``.

    import veilcast
    keyed = veilcast.key(plate, {"Clip Black": 0.05})      # H x W x 4 float32
    colour = veilcast.pick_screen(plate, box=(40, 40, 120, 90))
    keyed = veilcast.key(plate, screen_map="auto", clip="auto")  # a screen colour per pixel
    found = veilcast.find(plate)          # the pick, screen map and clips, to freeze
    veilcast.key_file("plate.####.exr", "keyed.####.exr", frames="1001-1100")

Keying runs without the interpreter lock, on every core unless ``threads``
says otherwise; Ctrl-C (KeyboardInterrupt) stops it and leaves no output.
Everything raised about a key is a veilcast.Error: a mistake in what was
asked a UsageError (a ValueError), a failure with a file a FileError (an
OSError), an argument of the wrong kind an ArgumentTypeError (a TypeError).
"""

import operator as _operator
from collections.abc import Iterable as _Iterable
import os as _os
from dataclasses import dataclass as _dataclass
from typing import Callable as _Callable, NamedTuple as _NamedTuple, Optional as _Optional
from typing import Sequence as _Sequence, Tuple as _Tuple

import numpy as _np

from ._veilcast import ArgumentTypeError, Error, FileError, Settings, UsageError, __version__
from . import _veilcast

__all__ = ["ArgumentTypeError", "Clips", "Control", "Error", "FileError", "Findings", "KeyRun", "ScreenMap",
           "Settings", "UsageError", "controls", "find", "key", "key_file", "pick_screen"]


class Control(_NamedTuple):
    """One of the operator's controls, as ``veilcast --list-knobs`` lists it."""

    name: str
    label: str
    kind: str  # "bool", "float", "color" or "enum"
    default: object  # bool, float, (r, g, b) or an item's label
    range: _Optional[_Tuple[float, float]]  # a slider's range; None for other kinds
    items: _Tuple[str, ...]  # a list's items, in order; () for other kinds
    group: str  # the group's name, "" outside any


class Clips(_NamedTuple):
    """What clip="auto" chose on a plate: Clip Black, Clip White and the Screen Balance chosen with them."""

    clip_black: float
    clip_white: float
    screen_balance: float


class ScreenMap(_np.ndarray):
    """A screen colour per pixel, float32 H x W x 3, as find returns it.
    Given back as ``screen_map=`` it is keyed with exactly as it is (the key
    equals the one that found it), and a slice of it keys the same slice of
    the image alike, so the tiles of one frame key as the whole; a plain
    array is a clean plate instead. ``shot`` is True for a map found with
    screen_map="shot": its key pulls the matte from the image's 3x3
    denoised view, as the shot's does, so a tile keys as the whole but for
    its outermost pixels, whose neighbours it lacks: give tiles one pixel of
    overlap and keep their inside."""

    shot = False

    def __array_finalize__(self, obj):
        self.shot = getattr(obj, "shot", False)

    # A map sent to another process keys there as here.
    def __reduce__(self):
        rebuild, args, state = super().__reduce__()
        return rebuild, args, (state, self.shot)

    def __setstate__(self, state):
        # A map pickled as a plain array's state has no word on the shot.
        shot = len(state) == 2 and isinstance(state[1], bool)
        array_state, self.shot = state if shot else (state, False)
        super().__setstate__(array_state)


@_dataclass
class Findings:
    """What find found on an image, as the command line prints it."""

    screen: _Tuple[float, float, float]  # the screen colour picked
    clips: _Optional[Clips]  # None unless clip="auto"
    map: _Optional[ScreenMap]  # the screen colour per pixel, float32 H x W x 3; None unless screen_map
    settings: Settings  # the settings given, with the colour and clips found: what to freeze for the farm


@_dataclass
class KeyRun:
    """What key_file did."""

    frames: int
    pixels: int
    seconds: float
    screen_colour: _Optional[_Tuple[float, float, float]]  # the colour picked, None when one was given
    clips: _Optional[Clips]  # the clip levels chosen (clip="auto"), else None
    skipped: list  # frames left out as missing (skip_missing=True)
    notices: list  # what a user should know about the input, as the command line notes it
    settings: str  # every value keyed with, as recorded in the outputs


def controls():
    """The operator's controls, in order: a list of Control."""
    return [Control(*row) for row in _veilcast._controls()]


def _settings(settings):
    if settings is None or isinstance(settings, Settings):
        return settings
    return Settings(settings)


def _float32(image, what="the image"):
    if not isinstance(image, _np.ndarray):
        raise UsageError("%s must be a numpy array H x W x 3 or H x W x 4, not %s" % (what, type(image).__name__))
    if image.dtype == _np.float16:
        return image.astype(_np.float32)
    return image


def _index(value, takes):
    """`value` as an int, as range() takes one; `takes` says what the keyword takes, for the error."""
    try:
        return _operator.index(value)
    except TypeError:
        raise ArgumentTypeError("%s, not %r" % (takes, value)) from None


def _threads(threads):
    """The count of threads as an int; the key request checks it."""
    if threads is None:
        return 0
    return _index(threads, "threads takes a count of threads (0 for every core)")


def _path(path, keyword):
    """A file's path as open() takes it, refused as open() refuses it when a NUL would cut it short."""
    try:
        path = _os.fspath(path)
    except TypeError:
        raise ArgumentTypeError("%s takes a path (str, bytes or os.PathLike), not %r" % (keyword, path)) from None
    if isinstance(path, bytes):
        path = _os.fsdecode(path)
    if "\0" in path:
        raise UsageError("%s: embedded null byte" % keyword)
    return path


def _screen_map(screen_map, in_memory=True):
    """The screen map asked for: ("auto", "shot" or a clean plate file, a clean plate array), or ("map", a
    ScreenMap)."""
    if screen_map is None:
        return "", None
    if isinstance(screen_map, ScreenMap) and in_memory:
        return "shot map" if screen_map.shot else "map", _float32(_np.asarray(screen_map), "the screen map (screen_map)")
    if isinstance(screen_map, _np.ndarray) and in_memory:
        return "", _float32(screen_map, "the clean plate (screen_map)")
    if isinstance(screen_map, (str, bytes, _os.PathLike)) and _os.fspath(screen_map):
        path = _path(screen_map, "screen_map")
        if path not in ("auto", "shot") and path.lower() in ("auto", "shot") and not _os.path.exists(path):
            raise UsageError("screen_map takes \"auto\" (in lower case) to find the screen map on the image, "
                             "\"shot\" alike over a shot, or a clean plate file; there is no file %r" % path)
        return path, None
    raise UsageError("screen_map takes \"auto\", a clean plate file%s or None, not %s"
                     % (" or array" if in_memory else "",
                        repr(screen_map) if isinstance(screen_map, str) else type(screen_map).__name__))


def _own_clean_plate(image, screen_map):
    """Refuses a clean plate that is the image itself: the key would clear the subject with the backing."""
    if isinstance(screen_map, _np.ndarray) and isinstance(image, _np.ndarray) \
            and _np.may_share_memory(image, screen_map):
        try:
            shared = _np.shares_memory(image, screen_map, max_work=1 << 20)
        except _np.TooHardError:
            shared = True
        if shared:
            raise UsageError("screen_map shares its pixels with the image: a clean plate is the backing shot "
                             "without the subject, not the image itself")


def _clip(clip):
    if clip is None or clip == "auto":
        return clip is not None
    raise UsageError("clip takes \"auto\" or None, not %r; clip levels of your own are the settings "
                     "\"Clip Black\" and \"Clip White\"" % (clip,))


def key(image, settings=None, *, screen_map=None, clip=None, threads=None, progress=None):
    """Keys an image: a float32 (or float16) array H x W x 3 or H x W x 4,
    channels last (R, G, B and A), row 0 at the top, any strides.

    ``settings`` is Settings or a dict of control names or labels to values.
    With no Screen Color given the backing is found in the image, as the
    command line does (pick_screen tells the colour). ``screen_map`` keys
    with a screen colour per pixel, as --screen-map does: "auto" finds it
    on the image ("shot" alike: one image is a shot of one frame); a
    ScreenMap that find returned (or a slice of it, for a tile) keys
    exactly as the key it was found for; a clean plate (the backing shot without the subject, the
    image's size) is a file or an array like the image. ``clip="auto"``
    chooses Clip Black and Clip White on the image, as --clip auto does
    (find tells them). ``progress(fraction)`` is called from this thread
    with the fraction of the rows keyed; an exception it raises stops the
    key. Returns a new float32 array H x W x 4, or the matte alone (H x W)
    with Check Alpha on.
    """
    _own_clean_plate(image, screen_map)
    return _veilcast._key(_float32(image), _settings(settings), _threads(threads), *_screen_map(screen_map),
                          _clip(clip), progress)


def find(image, settings=None, *, box=None, screen_map="auto", clip="auto"):
    """What a key of the image (see key) finds on it before keying: the
    screen colour picked (the mean of ``box``, see pick_screen, or found
    unaided without one), the screen map and the clip levels, as
    ``veilcast --pick-screen auto --screen-map auto --clip auto`` finds and
    prints them. Returns Findings; its ``settings`` key every frame of a
    shot alike (give the same ``screen_map`` with them, as the map is
    found on each frame). ``key(image, found.settings,
    screen_map=found.map)`` keys exactly as the key that found them, and
    ``key(image[y0:y1, x0:x1], found.settings,
    screen_map=found.map[y0:y1, x0:x1])`` keys that tile as the whole frame.
    """
    _own_clean_plate(image, screen_map)
    words, plate = _screen_map(screen_map)
    found = _veilcast._find(_float32(image), _settings(settings), _box(box), words, plate, _clip(clip))
    if found["map"] is not None:
        found["map"] = found["map"].view(ScreenMap)
        found["map"].shot = words in ("shot", "shot map")
    if found["clips"] is not None:
        found["clips"] = Clips(*found["clips"])
    return Findings(**found)


def pick_screen(image, box: _Optional[_Sequence[int]] = None):
    """The backing colour (r, g, b) of an image (see key): the mean of the
    pixel box (x0, y0, x1, y1), inclusive, y down from the top row, as
    --pick-screen takes it; found unaided without a box."""
    return _veilcast._pick_screen(_float32(image), _box(box))


def _box(box, keyword="box"):
    if box is None:
        return None
    takes = "%s takes four pixel coordinates (x0, y0, x1, y1)" % keyword
    if isinstance(box, (str, bytes)) or not isinstance(box, _Iterable):
        raise ArgumentTypeError("%s, not %r" % (takes, box))
    box = tuple(_index(v, takes) for v in box)
    if len(box) != 4:
        raise UsageError("%s, not %d" % (takes, len(box)))
    for v in box:
        if not -2 ** 31 <= v < 2 ** 31:
            raise UsageError("%s inside the image, not %d" % (takes, v))
    return box


def _frames_text(frames, keyword="frames"):
    if frames is None:
        return ""
    if isinstance(frames, str):
        return frames
    takes = '%s takes a frame list as text ("1001-1100x2"), a frame number or frame numbers' % keyword
    if isinstance(frames, bytes) or not isinstance(frames, (int, _Iterable)):
        raise ArgumentTypeError("%s, not %r" % (takes, frames))
    if isinstance(frames, int):
        return str(frames)
    return ",".join(str(_index(f, takes)) for f in frames)


def key_file(input, output, settings=None, frames=None, progress: _Optional[_Callable[[float], None]] = None, *,
             pick_screen=None, screen_map=None, clip=None, skip_missing=False, data_type=None, raw=False, part=None, layer=None,
             max_pixels=None, preview=None, threads=None, date_time=None, fps=None, ocio=None,
             in_colorspace=None, out_colorspace=None, codec=None, shot_frames=None):
    """Keys an image file, a sequence (plate.####.exr with ``frames``) or a
    movie, as ``veilcast INPUT -o OUTPUT`` does: the same reading, writing,
    metadata and safe replacement of outputs.

    ``frames``: "1001-1100", "1001-1100x2", "1,5,9-12", or an iterable of
    frame numbers. ``progress(fraction)`` is called from this thread with
    the fraction of the whole run done; an exception it raises stops the
    run. The keyword arguments are the command line's options of the same
    names (``pick_screen``: "auto" or a box (x0, y0, x1, y1);
    ``screen_map``: "auto" or a clean plate file or pattern; ``clip``:
    "auto"; ``codec``: a movie output's codec, "prores4444" by default;
    ``shot_frames``: with screen_map="shot", the frames the shot's plate is
    gathered over, as ``frames`` takes them, so that frames keyed on their
    own key as in a run of the whole shot).
    Returns a KeyRun. Settings allowed but probably not meant give
    a UserWarning.
    """
    request = _veilcast._Request()
    request.input, request.output = _path(input, "input"), _path(output, "output")
    request.frames = _frames_text(frames)
    request.shot_frames = _frames_text(shot_frames, "shot_frames")
    if pick_screen is not None:
        request.pick_screen = pick_screen if isinstance(pick_screen, str) else ",".join(
            str(v) for v in _box(pick_screen, "pick_screen"))
    request.screen_map = _screen_map(screen_map, in_memory=False)[0]
    request.clip = "auto" if _clip(clip) else ""
    for name, value in (("data_type", data_type), ("part", part), ("layer", layer), ("date_time", date_time),
                        ("fps", fps), ("in_colorspace", in_colorspace), ("out_colorspace", out_colorspace),
                        ("codec", codec)):
        if value is not None:
            setattr(request, name, str(value))
    if ocio is not None:
        request.ocio = _path(ocio, "ocio")
    if preview is not None:
        request.preview = _path(preview, "preview")
    if max_pixels is not None:
        request.max_pixels = _index(max_pixels, "max_pixels takes a count of pixels")
    request.threads = _threads(threads)
    request.skip_missing = bool(skip_missing)
    request.raw = bool(raw)
    result = _veilcast._key_file(request, _settings(settings), progress)
    if result["clips"] is not None:
        result["clips"] = Clips(*result["clips"])
    return KeyRun(**result)
