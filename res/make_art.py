#!/usr/bin/env python3
"""Draws the program's art: res/vellumo.ico (the window icon) and res/logo.bmp (the logo).

The build does not run this; it only scrambles the committed files. Run it again after a
change of design and commit both outputs:

    python3 res/make_art.py [--preview DIR]

Needs ImageMagick's `convert` and the DejaVu fonts (Debian: imagemagick, fonts-dejavu-core).
Shapes are drawn at four times the final size and reduced with a box filter, which gives every
edge an even anti-aliasing. ImageMagick only draws; this script writes the two file formats.
"""

import argparse
import os
import struct
import subprocess
import sys

SUPERSAMPLE = 4

ICON_WIDTH, ICON_HEIGHT = 109, 127
LOGO_WIDTH, LOGO_HEIGHT = 480, 99

# The logo's white is its transparent colour. Edges are blended against the dialog's face
# colour instead, so that no light fringe shows around the picture on the dialog.
TRANSPARENT_WHITE = (0xFF, 0xFF, 0xFF)
DIALOG_FACE = (0xF0, 0xF0, 0xF0)
# Pixels this faint count as background rather than as a trace of an edge.
MIN_VISIBLE_ALPHA = 8

SLATE_DARK = "#1F2833"
SLATE = "#364352"
SLATE_LIGHT = "#4C5B6D"
PAPER = "#F3F6F9"
PAPER_EDGE = "#8C99A8"
INK_GREY = "#B4BFCB"
TEAL = "#138A8A"
TEAL_DARK = "#0C6466"
LED_GREEN = "#3DDC84"
TITLE_INK = "#263240"


def printer_mark(ox, oy, scale):
    """MVG primitives of the printer mark, in a 109 x 127 box placed at (ox, oy), scaled."""
    def p(x, y):
        return f"{(ox + x) * scale:.2f},{(oy + y) * scale:.2f}"

    def w(v):
        return f"{v * scale:.2f}"

    def rect(x0, y0, x1, y1, r, fill, stroke="none", width=0.0):
        style = f"fill '{fill}' stroke '{stroke}' stroke-width {w(width)}"
        if r == 0:  # a round rectangle of radius 0 draws nothing
            return f"{style} rectangle {p(x0, y0)} {p(x1, y1)}"
        return f"{style} roundrectangle {p(x0, y0)} {p(x1, y1)} {w(r)},{w(r)}"

    def poly(points, fill, stroke="none", width=0.0):
        pts = " ".join(p(x, y) for x, y in points)
        return f"fill '{fill}' stroke '{stroke}' stroke-width {w(width)} polygon {pts}"

    def circle(cx, cy, r, fill, stroke="none", width=0.0):
        return (f"fill '{fill}' stroke '{stroke}' stroke-width {w(width)} "
                f"circle {p(cx, cy)} {p(cx + r, cy)}")

    def text_lines(x0, y0, widths, step, first_fill=INK_GREY):
        out = []
        for i, width in enumerate(widths):
            y = y0 + i * step
            fill = first_fill if i == 0 else INK_GREY
            out.append(rect(x0, y, x0 + width, y + 2.4, 1.2, fill))
        return out

    shapes = []
    # The sheet waiting in the input tray, behind the body.
    shapes.append(rect(30, 4, 79, 52, 2.5, PAPER, PAPER_EDGE, 1.6))
    shapes += text_lines(36, 11, [26, 37, 31, 35], 6.5, first_fill=TEAL)
    # The body: a darker back edge, the case, a lighter lid.
    shapes.append(poly([(16, 44), (93, 44), (102, 60), (7, 60)], SLATE_LIGHT))
    shapes.append(rect(4, 54, 105, 101, 9, SLATE))
    shapes.append(rect(4, 54, 105, 66, 6, SLATE_LIGHT))
    shapes.append(rect(4, 61, 105, 66, 0, SLATE))
    # The control panel: a small display and the ready light.
    shapes.append(rect(70, 69, 98, 78, 2.5, SLATE_DARK))
    shapes.append(rect(73, 72, 87, 75, 1.2, TEAL))
    shapes.append(circle(93.5, 73.5, 2.2, LED_GREEN))
    # The accent stripe along the front.
    shapes.append(rect(4, 81, 105, 84.5, 0, TEAL))
    # The output slot and the printed report coming out of it.
    shapes.append(rect(16, 88, 93, 95, 3, SLATE_DARK))
    shapes.append(poly([(24, 92), (85, 92), (85, 123), (24, 123)], PAPER, PAPER_EDGE, 1.6))
    for i in range(4):
        y = 99 + i * 6
        shapes.append(rect(29, y, 29 + 17, y + 2.4, 1.2, SLATE_LIGHT))
        shapes.append(rect(50, y, 50 + [27, 20, 24, 14][i], y + 2.4, 1.2, TEAL))
    # Cover the report's top edge so that it seems to come out of the slot.
    shapes.append(rect(16, 88, 93, 93, 2, SLATE_DARK))
    return shapes


def render(width, height, primitives):
    """Draws the primitives on a transparent canvas; returns straight RGBA rows, top first."""
    draw = " ".join(primitives)
    cmd = ["convert", "-size", f"{width * SUPERSAMPLE}x{height * SUPERSAMPLE}", "xc:none",
           "-draw", draw, "-filter", "Box", "-resize", f"{width}x{height}!",
           "-depth", "8", "rgba:-"]
    data = subprocess.run(cmd, check=True, capture_output=True).stdout
    if len(data) != width * height * 4:
        sys.exit(f"convert gave {len(data)} bytes, expected {width * height * 4}")
    return [data[y * width * 4:(y + 1) * width * 4] for y in range(height)]


def icon_primitives():
    return printer_mark(0, 0, SUPERSAMPLE)


def logo_primitives():
    s = SUPERSAMPLE
    mark_scale = 0.74  # the mark is 94 pixels high on the logo
    shapes = printer_mark(8 / mark_scale, 3 / mark_scale, s * mark_scale)
    shapes.append(f"fill '{TITLE_INK}' stroke none font 'DejaVu-Sans-Bold' "
                  f"font-size {56 * s} text {108 * s},{54 * s} 'Vellumo'")
    shapes.append(f"fill '{TEAL}' stroke none font 'DejaVu-Sans' "
                  f"font-size {31 * s} text {111 * s},{89 * s} 'Printer info'")
    return shapes


def icon_file(rows):
    """A one-image .ico: 32-bit BGRA with straight alpha, bottom row first, then the AND mask."""
    mask_stride = (ICON_WIDTH + 31) // 32 * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        mask_row = bytearray(mask_stride)
        for x in range(ICON_WIDTH):
            r, g, b, a = row[x * 4:x * 4 + 4]
            pixels += bytes((b, g, r, a))
            if a == 0:
                mask_row[x // 8] |= 0x80 >> (x % 8)
        mask += mask_row
    header = struct.pack("<IiiHHIIiiII", 40, ICON_WIDTH, ICON_HEIGHT * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    image = header + pixels + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", ICON_WIDTH, ICON_HEIGHT, 0, 0, 1, 32, len(image), 22)
    return directory + entry + image


def logo_pixel(r, g, b, a):
    """One logo pixel as BGR: transparent white, or the colour laid on the dialog's face."""
    if a < MIN_VISIBLE_ALPHA:
        return bytes(reversed(TRANSPARENT_WHITE))
    rgb = tuple((c * a + f * (255 - a) + 127) // 255 for c, f in zip((r, g, b), DIALOG_FACE))
    if rgb == TRANSPARENT_WHITE:
        rgb = (0xFE, 0xFE, 0xFE)  # opaque white would vanish with the background
    return bytes(reversed(rgb))


def logo_file(rows):
    """A 24-bit BMP with the usual 54-byte header, bottom row first, 1440 bytes a row."""
    pixels = bytearray()
    for row in reversed(rows):
        for x in range(LOGO_WIDTH):
            pixels += logo_pixel(*row[x * 4:x * 4 + 4])
    info = struct.pack("<IiiHHIIiiII", 40, LOGO_WIDTH, LOGO_HEIGHT, 1, 24, 0, len(pixels),
                       2835, 2835, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 54)
    return file_header + info + pixels


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    print(f"{path}: {len(data)} bytes")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--preview", help="also write PNG previews into this folder")
    args = parser.parse_args()
    icon = icon_file(render(ICON_WIDTH, ICON_HEIGHT, icon_primitives()))
    logo = logo_file(render(LOGO_WIDTH, LOGO_HEIGHT, logo_primitives()))
    icon_path = os.path.join(args.out, "vellumo.ico")
    logo_path = os.path.join(args.out, "logo.bmp")
    write(icon_path, icon)
    write(logo_path, logo)
    if args.preview:
        os.makedirs(args.preview, exist_ok=True)
        for src, name in ((icon_path, "icon.png"), (logo_path, "logo.png")):
            subprocess.run(["convert", src, os.path.join(args.preview, name)], check=True)


if __name__ == "__main__":
    main()
