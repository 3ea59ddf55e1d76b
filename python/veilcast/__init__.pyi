# SPDX-License-Identifier: Apache-2.0
# Types of the veilcast package, for type checkers; the tests hold them to
# the module with mypy's stubtest.
import os
from dataclasses import dataclass
from typing import Any, Callable, Iterable, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._veilcast import ArgumentTypeError as ArgumentTypeError
from ._veilcast import Error as Error
from ._veilcast import FileError as FileError
from ._veilcast import Settings as Settings
from ._veilcast import UsageError as UsageError
from ._veilcast import __version__ as __version__

__all__ = ["ArgumentTypeError", "Clips", "Control", "Error", "FileError", "Findings", "KeyRun", "ScreenMap",
           "Settings", "UsageError", "controls", "find", "key", "key_file", "pick_screen"]

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Colour = Tuple[float, float, float]
_Value = Union[bool, float, str, Sequence[float]]
_SettingsLike = Union[Settings, dict[str, _Value], None]
_Image = npt.NDArray[Union[np.float32, np.float16]]
_Progress = Optional[Callable[[float], object]]

class Control(NamedTuple):
    name: str
    label: str
    kind: str
    default: object
    range: Optional[Tuple[float, float]]
    items: Tuple[str, ...]
    group: str

class Clips(NamedTuple):
    clip_black: float
    clip_white: float
    screen_balance: float

class ScreenMap(npt.NDArray[np.float32]):
    shot: bool

@dataclass
class Findings:
    screen: _Colour
    clips: Optional[Clips]
    map: Optional[ScreenMap]
    settings: Settings

@dataclass
class KeyRun:
    frames: int
    pixels: int
    seconds: float
    screen_colour: Optional[_Colour]
    clips: Optional[Clips]
    skipped: list[int]
    notices: list[str]
    settings: str

def controls() -> list[Control]: ...
def key(
    image: _Image,
    settings: _SettingsLike = None,
    *,
    screen_map: Union[_Path, _Image, None] = None,
    clip: Optional[str] = None,
    threads: Optional[int] = None,
    progress: _Progress = None,
) -> npt.NDArray[np.float32]: ...
def find(
    image: _Image,
    settings: _SettingsLike = None,
    *,
    box: Optional[Sequence[int]] = None,
    screen_map: Union[_Path, _Image, None] = "auto",
    clip: Optional[str] = "auto",
) -> Findings: ...
def pick_screen(image: _Image, box: Optional[Sequence[int]] = None) -> _Colour: ...
def key_file(
    input: _Path,
    output: _Path,
    settings: _SettingsLike = None,
    frames: Union[str, int, Iterable[int], None] = None,
    progress: _Progress = None,
    *,
    pick_screen: Union[str, Sequence[int], None] = None,
    screen_map: Optional[_Path] = None,
    clip: Optional[str] = None,
    skip_missing: bool = False,
    data_type: Optional[str] = None,
    raw: bool = False,
    part: Union[str, int, None] = None,
    layer: Optional[str] = None,
    max_pixels: Optional[int] = None,
    preview: Optional[_Path] = None,
    threads: Optional[int] = None,
    date_time: Optional[str] = None,
    fps: Union[str, float, None] = None,
    ocio: Optional[_Path] = None,
    in_colorspace: Optional[str] = None,
    out_colorspace: Optional[str] = None,
    codec: Optional[str] = None,
    shot_frames: Union[str, int, Iterable[int], None] = None,
) -> KeyRun: ...
