"""The cohort's summary table and picture page, from the runs' sidecars.

write_group(out, runs, ...) writes out/group/summary.tsv (one row a
successful run) and out/group/index.html (every run's picture with its
figures; first the runs that failed, with dticut's message, then the
flagged runs with the reason). Each run is a dict with name, subject,
session (or None), labels, preview, sidecar and log (paths), mask (a path
or None) and arguments (the dticut command line it must have been run with:
a sidecar from another command line, e.g. older weights, does not count).

A run is flagged when its result says nothing or dticut warned about it:
no voxel in label 1 (Empty), or a warning other than the limiting line
(which most unmasked runs print, and whose figures the sidecar keeps).
"""

import html
import json
import os

COLUMNS = ("subject", "session", "voxels", "label1_voxels", "label1_fraction",
           "energy_before", "energy_after", "seconds", "labels", "warnings", "empty")


def flags(result):
    """Why a run's sidecar is flagged, as lines; empty when it is not."""
    reasons = ["empty: no voxel in label 1"] if result.get("Empty") else []
    limiting = (result.get("Limiting") or {}).get("Message")
    return reasons + [f"warning: {line}" for line in result.get("Warnings") or []
                      if line != limiting]


def log_flags(runs, logger):
    """One console line per flagged run, then the total."""
    results = [(run, read_result(run)) for run in sorted(runs, key=lambda r: r["name"])]
    flagged = [(run, flags(result)) for run, result in results if result and flags(result)]
    for run, reasons in flagged:
        logger.warning(f"flagged: {run['name']}: " + "; ".join(reasons))
    logger.warning(f"{len(flagged)} of {len(runs)} runs flagged"
                   + (f" (see {os.path.join('group', 'index.html')})" if flagged else ""))


def read_result(run):
    """The run's sidecar if it is there and of the expected command line."""
    try:
        with open(run["sidecar"], encoding="utf-8") as f:
            sidecar = json.load(f)
    except (OSError, ValueError):
        return None
    return sidecar if sidecar.get("Arguments") == run["arguments"] else None


def failure_message(run):
    """dticut's error lines in the run's log, or what else it says."""
    try:
        with open(run["log"], encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        return "not run"
    errors = [line for line in lines if line.startswith(("dticut: error:", "flagged: "))]
    return "\n".join(errors or lines[-3:]) or "no message"


def write_atomically(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = f"{path}.tmp{os.getpid()}"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def summary_row(run, result, group_dir):
    return {
        "subject": run["subject"],
        "session": run["session"] or "n/a",
        "voxels": str(result["Voxels"]),
        "label1_voxels": str(result["Label1Voxels"]),
        "label1_fraction": f"{result['Label1Fraction']:.6f}",
        "energy_before": str(result["EnergyBefore"]),
        "energy_after": str(result["EnergyAfter"]),
        "seconds": f"{result['RunTimeSeconds']:.3f}",
        "labels": os.path.relpath(run["labels"], os.path.dirname(group_dir)),
        "warnings": " | ".join(line.replace("\t", " ") for line in result.get("Warnings") or []
                               if line != (result.get("Limiting") or {}).get("Message")) or "n/a",
        "empty": "true" if result.get("Empty") else "false",
    }


PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
<style>
body {{ font-family: sans-serif; margin: 1.5em; background: #fafafa; color: #222; }}
h1 {{ font-size: 1.4em; margin-bottom: 0.2em; }}
p.facts {{ margin-top: 0; color: #555; }}
.failed {{ background: #fde8e8; border: 1px solid #e0a0a0; padding: 0.6em 1em; margin: 1em 0; }}
.failed pre {{ white-space: pre-wrap; margin: 0.3em 0 0.8em 0; }}
.flagged {{ background: #fff4d6; border: 1px solid #e0c060; padding: 0.6em 1em; margin: 1em 0; }}
.notice {{ background: #e8f0fd; border: 1px solid #a0b8e0; padding: 0.6em 1em; margin: 1em 0; }}
figure.flagged {{ border: 3px solid #e0a000; margin: 0; padding: 0.5em; }}
p.reason {{ margin: 0.2em 0; color: #8a5a00; font-weight: bold; }}
.runs {{ display: grid; grid-template-columns: repeat(auto-fill, minmax(420px, 1fr)); gap: 1em; }}
figure {{ margin: 0; background: #fff; border: 1px solid #ddd; padding: 0.5em; }}
figure img {{ width: 100%; image-rendering: pixelated; background: #000; }}
figcaption {{ font-size: 0.9em; }}
figcaption b {{ font-size: 1.05em; }}
table {{ border-collapse: collapse; }}
td {{ padding: 0 0.8em 0 0; }}
</style>
</head>
<body>
<h1>{title}</h1>
<p class="facts">{facts}</p>
{failed}{flagged}{notice}<div class="runs">
{figures}</div>
</body>
</html>
"""

FIGURE = """<figure id="{name}"{flag_class}>
<a href="{preview}"><img src="{preview}" loading="lazy"
 alt="{name}: axial, coronal and sagittal slices, label 1 in red"></a>
<figcaption><b>{name}</b>
{reasons}<table>
<tr><td>label 1</td><td>{label1} of {voxels} voxels ({percent:.2f} %)</td></tr>
<tr><td>energy</td><td>{before} before, {after} after</td></tr>
<tr><td>time</td><td>{seconds:.2f} s</td></tr>
<tr><td>limited</td><td>{limited}</td></tr>
<tr><td>mask</td><td>{mask}</td></tr>
</table>
<a href="{labels}">labels</a> &middot; <a href="{sidecar}">sidecar</a> &middot;
<a href="{log}">log</a>
</figcaption>
</figure>
"""


def figure(run, result, group_dir):
    rel = lambda path: html.escape(os.path.relpath(path, group_dir))  # noqa: E731
    limiting = result.get("Limiting") or {}
    if limiting.get("Message"):
        cap = limiting.get("Cap")
        limited = (f"{limiting['PairWeights']} pair weights, {limiting['DataCosts']} data costs"
                   + (f", cap {cap}" if cap is not None else ", no cap"))
    else:
        limited = "nothing"
    reasons = "".join(f'<p class="reason">{html.escape(r)}</p>\n' for r in flags(result))
    return FIGURE.format(
        name=html.escape(run["name"]), flag_class=' class="flagged"' if reasons else "",
        reasons=reasons, mask=html.escape(os.path.basename(run["mask"])) if run.get("mask")
        else "none", preview=rel(run["preview"]), labels=rel(run["labels"]),
        sidecar=rel(run["sidecar"]), log=rel(run["log"]),
        label1=result["Label1Voxels"], voxels=result["Voxels"],
        percent=100 * result["Label1Fraction"], before=result["EnergyBefore"],
        after=result["EnergyAfter"], seconds=result["RunTimeSeconds"], limited=limited)


def write_group(out, runs, weights=None, version=None, mask_notice=None):
    """Writes the summary and the page; returns the runs without a result
    (failed, or not run yet) as (name, message) pairs."""
    out_dir = out
    group_dir = os.path.join(out_dir, "group")
    done, missing = [], []
    for run in sorted(runs, key=lambda r: r["name"]):
        result = read_result(run)
        if result is None:
            missing.append((run, failure_message(run)))
        else:
            done.append((run, result))

    lines = ["\t".join(COLUMNS)]
    for run, result in done:
        row = summary_row(run, result, group_dir)
        lines.append("\t".join(row[c] for c in COLUMNS))
    write_atomically(os.path.join(group_dir, "summary.tsv"), "\n".join(lines) + "\n")

    flagged = [(run, result) for run, result in done if flags(result)]
    facts = [f"{len(done)} of {len(runs)} runs segmented", f"{len(flagged)} flagged"]
    if weights:
        facts.append("weights: " + ", ".join(f"{k} {v}" for k, v in weights.items()))
    if version:
        facts.append(f"dticut {version}")
    failed = ""
    if missing:
        log = lambda run: html.escape(os.path.relpath(run["log"], group_dir))  # noqa: E731
        items = "".join(
            f"<p><b>{html.escape(run['name'])}</b> (<a href=\"{log(run)}\">log</a>)</p>"
            f"<pre>{html.escape(message)}</pre>\n" for run, message in missing)
        failed = (f"<div class=\"failed\"><p><b>{len(missing)} run{'s' if len(missing) > 1 else ''}"
                  " without a result</b> (failed, or not run yet):</p>\n" + items + "</div>\n")
    flagged_box = ""
    if flagged:
        items = "".join(f"<p><a href=\"#{html.escape(run['name'])}\"><b>{html.escape(run['name'])}"
                        "</b></a>: " + html.escape("; ".join(flags(result))) + "</p>\n"
                        for run, result in flagged)
        flagged_box = (f"<div class=\"flagged\"><p><b>{len(flagged)} run"
                       f"{'s' if len(flagged) > 1 else ''} flagged</b> (shown first):</p>\n"
                       + items + "</div>\n")
    notice = f"<div class=\"notice\"><p>{html.escape(mask_notice)}</p></div>\n" if mask_notice else ""
    ordered = flagged + [(run, result) for run, result in done if not flags(result)]
    page = PAGE.format(title=f"dticut: {len(runs)} runs", facts=html.escape(" · ".join(facts)),
                       failed=failed, flagged=flagged_box, notice=notice,
                       figures="".join(figure(r, res, group_dir) for r, res in ordered))
    write_atomically(os.path.join(group_dir, "index.html"), page)
    return [(run["name"], message) for run, message in missing]
