#!/usr/bin/env python3
"""Dice of the two energies against the phantoms' truth maps.

usage: tensor_quality.py --build BUILD [--size XxYxZ] [--snr N ...] [--scene S ...]

For each scene with a known answer (dticut-phantom --scene) and each noise
level (--snr, the tensors fitted back from noisy signals), segments the
phantom three ways and prints the Dice overlap of label 1 with the truth map
inside the head mask:
  tensor  dticut --energy tensor --seeds <the scene's seed strokes>, every
          weight at its default;
  scalar  dticut's scalar energy at its best weights for that phantom (the
          best Dice over a grid of --data-lambda and --smooth-fa-lambda: an
          oracle choice, which favours it);
  FA>0.5  a threshold of the anisotropy map.
Needs numpy and nibabel (Debian python3-numpy, python3-nibabel).
"""

import argparse
import itertools
import os
import subprocess
import sys
import tempfile

import nibabel as nib
import numpy as np

SCENES = ["touching90", "touching60", "curved", "crossing"]
DATA_LAMBDAS = [10, 30, 100, 300, 1000]
FA_LAMBDAS = [0, 0.3, 1, 3]


def load(path):
    return np.asarray(nib.load(path).dataobj)


def dice(labels, truth, inside):
    a, b = (labels[inside] == 1), (truth[inside] == 1)
    total = a.sum() + b.sum()
    return 2.0 * (a & b).sum() / total if total else 1.0


def segment(dticut, args, folder, options):
    out = os.path.join(folder, "labels.nii")
    done = subprocess.run([dticut, *args, *options, "-o", out], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"dticut {' '.join(options)} failed: {done.stderr}")
    return load(out)


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1])
    parser.add_argument("--build", required=True, help="the CMake build folder")
    parser.add_argument("--size", default="64x64x32")
    parser.add_argument("--snr", type=float, nargs="+", default=[20, 10])
    parser.add_argument("--scene", nargs="+", default=SCENES)
    args = parser.parse_args()
    dticut = os.path.join(args.build, "app", "dticut")
    phantom = os.path.join(args.build, "tools", "phantom", "dticut-phantom")
    print(f"| scene | SNR | tensor (seeds, defaults) | scalar (best weights) | FA > 0.5 |")
    print(f"|---|---|---|---|---|")
    for scene, snr in itertools.product(args.scene, args.snr):
        with tempfile.TemporaryDirectory() as folder:
            listed = subprocess.run([phantom, "--size", args.size, "--scene", scene, "--snr",
                                     str(snr), "--layout", "dipy", "--mask", folder],
                                    capture_output=True, text=True, check=True).stdout.split()
            truth = load(os.path.join(folder, "dti_truth.nii"))
            inside = load(os.path.join(folder, "dti_mask.nii")) != 0
            fa = load(os.path.join(folder, "dti_scalar.nii"))
            tensor = dice(segment(dticut, listed, folder,
                                  ["--energy", "tensor", "--seeds",
                                   os.path.join(folder, "dti_seeds.nii")]), truth, inside)
            best, weights = -1.0, None
            for data, smooth in itertools.product(DATA_LAMBDAS, FA_LAMBDAS):
                d = dice(segment(dticut, listed, folder, ["--data-lambda", str(data),
                                                          "--smooth-fa-lambda", str(smooth)]),
                         truth, inside)
                if d > best:
                    best, weights = d, (data, smooth)
            threshold = dice((fa > 0.5).astype(np.uint8), truth, inside)
            print(f"| {scene} | {snr:g} | {tensor:.3f} | {best:.3f} (data {weights[0]}, fa "
                  f"{weights[1]}) | {threshold:.3f} |", flush=True)


if __name__ == "__main__":
    main()
