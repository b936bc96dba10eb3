#!/usr/bin/python3
"""Draws the tool's artwork into resources/.

    tools/make_artwork.py [output folder]      (default: the repository's resources/)

Needs Debian's python3-pil (hence /usr/bin/python3) and the display font resources/usuzi.ttf,
which the lettering is set in. The output is deterministic, so running the script again
reproduces the committed files; run it only after changing the drawings below.

Files and sizes (the window scales the two logotypes down and shows the spinner unscaled):
    vortan@2x.png     2338 x 496  product logotype: yellow striped "VORTAN" over a cyan
                                  script line, transparent background
    quillmar@2x.png   2235 x 284  maker's logotype: yellow outlined "QUILLMAR", transparent
    menubarlogo.png    256 x 256  emblem: yellow outlined ring and chevron, transparent
    loader@2x.gif      268 x 131  spinner: 60 frames of 30 ms, looping forever
"""

import math
import pathlib
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFont

ROOT = pathlib.Path(__file__).resolve().parent.parent
FONT = ROOT / "resources" / "usuzi.ttf"

YELLOW = (255, 215, 0)
CYAN = (45, 204, 211)
WINDOW_GREY = (47, 50, 52)

# Drawings are made this many times larger and scaled down, for smooth edges.
SUPERSAMPLE = 2

SPINNER_SIZE = (268, 131)
SPINNER_FRAMES = 60
SPINNER_FRAME_MS = 30
# The window shows the spinner unscaled and centred in a label of 130 x 66 pixels, so the
# drawing stays inside that middle part of the frame.
SPINNER_VISIBLE = (130, 66)


def font(size):
    return ImageFont.truetype(str(FONT), size)


def text_mask(size, text, font_size, stroke=0, spacing=0):
    """A greyscale mask of `text`, centred in `size`; `spacing` is extra room between letters."""
    mask = Image.new("L", size, 0)
    draw = ImageDraw.Draw(mask)
    f = font(font_size)
    widths = [draw.textlength(c, font=f) for c in text]
    total = sum(widths) + spacing * (len(text) - 1)
    top, bottom = f.getbbox(text, stroke_width=stroke)[1::2]
    x = (size[0] - total) / 2
    y = (size[1] - (bottom - top)) / 2 - top
    for c, w in zip(text, widths):
        draw.text((x, y), c, font=f, fill=255, stroke_width=stroke, stroke_fill=255)
        x += w + spacing
    return mask


def fitting_font_size(text, width, height, stroke=0, spacing=0):
    """The largest font size whose lettering fits into width x height."""
    size = int(height)
    while size > 8:
        f = font(size)
        left, top, right, bottom = f.getbbox(text, stroke_width=stroke)
        if right - left + spacing * (len(text) - 1) <= width and bottom - top <= height:
            return size
        size -= 2
    return size


def solid(size, colour, mask):
    layer = Image.new("RGBA", size, colour + (0,))
    layer.putalpha(mask)
    return layer


def shrink(image, size):
    return image.resize(size, Image.Resampling.LANCZOS)


def product_logotype(path):
    final = (2338, 496)
    size = (final[0] * SUPERSAMPLE, final[1] * SUPERSAMPLE)
    w, h = size
    image = Image.new("RGBA", size, (0, 0, 0, 0))

    # The script line: one flowing brush stroke across the lower part, thin at both ends.
    line = Image.new("L", size, 0)
    draw = ImageDraw.Draw(line)
    steps = 1600
    for i in range(steps + 1):
        t = i / steps
        x = w * (0.04 + 0.92 * t)
        y = h * (0.80 - 0.07 * math.sin(t * 2.2 * math.pi) - 0.05 * t)
        r = h * 0.035 * math.sin(math.pi * t) ** 0.6 + 2
        draw.ellipse((x - r, y - r * 0.7, x + r, y + r * 0.7), fill=255)
    image.alpha_composite(solid(size, CYAN, line))

    # The lettering, slanted forward and filled with horizontal stripes.
    text = "VORTAN"
    box = (int(w * 0.90), int(h * 0.70))
    spacing = int(w * 0.012)
    letters = text_mask(box, text, fitting_font_size(text, box[0], box[1], 0, spacing), 0, spacing)
    letters = letters.transform(
        box, Image.Transform.AFFINE, (1, 0.18, -0.09 * box[1], 0, 1, 0), Image.Resampling.BICUBIC
    )
    stripes = Image.new("L", box, 0)
    sdraw = ImageDraw.Draw(stripes)
    period = box[1] // 11
    for y in range(0, box[1], period):
        sdraw.rectangle((0, y, box[0], y + period * 0.62), fill=255)
    striped = ImageChops.multiply(letters, stripes)
    placed = Image.new("L", size, 0)
    placed.paste(striped, ((w - box[0]) // 2, int(h * 0.06)))
    image.alpha_composite(solid(size, YELLOW, placed))

    shrink(image, final).save(path, optimize=True)


def maker_logotype(path):
    final = (2235, 284)
    size = (final[0] * SUPERSAMPLE, final[1] * SUPERSAMPLE)
    text = "QUILLMAR"
    stroke = 9 * SUPERSAMPLE
    spacing = 40 * SUPERSAMPLE
    font_size = fitting_font_size(text, size[0] * 0.97, size[1] * 0.92, stroke, spacing)
    outer = text_mask(size, text, font_size, stroke, spacing)
    inner = text_mask(size, text, font_size, 0, spacing)
    # The outline is what the stroke adds around the letters' own shapes.
    outline = ImageChops.subtract(outer, inner)
    shrink(solid(size, YELLOW, outline), final).save(path, optimize=True)


def emblem(path):
    final = (256, 256)
    s = 256 * SUPERSAMPLE * 2
    mask = Image.new("L", (s, s), 0)
    draw = ImageDraw.Draw(mask)
    width = s // 22
    pad = width
    draw.ellipse((pad, pad, s - pad, s - pad), outline=255, width=width)
    # A chevron "V", drawn as its outline only.
    c = s / 2
    v = [
        (c - s * 0.27, s * 0.28),
        (c - s * 0.14, s * 0.28),
        (c, s * 0.58),
        (c + s * 0.14, s * 0.28),
        (c + s * 0.27, s * 0.28),
        (c, s * 0.76),
    ]
    draw.line(v + v[:2], fill=255, width=width, joint="curve")
    shrink(solid((s, s), YELLOW, mask), final).save(path, optimize=True)


def spinner_frame(index):
    """One frame: a ring of dots whose bright head turns once per loop."""
    w, h = SPINNER_SIZE
    big = (w * SUPERSAMPLE * 2, h * SUPERSAMPLE * 2)
    k = big[0] / w
    layer = Image.new("RGBA", big, (0, 0, 0, 0))
    draw = ImageDraw.Draw(layer)
    dots = 12
    radius = (SPINNER_VISIBLE[1] / 2 - 9) * k
    head = 2 * math.pi * index / SPINNER_FRAMES
    cx, cy = big[0] / 2, big[1] / 2
    for d in range(dots):
        angle = 2 * math.pi * d / dots
        # How far the dot trails behind the head, 0 (at the head) to just under 1.
        behind = ((head - angle) / (2 * math.pi)) % 1.0
        strength = max(0.0, 1.0 - behind * 1.25)
        colour = tuple(
            round(WINDOW_GREY[i] + (CYAN[i] - WINDOW_GREY[i]) * (0.25 + 0.75 * strength))
            for i in range(3)
        )
        r = (3.0 + 3.2 * strength) * k
        x = cx + radius * math.sin(angle)
        y = cy - radius * math.cos(angle)
        draw.ellipse((x - r, y - r, x + r, y + r), fill=colour + (255,))
    layer = shrink(layer, SPINNER_SIZE)
    # GIF transparency is all or nothing: blend the soft edges onto the window's grey and
    # keep only the untouched background transparent.
    alpha = layer.getchannel("A")
    flat = Image.new("RGB", SPINNER_SIZE, WINDOW_GREY)
    flat.paste(layer.convert("RGB"), mask=alpha)
    frame = flat.quantize(colors=255, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    palette = frame.getpalette()[: 255 * 3]
    palette += [0] * (255 * 3 - len(palette)) + list(WINDOW_GREY)
    frame.putpalette(palette)
    frame.paste(255, mask=alpha.point(lambda a: 255 if a == 0 else 0))
    return frame


def spinner(path):
    frames = [spinner_frame(i) for i in range(SPINNER_FRAMES)]
    frames[0].save(
        path,
        save_all=True,
        append_images=frames[1:],
        duration=SPINNER_FRAME_MS,
        loop=0,
        transparency=255,
        disposal=2,
        optimize=False,
    )
    check = Image.open(path)
    assert check.size == SPINNER_SIZE, "The spinner has the wrong size."
    assert check.n_frames == SPINNER_FRAMES, "The GIF writer merged frames of the spinner."


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "resources"
    out.mkdir(parents=True, exist_ok=True)
    product_logotype(out / "vortan@2x.png")
    maker_logotype(out / "quillmar@2x.png")
    emblem(out / "menubarlogo.png")
    spinner(out / "loader@2x.gif")
    for name in ("vortan@2x.png", "quillmar@2x.png", "menubarlogo.png", "loader@2x.gif"):
        image = Image.open(out / name)
        print(f"{name}: {image.size[0]} x {image.size[1]}, {getattr(image, 'n_frames', 1)} frame(s)")


if __name__ == "__main__":
    main()
