#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the valid BMP files of tests/media/BmpFileTest.cpp into the folder
given (tests/media/data/bmp), each beside NAME.pam: its pixels as Pillow
decodes them (the hand-built run-length ones, worked out by hand). The files come from tools other than the image library veilcast
reads them with: Pillow, ImageMagick's convert, and headers built here by hand
from the BMP layout for what neither tool writes (top-down rows, RLE4, a
108-byte header, 16-bit without masks, runs that skip pixels).

Needs Debian's python3-pil and imagemagick; run by hand when the table
changes (the files are kept in the repository, so the tests need neither):

    /usr/bin/python3 tests/media/make_bmp_table.py tests/media/data/bmp
"""
import os
import struct
import subprocess
import sys
import tempfile

from PIL import Image

W, H = 7, 5  # an odd width, so that rows carry padding


def picture():
    im = Image.new("RGBA", (W, H))
    for y in range(H):
        for x in range(W):
            im.putpixel((x, y), ((x * 37 + y * 11) % 256, (x * 5 + y * 53) % 256,
                                 (255 - x * 29) % 256, (x * 40 + y * 25) % 256))
    return im


def file_header(total, offset):
    return b"BM" + struct.pack("<IHHI", total, 0, 0, offset)


def info_header(size, width, height, bits, compression, colours=0, masks=()):
    h = struct.pack("<IiiHHIIiiII", size, width, height, 1, bits, compression, 0, 2835, 2835, colours, 0)
    h += b"".join(struct.pack("<I", m) for m in masks)
    return h + b"\0" * (size - len(h))


def bmp(info, palette, pixels):
    offset = 14 + len(info) + len(palette)
    return file_header(offset + len(pixels), offset) + info + palette + pixels


def palette16():
    return [((i * 53) % 256, (i * 97 + 20) % 256, (255 - i * 15) % 256) for i in range(16)]


def packed_palette(colours):
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in colours)


def hand_built(src):
    files = {}
    # Rows stored top first, said by a negative height.
    rgb = src.convert("RGB")
    stride = (W * 3 + 3) // 4 * 4
    rows = b""
    for y in range(H):
        row = b"".join(bytes(rgb.getpixel((x, y))[::-1]) for x in range(W))
        rows += row + b"\0" * (stride - len(row))
    files["hand-topdown24"] = bmp(info_header(40, W, -H, 24, 0), b"", rows)
    # 16 bits without masks: 5-5-5.
    stride = (W * 2 + 3) // 4 * 4
    rows = b""
    for y in reversed(range(H)):
        row = b""
        for x in range(W):
            r, g, b = rgb.getpixel((x, y))
            row += struct.pack("<H", (r >> 3) << 10 | (g >> 3) << 5 | b >> 3)
        rows += row + b"\0" * (stride - len(row))
    files["hand-rgb16"] = bmp(info_header(40, W, H, 16, 0), b"", rows)
    # A 108-byte header with bit fields and an alpha mask.
    rows = b""
    for y in reversed(range(H)):
        rows += b"".join(struct.pack("<I", a << 24 | r << 16 | g << 8 | b)
                         for r, g, b, a in (src.getpixel((x, y)) for x in range(W)))
    files["hand-v4-argb32"] = bmp(info_header(108, W, H, 32, 3, 0, (0xFF0000, 0xFF00, 0xFF, 0xFF000000)), b"", rows)
    # RLE4, bottom row first: runs of two alternating colours, stored pixels
    # (an odd count, padded to 16 bits), a move, the ends of rows and image.
    rle4 = bytes([
        7, 0x12,                  # row 0: 1 2 1 2 1 2 1
        0, 0,
        0, 5, 0x34, 0x56, 0x70, 0,  # row 1: 3 4 5 6 7, stored
        2, 0x88,                  # 8 8
        0, 0,
        3, 0x9A, 0, 2, 1, 1,      # row 2: 9 10 9, then a move to x=4 of row 3
        3, 0xBC,                  # row 3 from x=4: 11 12 11
        0, 0,
        4, 0xDE, 0, 3, 0xF0, 0xE0,  # row 4: 13 14 13 14, stored 15 0 14
        0, 0,
        0, 1,
    ])
    files["hand-rle4"] = bmp(info_header(40, W, H, 4, 2, 16), packed_palette(palette16()), rle4)
    # RLE8 that ends the image early: the pixels it skips take colour 0.
    rle8 = bytes([7, 3, 0, 0, 2, 5, 0, 3, 6, 7, 8, 0, 0, 1])
    files["hand-rle8-early-end"] = bmp(info_header(40, W, H, 8, 1, 16), packed_palette(palette16()), rle8)
    return files


def hand_decoded():
    """The hand-built run-length files, decoded by hand: Pillow refuses an
    image whose runs end early, reads a move's two bytes twice and drops the
    last pixel of an odd count of stored RLE4 pixels."""
    indices = {
        # bottom row first; pixels that runs skip are 0
        "hand-rle8-early-end": [[3] * 7, [5, 5, 6, 7, 8, 0, 0]] + [[0] * 7] * 3,
        "hand-rle4": [[1, 2, 1, 2, 1, 2, 1], [3, 4, 5, 6, 7, 8, 8], [9, 10, 9, 0, 0, 0, 0],
                      [0, 0, 0, 0, 11, 12, 11], [13, 14, 13, 14, 15, 0, 14]],
    }
    colours = palette16()
    images = {}
    for name, rows in indices.items():
        image = Image.new("RGB", (W, H))
        for y, row in enumerate(reversed(rows)):
            for x, index in enumerate(row):
                image.putpixel((x, y), colours[index])
        images[name] = image
    return images


def pam(image, path, tolerance):
    mode = "RGBA" if image.mode in ("RGBA", "LA") or (image.mode == "P" and "transparency" in image.info) else "RGB"
    px = image.convert(mode)
    with open(path, "wb") as f:
        f.write(b"P7\n# tolerance %d\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nENDHDR\n"
                % (tolerance, px.width, px.height, len(mode)))
        f.write(px.tobytes())


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    src = picture()
    made = {}
    with tempfile.TemporaryDirectory() as tmp:
        png = os.path.join(tmp, "src.png")
        src.save(png)
        src.convert("RGB").save(os.path.join(tmp, "pil-rgb24.bmp"))
        src.save(os.path.join(tmp, "pil-rgba32.bmp"))
        src.convert("RGB").quantize(200).save(os.path.join(tmp, "pil-pal8.bmp"))
        palette = ["-alpha", "off", "-type", "Palette"]
        for name, args in {
            "im-v3-rgb24": ["-type", "TrueColor", "BMP3:"],
            "im-core-rgb24": ["-type", "TrueColor", "BMP2:"],
            "im-core-pal8": palette + ["-colors", "40", "BMP2:"],
            "im-v5-argb32": ["BMP:"],
            "im-pal1": palette + ["-colors", "2", "BMP3:"],
            "im-pal4": palette + ["-colors", "12", "BMP3:"],
            "im-rle8": palette + ["-colors", "40", "-compress", "RLE", "BMP3:"],
            "im-v5-rgb565": ["-alpha", "off", "-define", "bmp:subtype=RGB565", "BMP:"],
            "im-v5-rgb555": ["-alpha", "off", "-define", "bmp:subtype=RGB555", "BMP:"],
            "im-v5-argb1555": ["-define", "bmp:subtype=ARGB1555", "BMP:"],
        }.items():
            target = args[-1] + os.path.join(tmp, name + ".bmp")
            subprocess.run(["convert", png] + args[:-1] + [target], check=True)
        for name in os.listdir(tmp):
            if name.endswith(".bmp"):
                with open(os.path.join(tmp, name), "rb") as f:
                    made[name[:-4]] = f.read()
    made.update(hand_built(src))
    by_hand = hand_decoded()
    for name, data in sorted(made.items()):
        path = os.path.join(out, name + ".bmp")
        with open(path, "wb") as f:
            f.write(data)
        if name in by_hand:
            pam(by_hand[name], os.path.join(out, name + ".pam"), 0)
            continue
        # Pillow widens 5-bit channels by shifting, the library by scaling: one 5-bit step apart.
        bits = struct.unpack("<H", data[28:30])[0] if struct.unpack("<I", data[14:18])[0] > 12 else 24
        pam(Image.open(path), os.path.join(out, name + ".pam"), 8 if bits == 16 else 0)


main()
