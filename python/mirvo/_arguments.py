"""The arguments of mirvo's functions: sets given as VectorSets or integer
array-likes, partitions given as arrays or Partitionings, checked before
anything runs and named in the messages (TypeError, ValueError), and files
named in the errors of reading and writing."""
import contextlib
import numbers
import os

import numpy as np

from . import _mirvo, _values


def describe(value):
    """How an argument is named in messages: the repr of a VectorSet, else
    "an array of int64 with shape (3, 2)"."""
    if isinstance(value, _mirvo.VectorSet):
        return repr(value)
    array = np.asarray(value)
    return "an array of %s with shape %s" % (array.dtype, array.shape)


def vector_set(value, name, kind):
    """value as a VectorSet of the given kind: a VectorSet as it is, or as a
    set of the other kind sharing its arrays and header; an integer array-like
    N x D made into one (without a copy when it is uint8, uint16 or int32)."""
    if isinstance(value, _mirvo.VectorSet):
        if value.kind == kind:
            return value
        made = _mirvo.VectorSet(value.vectors, value.freqs, **dict(_values.keywords(value), kind=kind))
        made.total_freq = value.total_freq
        return made
    try:
        array = np.asarray(value)
    except ValueError as error:  # ragged lists
        raise ValueError("%s is not an N x D array: %s" % (name, error)) from None
    if array.dtype == object:
        raise TypeError("%s must be a VectorSet or an integer array N x D, not %s" % (name, type(value).__name__))
    return _mirvo.VectorSet(_mirvo._as_vectors(array, name), kind=kind)


def sets(training_set, codebook):
    """The training set and the codebook of a conversion, kinds taken from
    their places; a pair of VectorSets in the wrong order is refused."""
    if (isinstance(training_set, _mirvo.VectorSet) and isinstance(codebook, _mirvo.VectorSet)
            and training_set.kind == "codebook" and codebook.kind == "training set"):
        raise ValueError("training_set is a codebook and codebook a training set: were they given in the wrong "
                         "order? (training set first)")
    ts = vector_set(training_set, "training_set", "training set")
    cb = vector_set(codebook, "codebook", "codebook")
    if len(cb) == 0:
        raise ValueError("codebook holds no vectors (%s)" % describe(codebook))
    if ts.vectors.shape[1] != cb.vectors.shape[1]:
        raise ValueError("training_set and codebook differ in D, %d and %d (%s; %s)" % (
            ts.vectors.shape[1], cb.vectors.shape[1], describe(training_set), describe(codebook)))
    return ts, cb


def count(value, name="count"):
    """A count of partitions or rounds: an int of at least 1."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if value < 1:
        raise ValueError("%s must be at least 1, not %d" % (name, value))
    return int(value)


def indices(value, partitions, n):
    """Partition indices and their count: a Partitioning (whose count is the
    default), or integers with the count given; checked against n vectors."""
    if isinstance(value, _mirvo.Partitioning):
        partitions = value.count if partitions is None else partitions
        value = value.indices
    elif partitions is None:
        raise TypeError("count is needed with indices that are not a Partitioning")
    partitions = count(partitions)
    return _mirvo._indices(value, n, partitions), partitions


@contextlib.contextmanager
def naming(path):
    """Errors of reading or writing a file that do not name it get its name
    in front: "bad.cb: ERROR: Unknown file version number (3).". The error
    keeps its class (and errno)."""
    try:
        yield
    except _mirvo.Error as error:
        where, text = os.fsdecode(path), str(error)
        if where in text:
            raise
        named = type(error)("%s: %s" % (where, text))
        if isinstance(error, OSError):
            named.errno = error.errno
        raise named from None
