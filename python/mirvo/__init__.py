"""MIRVO's vector-quantisation files and conversions.

Training sets and codebooks are VectorSet objects: vectors as a numpy array
N x D of uint8, uint16 or int32 (kept in the width given, never copied into a
wider type), int32 frequencies and optional names. Partitionings are
Partitioning objects (0-based int32 indices and the partition count). Both
compare, pickle and copy by value, and rows are taken out by slicing
(ts[:1000]). Files are read and written by the MIRVO library itself, byte for
byte as the command line writes them.

partition() and centroids() run the command line's kernels on its threads,
on VectorSets or plain integer arrays (as scipy.cluster.vq.vq takes them);
kmeans() alternates them for a number of rounds, giving at every round the
files the command line gives; distortion() is the mean squared error per
element that the library reports. set_num_threads() sets how many threads
they use (default: one per core).

Every computation and file access releases the GIL, so threads run in
parallel; Ctrl-C interrupts a long computation or read with KeyboardInterrupt
(a write runs to its end first).

Failures raise mirvo.Error (a subclass of Exception) whose text names the
file and gives the library's ERROR message; files that cannot be opened
raise subclasses that are also FileNotFoundError, PermissionError,
FileExistsError, ... Arguments of the wrong kind raise TypeError or
ValueError naming the argument, its shape and dtype, before anything runs.

mirvo.dask (when dask is installed) spreads both conversions over a Dask
cluster with identical results.
"""
import numbers
import sys
from typing import List, NamedTuple, Optional

import numpy as np

from . import _arguments, _values  # noqa: F401 (_values gives the classes their value methods)
from ._mirvo import PROGRAM_IDENTITY, Error, Partitioning, VectorSet, __version__
from . import _mirvo

__all__ = ["Error", "KMeansResult", "Partitioning", "PROGRAM_IDENTITY", "VectorSet", "__version__", "centroids",
           "distortion", "get_num_threads", "kmeans", "partition", "read_partitioning", "read_vector_set",
           "set_num_threads", "write_partitioning", "write_vector_set"]


def read_vector_set(path):
    """read_vector_set(path) -> VectorSet

    Reads a training-set or codebook file (versions 0, 1 and 2). vectors come
    as uint8 for 1 byte per element, uint16 for 2, int32 for 3 and 4. A
    TotalFreq header that disagrees with the frequencies gives a UserWarning.
    Raises mirvo.Error naming the file for a bad file, or one of another kind
    ("image.png: not a training set, codebook or partitioning (first line:
    "\\x89PNG")"), and the OSError subclasses for a file that cannot be read."""
    with _arguments.naming(path):
        return _mirvo.read_vector_set(path)


def write_vector_set(path, vector_set, overwrite=False):
    """write_vector_set(path, vector_set, overwrite=False) -> None

    Writes a training-set or codebook file (version 2), all or nothing: an
    existing file is replaced only with overwrite=True (else
    FileExistsError). Values that do not fit bytes_per_element raise
    mirvo.Error and nothing is written."""
    with _arguments.naming(path):
        _mirvo.write_vector_set(path, vector_set, overwrite)


def read_partitioning(path, training_set):
    """read_partitioning(path, training_set) -> Partitioning

    Reads a partitioning file made for the given training set (its size is
    checked). Raises mirvo.Error naming the file for a bad file or one of
    another kind."""
    with _arguments.naming(path):
        return _mirvo.read_partitioning(path, training_set)


def write_partitioning(path, partitioning, training_set, overwrite=False):
    """write_partitioning(path, partitioning, training_set, overwrite=False) -> None

    Writes a partitioning file, all or nothing; the training set gives the
    names on its lines. An existing file is replaced only with
    overwrite=True (else FileExistsError)."""
    with _arguments.naming(path):
        _mirvo.write_partitioning(path, partitioning, training_set, overwrite)


def partition(training_set, codebook, return_distances=False, *, progress=None):
    """partition(training_set, codebook, return_distances=False, *, progress=None) -> indices or (indices, distances)

    The 0-based index (int32 array of N) of every training vector's nearest
    code vector (squared Euclidean distance, ties to the lowest index): the
    command line's codebook-to-partitioning conversion, on the same kernels
    and threads. With return_distances, also the squared distances (int64
    array of N; scipy's vq returns their square roots).

    training_set, codebook: VectorSets, or integer array-likes N x D and M x D
    (numpy arrays, anything with the array protocol, nested lists), taken as
    what their place says. uint8, uint16 and int32 arrays are used where they
    lie; other integers are converted to the narrowest of those.
    progress: called as progress(rows) with the training vectors done since
    its last call, a few times a second and once at the end (the rows add up
    to N), in the calling thread; tqdm(total=N).update fits. An exception it
    raises stops the computation and is raised here.

    Raises TypeError or ValueError, naming the argument, for sets that are not
    integer arrays N x D, an empty codebook, sets of different D, or two
    VectorSets in the wrong order."""
    ts, cb = _arguments.sets(training_set, codebook)
    return _mirvo.partition(ts, cb, return_distances, progress)


def centroids(training_set, indices, count=None, *, progress=None):
    """centroids(training_set, indices, count=None, *, progress=None) -> VectorSet

    The codebook of the partition centroids, as the command line's
    partitioning-to-codebook conversion makes it: per partition and element,
    sum(freq * vector) / sum(freq) as doubles, plus 0.5, truncated toward
    zero; a partition without members (or of frequency <= 0) gives a zero
    vector with frequency 0. The header is the training set's, as the command
    line takes it (its generation_method only when inherit_level > 1; the
    command line then appends PROGRAM_IDENTITY). The vectors keep the
    training set's dtype when the centroids fit it.

    training_set: a VectorSet or an integer array-like N x D (frequencies 1).
    indices: N partitions in 0..count-1, or a Partitioning (count then
    defaults to its count). progress: as for partition().
    Raises TypeError or ValueError naming the argument."""
    ts = _arguments.vector_set(training_set, "training_set", "training set")
    indices, count = _arguments.indices(indices, count, len(ts))
    return _mirvo.centroids(ts, indices, count, progress)


def _mean_error(distances, freqs, dimension):
    """The library's mean squared error per element: the frequency-weighted
    sum of the squared distances (exact), as a double, over D times the sum
    of the frequencies, as a double."""
    weights = freqs.astype(np.int64)
    if distances.size and int(distances.max()) * int(np.abs(weights).sum()) >= 2 ** 63:
        total = sum(int(d) * int(f) for d, f in zip(distances.tolist(), weights.tolist()))  # beyond int64
    else:
        total = int(np.dot(distances, weights))
    with np.errstate(divide="ignore", invalid="ignore"):  # no frequencies: nan, as the library's 0 / 0
        return float(np.float64(total) / np.float64(dimension * int(weights.sum())))


def _assigned_distances(vectors, codes, indices):
    """The squared distance of every row to its code vector, exact and, as
    the library reports them, at most 2**63 - 1; a chunk at a time."""
    n, d = vectors.shape
    out = np.empty(n, np.int64)
    if n == 0:
        return out
    narrow = vectors.itemsize <= 2 and codes.itemsize <= 2 and codes.dtype.kind == "u"
    low = 0 if narrow else min(int(vectors.min()), int(codes.min()))
    high = 65535 if narrow else max(int(vectors.max()), int(codes.max()))
    exact = d * (high - low) ** 2 < 2 ** 63
    wide = codes.astype(np.int64 if exact else object)
    step = 1 << 16
    for start in range(0, n, step):
        diff = vectors[start:start + step].astype(wide.dtype) - wide[indices[start:start + step]]
        squares = (diff * diff).sum(axis=1)
        out[start:start + step] = squares if exact else [min(int(s), 2 ** 63 - 1) for s in squares]
    return out


def distortion(training_set, codebook, indices=None):
    """distortion(training_set, codebook, indices=None) -> float

    The mean squared error per element of the training set coded by the
    codebook, as the library's error function 0 computes it: the squared
    distance of every training vector to its code vector, times its
    frequency, summed exactly, over D times the sum of the frequencies (nan
    without frequencies). With indices (N indices into the codebook, or a
    Partitioning), each vector is measured against its own code vector;
    without, against its nearest (as partition() finds it).

    training_set, codebook: as for partition()."""
    ts, cb = _arguments.sets(training_set, codebook)
    if indices is None:
        _, distances = _mirvo.partition(ts, cb, True)
    else:
        if isinstance(indices, Partitioning):
            indices = indices.indices
        distances = _assigned_distances(ts.vectors, cb.vectors, _mirvo._indices(indices, len(ts), len(cb)))
    return _mean_error(distances, ts.freqs, ts.vectors.shape[1])


class KMeansResult(NamedTuple):
    """What kmeans() gives: the last codebook, the partition indices it is
    the centroid codebook of, and the distortion of every round."""
    codebook: VectorSet
    indices: np.ndarray
    distortions: List[float]


def _with_identity(method):
    """A generation method with PROGRAM_IDENTITY appended, cut at 79 bytes as
    the command line cuts it."""
    joined = (method + PROGRAM_IDENTITY).encode("utf-8", "surrogateescape")[:79]
    return joined.decode("utf-8", "surrogateescape")


def kmeans(training_set, codebook, rounds=100, tol=1e-4, callback=None, verbose=False):
    """kmeans(training_set, codebook, rounds=100, tol=1e-4, callback=None, verbose=False) -> KMeansResult

    Rounds of k-means (the generalised Lloyd algorithm) from a first
    codebook, each exactly what running the command line twice gives: the
    partition of every training vector to its nearest code vector
    (`mirvo ts cb`), then the codebook of the partition centroids
    (`mirvo -O ts cb.pa`), whose generation method gets PROGRAM_IDENTITY as
    the command line's does. Written out, the codebook and the partitioning
    of every round are byte for byte the command line's files. A partition
    that no training vector is nearest to gives a zero vector with frequency
    0, as the command line writes it; it stays empty in later rounds unless a
    training vector comes nearest to that zero vector.

    The distortion of a round is that of its partition: distortion(ts, cb)
    of the codebook the round starts from. Rounds stop after `rounds`, when
    the distortion falls by no more than tol relative to the last round's
    (tol=0: as soon as it stops falling), or when callback(round, distortion)
    returns true; round counts from 1. verbose prints one line per round on
    standard error.

    training_set, codebook: as for partition().
    Returns KMeansResult(codebook, indices, distortions): the codebook after
    the last round, the partition indices of the last round (the codebook is
    their centroid codebook: centroids(ts, indices, len(codebook)) but for
    the generation method), and the distortion of every round (a list of
    floats)."""
    ts, cb = _arguments.sets(training_set, codebook)
    rounds = _arguments.count(rounds, "rounds")
    if not isinstance(tol, numbers.Real) or not tol >= 0:
        raise ValueError("tol must be a number of at least 0, not %r" % (tol,))
    distortions = []
    for round_ in range(1, rounds + 1):
        indices, distances = _mirvo.partition(ts, cb, True)
        distortions.append(_mean_error(distances, ts.freqs, ts.vectors.shape[1]))
        cb = _mirvo.centroids(ts, indices, len(cb))
        cb.generation_method = _with_identity(cb.generation_method)
        now, last = distortions[-1], distortions[-2] if round_ > 1 else None
        if verbose:
            drop = "" if last is None else " (%.4f %% below round %d)" % (100 * (last - now) / last, round_ - 1)
            print("mirvo.kmeans: round %d, distortion %.6f%s" % (round_, now, drop), file=sys.stderr, flush=True)
        if (callback is not None and callback(round_, now)) or (last is not None and last - now <= tol * last):
            break
    return KMeansResult(cb, indices, distortions)


def set_num_threads(n: Optional[int]) -> None:
    """set_num_threads(n) -> None

    The number of threads every computation of the module uses from now on,
    the calling thread included (n >= 1), or None for one per processor core
    (the default). Process-wide; mirvo.dask gives each task its own."""
    _mirvo._set_num_threads(0 if n is None else _arguments.count(n, "n"))


def get_num_threads() -> int:
    """get_num_threads() -> int

    The number of threads a computation started now uses."""
    return _mirvo._get_num_threads()


for _name in __all__:
    try:
        globals()[_name].__module__ = __name__  # help(mirvo) and tracebacks say mirvo.X
    except (AttributeError, TypeError):
        pass
del _name
