# Stubs of the package pelkaro (see __init__.py and docs/python.md).
import os
from collections.abc import Mapping
from typing import Any, Optional, Union

from ._pelkaro import Curve as Curve, Diagnostic as Diagnostic, Image as Image, Run as Run
from ._pelkaro import has_nxcansas as has_nxcansas, version as version

_Path = Union[str, os.PathLike[str]]

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
