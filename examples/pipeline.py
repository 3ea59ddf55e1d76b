#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A pipeline step: key the first frame of a shot, check the matte, and
write the settings a farm job keys the whole shot with.

    PYTHONPATH=build/python /usr/bin/python3 examples/pipeline.py \\
        plate.####.exr 1001-1100 shot010.keyer

The plate is a single file or a sequence pattern as the command line takes
it: # and @ one digit each, %04d and %d as in printf.

Exits 1, writing nothing, when the matte covers too little or too much of
the frame to be a plausible key.
"""
import re
import shlex
import sys

import numpy as np
import OpenImageIO as oiio

import veilcast


# The first unescaped run of # or @, or a printf %d with its width.
FRAME_FIELD = re.compile(r"(?<!\\)(?:[#@]+|%0?(\d*)d)")


def frame_path(pattern, frame):
    """plate.####.exr, plate.%04d.exr (or a single file) for one frame."""
    def number(field):
        if field.group().startswith("%"):
            return "%0*d" % (int(field.group(1) or 0), frame)
        return "%0*d" % (len(field.group()), frame)
    return FRAME_FIELD.sub(number, pattern, count=1)


def read_rgb(path):
    image = oiio.ImageInput.open(path)
    if image is None:
        sys.exit("%s: %s" % (path, oiio.geterror()))
    try:
        return image.read_image("float")[:, :, :3]
    finally:
        image.close()


def main(pattern, frames, settings_path):
    first = int(re.match(r"-?\d+", frames).group())
    plate = read_rgb(frame_path(pattern, first))

    # The backing colour and the clips found on the first frame are frozen
    # for every frame, so that the farm's chunks all key alike; the screen
    # map is found on each frame, as the camera may move.
    found = veilcast.find(plate)
    settings = found.settings
    matte = veilcast.key(plate, settings, screen_map="auto")[:, :, 3]

    solid = float(np.mean(matte >= 0.99))
    edge = float(np.mean((matte > 0.01) & (matte < 0.99)))
    print("frame %d: screen colour %s, clips %.4g..%.4g (screen balance %.4g), foreground %.1f%%, soft edges %.1f%%"
          % (first, ",".join("%.4g" % c for c in found.screen), *found.clips, solid * 100, edge * 100))
    if not 0.01 <= solid + edge <= 0.95:
        sys.exit("the matte covers %.1f%% of the frame: check the plate before sending the shot" % ((solid + edge) * 100))

    settings.write(settings_path)
    keyed = pattern.replace("plate", "keyed") if "plate" in pattern else "keyed." + pattern
    print("wrote %s; key the shot with:" % settings_path)
    print("  veilcast submit --farm slurm %s -o %s --frames %s --settings %s --screen-map auto"
          % tuple(shlex.quote(a) for a in (pattern, keyed, frames, settings_path)))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
