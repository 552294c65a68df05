from os import PathLike
from typing import Callable, List, Literal, NamedTuple, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str
PROGRAM_IDENTITY: str

_Path = Union[str, PathLike]
_Vectors = npt.NDArray[Union[np.uint8, np.uint16, np.int32]]
_Rows = Union[slice, npt.ArrayLike]
_Progress = Optional[Callable[[int], object]]

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
    def __eq__(self, other: object) -> bool: ...
    def __getitem__(self, rows: _Rows) -> VectorSet: ...
    def __array__(self, dtype: Optional[npt.DTypeLike] = None, copy: Optional[bool] = None) -> _Vectors: ...

class Partitioning:
    indices: npt.NDArray[np.int32]
    count: int
    generation_method: str
    def __init__(self, indices: npt.ArrayLike, count: int, generation_method: str = "") -> None: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __getitem__(self, rows: _Rows) -> Partitioning: ...
    def __array__(self, dtype: Optional[npt.DTypeLike] = None,
                  copy: Optional[bool] = None) -> npt.NDArray[np.int32]: ...

_Set = Union[VectorSet, npt.ArrayLike]
_Indices = Union[Partitioning, npt.ArrayLike]

class KMeansResult(NamedTuple):
    codebook: VectorSet
    indices: npt.NDArray[np.int32]
    distortions: List[float]

def read_vector_set(path: _Path) -> VectorSet: ...
def write_vector_set(path: _Path, vector_set: VectorSet, overwrite: bool = False) -> None: ...
def read_partitioning(path: _Path, training_set: VectorSet) -> Partitioning: ...
def write_partitioning(path: _Path, partitioning: Partitioning, training_set: VectorSet,
                       overwrite: bool = False) -> None: ...
@overload
def partition(training_set: _Set, codebook: _Set, return_distances: Literal[False] = False, *,
              progress: _Progress = None) -> npt.NDArray[np.int32]: ...
@overload
def partition(training_set: _Set, codebook: _Set, return_distances: Literal[True], *,
              progress: _Progress = None) -> Tuple[npt.NDArray[np.int32], npt.NDArray[np.int64]]: ...
def centroids(training_set: _Set, indices: _Indices, count: Optional[int] = None, *,
              progress: _Progress = None) -> VectorSet: ...
def distortion(training_set: _Set, codebook: _Set, indices: Optional[_Indices] = None) -> float: ...
def kmeans(training_set: _Set, codebook: _Set, rounds: int = 100, tol: float = 1e-4,
           callback: Optional[Callable[[int, float], object]] = None, verbose: bool = False) -> KMeansResult: ...
def set_num_threads(n: Optional[int]) -> None: ...
def get_num_threads() -> int: ...
