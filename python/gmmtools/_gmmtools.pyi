import os
from typing import Callable, Optional, Sequence, Union

import numpy
import numpy.typing

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

__version__: str

class ModelError(ValueError):
    path: Optional[Union[str, bytes]]
    line: Optional[int]

class Model:
    @property
    def means(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def variances(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def weights(self) -> numpy.typing.NDArray[numpy.float64]: ...

def read_model(path: _Path) -> Model: ...
def read_list(path: _Path) -> list[str]: ...
def supervectors(
    ubm: _Path,
    models: Sequence[_Path],
    *,
    threads: int = 1,
    normalize: bool = False,
    check: bool = False,
    out: Optional[numpy.typing.NDArray[numpy.float64]] = None,
    progress: Optional[Callable[[int, int], object]] = None,
) -> numpy.typing.NDArray[numpy.float64]: ...
