"""Generate the bundled assets in 格式範本/.

Makes the product logo and wordmark, the window icon, the small UI icons
(folder, trash, help, copyright, settings), the starter workbook of patent
publication numbers and the one-page copyright notice PDF.

Run from the repository root:

    python tools/make_templates.py [OUTPUT_DIR]

OUTPUT_DIR defaults to 格式範本/ at the repository root. Needs only Pillow
and openpyxl. Output is deterministic, so re-running leaves git clean.
"""

from __future__ import annotations

import argparse
import datetime as dt
import math
import sys
import time
import zipfile
from pathlib import Path

from openpyxl import Workbook
from openpyxl.styles import Alignment, Font
from openpyxl.writer.excel import ExcelWriter
from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

REPO = Path(__file__).resolve().parent.parent
DEFAULT_OUT = REPO / "格式範本"

# customtkinter "blue" theme colours, so the logo sits naturally in the UI.
BLUE = "#1f6aa5"
BLUE_LIGHT = "#3b8ed0"
BLUE_DARK = "#144870"
# customtkinter's dark-mode text colour; all line icons use it.
ICON_FG = "#dce4ee"
FOLDER_FG = "#f2b84b"

SS = 4  # supersampling factor: draw big, downsample with LANCZOS
ICON_PX = 128
GRID = 24  # icons are designed on a 24-unit grid with a 2-unit stroke
STROKE = 2.0

FIXED_DATE = dt.datetime(2026, 1, 1, 0, 0, 0)

FONT_DIRS = [
    Path("/usr/share/fonts"),
    Path("/usr/local/share/fonts"),
    Path.home() / ".fonts",
    Path("/Library/Fonts"),
    Path("/System/Library/Fonts"),
    Path("C:/Windows/Fonts"),
]


# --------------------------------------------------------------------------
# fonts


def _find_file(names: list[str]) -> Path | None:
    for d in FONT_DIRS:
        if not d.is_dir():
            continue
        for name in names:
            hits = sorted(d.rglob(name))
            if hits:
                return hits[0]
    return None


def latin_bold(size: int) -> ImageFont.FreeTypeFont:
    path = _find_file(["URWGothic-Demi.otf", "DejaVuSans-Bold.ttf", "segoeuib.ttf", "arialbd.ttf"])
    if path is None:
        sys.exit("no bold Latin font found (install fonts-urw-base35 or DejaVu)")
    return ImageFont.truetype(str(path), size)


def cjk_tc(size: int, bold: bool = False) -> ImageFont.FreeTypeFont:
    """Traditional Chinese face; .ttc collections are searched by family name."""
    weight = "Bold" if bold else "Regular"
    candidates = [
        (f"NotoSansCJK-{weight}.ttc", "Noto Sans CJK TC"),
        (f"NotoSansCJKtc-{weight}.otf", "Noto Sans CJK TC"),
        ("msjhbd.ttc" if bold else "msjh.ttc", "Microsoft JhengHei"),
    ]
    for filename, family in candidates:
        path = _find_file([filename])
        if path is None:
            continue
        for index in range(16):
            try:
                font = ImageFont.truetype(str(path), size, index=index)
            except OSError:
                break
            if font.getname()[0].startswith(family):
                return font
    sys.exit("no Traditional Chinese font found (install fonts-noto-cjk)")


# --------------------------------------------------------------------------
# drawing helpers


def hex_rgba(colour: str, alpha: int = 255) -> tuple[int, int, int, int]:
    colour = colour.lstrip("#")
    return (int(colour[0:2], 16), int(colour[2:4], 16), int(colour[4:6], 16), alpha)


def mix(a: str, b: str, t: float) -> tuple[int, int, int]:
    ca, cb = hex_rgba(a), hex_rgba(b)
    return tuple(round(ca[i] + (cb[i] - ca[i]) * t) for i in range(3))


def downsample(img: Image.Image, size: int | tuple[int, int]) -> Image.Image:
    if isinstance(size, int):
        size = (size, size)
    return img.resize(size, Image.Resampling.LANCZOS)


def tinted(mask: Image.Image, colour: str) -> Image.Image:
    """Solid colour layer using `mask` as alpha."""
    layer = Image.new("RGBA", mask.size, hex_rgba(colour))
    layer.putalpha(mask)
    return layer


def arc_points(cx, cy, r, a0, a1, steps=None):
    """Points along an arc; angles in degrees, clockwise from 3 o'clock (y down)."""
    if steps is None:
        steps = max(8, int(abs(a1 - a0) / 4))
    out = []
    for i in range(steps + 1):
        a = math.radians(a0 + (a1 - a0) * i / steps)
        out.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return out


def rounded(points, radius, closed=False):
    """Replace corners of a polyline by quadratic curves so joins read as soft."""
    n = len(points)
    out = []
    for i in range(n):
        p = points[i]
        if not closed and (i == 0 or i == n - 1):
            out.append(p)
            continue
        a, b = points[i - 1], points[(i + 1) % n]
        da, db = math.dist(p, a), math.dist(p, b)
        r = min(radius, da / 2, db / 2)
        p1 = (p[0] + (a[0] - p[0]) * r / da, p[1] + (a[1] - p[1]) * r / da)
        p2 = (p[0] + (b[0] - p[0]) * r / db, p[1] + (b[1] - p[1]) * r / db)
        for k in range(9):
            t = k / 8
            out.append(
                (
                    (1 - t) ** 2 * p1[0] + 2 * (1 - t) * t * p[0] + t * t * p2[0],
                    (1 - t) ** 2 * p1[1] + 2 * (1 - t) * t * p[1] + t * t * p2[1],
                )
            )
    if closed:
        out.append(out[0])
    return out


class LineIcon:
    """Monoline icon on a 24-unit grid, rendered supersampled into an alpha mask."""

    def __init__(self, px: int = ICON_PX):
        self.px = px
        self.scale = px * SS / GRID
        self.mask = Image.new("L", (px * SS, px * SS), 0)
        self.draw = ImageDraw.Draw(self.mask)

    def _p(self, pt):
        return (pt[0] * self.scale, pt[1] * self.scale)

    def dot(self, x, y, r, value=255):
        cx, cy = self._p((x, y))
        rr = r * self.scale
        self.draw.ellipse((cx - rr, cy - rr, cx + rr, cy + rr), fill=value)

    def stroke(self, points, width=STROKE):
        """Polyline with round caps and joins."""
        pts = [self._p(p) for p in points]
        w = width * self.scale
        self.draw.line(pts, fill=255, width=round(w))
        r = w / 2
        for x, y in pts:
            self.draw.ellipse((x - r, y - r, x + r, y + r), fill=255)

    def fill(self, points, value=255):
        self.draw.polygon([self._p(p) for p in points], fill=value)

    def circle(self, cx, cy, r, width=STROKE):
        self.stroke(arc_points(cx, cy, r, 0, 360, steps=180), width)

    def render(self, colour: str) -> Image.Image:
        return downsample(tinted(self.mask, colour), self.px)


# --------------------------------------------------------------------------
# icons


def icon_folder() -> Image.Image:
    outline = [
        (2.5, 19.5),
        (2.5, 4.5),
        (9.0, 4.5),
        (11.0, 7.0),
        (21.5, 7.0),
        (21.5, 19.5),
    ]
    path = rounded(outline, 1.6, closed=True)
    body = LineIcon()
    body.fill(path, value=80)  # translucent fill keeps it a solid shape at 25 px
    body.stroke(path)
    body.stroke([(2.5, 10.5), (21.5, 10.5)])  # front flap edge
    return body.render(FOLDER_FG)


def icon_trash() -> Image.Image:
    ic = LineIcon()
    ic.stroke([(3.0, 6.0), (21.0, 6.0)])  # lid
    ic.stroke(rounded([(8.5, 6.0), (8.5, 3.0), (15.5, 3.0), (15.5, 6.0)], 1.2))
    ic.stroke(rounded([(5.0, 6.0), (6.2, 21.0), (17.8, 21.0), (19.0, 6.0)], 1.8))
    ic.stroke([(10.0, 10.5), (10.0, 16.5)])
    ic.stroke([(14.0, 10.5), (14.0, 16.5)])
    return ic.render(ICON_FG)


def icon_question() -> Image.Image:
    ic = LineIcon()
    ic.circle(12, 12, 9.8)
    hook = arc_points(12, 9.4, 3.1, 180, 405)
    hook += [(12.0, 12.8), (12.0, 13.9)]
    ic.stroke(rounded(hook, 1.0))
    ic.dot(12, 17.4, 1.35)
    return ic.render(ICON_FG)


def icon_copyright() -> Image.Image:
    ic = LineIcon()
    ic.circle(12, 12, 9.8)
    ic.stroke(arc_points(12, 12, 4.3, 45, 315))
    return ic.render(ICON_FG)


def icon_settings() -> Image.Image:
    ic = LineIcon()
    teeth, r_out, r_in = 8, 10.2, 7.6
    pts = []
    pitch = 360 / teeth
    for k in range(teeth):
        base = k * pitch - 90
        # tooth: narrower at the tip than at the root
        for a, r in (
            (base - pitch * 0.30, r_in),
            (base - pitch * 0.18, r_out),
            (base + pitch * 0.18, r_out),
            (base + pitch * 0.30, r_in),
        ):
            t = math.radians(a)
            pts.append((12 + r * math.cos(t), 12 + r * math.sin(t)))
    ic.stroke(rounded(pts, 0.7, closed=True))
    ic.circle(12, 12, 3.2)
    return ic.render(ICON_FG)


# --------------------------------------------------------------------------
# logo


def logo_master(px: int = 256) -> Image.Image:
    """Rounded-square emblem: a lens holding a bold L, with a glint of light."""
    n = px * SS
    u = n / 256  # design units: 256 across

    # background: diagonal gradient light -> theme blue -> dark
    grad = Image.new("RGBA", (n, n))
    gd = ImageDraw.Draw(grad)
    for i in range(2 * n):
        t = i / (2 * n - 1)
        if t < 0.55:
            c = mix(BLUE_LIGHT, BLUE, t / 0.55)
        else:
            c = mix(BLUE, BLUE_DARK, (t - 0.55) / 0.45)
        gd.line([(i, 0), (0, i)], fill=c + (255,), width=2)
    shape = Image.new("L", (n, n), 0)
    ImageDraw.Draw(shape).rounded_rectangle((8 * u, 8 * u, n - 8 * u, n - 8 * u), radius=56 * u, fill=255)
    img = Image.new("RGBA", (n, n), (0, 0, 0, 0))
    img.paste(grad, (0, 0), shape)

    # soft top sheen
    sheen = Image.new("L", (n, n), 0)
    ImageDraw.Draw(sheen).ellipse((-60 * u, -170 * u, 316 * u, 118 * u), fill=30)
    sheen = sheen.filter(ImageFilter.GaussianBlur(14 * u))
    sheen = ImageChops.multiply(sheen, shape)
    img.alpha_composite(tinted(sheen, "#ffffff"))

    cx, cy, r, ring = 112 * u, 110 * u, 66 * u, 17 * u

    # lens + handle mask, reused for the drop shadow
    fg = Image.new("L", (n, n), 0)
    fd = ImageDraw.Draw(fg)
    fd.ellipse((cx - r, cy - r, cx + r, cy + r), outline=255, width=round(ring))
    a = math.radians(45)
    h0 = (cx + (r - ring / 2) * math.cos(a), cy + (r - ring / 2) * math.sin(a))
    h1 = (206 * u, 204 * u)
    hw = 26 * u
    fd.line([h0, h1], fill=255, width=round(hw))
    fd.ellipse((h1[0] - hw / 2, h1[1] - hw / 2, h1[0] + hw / 2, h1[1] + hw / 2), fill=255)

    # the L, optically centred in the lens
    letter = Image.new("L", (n, n), 0)
    ld = ImageDraw.Draw(letter)
    lx, ly, lw, lh, st = cx - 26 * u, cy - 36 * u, 54 * u, 72 * u, 19 * u
    ld.rounded_rectangle((lx, ly, lx + st, ly + lh), radius=3 * u, fill=255)
    ld.rounded_rectangle((lx, ly + lh - st, lx + lw, ly + lh), radius=3 * u, fill=255)

    shadow = ImageChops.lighter(fg, letter).filter(ImageFilter.GaussianBlur(6 * u))
    shadow = ImageChops.multiply(shadow.point(lambda v: v * 0.45), shape)
    img.alpha_composite(tinted(shadow, "#0b2a44"), (round(3 * u), round(5 * u)))

    # faint glass tint inside the lens
    glass = Image.new("L", (n, n), 0)
    ImageDraw.Draw(glass).ellipse((cx - r + ring, cy - r + ring, cx + r - ring, cy + r - ring), fill=40)
    img.alpha_composite(tinted(glass, "#ffffff"))

    img.alpha_composite(tinted(fg, "#ffffff"))
    img.alpha_composite(tinted(letter, "#ffffff"))

    # four-point glint on the rim: the "light" in the name
    g = math.radians(-50)
    gx, gy, gl, gw = cx + r * math.cos(g), cy + r * math.sin(g), 30 * u, 7 * u
    glint = Image.new("L", (n, n), 0)
    gdraw = ImageDraw.Draw(glint)
    gdraw.polygon([(gx, gy - gl), (gx + gw, gy), (gx, gy + gl), (gx - gw, gy)], fill=255)
    gdraw.polygon([(gx - gl, gy), (gx, gy - gw), (gx + gl, gy), (gx, gy + gw)], fill=255)
    halo = glint.filter(ImageFilter.GaussianBlur(5 * u)).point(lambda v: v * 0.8)
    img.alpha_composite(tinted(halo, "#cfe6fa"))
    img.alpha_composite(tinted(glint, "#ffffff"))

    return img


def wordmark() -> Image.Image:
    """'Lumivar' in light text; the dot of the i picks up the logo blue."""
    w, h, margin = 480, 120, 10
    size = 100 * SS
    font = latin_bold(size)
    text = "Lumivar"

    l, t, r, b = font.getbbox(text)
    full = Image.new("L", (r - l + 4 * SS, b - t + 4 * SS), 0)
    ox, oy = 2 * SS - l, 2 * SS - t
    ImageDraw.Draw(full).text((ox, oy), text, font=font, fill=255)

    # Cut the tittle out of the rendered text: it is the only ink in the i's
    # column above the x-height (where a dotless i would start).
    dot = Image.new("L", full.size, 0)
    i_top, xh_top = font.getbbox("i")[1], font.getbbox("ı")[1]
    if xh_top - i_top > size * 0.15:  # font really has a dotless i
        x0 = ox + font.getlength("Lum") - size * 0.05
        x1 = ox + font.getlength("Lumi") + size * 0.05
        y1 = oy + xh_top - size * 0.02
        band = Image.new("L", full.size, 0)
        ImageDraw.Draw(band).rectangle((x0, 0, x1, y1), fill=255)
        dot = ImageChops.multiply(full, band)
    body = ImageChops.subtract(full, dot)

    box = full.getbbox()
    full, body, dot = (m.crop(box) for m in (full, body, dot))
    fit = min((w - 2 * margin) * SS / full.width, (h - 2 * margin) * SS / full.height)
    size2 = (round(full.width * fit), round(full.height * fit))
    layer = Image.new("RGBA", full.size, (0, 0, 0, 0))
    layer.alpha_composite(tinted(body, "#eef4fb"))
    layer.alpha_composite(tinted(dot, BLUE_LIGHT))
    layer = layer.resize(size2, Image.Resampling.LANCZOS)

    canvas = Image.new("RGBA", (w * SS, h * SS), (0, 0, 0, 0))
    canvas.alpha_composite(layer, ((w * SS - size2[0]) // 2, (h * SS - size2[1]) // 2))
    return downsample(canvas, (w, h))


# --------------------------------------------------------------------------
# workbook


class _FixedTimeZip(zipfile.ZipFile):
    """Zip whose members all carry one timestamp, so the .xlsx is byte-stable."""

    def writestr(self, zinfo_or_arcname, data, *args, **kwargs):
        if isinstance(zinfo_or_arcname, str):
            info = zipfile.ZipInfo(zinfo_or_arcname, FIXED_DATE.timetuple()[:6])
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o600 << 16
            zinfo_or_arcname = info
        return super().writestr(zinfo_or_arcname, data, *args, **kwargs)

    def write(self, filename, arcname=None, *args, **kwargs):
        # openpyxl streams worksheets through a temp file; keep those stable too.
        self.writestr(arcname or Path(filename).name, Path(filename).read_bytes())


def make_workbook(path: Path) -> None:
    wb = Workbook()
    ws = wb.active
    ws.title = "專利公開號"
    ws["A1"] = "專利公開號"
    ws["A1"].font = Font(bold=True)
    ws["A1"].alignment = Alignment(horizontal="left")
    for row, number in enumerate(["TW I 123456 B", "US 2020/0123456 A1"], start=2):
        ws.cell(row=row, column=1, value=number)
    ws.column_dimensions["A"].width = 28
    ws.freeze_panes = "A2"

    props = wb.properties
    props.creator = "tarnwick"
    props.lastModifiedBy = "tarnwick"
    props.title = "檢索專利公開號"
    props.created = FIXED_DATE
    props.modified = FIXED_DATE

    # Workbook.save() stamps "modified" with the current time; write directly.
    with _FixedTimeZip(path, "w", zipfile.ZIP_DEFLATED) as archive:
        ExcelWriter(wb, archive).save()


# --------------------------------------------------------------------------
# copyright notice


CLOSING_PUNCT = set("，。、；：！？）」』〉》,.;:!?)")


def wrap(text: str, font: ImageFont.FreeTypeFont, width: float) -> list[str]:
    """Greedy wrap by glyph; Latin words stay whole, closing punctuation never starts a line."""
    tokens: list[str] = []
    for ch in text:
        prev = tokens[-1][-1] if tokens else " "
        if ch.isascii() and ch != " " and prev.isascii() and prev != " ":
            tokens[-1] += ch
        else:
            tokens.append(ch)
    lines, cur = [], ""
    for tok in tokens:
        if cur and font.getlength(cur + tok) > width and tok[0] not in CLOSING_PUNCT:
            lines.append(cur.rstrip())
            cur = tok.lstrip()
        else:
            cur += tok
    if cur:
        lines.append(cur.rstrip())
    return lines


NOTICE_TITLE = "版權宣告"
NOTICE_BODY = [
    "Lumivar 專利檢索報告產生器（以下稱「本軟體」）"
    "及其所附之報告格式範本、圖示與說明文件，"
    "其著作權均屬 tarnwick 所有，並受著作權法及相關國際條約保護。",
    "未經著作權人事先書面同意，任何人不得以任何形式或方法"
    "重製、修改、散布、"
    "公開傳輸、出租或轉售本軟體及其報告格式範本之全部或一部。",
    "經授權之使用者得於授權範圍內使用本軟體，"
    "並自由使用以本軟體產出之檢索報告；"
    "授權範圍以外之使用，應另行取得書面許可。",
]
NOTICE_EN = (
    "This software and its report templates are protected by copyright and may "
    "not be copied or redistributed without prior written permission."
)
NOTICE_COPYRIGHT = "© 2026 tarnwick. All rights reserved."


def make_notice(path: Path, logo: Image.Image) -> None:
    dpi = 150
    w, h = round(210 / 25.4 * dpi), round(297 / 25.4 * dpi)  # A4
    pt = dpi / 72
    margin = round(25 / 25.4 * dpi)
    text_w = w - 2 * margin
    ink, muted = (33, 37, 41), (95, 102, 110)

    page = Image.new("RGB", (w, h), "white")
    d = ImageDraw.Draw(page)

    # header: emblem + product name, then a rule in the theme blue
    mark = downsample(logo, round(0.6 * dpi))
    top = margin
    page.paste(mark, (margin, top), mark)
    name_font = latin_bold(round(26 * pt))
    nl, nt, nr, nb = d.textbbox((0, 0), "Lumivar", font=name_font)
    d.text(
        (margin + mark.width + round(14 * pt) - nl, top + (mark.height - (nb - nt)) // 2 - nt),
        "Lumivar",
        font=name_font,
        fill=BLUE_DARK,
    )
    y = top + mark.height + round(14 * pt)
    d.rectangle((margin, y, w - margin, y + round(1.5 * pt)), fill=BLUE)
    y += round(40 * pt)

    title_font = cjk_tc(round(24 * pt), bold=True)
    tw = d.textlength(NOTICE_TITLE, font=title_font)
    d.text(((w - tw) / 2, y), NOTICE_TITLE, font=title_font, fill=ink)
    y += round(58 * pt)

    body_font = cjk_tc(round(12 * pt))
    line_h = round(12 * pt * 1.85)
    for para in NOTICE_BODY:
        for line in wrap(para, body_font, text_w):
            d.text((margin, y), line, font=body_font, fill=ink)
            y += line_h
        y += round(10 * pt)

    y += round(8 * pt)
    en_font = cjk_tc(round(11 * pt))
    for line in wrap(NOTICE_EN, en_font, text_w):
        d.text((margin, y), line, font=en_font, fill=muted)
        y += round(11 * pt * 1.7)

    y += round(26 * pt)
    c_font = cjk_tc(round(12 * pt), bold=True)
    cw = d.textlength(NOTICE_COPYRIGHT, font=c_font)
    d.text(((w - cw) / 2, y), NOTICE_COPYRIGHT, font=c_font, fill=ink)

    # footer rule
    fy = h - margin
    d.rectangle((margin, fy, w - margin, fy + max(1, round(0.75 * pt))), fill=(200, 206, 212))
    foot_font = cjk_tc(round(9 * pt))
    d.text((margin, fy + round(8 * pt)), "Lumivar 專利檢索報告產生器", font=foot_font, fill=muted)

    stamp = FIXED_DATE.timetuple()
    page.save(
        path,
        "PDF",
        resolution=dpi,
        quality=95,
        subsampling=0,
        title=NOTICE_TITLE,
        author="tarnwick",
        creator="Lumivar",
        creationDate=time.struct_time(stamp),
        modDate=time.struct_time(stamp),
    )


# --------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out", nargs="?", type=Path, default=DEFAULT_OUT, help=f"output folder (default: {DEFAULT_OUT})")
    args = ap.parse_args(argv)
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)

    big_logo = logo_master(256)  # 1024 px master
    logo = downsample(big_logo, 256)
    logo.save(out / "logo.png", optimize=True)
    ico_sizes = [16, 24, 32, 48, 64, 128, 256]
    # Each size is reduced straight from the master rather than from 256 px.
    frames = [downsample(big_logo, s) for s in ico_sizes]
    frames[-1].save(
        out / "logo.ico",
        format="ICO",
        sizes=[(s, s) for s in ico_sizes],
        append_images=frames[:-1],
    )

    wordmark().save(out / "logo(僅文字).png", optimize=True)

    icons = {
        "資料夾.png": icon_folder,
        "垃圾桶.png": icon_trash,
        "問號001.png": icon_question,
        "版權宣告圖示.png": icon_copyright,
        "設定.png": icon_settings,
    }
    for name, build in icons.items():
        build().save(out / name, optimize=True)

    make_workbook(out / "檢索專利公開號.xlsx")
    make_notice(out / "版權宣告.pdf", big_logo)

    for p in sorted(out.iterdir()):
        print(f"{p.stat().st_size:>9}  {p.name}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
