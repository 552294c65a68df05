#!/usr/bin/python3
"""Trains a codebook on a photograph with mirvo.kmeans and shows what it does.

    PYTHONPATH=build/python /usr/bin/python3 examples/kmeans_image.py
        [--codes 256] [--rounds 30] [--output kmeans_image.png]

The photograph is scikit-image's "camera" (512 x 512 grey levels, shipped by
Debian's python3-skimage). Its 4 x 4 blocks are the training set (16384
vectors of 16 one-byte elements), a first codebook is --codes of them drawn
at random, and k-means runs until the distortion falls by less than 0.01 %
a round (or for --rounds rounds). The PNG written (matplotlib, Debian's
python3-matplotlib) shows the photograph beside its reconstruction from the
codebook (every block replaced by its nearest code vector), a detail of
both at full size, and the distortion per round.
"""
import argparse

import matplotlib
import numpy as np
from skimage import data

import mirvo

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

BLOCK = 4
DETAIL = (slice(64, 192), slice(192, 320))  # the camera and the hand, 128 x 128


def blocks(image):
    """The BLOCK x BLOCK blocks of an image, row by row, as rows of a matrix."""
    h, w = image.shape[0] // BLOCK, image.shape[1] // BLOCK
    return image[:h * BLOCK, :w * BLOCK].reshape(h, BLOCK, w, BLOCK).swapaxes(1, 2).reshape(h * w, BLOCK * BLOCK)


def image_of(rows, shape):
    """The image whose blocks are the rows (the inverse of blocks())."""
    h, w = shape[0] // BLOCK, shape[1] // BLOCK
    return rows.reshape(h, w, BLOCK, BLOCK).swapaxes(1, 2).reshape(h * BLOCK, w * BLOCK)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--codes", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--output", default="kmeans_image.png")
    args = parser.parse_args()

    photo = data.camera()
    ts = mirvo.VectorSet(blocks(photo), vector_size_x=BLOCK, vector_size_y=BLOCK)
    start = ts.vectors[np.random.default_rng(1).choice(len(ts), args.codes, replace=False)]
    result = mirvo.kmeans(ts, start, rounds=args.rounds, tol=1e-4)
    codebook = result.codebook
    rebuilt = image_of(codebook.vectors[mirvo.partition(ts, codebook)], photo.shape)
    mse = mirvo.distortion(ts, codebook)
    psnr = 10 * np.log10(255 ** 2 / mse)

    figure = plt.figure(figsize=(10, 6.4))
    grid = figure.add_gridspec(2, 3, width_ratios=[1, 1, 1.3])
    coded = "%d code vectors of %dx%d: PSNR %.1f dB" % (len(codebook), BLOCK, BLOCK, psnr)
    for row, view in enumerate((np.s_[:, :], DETAIL)):
        for column, (image, title) in enumerate(((photo, "original"), (rebuilt, coded))):
            axes = figure.add_subplot(grid[row, column])
            axes.imshow(image[view], cmap="gray", vmin=0, vmax=255, interpolation="nearest")
            axes.set_title(title if row == 0 else "detail, 128 x 128", fontsize=9)
            axes.axis("off")
    right = figure.add_subplot(grid[:, 2])
    right.plot(range(1, len(result.distortions) + 1), result.distortions, marker=".")
    right.set_xlabel("round")
    right.set_ylabel("distortion (MSE per element)")
    right.set_title("mirvo.kmeans", fontsize=9)
    right.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(args.output, dpi=72)
    print("%s: %d code vectors, %d rounds, distortion %.3f, PSNR %.2f dB" % (
        args.output, len(codebook), len(result.distortions), mse, psnr))


if __name__ == "__main__":
    main()
