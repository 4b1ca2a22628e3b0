"""dticut.segment against the dticut command on the same phantom, in one run.

Writes a phantom in dipy's form with dticut-phantom, loads it with nibabel
into memory, then alternates timed runs of the command (which reads the
files, as it must) and of dticut.segment on the arrays already in memory:
as nibabel loads them (float32 in the files' order, used without a copy) and
as a dipy fit holds them (float64 in C order, converted on each call).
Reports the median wall time of each, checks that all give the same
energies and every label, and fails when segment on the volumes as loaded
takes more than 110% of the command's time (the float64 row shows what the
conversion adds).

usage: /usr/bin/python3 bench/python/segment_bench.py [--build DIR] [--size XxYxZ] [--runs N]
"""

import argparse
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import nibabel as nib
import numpy as np

WEIGHTS = {"data_lambda": 100.0}  # as make demo: the bundles against the background


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="the CMake build folder")
    parser.add_argument("--size", default="128x128x70")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    sys.path.insert(0, str(build / "python"))
    import dticut

    with tempfile.TemporaryDirectory(prefix="dticut-bench-") as folder:
        folder = pathlib.Path(folder)
        printed = subprocess.run([build / "tools/phantom/dticut-phantom", "--size", args.size,
                                  "--layout", "dipy", folder], check=True, capture_output=True,
                                 text=True).stdout.split()
        files = dict(zip(printed[0::2], printed[1::2]))  # --evals FILE ...
        arrays = [np.array(nib.load(files[f"--{name}"]).dataobj)
                  for name in ("evals", "evecs", "scalar")]
        arrays[1] = arrays[1].reshape(arrays[1].shape[:3] + (3, 3), order="F")
        command = [build / "app/dticut", *printed, "-o", folder / "labels.nii"]
        for name, value in WEIGHTS.items():
            command += ["--" + name.replace("_", "-"), repr(value)]

        as_dipy = [np.ascontiguousarray(a, dtype=np.float64) for a in arrays]

        times = {"command": [], "nibabel": [], "dipy": []}
        results = []
        for _ in range(args.runs):
            start = time.perf_counter()
            done = subprocess.run(command, check=True, capture_output=True, text=True)
            times["command"].append(time.perf_counter() - start)
            for name, given in (("nibabel", arrays), ("dipy", as_dipy)):
                start = time.perf_counter()
                results.append(dticut.segment(*given, **WEIGHTS))
                times[name].append(time.perf_counter() - start)

        energies = [int(line.split("\t")[1]) for line in done.stdout.splitlines()]
        labels = np.asanyarray(nib.load(folder / "labels.nii").dataobj)
        labels = labels.reshape(results[0].labels.shape)
        same = all(energies == [r.energy_before, r.energy_after] and (labels == r.labels).all()
                   for r in results)

    median = {name: statistics.median(values) for name, values in times.items()}
    ratio = median["nibabel"] / median["command"]
    print(f"phantom {args.size}, {args.runs} runs each, median wall time:")
    print(f"  dticut command, reading the files:           {median['command']:.3f} s")
    print(f"  dticut.segment, float32 as nibabel loads it: {median['nibabel']:.3f} s")
    print(f"  dticut.segment, float64 C order as dipy's:   {median['dipy']:.3f} s")
    print(f"  ratio {ratio:.3f} (limit 1.10), float64 {median['dipy'] / median['command']:.3f}; "
          f"energies {energies[0]} -> {energies[1]}; results {'identical' if same else 'DIFFER'}")
    return 0 if same and ratio <= 1.10 else 1


if __name__ == "__main__":
    sys.exit(main())
