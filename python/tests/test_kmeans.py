"""kmeans() against the command line's rounds and the library's distortion,
its stopping rules, distortion() against a plain reference, and the image
example."""
import re
import subprocess
import sys

import numpy as np
import pytest

import mirvo
from conftest import EXAMPLES


@pytest.mark.parametrize("rounds", [1, 2, 3])
def test_kmeans_writes_the_command_lines_files_of_every_round(work, run, rounds):
    ts, cb = mirvo.read_vector_set(work / "image.ts"), mirvo.read_vector_set(work / "image.cb")
    result = mirvo.kmeans(ts, cb, rounds=rounds, tol=0)
    assert len(result.distortions) == rounds
    mirvo.write_vector_set(work / "py.cb", result.codebook)
    mirvo.write_partitioning(work / "py.pa", mirvo.Partitioning(result.indices, len(cb)), ts)
    for _ in range(rounds):
        run(work, "-O", "image", "image")
        run(work, "-O", "image", "image.pa")
    assert (work / "py.cb").read_bytes() == (work / "image.cb").read_bytes()
    assert (work / "py.pa").read_bytes() == (work / "image.pa").read_bytes()


def test_distortions_are_the_librarys(work, kmeans_binary):
    ts, cb = mirvo.read_vector_set(work / "image.ts"), mirvo.read_vector_set(work / "image.cb")
    done = subprocess.run([kmeans_binary, "image.ts", "image.cb", "k.cb", "k.pa", "3"], cwd=work, capture_output=True,
                          text=True, check=True)
    distortions = mirvo.kmeans(ts, cb, rounds=3, tol=0).distortions
    assert done.stdout == "".join("round %d: distortion %r\n" % (r + 1, d) for r, d in enumerate(distortions))
    assert mirvo.distortion(ts, cb) == mirvo.distortion(ts, cb, mirvo.partition(ts, cb)) == distortions[0]


def test_rounds_stop_at_the_tolerance_the_callback_or_a_fixed_point(capsys):
    # Twin code vectors: the second one's partition stays empty, a zero vector.
    ts = mirvo.VectorSet([[1, 1], [3, 3], [9, 9], [10, 8], [2, 2]], [2, 1, 1, 3, 1])
    cb = mirvo.VectorSet([[2, 2], [2, 2], [9, 9]], kind="codebook")
    result = mirvo.kmeans(ts, cb, tol=0, verbose=True)
    assert result.distortions == [0.75, 0.5, 0.5]
    assert (result.codebook.vectors.tolist(), result.codebook.freqs.tolist()) == ([[2, 2], [0, 0], [10, 8]], [4, 0, 4])
    assert result.indices.tolist() == [0, 0, 2, 2, 0]
    assert capsys.readouterr().err == ("mirvo.kmeans: round 1, distortion 0.750000\n"
                                       "mirvo.kmeans: round 2, distortion 0.500000 (33.3333 % below round 1)\n"
                                       "mirvo.kmeans: round 3, distortion 0.500000 (0.0000 % below round 2)\n")
    assert mirvo.kmeans(ts, cb, tol=0.4).distortions == [0.75, 0.5]   # dropped by a third, within 0.4
    assert mirvo.kmeans(ts, cb, rounds=1).distortions == [0.75]
    seen = []
    assert mirvo.kmeans(ts, cb, tol=0, callback=lambda *a: seen.append(a)).distortions == [0.75, 0.5, 0.5]
    assert seen == [(1, 0.75), (2, 0.5), (3, 0.5)]
    assert mirvo.kmeans(ts, cb, tol=0, callback=lambda r, d: True).distortions == [0.75]


def reference(vectors, freqs, codes, indices=None):
    """The plain mean squared error per element: the sum in Python integers,
    each distance saturated to 2**63 - 1 as the library reports it, as a
    double over D times the frequencies as a double."""
    total = 0
    for i, (row, freq) in enumerate(zip(vectors.tolist(), freqs.tolist())):
        distances = [min(sum((a - b) ** 2 for a, b in zip(row, code)), 2 ** 63 - 1) for code in codes.tolist()]
        total += freq * (min(distances) if indices is None else distances[indices[i]])
    return float(total) / float(vectors.shape[1] * int(freqs.sum()))


@pytest.mark.parametrize("dtype, low, high", [(np.uint8, 0, 256), (np.uint16, 0, 65536),
                                              (np.int32, -2 ** 31, 2 ** 31)])  # squares beyond 64 bits
def test_distortion_equals_a_plain_reference_on_random_data(dtype, low, high):
    rng = np.random.default_rng(5)
    vectors = rng.integers(low, high, (300, 6)).astype(dtype)
    codes = np.concatenate([vectors[:7], vectors[:3], rng.integers(low, high, (5, 6)).astype(dtype)])  # ties
    freqs = rng.integers(1, 2 ** 20, 300).astype(np.int32)
    ts = mirvo.VectorSet(vectors, freqs)
    indices = rng.integers(0, len(codes), 300)
    assert mirvo.distortion(ts, codes) == reference(vectors, freqs, codes)
    assert mirvo.distortion(ts, codes, indices) == reference(vectors, freqs, codes, indices)


def test_the_image_example_writes_its_picture(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("skimage")
    done = subprocess.run([sys.executable, str(EXAMPLES / "kmeans_image.py"), "--codes", "16", "--rounds", "2",
                           "--output", str(tmp_path / "k.png")], capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (0, "")
    assert re.fullmatch(r".*k\.png: 16 code vectors, 2 rounds, distortion [0-9.]+, PSNR [0-9.]+ dB\n", done.stdout)
    assert (tmp_path / "k.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
