"""The compare page: one HTML file with the enlargements embedded as PNG data URLs and a before/after slider.

Two selects choose the entries shown left and right of the split; the range input under the image moves the
split. The left entry lies on top of the right one, clipped at the split, both at their own size with pixels
drawn square, so what the page shows is the sheet's pixels. Nothing is loaded from elsewhere.
"""

import base64
import html
import io
import json

from PIL import Image

from .sheet import label, rgb

_TEMPLATE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
<style>
/* Whole-pixel line heights keep the image on whole pixels, so a screenshot shows its pixels as they are. */
body {{ font: 14px/20px sans-serif; margin: 16px; background: #fff; color: #000; }}
h1 {{ font-size: 16px; line-height: 24px; margin: 0 0 8px; }}
#controls {{ display: flex; gap: 16px; height: 32px; align-items: center; }}
#view {{ position: relative; width: {width}px; height: {height}px; }}
#view img {{ position: absolute; left: 0; top: 0; image-rendering: pixelated; }}
#split {{ display: block; width: {width}px; margin: 8px 0 0; padding: 0; }}
</style>
</head>
<body>
<h1>{title}</h1>
<div id="controls">
<label>left <select id="left"></select></label>
<label>right <select id="right"></select></label>
</div>
<div id="view"><img id="right-image" alt=""><img id="left-image" alt=""></div>
<input id="split" type="range" min="0" max="100" step="0.1" value="50" aria-label="split between left and right">
<script id="entries" type="application/json">{entries}</script>
<script>
"use strict";
const entries = JSON.parse(document.getElementById("entries").textContent);
const left = document.getElementById("left"), right = document.getElementById("right");
const leftImage = document.getElementById("left-image"), rightImage = document.getElementById("right-image");
const split = document.getElementById("split");
for (const select of [left, right]) {{
  entries.forEach((entry, index) => select.add(new Option(entry.label, index)));
}}
left.value = {left};
right.value = {right};
function show() {{
  leftImage.src = entries[left.value].src;
  rightImage.src = entries[right.value].src;
  leftImage.style.clipPath = "inset(0 " + (100 - split.value) + "% 0 0)";
}}
for (const control of [left, right, split]) {{
  control.addEventListener("input", show);
}}
show();
</script>
</body>
</html>
"""


def render(entries, title):
    """The page (str) for `entries` (compare.entries.Entry, all of one size): bicubic on the left and the first
    network on the right to begin with."""
    height, width = entries[0].pixels.shape[:2]
    listed = [{"label": f"{entry.name} ({label(entry)})", "src": data_url(entry.pixels)} for entry in entries]
    # "<" escaped, so that no name can close the script element early.
    embedded = json.dumps(listed).replace("<", "\\u003c")
    return _TEMPLATE.format(title=html.escape(title), width=width, height=height, entries=embedded,
                            left=min(1, len(entries) - 1), right=min(2, len(entries) - 1))


def data_url(pixels):
    """A data URL of `pixels` as PNG (grey as RGB, as on the sheet)."""
    buffer = io.BytesIO()
    Image.fromarray(rgb(pixels)).save(buffer, format="PNG")
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")
