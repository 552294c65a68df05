#!/usr/bin/python3
"""Writes the large-codebook sweep's data: the 4x4 blocks of the sample
photographs that scikit-image ships (skimage.data, each colour channel a
grey image of its own), as a training set in raster order, and codebooks of
M distinct training blocks drawn at random.

    /usr/bin/python3 bench/photos.py [--out DIR] [--seed N] M [M ...]

DIR (bench/data/photos by default) receives blocks.ts and blocks.train.npy
once, and book-M.cb and book-M.code.npy for every M, with mM.train.npy and
mM.code.npy linked to them for bench/peers.py (workload mM). Deterministic for a
given seed.
"""
import argparse
import os
import sys
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from generate import distinct_rows, write_set  # noqa: E402

PHOTOGRAPHS = ["astronaut", "brick", "camera", "cat", "coffee", "coins", "grass", "gravel", "hubble_deep_field",
               "immunohistochemistry", "moon", "page", "retina", "rocket", "text", "clock", "cell"]


def blocks():
    import skimage.data
    out = []
    for name in PHOTOGRAPHS:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            image = np.asarray(getattr(skimage.data, name)())
        planes = [image] if image.ndim == 2 else [image[:, :, c] for c in range(image.shape[2])]
        for plane in planes:
            h, w = plane.shape[0] // 4 * 4, plane.shape[1] // 4 * 4
            b = plane[:h, :w].reshape(h // 4, 4, w // 4, 4).swapaxes(1, 2).reshape(-1, 16)
            out.append(b.astype(np.uint8))
    left, right, _ = skimage.data.stereo_motorcycle()
    for image in (left, right):
        for c in range(3):
            plane = image[:, :, c]
            h, w = plane.shape[0] // 4 * 4, plane.shape[1] // 4 * 4
            out.append(plane[:h, :w].reshape(h // 4, 4, w // 4, 4).swapaxes(1, 2).reshape(-1, 16).astype(np.uint8))
    return np.concatenate(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "photos"))
    parser.add_argument("--seed", type=int, default=2009)
    parser.add_argument("sizes", nargs="+", type=int)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    train = os.path.join(args.out, "blocks.train.npy")
    if os.path.exists(train):
        x = np.load(train)
    else:
        x = blocks()
        write_set(os.path.join(args.out, "blocks.ts"), "ts", x, 1)
        np.save(train, x)
    for m in args.sizes:
        base = os.path.join(args.out, f"book-{m}")
        if not os.path.exists(base + ".cb"):
            code = distinct_rows(np.random.default_rng([args.seed, m]), x, m)
            write_set(base + ".cb", "cb", code, 1, "random distinct training vectors")
            np.save(base + ".code.npy", code)
        for part, target in (("train", "blocks.train.npy"), ("code", f"book-{m}.code.npy")):
            link = os.path.join(args.out, f"m{m}.{part}.npy")
            if not os.path.lexists(link):
                os.symlink(target, link)
    print(f"{len(x)} blocks of 16 elements; codebooks of {', '.join(map(str, args.sizes))} -> {args.out}",
          file=sys.stderr)


if __name__ == "__main__":
    main()
