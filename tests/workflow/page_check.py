"""The cohort page as a browser shows it: headless Chromium takes a
screenshot of group/index.html, and a small harness page loads it in a frame
and reports what the browser made of it (each figure, whether its picture
decoded, the boxes at the top), through --dump-dom.
"""

import html
import json
import os
import re
import struct
import subprocess
import zlib

HARNESS = """<!DOCTYPE html>
<html><body>
<iframe id="page" src="{src}" style="width:1400px;height:2000px"></iframe>
<pre id="result">pending</pre>
<script>
const frame = document.getElementById("page");
frame.onload = async () => {{
  const doc = frame.contentDocument;
  const images = [...doc.images];
  // Lazy pictures below the fold load as the reader scrolls; load them all.
  images.forEach(img => {{ img.loading = "eager"; }});
  await Promise.all(images.map(img => img.complete ? null :
      new Promise(done => {{ img.onload = img.onerror = done; }})));
  const top = el => el ? el.getBoundingClientRect().top : null;
  document.getElementById("result").textContent = JSON.stringify({{
    figures: [...doc.querySelectorAll("figure")].map(f => ({{
      id: f.id, flagged: f.classList.contains("flagged"), top: top(f),
      reasons: [...f.querySelectorAll("p.reason")].map(p => p.textContent),
      loaded: [...f.querySelectorAll("img")].every(i => i.complete && i.naturalWidth > 0)}})),
    flaggedBox: doc.querySelector("div.flagged") ? doc.querySelector("div.flagged").textContent : null,
    flaggedBoxTop: top(doc.querySelector("div.flagged")),
  }});
}};
</script></body></html>
"""


def chromium(exe, *args):
    return subprocess.run([exe, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                           "--no-first-run", "--disable-dev-shm-usage", *args],
                          capture_output=True, text=True, timeout=180)


def page_facts(exe, page, work):
    """What the browser made of the page (see HARNESS), or raises."""
    harness = os.path.join(work, "harness.html")
    with open(harness, "w", encoding="utf-8") as f:
        f.write(HARNESS.format(src=html.escape(os.path.relpath(page, work))))
    proc = chromium(exe, "--allow-file-access-from-files", "--virtual-time-budget=30000",
                    "--dump-dom", "file://" + os.path.abspath(harness))
    found = re.search(r'<pre id="result">(.*?)</pre>', proc.stdout, re.S)
    if not found or found.group(1) == "pending":
        raise RuntimeError(f"the harness reported nothing:\n{proc.stdout[-1000:]}{proc.stderr[-2000:]}")
    return json.loads(html.unescape(found.group(1)))


def screenshot(exe, page, png):
    """Takes a screenshot of the page; returns its (width, height, pixels as
    RGB tuples)."""
    proc = chromium(exe, "--window-size=1400,1800", f"--screenshot={png}",
                    "file://" + os.path.abspath(page))
    if not os.path.exists(png):
        raise RuntimeError(f"no screenshot:\n{proc.stderr[-2000:]}")
    return decode_png(png)


def decode_png(path):
    """An 8-bit RGB or RGBA PNG as (width, height, [(r, g, b), ...])."""
    with open(path, "rb") as f:
        data = f.read()
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    if depth != 8 or colour not in (2, 6):
        raise RuntimeError(f"{path}: bit depth {depth}, colour type {colour}")
    bpp = 3 if colour == 2 else 4
    raw, stride = zlib.decompress(idat), width * bpp
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = previous[i], previous[i - bpp] if i >= bpp else 0
            if kind == 4:  # Paeth
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                predictor = a if pa <= pb and pa <= pc else b if pb <= pc else c
            else:
                predictor = (0, a, b, (a + b) // 2)[kind]
            line[i] = (line[i] + predictor) & 0xFF
        rows.append(line)
        previous = line
    pixels = [tuple(row[x * bpp:x * bpp + 3]) for row in rows for x in range(width)]
    return width, height, pixels
