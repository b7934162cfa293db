#!/usr/bin/env python3
"""Writes a C++ source file that holds a picture from res/ in the program's scrambled form.

    scramble_asset.py --symbol kScrambledAppIcon --length-constant kAppIconSize \
        res/vellumo.ico OUT.cpp
    scramble_asset.py --symbol kScrambledLogo --length-constant kLogoSize \
        --bmp-pixels 480x99x24 res/logo.bmp OUT.cpp

With --bmp-pixels the input must be an uncompressed BMP of that shape with the usual 54-byte
header; only its pixel rows are kept. The output includes app/asset_pictures.h, which declares
the symbol and the length it must have; a static_assert there stops a build with a wrong file.
"""

import argparse
import os
import struct
import sys

KEY = 0x6D
BMP_HEADER_SIZE = 54


def scramble(plain):
    """E[0] = D[0] ^ K; E[i] = D[i] ^ ((i + E[i-1]) mod 256), in increasing order of i."""
    out = bytearray(len(plain))
    previous = 0
    for i, d in enumerate(plain):
        chain = KEY if i == 0 else (i + previous) & 0xFF
        previous = d ^ chain
        out[i] = previous
    return bytes(out)


def bmp_pixels(data, shape, path):
    """The pixel rows of a bottom-up, uncompressed BMP whose header promises `shape`."""
    width, height, bpp = (int(v) for v in shape.split("x"))
    if len(data) < BMP_HEADER_SIZE or data[:2] != b"BM":
        sys.exit(f"{path}: not a BMP file")
    offset, = struct.unpack_from("<I", data, 10)
    size, w, h, planes, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    if (offset, size, w, h, planes, bits, compression) != (
            BMP_HEADER_SIZE, 40, width, height, 1, bpp, 0):
        sys.exit(f"{path}: expected a {width}x{height} BMP of {bpp} bits with a 54-byte header")
    stride = (width * bpp // 8 + 3) // 4 * 4
    pixels = data[BMP_HEADER_SIZE:]
    if len(pixels) != stride * height:
        sys.exit(f"{path}: {len(pixels)} bytes of pixels, expected {stride * height}")
    return pixels


def cpp_source(symbol, length_constant, source_name, scrambled):
    lines = [
        f"// Generated from {source_name} by cmake/scramble_asset.py; do not edit.",
        '#include "app/asset_pictures.h"',
        "",
        f"static_assert({len(scrambled)} == {length_constant}, "
        f'"{source_name} does not have the length of {symbol}");',
        "",
        f"const std::uint8_t {symbol}[{length_constant}] = {{",
    ]
    for start in range(0, len(scrambled), 20):
        chunk = scrambled[start:start + 20]
        lines.append("    " + ", ".join(f"0x{b:02x}" for b in chunk) + ",")
    lines.append("};")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--symbol", required=True)
    parser.add_argument("--length-constant", required=True)
    parser.add_argument("--bmp-pixels", metavar="WxHxBPP")
    parser.add_argument("input")
    parser.add_argument("output")
    args = parser.parse_args()
    with open(args.input, "rb") as f:
        data = f.read()
    if args.bmp_pixels:
        data = bmp_pixels(data, args.bmp_pixels, args.input)
    source_name = "res/" + os.path.basename(args.input)
    source = cpp_source(args.symbol, args.length_constant, source_name, scramble(data))
    with open(args.output, "w", encoding="ascii") as f:
        f.write(source)


if __name__ == "__main__":
    main()
