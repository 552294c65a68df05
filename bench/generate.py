#!/usr/bin/python3
"""Writes the benchmark workloads as MIRVO files and as .npy arrays.

    /usr/bin/python3 bench/generate.py [--out DIR] [--scale S] [--seed N] [NAME ...]

For each workload NAME (all of them by default) the folder DIR (bench/data by
default) receives:
    NAME.ts            training set (version 2, frequency 1 for every vector)
    NAME.cb            codebook (cb->pa workloads) or
    NAME.pa            partitioning (the pa->cb workload)
    NAME.train.npy     training vectors, N x D, the element type of the file
    NAME.code.npy      code vectors, M x D (cb->pa workloads)
    NAME.labels.npy    0-based partition of every training vector (pa->cb)
--scale multiplies every N (for quick trials). The data is deterministic for
a given seed.
"""
import argparse
import os
import sys

import numpy as np

# name: (N, D, M, bytes per element, kind)
WORKLOADS = {
    "clustered": (1_000_000, 16, 1024, 1, "cb"),
    "lowdim": (1_000_000, 2, 1000, 4, "cb"),
    "highdim": (100_000, 128, 1024, 1, "cb"),
    "centroids": (10_000_000, 16, 256, 1, "pa"),
    "blocks4": (1_048_576, 16, 1024, 1, "cb"),
    "blocks8": (262_144, 64, 1024, 1, "cb"),
}


def gaussian_mixture(rng, n, d, components, spread):
    """Elements 0..255: a mixture of `components` Gaussians with centres in
    the middle of the range and standard deviations of 4 to `spread`."""
    centres = rng.uniform(40, 215, size=(components, d))
    sigma = rng.uniform(4, spread, size=(components, 1))
    labels = rng.integers(0, components, size=n)
    out = np.empty((n, d), dtype=np.uint8)
    block = 1 << 20
    for s in range(0, n, block):
        e = min(n, s + block)
        lab = labels[s:e]
        x = centres[lab] + rng.standard_normal((e - s, d)) * sigma[lab]
        out[s:e] = np.clip(np.rint(x), 0, 255).astype(np.uint8)
    return out, labels


def descriptors(rng, n, d, components):
    """Elements 0..255 skewed like image descriptors (SIFT-like): most
    elements small, many zeros, a long tail of large values; vectors drawn
    around `components` prototypes."""
    proto = rng.gamma(0.5, 40.0, size=(components, d))
    labels = rng.integers(0, components, size=n)
    x = proto[labels] * rng.gamma(3.0, 1.0 / 3.0, size=(n, d)) + rng.exponential(3.0, size=(n, d))
    x[x < 4] = 0
    return np.clip(np.rint(x), 0, 255).astype(np.uint8)


def photograph(rng, side):
    """A side x side grey image with what makes pixel blocks of photographs
    hard for an exact search: smooth shading, flat and saturated areas
    (many equal blocks, many ties), hard edges and a little sensor noise."""
    def smooth(cells, amplitude):
        coarse = rng.uniform(-amplitude, amplitude, size=(cells + 1, cells + 1))
        t = np.linspace(0, cells, side, endpoint=False)
        i = t.astype(int)
        f = t - i
        rows = coarse[i] * (1 - f)[:, None] + coarse[i + 1] * f[:, None]
        return rows[:, i] * (1 - f)[None, :] + rows[:, i + 1] * f[None, :]
    img = 128 + smooth(4, 120) + smooth(16, 30)
    yy, xx = np.mgrid[0:side, 0:side]
    for _ in range(40):  # objects: discs and rectangles of flat or shaded colour
        cy, cx, r = rng.uniform(0, side), rng.uniform(0, side), rng.uniform(side / 60, side / 6)
        inside = (yy - cy) ** 2 + (xx - cx) ** 2 < r * r if rng.random() < 0.5 else \
            (abs(yy - cy) < r) & (abs(xx - cx) < rng.uniform(0.3, 2) * r)
        img[inside] = rng.uniform(-20, 280) + rng.uniform(-0.3, 0.3) * (yy[inside] - cy)
    img += rng.normal(0, 1.5, size=img.shape) * (rng.random(img.shape) < 0.5)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def image_blocks(rng, n, size):
    """n blocks of size x size pixels, row by row from photographs, in
    raster order as an image coder would hand them over."""
    side = 1024
    per_image = (side // size) ** 2
    out = []
    for _ in range((n + per_image - 1) // per_image):
        img = photograph(rng, side)
        b = img.reshape(side // size, size, side // size, size).swapaxes(1, 2).reshape(per_image, size * size)
        out.append(b)
    return np.concatenate(out)[:n]


def distinct_rows(rng, x, m):
    """m distinct rows of x, picked at random (the usual initial codebook)."""
    order = rng.permutation(len(x))
    seen, rows = set(), []
    for i in order:
        key = x[i].tobytes()
        if key not in seen:
            seen.add(key)
            rows.append(i)
            if len(rows) == m:
                break
    return x[np.sort(np.array(rows))]


def header(kind, d, n, width, method=""):
    title = {"ts": "VQ TRAINING SET 2.0", "cb": "VQ CODEBOOK 2.0"}[kind]
    lines = [title, str(d), "1", str(n), str(n), str(width), "0", "0", "0"]
    if method:
        lines.append(method)
    lines.append("-" * 37)
    return ("\n".join(lines) + "\n").encode()


def write_set(path, kind, x, width, method=""):
    n, d = x.shape
    rec = np.zeros((n, 1 + d * width + 4), dtype=np.uint8)
    big = x.astype(">u4").view(np.uint8).reshape(n, d, 4)[:, :, 4 - width:]
    rec[:, 1:1 + d * width] = big.reshape(n, d * width)
    rec[:, -1] = 1  # frequency 1, big-endian
    with open(path, "wb") as f:
        f.write(header(kind, d, n, width, method))
        block = 1 << 20
        for s in range(0, n, block):
            f.write(rec[s:s + block].tobytes())


def write_partitioning(path, labels, m):
    n = len(labels)
    with open(path, "wb") as f:
        f.write(f"VQ PARTITIONING 2.0\n{m}\n{n}\n{'-' * 37}\n".encode())
        block = 1 << 20
        for s in range(0, n, block):
            text = "\n".join(map(str, (labels[s:s + block] + 1).tolist())) + "\n"
            f.write(text.encode())


def generate(name, out, scale, seed):
    n, d, m, width, kind = WORKLOADS[name]
    n = max(m, int(n * scale))
    rng = np.random.default_rng([seed, list(WORKLOADS).index(name)])
    if name == "clustered":
        x, _ = gaussian_mixture(rng, n, d, 256, 24)
    elif name == "highdim":
        x = descriptors(rng, n, d, 200)
    elif name in ("blocks4", "blocks8"):
        x = image_blocks(rng, n, 4 if name == "blocks4" else 8)
    elif name == "lowdim":
        x = rng.integers(0, 1_000_001, size=(n, d), dtype=np.int64).astype(np.uint32)
    else:
        x, labels = gaussian_mixture(rng, n, d, m, 24)
    base = os.path.join(out, name)
    write_set(base + ".ts", "ts", x, width)
    np.save(base + ".train.npy", x)
    if kind == "cb":
        code = distinct_rows(rng, x, m)
        write_set(base + ".cb", "cb", code, width, "random distinct training vectors")
        np.save(base + ".code.npy", code)
    else:
        write_partitioning(base + ".pa", labels, m)
        np.save(base + ".labels.npy", labels.astype(np.int32))
    print(f"{name}: N={n} D={d} M={m} {width} byte(s) -> {base}.*", file=sys.stderr)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=os.path.join(here, "data"))
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=2009)
    parser.add_argument("names", nargs="*", default=list(WORKLOADS))
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for name in args.names:
        generate(name, args.out, args.scale, args.seed)


if __name__ == "__main__":
    main()
