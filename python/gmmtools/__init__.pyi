import os
from typing import Callable, Iterable, Iterator, Literal, Optional, Union

import numpy
import numpy.typing

from ._gmmtools import ModelError as ModelError

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Array = numpy.typing.ArrayLike
_Float = Union[numpy.float64, numpy.float32]
_Files = Union[_Path, Iterable[_Path]]

__version__: str
__all__: list[str]

class Model:
    means: numpy.typing.NDArray[numpy.float64]
    variances: numpy.typing.NDArray[numpy.float64]
    weights: numpy.typing.NDArray[numpy.float64]
    name: Optional[str]
    def __init__(self, means: _Array, variances: _Array, weights: _Array, name: Optional[str] = None) -> None: ...
    @property
    def M(self) -> int: ...
    @property
    def D(self) -> int: ...
    def __iter__(self) -> Iterator[numpy.typing.NDArray[numpy.float64]]: ...
    def __eq__(self, other: object) -> bool: ...

def read_model(
    path: _Path, *, check: bool = True, keywords: bool = False, mmf: Optional[_Files] = None
) -> Model: ...
def read_models(path: _Path) -> dict[str, Model]: ...
def read_header(
    path: _Path, *, check: bool = True, keywords: bool = False, mmf: Optional[_Files] = None
) -> tuple[int, int]: ...
def read_list(path: _Path) -> list[str]: ...
def supervectors(
    ubm: _Path,
    models: Iterable[_Path],
    *,
    threads: int = 1,
    normalize: bool = False,
    check: bool = True,
    keywords: bool = False,
    sizes_from: Optional[_Path] = None,
    dtype: numpy.typing.DTypeLike = None,
    out: Optional[numpy.typing.NDArray[_Float]] = None,
    progress: Optional[Callable[[int, int], object]] = None,
    mmf: Optional[_Files] = None,
) -> numpy.typing.NDArray[_Float]: ...
def iter_supervectors(
    ubm: _Path,
    models: Iterable[_Path],
    *,
    batch: int,
    threads: int = 1,
    normalize: bool = False,
    check: bool = True,
    keywords: bool = False,
    sizes_from: Optional[_Path] = None,
    dtype: numpy.typing.DTypeLike = None,
    mmf: Optional[_Files] = None,
) -> Iterator[tuple[list[_Path], numpy.typing.NDArray[_Float]]]: ...
def write_model(
    path: _Path,
    means: _Array,
    variances: _Array,
    weights: _Array,
    *,
    name: str = "gmm",
    kind: str = "USER",
    binary: Optional[Literal["big", "little"]] = None,
) -> None: ...
