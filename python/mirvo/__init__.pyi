from os import PathLike
from typing import List, Literal, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str
PROGRAM_IDENTITY: str

_Path = Union[str, PathLike]
_Vectors = npt.NDArray[Union[np.uint8, np.uint16, np.int32]]

class Error(Exception): ...

class VectorSet:
    vectors: _Vectors
    freqs: npt.NDArray[np.int32]
    names: Optional[List[Optional[str]]]
    kind: Literal["training set", "codebook"]
    version_string: str
    generation_method: str
    vector_size_x: int
    vector_size_y: int
    bytes_per_element: int
    reserved_value: int
    error_scaling: int
    inherit_level: int
    total_freq: int
    def __init__(self, vectors: npt.ArrayLike, freqs: Optional[npt.ArrayLike] = None,
                 names: Optional[Sequence[Optional[str]]] = None, *, kind: str = "training set",
                 vector_size_x: Optional[int] = None, vector_size_y: int = 1,
                 bytes_per_element: Optional[int] = None, reserved_value: int = 0, error_scaling: int = 0,
                 inherit_level: int = 0, generation_method: str = "") -> None: ...
    def __len__(self) -> int: ...

class Partitioning:
    indices: npt.NDArray[np.int32]
    count: int
    generation_method: str
    def __init__(self, indices: npt.ArrayLike, count: int, generation_method: str = "") -> None: ...
    def __len__(self) -> int: ...

def read_vector_set(path: _Path) -> VectorSet: ...
def write_vector_set(path: _Path, vector_set: VectorSet, overwrite: bool = False) -> None: ...
def read_partitioning(path: _Path, training_set: VectorSet) -> Partitioning: ...
def write_partitioning(path: _Path, partitioning: Partitioning, training_set: VectorSet,
                       overwrite: bool = False) -> None: ...
@overload
def partition(training_set: VectorSet, codebook: VectorSet,
              return_distances: Literal[False] = False) -> npt.NDArray[np.int32]: ...
@overload
def partition(training_set: VectorSet, codebook: VectorSet,
              return_distances: Literal[True]) -> Tuple[npt.NDArray[np.int32], npt.NDArray[np.int64]]: ...
def centroids(training_set: VectorSet, indices: npt.ArrayLike, count: int) -> VectorSet: ...
