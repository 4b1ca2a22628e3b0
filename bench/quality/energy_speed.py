#!/usr/bin/env python3
"""The tensor energy's whole run against the scalar energy's, in one run.

usage: energy_speed.py --build BUILD [--size XxYxZ] [--repetitions N] [--mask]

Writes a phantom of the given size (default 128x128x70, thirteen files) and
times, alternately and N times each (default 5), the whole dticut process
with --data-lambda 100 (the scalar energy) and with --energy tensor and the
phantom's seeds (a --scene with a known answer is used for both, so that
the seeds exist), and prints the medians of wall time and of peak memory
(ru_maxrss) and their ratios.
"""

import argparse
import os
import resource
import statistics
import subprocess
import tempfile
import time


def timed(argv):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    seconds = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return seconds, after.ru_maxrss  # ru_maxrss of the largest child so far, KiB


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1])
    parser.add_argument("--build", required=True)
    parser.add_argument("--size", default="128x128x70")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--mask", action="store_true")
    args = parser.parse_args()
    dticut = os.path.join(args.build, "app", "dticut")
    phantom = os.path.join(args.build, "tools", "phantom", "dticut-phantom")
    with tempfile.TemporaryDirectory() as folder:
        listed = subprocess.run([phantom, "--size", args.size, "--scene", "touching90",
                                 *(["--mask"] if args.mask else []), folder],
                                capture_output=True, text=True, check=True).stdout.split()
        out = os.path.join(folder, "labels.nii")
        runs = {
            "scalar": [dticut, "--data-lambda", "100", *listed, "-o", out],
            "tensor": [dticut, "--energy", "tensor", "--seeds", os.path.join(folder, "SEEDS.nii"),
                       *listed, "-o", out],
        }
        seconds = {name: [] for name in runs}
        for _ in range(args.repetitions):
            for name, argv in runs.items():
                seconds[name].append(timed(argv)[0])
        # Peak memory, one run each in a fresh process tree.
        peaks = {}
        for name, argv in runs.items():
            done = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], capture_output=True,
                                  text=True, check=True)
            peaks[name] = int(done.stderr.split()[-1])
        voxels = 1
        for n in args.size.split("x"):
            voxels *= int(n)
        for name in runs:
            print(f"{name}: median {statistics.median(seconds[name]):.3f} s of "
                  f"{args.repetitions}, peak {peaks[name] / 1024:.1f} MiB "
                  f"({peaks[name] * 1024 / voxels:.1f} B/voxel)")
        print(f"tensor / scalar: time "
              f"{statistics.median(seconds['tensor']) / statistics.median(seconds['scalar']):.2f}, "
              f"memory {peaks['tensor'] / peaks['scalar']:.2f}")


if __name__ == "__main__":
    main()
