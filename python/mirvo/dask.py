"""Both conversions over Dask arrays, for training sets beyond one machine.

partition(x, codebook) gives the nearest code vector of every row of a Dask
array, chunk by chunk; centroids(x, freqs, indices, count) adds each chunk
into per-partition sums (int64 vector sums, frequency sums) and combines them
exactly, so both equal mirvo.partition and mirvo.centroids on the whole set,
byte for byte. x is N x D of uint8, uint16 or int32, chunked along rows.

One machine streams a set of any size through the command line or the
module; this part is for sets beyond one machine's disk or time.
"""
import dask
import dask.array as da
import numpy as np

from . import _mirvo

_WIDTHS = (np.uint8, np.uint16, np.int32)


def _rows(x):
    """x as a Dask array of whole rows (one chunk across the columns)."""
    x = da.asarray(x)
    if x.ndim != 2:
        raise ValueError("x must have 2 dimensions (N x D), not %d" % x.ndim)
    if x.dtype not in [np.dtype(t) for t in _WIDTHS]:
        raise TypeError("x must hold uint8, uint16 or int32, not %s" % x.dtype)
    return x.rechunk({1: -1}) if len(x.chunks[1]) > 1 else x


def _along(values, x, what, dtype):
    """A per-row Dask array chunked as the rows of x."""
    values = da.asarray(values)
    if values.shape != (x.shape[0],):
        raise ValueError("%s must hold %d values, not shape %s" % (what, x.shape[0], values.shape))
    return values.astype(dtype).rechunk((x.chunks[0],))


def _partition_block(rows, codes):
    return _mirvo.partition(_mirvo.VectorSet(rows), _mirvo.VectorSet(codes, kind="codebook"))


def partition(x, codebook):
    """partition(x, codebook) -> Dask array of N int32 indices.

    The 0-based index of every row's nearest code vector, as mirvo.partition.
    x: Dask array N x D (uint8, uint16 or int32); codebook: a mirvo.VectorSet
    of kind 'codebook' (or its vectors), sent whole to every chunk."""
    x = _rows(x)
    if isinstance(codebook, _mirvo.VectorSet):
        if codebook.kind != "codebook":
            raise _mirvo.Error("ERROR: You must give a cb or pa file as input file.")
        codebook = codebook.vectors
    codes = np.asarray(codebook)
    if codes.ndim != 2 or codes.shape[1] != x.shape[1]:
        raise ValueError("the codebook must be M x %d, not %s" % (x.shape[1], codes.shape))
    return x.map_blocks(_partition_block, codes=codes, dtype=np.int32, drop_axis=1)


def _sums(rows, freqs, indices, count):
    return _mirvo._partition_sums(rows, freqs, indices, count)


def _add(pieces):
    sums = pieces[0][0].copy()
    freqs = pieces[0][1].copy()
    for piece_sums, piece_freqs in pieces[1:]:
        sums += piece_sums  # int64 wraps as the library's sums do
        freqs += piece_freqs
    return sums, freqs


def centroids(x, freqs, indices, count, **header):
    """centroids(x, freqs, indices, count, **header) -> mirvo.VectorSet (computed).

    The codebook of the partition centroids, as mirvo.centroids on the whole
    set: per chunk the int64 sums of freq * row and of freq per partition,
    added up, then per element the sum as a double over the frequency as a
    double, plus 0.5, truncated toward zero, clamped to int32; a partition of
    frequency <= 0 gives zeros with frequency 0.
    x: Dask array N x D; freqs: N frequencies (None for all 1); indices: N
    partitions in 0..count-1 (e.g. from partition()). header: the training
    set's VectorSet keywords (vector_size_x, vector_size_y, bytes_per_element,
    reserved_value, error_scaling, inherit_level, generation_method)."""
    x = _rows(x)
    freqs = da.ones(x.shape[0], dtype=np.int32, chunks=(x.chunks[0],)) if freqs is None else \
        _along(freqs, x, "freqs", np.int32)
    indices = _along(indices, x, "indices", np.int32)
    pieces = [dask.delayed(_sums)(rows, f, i, count) for rows, f, i in
              zip(x.to_delayed().ravel(), freqs.to_delayed().ravel(), indices.to_delayed().ravel())]
    while len(pieces) > 1:  # a tree of additions, eight at a time
        pieces = [dask.delayed(_add)(pieces[k:k + 8]) for k in range(0, len(pieces), 8)]
    vector_sums, freq_sums = dask.compute(pieces[0])[0] if pieces else \
        (np.zeros((count, x.shape[1]), np.int64), np.zeros(count, np.int64))
    template = _mirvo.VectorSet(np.zeros((0, x.shape[1]), dtype=x.dtype), **header)
    return _mirvo._codebook_from_sums(vector_sums, freq_sums, template)
