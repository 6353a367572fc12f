# The compiled core under the gmmtools package; the package's functions are
# its interface.
from typing import Callable, Optional, Union

import numpy
import numpy.typing

_Path = Union[str, bytes]
_Doubles = numpy.typing.NDArray[numpy.float64]

__version__: str

class ModelError(ValueError):
    path: Optional[Union[str, bytes]]
    line: Optional[int]

class _Prepared: ...
class _Set: ...

def load_set(files: list[_Path]) -> _Set: ...
def set_models(set: _Set) -> list[tuple[bytes, tuple[_Doubles, _Doubles, _Doubles]]]: ...
def read_header(path: _Path, check: bool, keywords: bool, mmf: Optional[_Set]) -> tuple[int, int]: ...
def read_model(
    path: _Path, check: bool, keywords: bool, mmf: Optional[_Set]
) -> tuple[tuple[_Doubles, _Doubles, _Doubles], Optional[bytes]]: ...
def read_list(path: _Path) -> list[str]: ...
def prepare(
    ubm: _Path, D: int, M: int, normalize: bool, check: bool, keywords: bool, mmf: Optional[_Set]
) -> _Prepared: ...
def fill(
    run: _Prepared,
    models: list[_Path],
    out: numpy.typing.NDArray[Union[numpy.float64, numpy.float32]],
    threads: int,
    progress: Optional[Callable[[int, int], object]],
) -> None: ...
def write_model(
    path: _Path, means: _Doubles, variances: _Doubles, weights: _Doubles, name: bytes, kind: str, binary: str
) -> None: ...
