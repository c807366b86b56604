#!/usr/bin/env python3
"""Draws Cantorel's pictures and writes them out.

Each toolbar picture is a small SVG drawing below. It is rendered with
rsvg-convert (Debian package librsvg2-bin), reduced to the exact number of
colours the toolbar wants and written as an XPM array. Outputs, relative to
the repository root:

  src/MainWindowImages.h   twelve toolbar pictures and the window icon
  src/WavePanelImages.h    the resize grip
  icons/cantorel.svg, icons/cantorel-48.png, icons/cantorel-256.png

Run from anywhere:  python3 tools/make_artwork.py
Only the standard library and rsvg-convert are needed.
"""

import os
import struct
import subprocess
import sys
import tempfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Toolbar grey (FLTK colour 53); semi-transparent edges are blended into it
# because XPM transparency is all-or-nothing.
TOOLBAR_GREY = (234, 234, 234)
# Pixels less opaque than this become fully transparent.
ALPHA_CUTOFF = 100


# ---------------------------------------------------------------- drawings

def svg24(body, defs=""):
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="24" height="24" '
            'viewBox="0 0 24 24"><defs>%s</defs>%s</svg>' % (defs, body))


def lin(name, x1, y1, x2, y2, *stops):
    """A linear gradient in user space; stops are (offset, colour)."""
    s = "".join('<stop offset="%g" stop-color="%s"/>' % st for st in stops)
    return ('<linearGradient id="%s" gradientUnits="userSpaceOnUse" '
            'x1="%g" y1="%g" x2="%g" y2="%g">%s</linearGradient>'
            % (name, x1, y1, x2, y2, s))


def rad(name, cx, cy, r, *stops, fx=None, fy=None):
    s = "".join('<stop offset="%g" stop-color="%s"/>' % st for st in stops)
    return ('<radialGradient id="%s" gradientUnits="userSpaceOnUse" '
            'cx="%g" cy="%g" r="%g" fx="%g" fy="%g">%s</radialGradient>'
            % (name, cx, cy, r, cx if fx is None else fx,
               cy if fy is None else fy, s))


# Shared pieces: the green play triangle and the dark position bar.
GREEN = lin("green", 0, 4, 0, 20, (0, "#b4f09a"), (0.45, "#52c234"),
            (1, "#1f7a14"))
BAR = lin("bar", 0, 3, 0, 21, (0, "#6f8fc8"), (1, "#1c3566"))


def triangle(x0, ytop, x1, ybot):
    ymid = (ytop + ybot) / 2.0
    return ('<path d="M%g,%g L%g,%g L%g,%g Z" fill="url(#green)" '
            'stroke="#18560f" stroke-width="1" stroke-linejoin="round"/>'
            '<path d="M%g,%g L%g,%g L%g,%g Z" fill="#ffffff" opacity="0.35"/>'
            % (x0, ytop, x1, ymid, x0, ybot,
               x0 + 1.2, ytop + 2.2, x0 + (x1 - x0) * 0.55, ymid - 0.6,
               x0 + 1.2, ymid - 0.6))


def bar(x, y0, y1):
    # Half-pixel coordinates keep the one-pixel outline sharp.
    return ('<rect x="%g" y="%g" width="3" height="%g" rx="0.5" '
            'fill="url(#bar)" stroke="#14264a" stroke-width="1"/>'
            % (x + 0.5, y0 + 0.5, y1 - y0 - 1))


OPEN = svg24(
    defs=lin("back", 0, 4, 0, 19, (0, "#e7b84a"), (1, "#a9740f"))
    + lin("front", 0, 10, 0, 21, (0, "#fff0b0"), (0.5, "#f7cd55"),
          (1, "#d99a1c"))
    + lin("paper", 0, 7, 0, 14, (0, "#ffffff"), (1, "#d8d8d0")),
    body=(
        # back of the folder with its tab
        '<path d="M2,5.5 Q2,4.5 3,4.5 L8.5,4.5 L10.5,6.8 L19.5,6.8 '
        'Q20.5,6.8 20.5,7.8 L20.5,19.5 L2,19.5 Z" fill="url(#back)" '
        'stroke="#6e4a06" stroke-width="1" stroke-linejoin="round"/>'
        # a sheet inside
        '<rect x="5" y="8.5" width="13" height="8" fill="url(#paper)" '
        'stroke="#8a8a80" stroke-width="0.6"/>'
        # the open front flap, tilted towards the viewer
        '<path d="M5,11 L23,11 L20,20.5 L1.5,20.5 Z" fill="url(#front)" '
        'stroke="#80560a" stroke-width="1" stroke-linejoin="round"/>'))

SAVE = svg24(
    defs=lin("disk", 3, 3, 21, 21, (0, "#7aa6ec"), (0.5, "#3466c0"),
             (1, "#173a80"))
    + lin("metal", 0, 3, 0, 10, (0, "#fbfbfb"), (0.6, "#c4c9d0"),
          (1, "#8e949c"))
    + lin("label", 0, 13, 0, 21, (0, "#ffffff"), (1, "#d6d6cc")),
    body=(
        # body with the clipped corner at the top right
        '<path d="M3,4.5 Q3,3 4.5,3 L19,3 L21,5 L21,19.5 Q21,21 19.5,21 '
        'L4.5,21 Q3,21 3,19.5 Z" fill="url(#disk)" stroke="#10285a" '
        'stroke-width="1"/>'
        # metal shutter with its window
        '<rect x="7" y="3.5" width="10" height="6.5" fill="url(#metal)" '
        'stroke="#5a6068" stroke-width="0.6"/>'
        '<rect x="13" y="4.6" width="2.4" height="4.2" fill="#2a2f38"/>'
        # paper label with writing lines
        '<rect x="5.5" y="12.5" width="13" height="8.5" rx="0.6" '
        'fill="url(#label)" stroke="#7a7a70" stroke-width="0.5"/>'
        '<path d="M7,15 H17 M7,17.2 H17 M7,19.4 H14" stroke="#7890b8" '
        'stroke-width="0.7"/>'))

PLAY = svg24(defs=GREEN, body=triangle(6.5, 3.5, 20, 20.5))

PLAY_SELECTION = svg24(
    defs=GREEN + BAR
    + lin("band", 0, 3, 0, 21, (0, "#d2e4fb"), (1, "#8fb4e6")),
    body=(
        # highlighted range between two brackets
        '<rect x="3" y="3" width="18" height="18" fill="url(#band)"/>'
        '<path d="M6,2.5 H2.5 V21.5 H6 M18,2.5 H21.5 V21.5 H18" fill="none" '
        'stroke="#1c3566" stroke-width="1.6"/>'
        + triangle(8.5, 7, 17, 17)))

PLAY_TO = svg24(
    defs=GREEN + BAR,
    body=triangle(3.5, 4.5, 15.5, 19.5) + bar(17, 3, 21))

PLAY_FROM = svg24(
    defs=GREEN + BAR,
    body=bar(3, 3, 21) + triangle(9.5, 4.5, 21.5, 19.5))

STOP = svg24(
    defs=lin("red", 5, 5, 19, 19, (0, "#ff9a84"), (0.45, "#e0402a"),
             (1, "#8c140a")),
    body=('<rect x="5" y="5" width="14" height="14" rx="1.8" '
          'fill="url(#red)" stroke="#5e0d06" stroke-width="1"/>'
          '<rect x="6.6" y="6.6" width="10.8" height="4" rx="1.2" '
          'fill="#ffffff" opacity="0.3"/>'))


def magnifier(inside, extra_defs=""):
    """A magnifying glass whose lens shows the given SVG fragment."""
    return svg24(
        defs=rad("glass", 10, 10, 7, (0, "#ffffff"), (0.7, "#dbe9f8"),
                 (1, "#a9c6e8"), fx=8, fy=7.5)
        + lin("rim", 3, 3, 17, 17, (0, "#9aa2ae"), (1, "#2c323c"))
        + lin("handle", 14, 14, 22, 22, (0, "#7a4a22"), (1, "#3a1e08"))
        + extra_defs,
        body=('<path d="M15,15 L21,21" stroke="url(#handle)" '
              'stroke-width="4" stroke-linecap="round"/>'
              '<circle cx="10" cy="10" r="6.8" fill="url(#glass)" '
              'stroke="url(#rim)" stroke-width="2"/>' + inside))


SYMBOL = "#123a78"
ZOOM_IN = magnifier('<path d="M6.5,10 H13.5 M10,6.5 V13.5" stroke="%s" '
                    'stroke-width="2"/>' % SYMBOL)
ZOOM_OUT = magnifier('<path d="M6.5,10 H13.5" stroke="%s" '
                     'stroke-width="2"/>' % SYMBOL)
ZOOM_1 = magnifier('<path d="M8,8.2 L10.4,6.3 H11.6 V13.6 H9.8 V8.7 L8,9.9 Z" '
                   'fill="%s"/>' % SYMBOL)
ZOOM_FIT = magnifier(
    '<rect x="6.4" y="7" width="7.2" height="6" fill="#8fb4e6"/>'
    '<path d="M7.8,6.6 H6.2 V13.4 H7.8 M12.2,6.6 H13.8 V13.4 H12.2" '
    'fill="none" stroke="%s" stroke-width="1.3"/>' % SYMBOL)

GLUE = svg24(
    defs=lin("tube", 0, 7, 0, 17, (0, "#80868e"), (0.22, "#f4f6f8"),
             (0.45, "#ffffff"), (0.7, "#c9ced5"), (1, "#5c626a"))
    + lin("band", 0, 7.3, 0, 16.7, (0, "#ffc890"), (0.3, "#f28a2a"),
          (0.7, "#d0600c"), (1, "#7a2e02"))
    + lin("cap", 0, 9.5, 0, 14.5, (0, "#ff9c90"), (0.35, "#e8321e"),
          (1, "#6e0a02"))
    + rad("blob", 19.4, 19.8, 3.4, (0, "#ffffff"), (0.55, "#f6f4ea"),
          (1, "#b4b09c"), fx=18.2, fy=19),
    body=(
        # the tube lies diagonally, its nozzle pointing down to the right
        '<g transform="translate(17,15.2) rotate(45) scale(0.8) '
        'translate(-22.2,-12)">'
        # crimped end with ridges
        '<rect x="0.5" y="6.6" width="3.2" height="10.8" rx="0.4" '
        'fill="url(#tube)" stroke="#3c4148" stroke-width="0.7"/>'
        '<path d="M1.5,7 V17 M2.6,7 V17" stroke="#5c626a" '
        'stroke-width="0.45"/>'
        # body, narrowing at the shoulder
        '<path d="M3.7,7 L14.5,7.6 Q17.5,8.2 18,10 L18,14 Q17.5,15.8 '
        '14.5,16.4 L3.7,17 Z" fill="url(#tube)" stroke="#3c4148" '
        'stroke-width="0.8" stroke-linejoin="round"/>'
        # printed band round the middle
        '<path d="M6.5,7.2 L12.5,7.5 L12.5,16.5 L6.5,16.8 Z" '
        'fill="url(#band)"/>'
        '<path d="M8,10.5 H11 M8,13.5 H11" stroke="#fff3e0" '
        'stroke-width="0.9"/>'
        # conical red nozzle
        '<path d="M18,9.8 L22.2,11 L22.2,13 L18,14.2 Z" fill="url(#cap)" '
        'stroke="#4e0600" stroke-width="0.6" stroke-linejoin="round"/>'
        '</g>'
        # a drop of glue falling from the tip
        '<path d="M18.8,16.2 C19.6,17.8 21.8,18.8 21.8,20.6 A2.7,2.7 0 0 1 '
        '16.4,20.6 C16.4,18.8 18.2,17.8 18.8,16.2 Z" fill="url(#blob)" '
        'stroke="#6e6a58" stroke-width="0.7"/>'))


# The program icon: piano-roll rows, a wavering sung pitch that is pulled
# onto the rows, and a note.
ICON_SVG = """<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">
  <defs>
    <linearGradient id="bg" x1="0" y1="0" x2="0" y2="256" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#33446c"/>
      <stop offset="1" stop-color="#151d35"/>
    </linearGradient>
    <linearGradient id="note" x1="120" y1="20" x2="230" y2="150" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#fff2a8"/>
      <stop offset="1" stop-color="#f0a400"/>
    </linearGradient>
    <clipPath id="card"><rect x="8" y="8" width="240" height="240" rx="40"/></clipPath>
  </defs>
  <rect x="8" y="8" width="240" height="240" rx="40" fill="url(#bg)"/>
  <g clip-path="url(#card)">
    <!-- piano-roll rows, 24 high, top row C; black-key rows are darker -->
    <g fill="#000000" opacity="0.28">
      <rect x="8" y="56" width="240" height="24"/>
      <rect x="8" y="104" width="240" height="24"/>
      <rect x="8" y="152" width="240" height="24"/>
      <rect x="8" y="224" width="240" height="24"/>
    </g>
    <path d="M50,32 H248 M50,200 H248" stroke="#000000" stroke-width="2" opacity="0.35"/>
    <!-- keyboard strip at the left -->
    <rect x="8" y="8" width="42" height="240" fill="#eef0f4"/>
    <path d="M8,32 H50 M8,68 H50 M8,116 H50 M8,164 H50 M8,200 H50 M8,236 H50"
          stroke="#9aa0ac" stroke-width="2"/>
    <g fill="#1b2238">
      <rect x="8" y="56" width="28" height="24" rx="3"/>
      <rect x="8" y="104" width="28" height="24" rx="3"/>
      <rect x="8" y="152" width="28" height="24" rx="3"/>
      <rect x="8" y="224" width="28" height="24" rx="3"/>
    </g>
    <rect x="48" y="8" width="4" height="240" fill="#0b1020"/>
    <!-- the sung pitch, wavering -->
    <path d="M60,226 C68,196 80,232 90,204 C98,182 100,120 112,124 C122,128 124,160 134,146 C142,134 140,72 152,74 C162,76 162,100 172,94"
          fill="none" stroke="#ff5a6e" stroke-width="9" stroke-linecap="round" opacity="0.9"/>
    <!-- the corrected pitch, held on the rows -->
    <path d="M60,212 H98 V140 H136 V92 H236"
          fill="none" stroke="#44e0d0" stroke-width="10" stroke-linecap="round" stroke-linejoin="round"/>
  </g>
  <!-- a note sitting on its row -->
  <ellipse cx="180" cy="92" rx="28" ry="21" transform="rotate(-22 180 92)"
           fill="url(#note)" stroke="#5a3a00" stroke-width="6"/>
  <path d="M202,86 V18 C214,38 244,44 232,80 C232,60 220,54 210,52 V86 Z"
        fill="url(#note)" stroke="#5a3a00" stroke-width="6" stroke-linejoin="round"/>
</svg>
"""

# name, drawing, colour count, packed colour table?, characters per pixel
TOOLBAR = [
    ("open", OPEN, 39, True, 1),
    ("save", SAVE, 92, True, 1),
    ("play", PLAY, 41, True, 1),
    ("play_selection", PLAY_SELECTION, 70, True, 1),
    ("play_to", PLAY_TO, 70, True, 1),
    ("play_from", PLAY_FROM, 70, True, 1),
    ("stock_media", STOP, 29, False, 1),
    ("zoom_fit", ZOOM_FIT, 24, True, 1),
    ("zoom_1", ZOOM_1, 24, True, 1),
    ("zoom_in", ZOOM_IN, 24, True, 1),
    ("zoom_out", ZOOM_OUT, 24, True, 1),
    ("stock_glue", GLUE, 141, False, 2),
]
ICON_SIZE = 48
ICON_COLOURS = 64


# ---------------------------------------------------------------- rendering

def read_png(path):
    """Decodes an 8-bit non-interlaced RGBA PNG into rows of (r,g,b,a)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        chunk = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", chunk)
            assert depth == 8 and ctype == 6 and interlace == 0, path
        elif kind == b"IDAT":
            idat += chunk
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = w * 4
    rows, prev = [], bytearray(stride)
    for y in range(h):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 255
        rows.append([tuple(line[x * 4:x * 4 + 4]) for x in range(w)])
        prev = line
    return rows


def render(svg, size, png_out=None):
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "in.svg")
        out = png_out or os.path.join(tmp, "out.png")
        with open(src, "w") as f:
            f.write(svg)
        subprocess.run(["rsvg-convert", "-w", str(size), "-h", str(size),
                        "-o", out, src], check=True)
        return read_png(out)


# ---------------------------------------------------------------- colours

def dist(p, q):
    # Green weighs most, as the eye is most sensitive to it.
    return (2 * (p[0] - q[0]) ** 2 + 4 * (p[1] - q[1]) ** 2
            + 3 * (p[2] - q[2]) ** 2)


def nearest(p, centres):
    return min(range(len(centres)), key=lambda i: dist(p, centres[i]))


def quantise(counts, k):
    """Picks exactly k distinct colours for the weighted colours in counts,
    each of them nearest to at least one input colour."""
    colours = sorted(counts)
    if len(colours) < k:
        raise SystemExit("only %d distinct colours, %d wanted: add shading"
                         % (len(colours), k))
    # Farthest-point start, then a few rounds of k-means.
    centres = [max(colours, key=lambda c: counts[c])]
    gap = {c: dist(c, centres[0]) for c in colours}
    while len(centres) < k:
        far = max(colours, key=lambda c: gap[c] * counts[c])
        centres.append(far)
        for c in colours:
            gap[c] = min(gap[c], dist(c, far))
    for _ in range(12):
        groups = [[] for _ in centres]
        for c in colours:
            groups[nearest(c, centres)].append(c)
        new = []
        for centre, members in zip(centres, groups):
            if not members:
                new.append(centre)
                continue
            n = sum(counts[m] for m in members)
            new.append(tuple(round(sum(m[i] * counts[m] for m in members) / n)
                             for i in range(3)))
        centres = new
    # Make every centre distinct and used: drop the idle ones and add the
    # worst-served input colour instead. The total error falls each round,
    # so this ends.
    while True:
        centres = list(dict.fromkeys(centres))
        owner = {c: nearest(c, centres) for c in colours}
        used = set(owner.values())
        centres = [c for i, c in enumerate(centres) if i in used]
        if len(centres) == k:
            return centres
        if len(centres) > k:
            raise AssertionError("quantiser overshot")
        worst = max(colours, key=lambda c: dist(c, centres[nearest(c, centres)])
                    * counts[c])
        centres.append(worst)


def flatten(rows, bg):
    """Opaque colour per pixel, or None where the picture is transparent."""
    out = []
    for row in rows:
        line = []
        for r, g, b, a in row:
            if a < ALPHA_CUTOFF:
                line.append(None)
            else:
                f = a / 255.0
                line.append(tuple(round(v * f + w * (1 - f))
                                  for v, w in zip((r, g, b), bg)))
        out.append(line)
    return out


def index_picture(rows, ncolours, bg):
    """Returns (palette, pixels): palette[0] is None (transparent) and the
    pixels are palette indices."""
    flat = flatten(rows, bg)
    counts = {}
    for line in flat:
        for p in line:
            if p is not None:
                counts[p] = counts.get(p, 0) + 1
    centres = quantise(counts, ncolours - 1)
    owner = {c: centres[nearest(c, centres)] for c in counts}
    # Dark to light, so the tables read in a sensible order. The owners are
    # settled before sorting, as ties could otherwise fall to another centre.
    centres.sort(key=lambda c: (299 * c[0] + 587 * c[1] + 114 * c[2], c))
    lookup = {c: 1 + centres.index(owner[c]) for c in counts}
    pixels = [[0 if p is None else lookup[p] for p in line] for line in flat]
    return [None] + centres, pixels


# ---------------------------------------------------------------- XPM text

# One-character codes: printable ASCII without the quote, backslash and
# question mark (no escapes, no trigraph lookalikes). The space comes first
# because FLTK makes a packed table's leading space colour transparent.
CODES = " " + "".join(chr(c) for c in range(33, 127) if chr(c) not in '"\\?')


def codes_for(n, cpp):
    if cpp == 1:
        assert n <= len(CODES), "too many colours for one character"
        return list(CODES[:n])
    return [a + b for a in CODES for b in CODES][:n]


def c_string(data):
    """A C string literal for the given bytes. Octal escapes always have
    three digits so that a following digit is never taken into them; an
    escaped question mark cannot start a trigraph."""
    out = []
    for byte in data:
        ch = chr(byte)
        assert byte != 0, "a zero byte would end the string"
        if ch in '"\\?':
            out.append("\\" + ch)
        elif 32 <= byte < 127:
            out.append(ch)
        else:
            out.append("\\%03o" % byte)
    return '"' + "".join(out) + '"'


def xpm_strings(palette, pixels, packed, cpp):
    """The XPM lines as byte strings."""
    h, w, n = len(pixels), len(pixels[0]), len(palette)
    codes = codes_for(n, cpp)
    lines = [("%d %d %d %d" % (w, h, -n if packed else n, cpp)).encode()]
    if packed:
        assert cpp == 1
        table = bytearray()
        for code, colour in zip(codes, palette):
            # FLTK ignores the rgb of the transparent colour; a nonzero
            # value keeps the string whole.
            rgb = (1, 1, 1) if colour is None else colour
            table += code.encode() + bytes(max(v, 1) for v in rgb)
        lines.append(bytes(table))
    else:
        for code, colour in zip(codes, palette):
            value = "None" if colour is None else "#%02x%02x%02x" % colour
            lines.append(("%s c %s" % (code, value)).encode())
    for line in pixels:
        lines.append("".join(codes[i] for i in line).encode())
    return lines


def c_array(name, lines):
    body = ",\n".join("    " + c_string(s) for s in lines)
    return "static const char* %s[] = {\n%s\n};\n" % (name, body)


def parse_c_arrays(text):
    """Reads back every `static const char* NAME[] = {...};` in text as a
    dict of NAME -> list of byte strings, undoing the C escapes."""
    arrays = {}
    pos = 0
    while True:
        start = text.find("static const char* ", pos)
        if start < 0:
            return arrays
        name = text[start + 19:text.index("[", start)]
        end = text.index("};", start)
        items, i = [], text.index("{", start) + 1
        while True:
            q = text.find('"', i, end)
            if q < 0:
                break
            s, i = bytearray(), q + 1
            while text[i] != '"':
                if text[i] == "\\":
                    nxt = text[i + 1]
                    if nxt in "01234567":
                        digits = text[i + 1:i + 4]
                        assert all(d in "01234567" for d in digits), digits
                        s.append(int(digits, 8))
                        i += 4
                        continue
                    s.append(ord({"n": "\n", "t": "\t"}.get(nxt, nxt)))
                    i += 2
                    continue
                s.append(ord(text[i]))
                i += 1
            items.append(bytes(s))
            i += 1
        arrays[name] = items
        pos = end


def check_xpm(name, lines, ncolours, packed, cpp, size, transparent=True):
    """Asserts that the XPM is well formed, has the wanted header and colour
    count and that every declared colour is both distinct and used."""
    w, h, n, c = (int(v) for v in lines[0].split())
    assert (w, h) == size, (name, w, h)
    assert n == (-ncolours if packed else ncolours), (name, n)
    assert c == cpp, (name, c)
    count = abs(n)
    if packed:
        table = lines[1]
        assert len(table) == 4 * count, (name, len(table))
        codes = [table[i:i + 1] for i in range(0, len(table), 4)]
        rgbs = [table[i + 1:i + 4] for i in range(0, len(table), 4)]
        if transparent:
            assert codes[0] == b" ", "the transparent colour must lead"
            rgbs = rgbs[1:]
        assert len(set(rgbs)) == len(rgbs), (name, "repeated colour")
        rows = lines[2:]
    else:
        entries = lines[1:1 + count]
        codes = [e[:cpp] for e in entries]
        values = [e[cpp:] for e in entries]
        assert all(v.startswith(b" c ") for v in values), name
        assert len(set(values)) == count, (name, "repeated colour")
        rows = lines[1 + count:]
    assert len(set(codes)) == count, (name, "repeated code")
    assert len(rows) == h, (name, len(rows))
    used = set()
    for row in rows:
        assert len(row) == w * cpp, (name, row)
        for x in range(w):
            code = row[x * cpp:(x + 1) * cpp]
            assert code in codes, (name, code)
            used.add(code)
    assert used == set(codes), (name, "unused colours", set(codes) - used)


# ---------------------------------------------------------------- grip

def resize_grip():
    """The 18x18 window-corner grip: rows 3..16 carry a white pixel at
    columns 19 - row + 5k (k = 0..2, at most 16), each followed by up to two
    shadow pixels, never past column 16."""
    grid = [['"'] * 18 for _ in range(18)]
    for row in range(3, 17):
        for k in range(3):
            col = 19 - row + 5 * k
            if col > 16:
                continue
            grid[row][col] = "#"
            for c in (col + 1, col + 2):
                if c <= 16:
                    grid[row][c] = "!"
    table = b"!\xab\xa6\x98" + b'"\xea\xe8\xe3' + b"#\xff\xff\xff"
    return [b"18 18 -3 1", table] + ["".join(r).encode() for r in grid]


# ---------------------------------------------------------------- main

HEADER_GUARD = """// %s
// Generated by tools/make_artwork.py; change the drawings there.
#ifndef %s
#define %s

%s
#endif
"""


def write(path, text):
    path = os.path.join(ROOT, path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    print("wrote", os.path.relpath(path, ROOT))


def main():
    arrays, specs = [], {}
    for name, svg, ncolours, packed, cpp in TOOLBAR:
        palette, pixels = index_picture(render(svg, 24), ncolours, TOOLBAR_GREY)
        arrays.append(c_array("idata_" + name,
                              xpm_strings(palette, pixels, packed, cpp)))
        specs["idata_" + name] = (ncolours, packed, cpp, (24, 24))

    # The window icon sits on unknown backgrounds; its card is opaque, so
    # only the rounded corners blend, into a neutral mid grey.
    os.makedirs(os.path.join(ROOT, "icons"), exist_ok=True)
    write("icons/cantorel.svg", ICON_SVG)
    render(ICON_SVG, 256, os.path.join(ROOT, "icons/cantorel-256.png"))
    rows = render(ICON_SVG, ICON_SIZE, os.path.join(ROOT, "icons/cantorel-48.png"))
    print("wrote icons/cantorel-48.png, icons/cantorel-256.png")
    palette, pixels = index_picture(rows, ICON_COLOURS, (128, 128, 128))
    arrays.append(c_array("idata_cantorel_icon",
                          xpm_strings(palette, pixels, False, 1)))
    specs["idata_cantorel_icon"] = (ICON_COLOURS, False, 1,
                                    (ICON_SIZE, ICON_SIZE))

    main_h = HEADER_GUARD % (
        "Toolbar pictures (24x24) and the window icon, as XPM data.",
        "MAINWINDOWIMAGES_H", "MAINWINDOWIMAGES_H", "\n".join(arrays))
    grip_h = HEADER_GUARD % (
        "Resize grip for the bottom-right corner of the wave panel.",
        "WAVEPANELIMAGES_H", "WAVEPANELIMAGES_H",
        c_array("idata_resizethumb", resize_grip()))

    # Read the text back as a C compiler would see the strings.
    parsed = parse_c_arrays(main_h)
    assert sorted(parsed) == sorted(specs), sorted(parsed)
    for name, (ncolours, packed, cpp, size) in specs.items():
        check_xpm(name, parsed[name], ncolours, packed, cpp, size)
    grip = parse_c_arrays(grip_h)["idata_resizethumb"]
    check_xpm("idata_resizethumb", grip, 3, True, 1, (18, 18),
              transparent=False)
    assert grip == resize_grip()
    for text in (main_h, grip_h):
        assert "??" not in text and "\\000" not in text

    write("src/MainWindowImages.h", main_h)
    write("src/WavePanelImages.h", grip_h)


if __name__ == "__main__":
    sys.exit(main())
