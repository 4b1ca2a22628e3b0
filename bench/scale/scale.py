#!/usr/bin/env python3
"""dticut's whole run at 1, 10, 50 and 100 million voxels, masked and not.

usage: scale.py --build BUILD [--previous BUILD] [--sizes XxYxZ,...] [--repetitions N]
                [--folder DIR] [--energy scalar|tensor]

For each size writes a phantom (dticut-phantom --mask, thirteen files; for
the tensor energy the touching90 scene, whose seeds it reads) into a
folder of its own under DIR (default: a temporary folder; each phantom is
removed once measured), then times N runs (default 3) of the whole dticut
process with --data-lambda 100 (or --energy tensor --seeds), without and
with the phantom's head mask, and prints per run kind the median wall time,
the time per voxel (per voxel inside the mask for masked runs) and its
ratio to the smallest size's, the same for user time (the processor time
of the program itself, without the kernel's work of providing fresh
memory), and the peak memory (ru_maxrss of the
process) per voxel of the volume. With --previous, the same runs of another
build alternate with these (sizes whose previous run would need more than
two thirds of the machine's memory, at 200 bytes per voxel, are left out)
and the ratio of the medians is printed.
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import tempfile
import time

SIZES = ["100x100x100", "250x200x200", "500x400x250", "500x500x400"]


def run(argv):
    """Wall seconds, user seconds and peak resident memory (bytes) of one process."""
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        os.execv(argv[0], argv)
    _, status, usage = os.wait4(pid, 0)
    seconds = time.monotonic() - start
    if status != 0:
        raise SystemExit(f"{' '.join(argv)}: exit status {status}")
    return seconds, usage.ru_utime, usage.ru_maxrss * 1024


def machine_memory():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) * 1024
    return 0


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1])
    parser.add_argument("--build", required=True)
    parser.add_argument("--previous")
    parser.add_argument("--sizes", default=",".join(SIZES))
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--folder")
    parser.add_argument("--energy", choices=["scalar", "tensor"], default="scalar")
    args = parser.parse_args()
    phantom = os.path.join(args.build, "tools", "phantom", "dticut-phantom")
    builds = {"new": os.path.join(args.build, "app", "dticut")}
    if args.previous:
        builds["previous"] = os.path.join(args.previous, "app", "dticut")
    root = args.folder or tempfile.mkdtemp(prefix="dticut-scale-")
    rows = []
    for size in args.sizes.split(","):
        voxels = 1
        for n in size.split("x"):
            voxels *= int(n)
        folder = os.path.join(root, size)
        os.makedirs(folder, exist_ok=True)
        scene = ["--scene", "touching90"] if args.energy == "tensor" else []
        listed = subprocess.run([phantom, "--size", size, "--mask", *scene, folder],
                                capture_output=True, text=True, check=True).stdout.split()
        mask = listed[-1]
        inside = voxels - open(mask, "rb").read()[352:].count(0)
        unmasked = listed[:-2]
        energy = (["--energy", "tensor", "--seeds", os.path.join(folder, "SEEDS.nii")]
                  if args.energy == "tensor" else ["--data-lambda", "100"])
        out = os.path.join(folder, "labels.nii")
        for kind, files, count in [("unmasked", unmasked, voxels), ("masked", listed, inside)]:
            times = {name: [] for name in builds}
            user = []
            peaks = {name: 0 for name in builds}
            for _ in range(args.repetitions):
                for name, dticut in builds.items():
                    if name == "previous" and 200 * voxels > machine_memory() * 2 // 3:
                        continue
                    seconds, user_seconds, peak = run([dticut, *energy, *files, "-o", out])
                    times[name].append(seconds)
                    if name == "new":
                        user.append(user_seconds)
                    peaks[name] = max(peaks[name], peak)
            row = {"size": size, "voxels": voxels, "kind": kind, "count": count,
                   "seconds": statistics.median(times["new"]), "user": statistics.median(user),
                   "peak": peaks["new"]}
            if times.get("previous"):
                row["previous"] = statistics.median(times["previous"])
            rows.append(row)
            print(f"{size} {kind}: {row['seconds']:.2f} s, peak {peaks['new'] / 2**20:.0f} MiB",
                  flush=True)
        if not args.folder:
            shutil.rmtree(folder)
    if not args.folder:
        shutil.rmtree(root, ignore_errors=True)

    print()
    print("| Volume | Voxels | Run | Voxels segmented | Wall s | us per voxel segmented "
          "| vs smallest | user us per voxel segmented | vs smallest | Peak MiB "
          "| Bytes per voxel |" +
          (" Previous / new |" if args.previous else ""))
    print("|---|---|---|---|---|---|---|---|---|---|---|" + ("---|" if args.previous else ""))
    first = {}
    first_user = {}
    for row in rows:
        per = row["seconds"] / row["count"] * 1e6
        first.setdefault(row["kind"], per)
        user_per = row["user"] / row["count"] * 1e6
        first_user.setdefault(row["kind"], user_per)
        line = (f"| {row['size']} | {row['voxels'] / 1e6:.1f} M | {row['kind']} | "
                f"{row['count'] / 1e6:.2f} M | {row['seconds']:.2f} | {per:.3f} | "
                f"{per / first[row['kind']]:.2f} | {user_per:.3f} | "
                f"{user_per / first_user[row['kind']]:.2f} | {row['peak'] / 2**20:.0f} | "
                f"{row['peak'] / row['voxels']:.0f} |")
        if args.previous:
            line += (f" {row['previous'] / row['seconds']:.2f} |" if "previous" in row
                     else " (does not fit) |")
        print(line)


if __name__ == "__main__":
    main()
