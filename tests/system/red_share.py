#!/usr/bin/python3
# red_share.py SVG PNG: for each day's band of qelvor-log's picture (its
# data-day rectangle) in the rendering PNG, "date percent": the share of its
# watched pixels that is red, a pixel blended of the up green and the down red
# counting for its part; then "x=" and the red share of each column of the band
# of the date given as a third argument.
import re, struct, sys, zlib

def png(path):
    d = open(path, "rb").read()
    w, h, depth, kind = struct.unpack(">IIBB", d[16:26])
    n, i, raw = {2: 3, 6: 4}[kind], 8, b""
    while i < len(d):
        size, tag = struct.unpack(">I4s", d[i:i + 8])
        raw += d[i + 8:i + 8 + size] if tag == b"IDAT" else b""
        i += 12 + size
    raw, rows, prev, stride = zlib.decompress(raw), [], bytearray(w * n), w * n + 1
    for y in range(h):
        f, line = raw[y * stride], bytearray(raw[y * stride + 1:(y + 1) * stride])
        for x in range(len(line)):
            a, b = line[x - n] if x >= n else 0, prev[x]
            c = prev[x - n] if x >= n else 0
            p = a + b - c
            pr = min((abs(p - a), 0, a), (abs(p - b), 1, b), (abs(p - c), 2, c))[2]
            line[x] = (line[x] + [0, a, b, (a + b) // 2, pr][f]) & 255
        rows.append([tuple(line[x * n:x * n + 3]) for x in range(w)])
        prev = line
    return rows

def red(pixel):  # 0 up, 1 down, None neither (grey, white, text)
    r, g, b = pixel
    fr, fg = (r - 0x2c) / (0xd6 - 0x2c), (0xa0 - g) / (0xa0 - 0x27)
    return (fr + fg) / 2 if abs(fr - fg) < 0.06 and -0.03 < fr < 1.03 else None

rows = png(sys.argv[2])
for day, x, y, w, h in re.findall(r'data-day="([-0-9]+)" x="(\d+)" y="(\d+)" width="(\d+)" height="(\d+)"', open(sys.argv[1]).read()):
    x, y, w, h = map(int, (x, y, w, h))
    shares = [[red(rows[j][i]) for j in range(y, y + h)] for i in range(x, x + w)]
    seen = [s for column in shares for s in column if s is not None]
    print(day, "%.3f" % (100 * sum(seen) / max(1, len(seen))))
    if len(sys.argv) > 3 and day == sys.argv[3]:
        print("x=" + str(x), *("%.2f" % (sum(s for s in c if s is not None) / max(1, len([s for s in c if s is not None]))) for c in shares))
