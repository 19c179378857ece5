#!/usr/bin/env python3
"""Draws the province map behind the province selection dialog.

Each province is placed so that it lies under its check box: a transform
from geographic coordinates to dialog pixels is fitted, by least squares,
from the provinces' centres to the centres of their check boxes.

The outlines come from the China map that the echarts 4.9.0 package ships
(map/json/china.json, Apache License 2.0):

    cd "$(mktemp -d)" && npm pack echarts@4.9.0 && tar xzf echarts-4.9.0.tgz
    python3 tools/mapgen/make_province_map.py package/map/json/china.json res/province_map.png
    python3 tools/mapgen/make_province_map.py package/map/json/china.json res/province_map@2x.png 2

The optional last argument draws the map that many times larger (the @2x
file is the one a screen scaled to 200 % shows), with outlines as thick.

Only the Python standard library is used; the PNG is written directly.
"""
import json
import math
import struct
import sys
import zlib

# Dialog client area (624 x 342 dialog units) and the dialog-unit scale of
# the 8-point dialog font the dialogs are laid out in.
DLU_X = 3 / 2
DLU_Y = 13 / 8
WIDTH = int(624 * DLU_X)
HEIGHT = int(342 * DLU_Y)
SUPERSAMPLE = 3

# Check box of each province: x, y, width in dialog units (all 10 high).
BOXES = {
    "北京": (461, 125, 32), "上海": (539, 204, 32), "天津": (475, 136, 32),
    "重庆": (363, 218, 32), "黑龙江": (555, 47, 40), "吉林": (549, 79, 32),
    "辽宁": (523, 102, 32), "内蒙古": (358, 124, 40), "河北": (444, 143, 32),
    "山西": (408, 149, 32), "陕西": (367, 185, 32), "山东": (478, 156, 32),
    "新疆": (119, 102, 32), "西藏": (100, 196, 32), "青海": (208, 167, 32),
    "甘肃": (320, 177, 32), "宁夏": (344, 156, 32), "河南": (425, 186, 32),
    "江苏": (511, 188, 32), "湖北": (413, 211, 32), "浙江": (516, 227, 32),
    "安徽": (476, 206, 32), "福建": (495, 258, 32), "江西": (463, 244, 32),
    "湖南": (409, 246, 32), "贵州": (349, 258, 32), "四川": (297, 220, 32),
    "广东": (443, 284, 32), "云南": (275, 280, 32), "广西": (375, 283, 32),
    "海南": (396, 328, 32), "香港": (459, 299, 32), "台湾": (542, 274, 32),
    "澳门": (444, 308, 32),
}
# The boxes of the small provinces sit beside them rather than on them, so
# they do not steer the fit.
FIT_SKIP = {"北京", "天津", "上海", "香港", "澳门"}

SEA = (214, 234, 248)
BORDER = (255, 255, 255)
# Soft fills, chosen per province so that neighbours differ.
PALETTE = [(246, 226, 170), (200, 228, 190), (242, 200, 196), (208, 210, 238),
           (236, 214, 240), (250, 236, 206)]


def decode_ring(coords, offsets, scale=1024.0):
    """The package's compact ring encoding: zigzag deltas as characters."""
    x0, y0 = offsets
    out = []
    for i in range(0, len(coords) - 1, 2):
        dx = ord(coords[i]) - 64
        dy = ord(coords[i + 1]) - 64
        dx = (dx >> 1) ^ (-(dx & 1))
        dy = (dy >> 1) ^ (-(dy & 1))
        x0 += dx
        y0 += dy
        out.append((x0 / scale, y0 / scale))
    return out


def load(path):
    data = json.load(open(path, encoding="utf-8"))
    provinces = {}
    for f in data["features"]:
        g = f["geometry"]
        name = f["properties"]["name"]
        polys = g["coordinates"] if g["type"] == "MultiPolygon" else [g["coordinates"]]
        offs = g["encodeOffsets"] if g["type"] == "MultiPolygon" else [g["encodeOffsets"]]
        rings = []
        for poly, poff in zip(polys, offs):
            for ring, roff in zip(poly, poff):
                if data.get("UTF8Encoding"):
                    rings.append(decode_ring(ring, roff))
                else:
                    rings.append([tuple(p) for p in ring])
        provinces[name] = (rings, f["properties"]["cp"])
    return provinces


def mercator(lat):
    return math.degrees(math.log(math.tan(math.pi / 4 + math.radians(lat) / 2)))


def fit(pairs):
    """Least squares v = a * u + b."""
    n = len(pairs)
    su = sum(u for u, _ in pairs)
    sv = sum(v for _, v in pairs)
    suu = sum(u * u for u, _ in pairs)
    suv = sum(u * v for u, v in pairs)
    a = (n * suv - su * sv) / (n * suu - su * su)
    return a, (sv - a * su) / n


def box_point(x, y):
    """Centre of a check box's square, in pixels."""
    return ((x + 5) * DLU_X, (y + 5) * DLU_Y)


def make_transform(params):
    ax, bx, ay, by = params
    return lambda p: (ax * p[0] + bx, ay * mercator(p[1]) + by)


def ring_centroid(ring):
    a = cx = cy = 0.0
    for (x1, y1), (x2, y2) in zip(ring, ring[1:] + ring[:1]):
        c = x1 * y2 - x2 * y1
        a += c
        cx += (x1 + x2) * c
        cy += (y1 + y2) * c
    if abs(a) < 1e-12:
        return ring[0]
    return (cx / (3 * a), cy / (3 * a))


def outside_distance(to_px, rings, point):
    """0 when point lies in the province, else its distance to the outline."""
    px, py = point
    inside = False
    best = float("inf")
    for ring in rings:
        pts = [to_px(p) for p in ring]
        for (x1, y1), (x2, y2) in zip(pts, pts[1:] + pts[:1]):
            if (y1 <= py) != (y2 <= py) and px < x1 + (py - y1) * (x2 - x1) / (y2 - y1):
                inside = not inside
            dx, dy = x2 - x1, y2 - y1
            t = 0.0 if dx == dy == 0 else max(0.0, min(1.0, ((px - x1) * dx + (py - y1) * dy) / (dx * dx + dy * dy)))
            best = min(best, math.hypot(x1 + t * dx - px, y1 + t * dy - py))
    return 0.0 if inside else best


def fit_to_boxes(provinces):
    """Least squares from the provinces' centroids to their boxes, then a
    simplex search that moves every box onto its province."""
    simple = {}
    for name, (rings, _) in provinces.items():
        # Coarse outlines keep the search quick.
        simple[name] = [r[::3] if len(r) > 60 else r for r in rings]
    xs, ys = [], []
    for name, (x, y, w) in BOXES.items():
        big = max(provinces[name][0], key=len)
        lon, lat = ring_centroid(big)
        bxp, byp = box_point(x, y)
        xs.append((lon, bxp))
        ys.append((mercator(lat), byp))
    ax, bx = fit(xs)
    ay, by = fit(ys)

    def cost(params):
        to_px = make_transform(params)
        total = 0.0
        for name, (x, y, w) in BOXES.items():
            d = outside_distance(to_px, simple[name], box_point(x, y))
            total += d * d * (0.2 if name in FIT_SKIP else 1.0)
        return total

    return nelder_mead(cost, [ax, bx, ay, by], [0.5, 10.0, 0.5, 10.0])


def nelder_mead(f, start, steps, iterations=300):
    pts = [list(start)]
    for i, s in enumerate(steps):
        p = list(start)
        p[i] += s
        pts.append(p)
    vals = [f(p) for p in pts]
    for _ in range(iterations):
        order = sorted(range(len(pts)), key=lambda i: vals[i])
        pts = [pts[i] for i in order]
        vals = [vals[i] for i in order]
        centre = [sum(p[k] for p in pts[:-1]) / (len(pts) - 1) for k in range(len(start))]
        worst = pts[-1]
        refl = [c + (c - w) for c, w in zip(centre, worst)]
        fr = f(refl)
        if fr < vals[0]:
            exp = [c + 2 * (c - w) for c, w in zip(centre, worst)]
            fe = f(exp)
            pts[-1], vals[-1] = (exp, fe) if fe < fr else (refl, fr)
        elif fr < vals[-2]:
            pts[-1], vals[-1] = refl, fr
        else:
            con = [c + 0.5 * (w - c) for c, w in zip(centre, worst)]
            fc = f(con)
            if fc < vals[-1]:
                pts[-1], vals[-1] = con, fc
            else:
                pts = [pts[0]] + [[b + 0.5 * (p - b) for b, p in zip(pts[0], q)] for q in pts[1:]]
                vals = [vals[0]] + [f(p) for p in pts[1:]]
    return pts[min(range(len(pts)), key=lambda i: vals[i])]


def colour_provinces(provinces, to_px):
    """Greedy colouring: provinces whose outlines come close get different
    fills."""
    boxes = {}
    for name, (rings, _) in provinces.items():
        pts = [to_px(p) for r in rings for p in r]
        boxes[name] = (min(p[0] for p in pts), min(p[1] for p in pts),
                       max(p[0] for p in pts), max(p[1] for p in pts), pts[::4])
    def near(a, b):
        A, B = boxes[a], boxes[b]
        if A[2] < B[0] - 3 or B[2] < A[0] - 3 or A[3] < B[1] - 3 or B[3] < A[1] - 3:
            return False
        return any(abs(p[0] - q[0]) + abs(p[1] - q[1]) < 4 for p in A[4] for q in B[4])
    colours = {}
    for name in sorted(provinces, key=lambda n: -len(boxes[n][4])):
        used = {colours[o] for o in colours if near(name, o)}
        colours[name] = next(i for i in range(len(PALETTE)) if i not in used) \
            if len(used) < len(PALETTE) else 0
    return {n: PALETTE[c] for n, c in colours.items()}


def rasterise(shapes, width, height, thick=1):
    """shapes: list of (rings in pixels, colour). Even-odd scanline fill at
    SUPERSAMPLE times the size, borders thick samples wide where the fill
    changes, then box filtered down."""
    s = SUPERSAMPLE
    W, H = width * s, height * s
    owner = [bytearray(W) for _ in range(H)]  # 0 sea, else shape index + 1
    for idx, (rings, _) in enumerate(shapes, start=1):
        edges = []
        for ring in rings:
            pts = [(x * s, y * s) for x, y in ring]
            for (x1, y1), (x2, y2) in zip(pts, pts[1:] + pts[:1]):
                if y1 != y2:
                    edges.append((x1, y1, x2, y2))
        if not edges:
            continue
        ymin = max(0, int(min(min(e[1], e[3]) for e in edges)))
        ymax = min(H - 1, int(max(max(e[1], e[3]) for e in edges)) + 1)
        for row in range(ymin, ymax + 1):
            yc = row + 0.5
            xs = []
            for x1, y1, x2, y2 in edges:
                if (y1 <= yc) != (y2 <= yc):
                    xs.append(x1 + (yc - y1) * (x2 - x1) / (y2 - y1))
            xs.sort()
            line = owner[row]
            for a, b in zip(xs[0::2], xs[1::2]):
                lo = max(0, int(math.ceil(a - 0.5)))
                hi = min(W - 1, int(math.floor(b - 0.5)))
                if hi >= lo:
                    line[lo:hi + 1] = bytes([idx]) * (hi - lo + 1)
    colours = [SEA] + [c for _, c in shapes]
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            r = g = b = 0
            for sy in range(s):
                Y = y * s + sy
                line = owner[Y]
                ups = [owner[Y - t] if Y - t >= 0 else line for t in range(1, thick + 1)]
                for sx in range(s):
                    X = x * s + sx
                    o = line[X]
                    # Outlines: a sample whose left or upper neighbours
                    # belong to another province (or the sea) is border.
                    if o and (any(X - t >= 0 and line[X - t] != o for t in range(1, thick + 1))
                              or any(up[X] != o for up in ups)):
                        c = BORDER
                    else:
                        c = colours[o]
                    r += c[0]
                    g += c[1]
                    b += c[2]
            n = s * s
            row += bytes((r // n, g // n, b // n))
        rows.append(bytes(row))
    return rows


def write_png(path, width, height, rows):
    raw = b"".join(b"\x00" + r for r in rows)
    def chunk(kind, data):
        c = struct.pack(">I", len(data)) + kind + data
        return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    open(path, "wb").write(png)


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit("usage: make_province_map.py china.json out.png [SCALE]")
    scale = int(sys.argv[3]) if len(sys.argv) == 4 else 1
    if scale < 1:
        sys.exit("SCALE is a whole number from 1")
    provinces = load(sys.argv[1])
    missing = set(BOXES) - set(provinces)
    if missing:
        sys.exit("provinces missing from the map data: " + " ".join(sorted(missing)))
    params = fit_to_boxes(provinces)
    to_px = make_transform(params)
    inside = 0
    for name, (x, y, w) in BOXES.items():
        d = outside_distance(to_px, provinces[name][0], box_point(x, y))
        inside += d == 0
        print(f"{name}\t{d:6.1f} px outside its province")
    print(f"{inside} of {len(BOXES)} boxes lie on their province; "
          f"transform x = {params[0]:.3f} lon + {params[1]:.1f}, "
          f"y = {params[2]:.3f} mercator(lat) + {params[3]:.1f}")
    colours = colour_provinces(provinces, to_px)
    def scaled(p):
        x, y = to_px(p)
        return (x * scale, y * scale)
    shapes = [([[scaled(p) for p in ring] for ring in rings], colours[name])
              for name, (rings, _) in provinces.items()]
    rows = rasterise(shapes, WIDTH * scale, HEIGHT * scale, scale)
    write_png(sys.argv[2], WIDTH * scale, HEIGHT * scale, rows)


if __name__ == "__main__":
    main()
