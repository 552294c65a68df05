"""MIRVO's vector-quantisation files and conversions.

Training sets and codebooks are VectorSet objects: vectors as a numpy array
N x D of uint8, uint16 or int32 (kept in the width given, never copied into a
wider type), int32 frequencies and optional names. Partitionings are
Partitioning objects (0-based int32 indices and the partition count). Files
are read and written by the MIRVO library itself, byte for byte as the
command line writes them, and partition() and centroids() run the command
line's kernels on its threads.

Every computation and file access releases the GIL, so threads run in
parallel; Ctrl-C interrupts a long computation or read with KeyboardInterrupt
(a write runs to its end first).

Failures raise mirvo.Error (a subclass of Exception) whose text is the
library's ERROR message; files that cannot be opened raise subclasses that
are also FileNotFoundError, PermissionError, FileExistsError, ... Arrays of
the wrong kind raise TypeError or ValueError before anything runs.

mirvo.dask (when dask is installed) spreads both conversions over a Dask
cluster with identical results.
"""
from ._mirvo import (PROGRAM_IDENTITY, Error, Partitioning, VectorSet, __version__, centroids, partition,
                     read_partitioning, read_vector_set, write_partitioning, write_vector_set)

__all__ = ["Error", "Partitioning", "PROGRAM_IDENTITY", "VectorSet", "__version__", "centroids", "partition",
           "read_partitioning", "read_vector_set", "write_partitioning", "write_vector_set"]

for _name in __all__:
    try:
        globals()[_name].__module__ = __name__  # help(mirvo) and tracebacks say mirvo.X
    except (AttributeError, TypeError):
        pass
del _name
