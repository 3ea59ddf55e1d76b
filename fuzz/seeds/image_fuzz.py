#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes seeds for image_fuzz into the folder given: small images of every
format the harness claims, made by oiiotool, each behind the one byte that
tells the harness which format it is."""
import os
import subprocess
import sys
import tempfile

# Must follow the order of kInputs in ImageFuzz.cpp.
FORMATS = [".exr", ".png", ".tif", ".jpg", ".dpx", ".tga", ".bmp", ".hdr"]
PATTERNS = [
    ["--pattern", "constant:color=0.1,0.6,0.1,1", "8x6", "4"],
    ["--pattern", "checker:color1=0.1,0.6,0.1:color2=0.8,0.3,0.2", "12x9", "3"],
]

# Inputs that once crashed or stalled the reader (tests/media/data), replayed too.
REGRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "media", "data")
# Valid BMPs of every layout the reader takes (made by other tools for the
# BMP table test): the one format oiiotool writes only one layout of.
BMP_TABLE = os.path.join(REGRESSIONS, "bmp")

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
with tempfile.TemporaryDirectory() as tmp:
    for f, ext in enumerate(FORMATS):
        for p, pattern in enumerate(PATTERNS):
            path = os.path.join(tmp, "seed" + ext)
            if subprocess.run(["oiiotool", *pattern, "-o", path], capture_output=True).returncode != 0:
                continue
            with open(path, "rb") as src, open(os.path.join(out, "seed-%s-%d" % (ext[1:], p)), "wb") as dst:
                dst.write(bytes([f]) + src.read())

for name in sorted(os.listdir(REGRESSIONS)):
    ext = os.path.splitext(name)[1]
    if ext in FORMATS:
        with open(os.path.join(REGRESSIONS, name), "rb") as src, open(os.path.join(out, "regression-" + name), "wb") as dst:
            dst.write(bytes([FORMATS.index(ext)]) + src.read())

for name in sorted(os.listdir(BMP_TABLE)):
    if name.endswith(".bmp"):
        with open(os.path.join(BMP_TABLE, name), "rb") as src, open(os.path.join(out, "seed-bmp-" + name), "wb") as dst:
            dst.write(bytes([FORMATS.index(".bmp")]) + src.read())
