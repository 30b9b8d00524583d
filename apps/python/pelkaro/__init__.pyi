# Stubs of the package pelkaro (see __init__.py and docs/python.md).
import os
from collections.abc import Mapping, Sequence
from typing import Any, Literal, Optional, Union

import numpy
import numpy.typing as npt

from ._pelkaro import Curve as Curve, Diagnostic as Diagnostic, Image as Image, Run as Run
from ._pelkaro import MergedCurve as MergedCurve, MergeInput as MergeInput
from ._pelkaro import RunTransmission as RunTransmission, Transmission as Transmission
from ._pelkaro import has_nxcansas as has_nxcansas, version as version

_Path = Union[str, os.PathLike[str]]
# A direct-beam run: (file or 128 x 128 counts, time, monitor[, datafile]),
# or a mapping with "file" or "image", "name", "time", "monitor", "datafile".
_Source = Union[_Path, npt.NDArray[Any]]
_Beam = Union[tuple[_Source, float, float], tuple[_Source, float, float, _Path], Mapping[str, Any]]
_Dark = Union[tuple[_Source, float], Mapping[str, Any]]

__version__: str

class Error(ValueError):
    message: str
    stage: str
    code: str
    line: Optional[int]
    keyword: Optional[str]
    entry: Optional[int]
    file: Optional[str]
    detail: str
    text: str
    console: str
    def __init__(self, message: str, *, stage: str, code: str, line: Optional[int] = ...,
                 keyword: Optional[str] = ..., entry: Optional[int] = ..., file: Optional[str] = ...,
                 detail: str = ..., text: str = ..., console: str = ...) -> None: ...

def reduce(source: Union[_Path, Mapping[str, Any]], *, cwd: Optional[_Path] = ..., verbose: bool = ...) -> Run: ...
def check(parameter_file: _Path, *, cwd: Optional[_Path] = ...) -> list[Diagnostic]: ...
def transmission(empty: _Beam, runs: Sequence[_Beam] = ..., *,
                 parameters: Union[None, _Path, Mapping[str, Any]] = ..., dark: Optional[_Dark] = ...,
                 radius: Optional[float] = ..., attenuation: Optional[float] = ..., cwd: Optional[_Path] = ...,
                 errors: Literal["raise", "keep"] = ...) -> Transmission: ...
def merge(curves: Sequence[Union[_Path, Run]], *, reference: Union[None, int, _Path, Run] = ...,
          scale: Literal["fit", "none"] = ..., overlap: Literal["average", "trim"] = ...,
          q_min: Optional[float] = ..., q_max: Optional[float] = ..., cwd: Optional[_Path] = ...,
          title: Optional[str] = ...) -> MergedCurve: ...

# What resolution() returns: a sasmodels.resolution.Resolution (sasmodels has
# no types of its own) with the curve's Q, the kernel's nodes and apply.
class _KernelResolution:
    q: npt.NDArray[numpy.float64]
    q_calc: npt.NDArray[numpy.float64]
    weight: npt.NDArray[numpy.float64]
    def apply(self, theory: npt.ArrayLike) -> npt.NDArray[numpy.float64]: ...

def resolution(source: Union[_Path, Run, Curve]) -> _KernelResolution: ...
