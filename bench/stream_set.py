#!/usr/bin/env python3
"""Writes a training set (or a codebook) of N random D-element one-byte
vectors to standard output, a chunk at a time, so that sets of any size can
be piped into mirvo without a file:

    bench/stream_set.py N [--dimension 16] [--codebook] [--seed 1]
"""
import argparse
import sys

import numpy as np


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("count", type=int)
    parser.add_argument("--dimension", type=int, default=16)
    parser.add_argument("--codebook", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    n, d = args.count, args.dimension
    kind = "VQ CODEBOOK 2.0" if args.codebook else "VQ TRAINING SET 2.0"
    out = sys.stdout.buffer
    out.write(f"{kind}\n{d}\n1\n{n}\n{n}\n1\n0\n1\n0\n{'-' * 37}\n".encode())
    record = np.dtype([("name", "u1"), ("vector", "u1", (d,)), ("freq", ">i4")])
    rng = np.random.default_rng(args.seed)
    chunk = max(1, (1 << 22) // record.itemsize)
    for first in range(0, n, chunk):
        count = min(chunk, n - first)
        block = np.zeros(count, dtype=record)
        # Clustered data, as image blocks are: a centre per vector plus noise.
        centres = rng.integers(0, 256, size=(count, 1), dtype=np.int16)
        block["vector"] = np.clip(centres + rng.integers(-24, 25, size=(count, d), dtype=np.int16), 0, 255)
        block["freq"] = 1
        out.write(block.tobytes())
    out.flush()


if __name__ == "__main__":
    main()
