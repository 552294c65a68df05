"""Both conversions on arrays, checked for exact values and against the files
that mirvo writes for the same inputs."""
import numpy as np
import pytest

import mirvo


def test_partition_equals_mirvos_partitioning_of_the_example(work, run):
    run(work, "image", "image")
    ts, cb = mirvo.read_vector_set(work / "image.ts"), mirvo.read_vector_set(work / "image.cb")
    indices = mirvo.partition(ts, cb)
    assert indices.dtype == np.int32
    lines = (work / "image.pa").read_text().splitlines()[4:]
    assert indices.tolist() == [int(line.split()[0]) - 1 for line in lines]
    mirvo.write_partitioning(work / "py.pa", mirvo.Partitioning(indices, len(cb)), ts)
    assert (work / "py.pa").read_bytes() == (work / "image.pa").read_bytes()


def test_centroids_equal_mirvos_codebook_of_the_example(work, run):
    run(work, "image", "image")
    run(work, "-O", "image", "image.pa")
    ts = mirvo.read_vector_set(work / "image.ts")
    partitioning = mirvo.read_partitioning(work / "image.pa", ts)
    cb = mirvo.centroids(ts, partitioning.indices, partitioning.count)
    assert (cb.kind, len(cb), cb.generation_method) == ("codebook", 64, "")
    cb.generation_method += mirvo.PROGRAM_IDENTITY
    mirvo.write_vector_set(work / "py.cb", cb)
    assert (work / "py.cb").read_bytes() == (work / "image.cb").read_bytes()


PARTITIONS = [
    # (training vectors, codebook, nearest code vector of each)
    ([[1], [3], [2], [0]], [[0], [2]], [0, 1, 1, 0]),   # 1 lies halfway: the lower index wins
    ([[5, 5], [0, 9], [9, 0]], [[0, 0], [9, 9], [0, 9], [9, 0]], [1, 2, 3]),
    ([[7]], [[7], [7]], [0]),
]


@pytest.mark.parametrize("vectors, codebook, expected", PARTITIONS)
def test_partition_gives_the_nearest_code_vector_like_mirvo(tmp_path, run, vectors, codebook, expected):
    ts = mirvo.VectorSet(vectors, names=["v%d" % i for i in range(len(vectors))])
    cb = mirvo.VectorSet(codebook, kind="codebook")
    indices = mirvo.partition(ts, cb)
    assert indices.tolist() == expected
    mirvo.write_vector_set(tmp_path / "t.ts", ts)
    mirvo.write_vector_set(tmp_path / "c.cb", cb)
    run(tmp_path, "t", "c")
    mirvo.write_partitioning(tmp_path / "py.pa", mirvo.Partitioning(indices, len(cb)), ts)
    assert (tmp_path / "py.pa").read_bytes() == (tmp_path / "c.pa").read_bytes()


CENTROIDS = [
    # (training vectors, freqs, indices, count, bytes per element, code vectors, code freqs)
    ([[0, 0], [2, 3], [10, 10]], [1, 3, 1], [0, 0, 1], 3, 1, [[2, 2], [10, 10], [0, 0]], [4, 1, 0]),
    ([[1], [2]], [1, 1], [0, 0], 1, 1, [[2]], [2]),                 # 1.5 rounds up
    ([[-4], [-1]], [1, 1], [1, 1], 2, 4, [[0], [-2]], [0, 2]),      # -2.5 + 0.5 truncates to -2
    ([[100], [0]], [3, 0], [0, 0], 1, 1, [[100]], [3]),             # frequency 0 adds nothing
]


@pytest.mark.parametrize("vectors, freqs, indices, count, width, code_vectors, code_freqs", CENTROIDS)
def test_centroids_are_rounded_weighted_means_like_mirvo(tmp_path, run, vectors, freqs, indices, count, width,
                                                         code_vectors, code_freqs):
    ts = mirvo.VectorSet(vectors, freqs, bytes_per_element=width, generation_method="set")
    cb = mirvo.centroids(ts, np.array(indices), count)
    assert (cb.vectors.tolist(), cb.freqs.tolist()) == (code_vectors, code_freqs)
    assert (cb.kind, cb.bytes_per_element, cb.generation_method) == ("codebook", width, "")
    mirvo.write_vector_set(tmp_path / "t.ts", ts)
    mirvo.write_partitioning(tmp_path / "p.pa", mirvo.Partitioning(indices, count), ts)
    run(tmp_path, "t", "p")
    cb.generation_method += mirvo.PROGRAM_IDENTITY
    mirvo.write_vector_set(tmp_path / "py.cb", cb)
    assert (tmp_path / "py.cb").read_bytes() == (tmp_path / "p.cb").read_bytes()



@pytest.mark.parametrize("dtype, high", [(np.uint8, 256), (np.uint16, 65536), (np.int32, 2 ** 20)])
def test_conversions_on_random_rows_equal_a_plain_reference(dtype, high):
    rng = np.random.default_rng(7)
    base = rng.integers(0, high, (1500, 12)).astype(dtype)
    rows = base[::3, 2:10]  # rows apart in memory, searched where they lie
    codes = np.concatenate([rows[:20], rows[:5], rng.integers(0, high, (8, 8)).astype(dtype)])  # ties
    indices, distances = mirvo.partition(mirvo.VectorSet(rows), mirvo.VectorSet(codes, kind="codebook"),
                                         return_distances=True)
    squared = ((rows.astype(np.int64)[:, None, :] - codes.astype(np.int64)[None]) ** 2).sum(axis=2)
    assert indices.tolist() == squared.argmin(axis=1).tolist()  # the lowest index among the nearest
    assert distances.tolist() == squared.min(axis=1).tolist()
    freqs = rng.integers(1, 5, len(rows))
    cb = mirvo.centroids(mirvo.VectorSet(rows, freqs), indices, len(codes))
    sums = np.zeros((len(codes), 8), np.int64)
    np.add.at(sums, indices, rows.astype(np.int64) * freqs[:, None])
    weights = np.bincount(indices, freqs, len(codes)).astype(np.int64)
    mean = np.trunc(sums / np.maximum(weights, 1)[:, None] + 0.5).astype(np.int64) * (weights > 0)[:, None]
    assert (cb.vectors.dtype, cb.vectors.tolist(), cb.freqs.tolist()) == (dtype, mean.tolist(), weights.tolist())
