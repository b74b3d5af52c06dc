#!/usr/bin/python3
"""Draws the Windows icon afresh and compares it with the one in the tree.

The cross build has no Qt to draw the icon, so ui/win32/tr52k.ico is kept
in the tree; it must stay the icon the code draws. The images must have
the same sizes and layout; pixels may differ by a little, since
antialiasing can round differently on another processor.

To refresh the tree's copy after changing the drawing:
  tr52k-icon-export --ico ui/win32/tr52k.ico 16 24 32 48 64 128 256

Usage: compare_icon.py TR52K_ICON_EXPORT COMMITTED_ICO SCRATCH_ICO
"""
import struct
import subprocess
import sys

SIZES = ["16", "24", "32", "48", "64", "128", "256"]
TOLERANCE = 8  # per colour or alpha value, out of 255


def images(data):
    """(width, height, header, pixels) of each image of an .ico file."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise ValueError("not an icon file")
    out = []
    for i in range(count):
        width, height, _, _, _, _, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        out.append((width or 256, height or 256, data[offset:offset + 40], data[offset + 40:offset + size]))
    return out


def main():
    export, committed, scratch = sys.argv[1:4]
    subprocess.run([export, "--ico", scratch] + SIZES, check=True)
    kept = images(open(committed, "rb").read())
    drawn = images(open(scratch, "rb").read())
    advice = "refresh it with: tr52k-icon-export --ico ui/win32/tr52k.ico " + " ".join(SIZES)
    if [(w, h, hdr, len(p)) for w, h, hdr, p in kept] != [(w, h, hdr, len(p)) for w, h, hdr, p in drawn]:
        print("ui/win32/tr52k.ico does not hold the sizes the code draws; " + advice)
        return 1
    for (w, h, _, a), (_, _, _, b) in zip(kept, drawn):
        worst = max(abs(x - y) for x, y in zip(a, b))
        if worst > TOLERANCE:
            print("the %dx%d image of ui/win32/tr52k.ico is not what the code draws (a value differs by %d); %s"
                  % (w, h, worst, advice))
            return 1
    print("ui/win32/tr52k.ico is the icon the code draws (%d images)" % len(kept))
    return 0


if __name__ == "__main__":
    sys.exit(main())
