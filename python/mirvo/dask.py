"""Both conversions over Dask arrays, for training sets beyond one machine.

partition(x, codebook) gives the nearest code vector of every row of a Dask
array, chunk by chunk; centroids(x, freqs, indices, count, header=ts) adds
each chunk into per-partition sums (int64 vector sums, frequency sums) and
combines them exactly, so both equal mirvo.partition and mirvo.centroids on
the whole set, byte for byte, and the codebook written is the command
line's file when its header is the training set's. x is N x D of uint8,
uint16 or int32, chunked along rows.

Each task runs on `threads` threads (default 1): a worker already runs one
task per thread it has, so more would only compete for its cores.

One machine streams a set of any size through the command line or the
module; this part is for sets beyond one machine's disk or time.
"""
import contextlib
from typing import Any, Optional, Union

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt

from . import _arguments, _mirvo, _values

_WIDTHS = [np.dtype(t) for t in (np.uint8, np.uint16, np.int32)]

Rows = Union[da.Array, npt.ArrayLike, _mirvo.VectorSet]


@contextlib.contextmanager
def _threads(threads):
    """Computations of the calling thread on `threads` threads (None: as set
    for the process)."""
    if threads is None:
        yield
        return
    previous = _mirvo._set_num_threads_here(_arguments.count(threads, "threads"))
    try:
        yield
    finally:
        _mirvo._set_num_threads_here(previous)


def _rows(x, name):
    """x as a Dask array of whole rows (one chunk across the columns)."""
    if isinstance(x, _mirvo.VectorSet):
        x = x.vectors
    x = da.asarray(x)
    if x.ndim != 2:
        raise ValueError("%s must have 2 dimensions (N x D), not %d (a Dask array of %s with shape %s)" % (
            name, x.ndim, x.dtype, x.shape))
    if x.dtype not in _WIDTHS:
        raise TypeError("%s must hold uint8, uint16 or int32, not %s (a Dask array with shape %s): "
                        "x.astype(numpy.int32), say" % (name, x.dtype, x.shape))
    return x.rechunk({1: -1}) if len(x.chunks[1]) > 1 else x


def _along(values, x, name, dtype):
    """A per-row Dask array chunked as the rows of x."""
    values = da.asarray(values)
    if values.shape != (x.shape[0],):
        raise ValueError("%s must hold %d values, not shape %s" % (name, x.shape[0], values.shape))
    return values.astype(dtype).rechunk((x.chunks[0],))


def _partition_block(rows, codes, threads):
    with _threads(threads):
        return _mirvo.partition(_mirvo.VectorSet(rows), _mirvo.VectorSet(codes, kind="codebook"))


def partition(x: Rows, codebook: Union[_mirvo.VectorSet, npt.ArrayLike], *, threads: Optional[int] = 1) -> da.Array:
    """partition(x, codebook, *, threads=1) -> Dask array of N int32 indices

    The 0-based index of every row's nearest code vector, as mirvo.partition.
    x: a Dask array N x D (uint8, uint16 or int32), or what da.asarray takes
    (a VectorSet gives its vectors); codebook: a VectorSet or an integer
    array-like M x D, sent whole to every chunk. threads: threads of each
    task (None: the worker process's setting, mirvo.set_num_threads)."""
    x = _rows(x, "x")
    codes = _arguments.vector_set(codebook, "codebook", "codebook")
    if len(codes) == 0:
        raise ValueError("codebook holds no vectors (%s)" % _arguments.describe(codebook))
    if codes.vectors.shape[1] != x.shape[1]:
        raise ValueError("x and codebook differ in D, %d and %d (%s)" % (
            x.shape[1], codes.vectors.shape[1], _arguments.describe(codebook)))
    return x.map_blocks(_partition_block, codes=codes.vectors, threads=threads, dtype=np.int32, drop_axis=1)


def _sums(rows, freqs, indices, count, threads):
    with _threads(threads):
        return _mirvo._partition_sums(rows, freqs, indices, count)


def _add(pieces):
    sums = pieces[0][0].copy()
    freqs = pieces[0][1].copy()
    for piece_sums, piece_freqs in pieces[1:]:
        sums += piece_sums  # int64 wraps as the library's sums do
        freqs += piece_freqs
    return sums, freqs


def centroids(x: Rows, freqs: Optional[npt.ArrayLike], indices: Union[da.Array, npt.ArrayLike], count: int, *,
              header: Optional[_mirvo.VectorSet] = None, threads: Optional[int] = 1,
              **fields: Any) -> _mirvo.VectorSet:
    """centroids(x, freqs, indices, count, *, header=None, threads=1, **fields) -> mirvo.VectorSet (computed)

    The codebook of the partition centroids, as mirvo.centroids on the whole
    set: per chunk the int64 sums of freq * row and of freq per partition,
    added up, then per element the sum as a double over the frequency as a
    double, plus 0.5, truncated toward zero; a partition of frequency <= 0
    gives a zero vector with frequency 0.

    x: a Dask array N x D, or what da.asarray takes; a VectorSet gives its
    vectors, its frequencies (when freqs is None) and its header.
    freqs: N frequencies (None: x's, or all 1). indices: N partitions in
    0..count-1 (e.g. from partition()).
    header: the training set (a VectorSet) whose header the codebook takes,
    as the command line takes it: vector_size_x and vector_size_y (without
    it, D x 1), bytes_per_element, reserved_value, error_scaling,
    inherit_level, generation_method. fields: any of these, in place of the
    header's. threads: as for partition()."""
    if isinstance(x, _mirvo.VectorSet):
        header = x if header is None else header
        freqs = x.freqs if freqs is None else freqs
    x = _rows(x, "x")
    count = _arguments.count(count)
    freqs = da.ones(x.shape[0], dtype=np.int32, chunks=(x.chunks[0],)) if freqs is None else \
        _along(freqs, x, "freqs", np.int32)
    indices = _along(indices, x, "indices", np.int32)
    pieces = [dask.delayed(_sums)(rows, f, i, count, threads) for rows, f, i in
              zip(x.to_delayed().ravel(), freqs.to_delayed().ravel(), indices.to_delayed().ravel())]
    while len(pieces) > 1:  # a tree of additions, eight at a time
        pieces = [dask.delayed(_add)(pieces[k:k + 8]) for k in range(0, len(pieces), 8)]
    vector_sums, freq_sums = dask.compute(pieces[0])[0] if pieces else \
        (np.zeros((count, x.shape[1]), np.int64), np.zeros(count, np.int64))
    keywords = dict(_values.keywords(header) if header is not None else {}, **fields)
    template = _mirvo.VectorSet(np.zeros((0, x.shape[1]), dtype=x.dtype), **keywords)
    return _mirvo._codebook_from_sums(vector_sums, freq_sums, template)
