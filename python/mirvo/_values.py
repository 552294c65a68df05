"""VectorSet and Partitioning as values: equality, pickling and copying,
rows taken out into a new object, and numpy.asarray (the vectors, the
indices). Attached to the compiled classes when mirvo is imported."""
import numpy as np

from . import _mirvo

# The header fields of a VectorSet besides kind, as its keyword arguments.
HEADER = ("vector_size_x", "vector_size_y", "bytes_per_element", "reserved_value", "error_scaling", "inherit_level",
          "generation_method")


def keywords(vector_set):
    """The header of a set as VectorSet keyword arguments (kind included)."""
    return dict({name: getattr(vector_set, name) for name in HEADER}, kind=vector_set.kind or "training set")


def _names(vector_set):
    """Names as the file holds them: None when no vector has one, "" as None."""
    names = vector_set.names
    if names is None or not any(names):
        return None
    return [name or None for name in names]


def _set_eq(self, other):
    """self == other: the same header fields (version_string and total_freq
    included), the same vector and frequency values whatever their dtype, and
    the same names (no name and "" alike, as in a file)."""
    if not isinstance(other, _mirvo.VectorSet):
        return NotImplemented
    return (all(getattr(self, name) == getattr(other, name) for name in HEADER + ("version_string", "total_freq"))
            and np.array_equal(self.vectors, other.vectors) and np.array_equal(self.freqs, other.freqs)
            and _names(self) == _names(other))


def _vector_set(state):
    """A VectorSet from the state that __reduce__ gives."""
    made = _mirvo.VectorSet(state["vectors"], state["freqs"], state["names"],
                            **{name: state[name] for name in HEADER})
    made.version_string = state["version_string"]
    made.total_freq = state["total_freq"]
    return made


def _set_reduce(self):
    """Pickles (and copy.copy, copy.deepcopy) by value."""
    state = {name: getattr(self, name) for name in HEADER + ("version_string", "total_freq", "vectors", "freqs",
                                                              "names")}
    return _vector_set, (state,)


def _picked(rows, n):
    """The row numbers a key selects, refusing what does not select rows."""
    if isinstance(rows, (int, np.integer)):
        raise TypeError("rows are selected by a slice, an array of row numbers or a boolean mask, not an int "
                        "(x[i:i + 1] holds row i)")
    if isinstance(rows, tuple):
        raise TypeError("rows are selected by one key, not %d" % len(rows))
    picked = np.arange(n)[rows]
    if picked.ndim != 1:
        raise TypeError("rows are selected by a slice, an array of row numbers or a boolean mask")
    return picked


def _set_rows(self, rows):
    """self[rows] -> VectorSet: the rows of a slice, an array of row numbers or
    a boolean mask, as a new set with the same header (total_freq their sum).
    A slice shares the arrays' memory, as numpy's does."""
    picked = _picked(rows, len(self))
    if not isinstance(rows, slice):
        rows = picked
    names = None
    if self.names is not None:
        names = self.names[rows] if isinstance(rows, slice) else [self.names[i] for i in picked.tolist()]
    made = _mirvo.VectorSet(self.vectors[rows], self.freqs[rows], names, **{name: getattr(self, name)
                                                                            for name in HEADER})
    made.version_string = self.version_string
    return made


def _set_array(self, dtype=None, copy=None):
    """numpy.asarray(self): the vectors."""
    return np.asarray(self.vectors, dtype)


def _partitioning_eq(self, other):
    """self == other: the same indices, count and generation_method."""
    if not isinstance(other, _mirvo.Partitioning):
        return NotImplemented
    return ((self.count, self.generation_method) == (other.count, other.generation_method)
            and np.array_equal(self.indices, other.indices))


def _partitioning(indices, count, generation_method):
    return _mirvo.Partitioning(indices, count, generation_method)


def _partitioning_reduce(self):
    """Pickles (and copy.copy, copy.deepcopy) by value."""
    return _partitioning, (self.indices, self.count, self.generation_method)


def _partitioning_array(self, dtype=None, copy=None):
    """numpy.asarray(self): the indices."""
    return np.asarray(self.indices, dtype)


def _partitioning_rows(self, rows):
    """self[rows] -> Partitioning: the partitions of the rows selected (a
    slice, an array of row numbers or a boolean mask), in as many partitions."""
    picked = _picked(rows, len(self))
    return _mirvo.Partitioning(self.indices[rows if isinstance(rows, slice) else picked], self.count,
                               self.generation_method)


for _cls, _methods in ((_mirvo.VectorSet, dict(__eq__=_set_eq, __reduce__=_set_reduce, __getitem__=_set_rows,
                                                __array__=_set_array)),
                       (_mirvo.Partitioning, dict(__eq__=_partitioning_eq, __reduce__=_partitioning_reduce,
                                                  __getitem__=_partitioning_rows, __array__=_partitioning_array))):
    for _name, _method in _methods.items():
        _method.__name__, _method.__qualname__ = _name, "%s.%s" % (_cls.__name__, _name)  # as help() names it
        setattr(_cls, _name, _method)
    _cls.__hash__ = None  # mutable, compared by value
