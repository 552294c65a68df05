#!/usr/bin/env python3
"""Makes the bundled example files (standard library only).

image.ts  training set: the 4x4 blocks of a synthetic 128x128 grey image,
          identical blocks merged into one vector with its frequency, each
          vector named after the block where it first occurs ("r3c17").
image.cb  codebook: 64 code vectors from 10 rounds of k-means on image.ts.

Run from anywhere: python3 examples/make_examples.py
"""
import math
import os
import struct

SIZE = 128
BLOCK = 4
CODE_VECTORS = 64
ROUNDS = 10
SEPARATOR = b"-" * 37 + b"\n"


def pixel(x, y, noise):
    """A grey level 0..255: gradient, two discs, stripes and a little noise."""
    value = 40 + x * 0.6 + y * 0.4
    if (x - 40) ** 2 + (y - 44) ** 2 < 20 ** 2:
        value = 210
    if (x - 96) ** 2 + (y - 90) ** 2 < 16 ** 2:
        value = 30 + 8 * ((x + y) % 4)
    if 100 <= y < 120 and (x // 6) % 2 == 0:
        value = 235
    value += noise
    return max(0, min(255, int(value)))


def image_blocks():
    seed = 12345
    image = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
            row.append(pixel(x, y, (seed >> 16) % 5 - 2 if x < 64 else 0))
        image.append(row)
    vectors, names, freqs, index = [], [], [], {}
    for by in range(SIZE // BLOCK):
        for bx in range(SIZE // BLOCK):
            block = tuple(image[by * BLOCK + dy][bx * BLOCK + dx] for dy in range(BLOCK) for dx in range(BLOCK))
            if block in index:
                freqs[index[block]] += 1
            else:
                index[block] = len(vectors)
                vectors.append(block)
                names.append("r%dc%d" % (by, bx))
                freqs.append(1)
    return vectors, names, freqs


def nearest(vector, codebook):
    best, answer = None, 0
    for j, code in enumerate(codebook):
        d = sum((a - b) ** 2 for a, b in zip(code, vector))
        if best is None or d < best:
            best, answer = d, j
    return answer


def kmeans(vectors, freqs):
    step = len(vectors) / CODE_VECTORS
    codebook = [list(vectors[int(i * step)]) for i in range(CODE_VECTORS)]
    code_freqs = [0] * CODE_VECTORS
    for _ in range(ROUNDS):
        sums = [[0] * (BLOCK * BLOCK) for _ in range(CODE_VECTORS)]
        code_freqs = [0] * CODE_VECTORS
        for vector, freq in zip(vectors, freqs):
            j = nearest(vector, codebook)
            code_freqs[j] += freq
            for k, element in enumerate(vector):
                sums[j][k] += element * freq
        for j in range(CODE_VECTORS):
            if code_freqs[j] > 0:
                codebook[j] = [int(s / code_freqs[j] + 0.5) for s in sums[j]]
    return codebook, code_freqs


def write_set(path, kind, vectors, freqs, names, method):
    header = [kind, BLOCK, BLOCK, len(vectors), sum(freqs), 1, 0, 0, 0]
    with open(path, "wb") as out:
        out.write("".join("%s\n" % field for field in header).encode())
        if method:
            out.write(method.encode() + b"\n")
        out.write(SEPARATOR)
        for vector, freq, name in zip(vectors, freqs, names):
            out.write(name.encode() + b"\0" + bytes(vector) + struct.pack(">i", freq))


def main():
    folder = os.path.dirname(os.path.abspath(__file__))
    vectors, names, freqs = image_blocks()
    write_set(os.path.join(folder, "image.ts"), "VQ TRAINING SET 2.0", vectors, freqs, names,
              "4x4 blocks of a synthetic 128x128 image")
    codebook, code_freqs = kmeans(vectors, freqs)
    write_set(os.path.join(folder, "image.cb"), "VQ CODEBOOK 2.0", codebook, code_freqs,
              [""] * len(codebook), "k-means, %d rounds" % ROUNDS)
    print("%d training vectors, %d code vectors" % (len(vectors), len(codebook)))


if __name__ == "__main__":
    main()
