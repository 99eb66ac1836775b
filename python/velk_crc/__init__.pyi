import os
from typing import Any, Literal, Sequence

_Path = str | os.PathLike[str] | bytes | os.PathLike[bytes]

__version__: str

__all__ = ["flash", "check", "main", "Report", "Error", "Refused", "CannotVerify"]

class Report:
    mode: Literal["FLASH", "CHECK"]
    input: str | None
    verdict: Literal["written", "ok", "mismatch", "error"]
    files: list[str]
    warnings: list[str]
    notes: list[str]
    hints: list[str]
    message: str
    image: dict[str, int]
    record: int
    offset: int
    feed: Literal["bytes", "words"]
    checksum: int
    stored: int
    expected: int | None
    start_address: dict[str, Any]
    elf: str
    outside: list[dict[str, int]]
    difference: dict[str, int | None]
    algorithm: str
    records: list[dict[str, Any]]
    fill: int
    uf2_family: int
    merged: dict[str, Any]
    def __init__(self, data: dict[str, Any]) -> None: ...
    @property
    def ok(self) -> bool: ...
    def as_dict(self) -> dict[str, Any]: ...
    def __getattr__(self, name: str) -> Any: ...

class Error(Exception):
    report: Report
    def __init__(self, message: str, report: Report) -> None: ...

class Refused(Error): ...
class CannotVerify(Error): ...

def flash(
    elf: _Path,
    *,
    symbol: str | Sequence[str] | None = ...,
    offset: int | Sequence[int] | None = ...,
    block: int | None = ...,
    header: str | None = ...,
    lpc_vectors: bool = ...,
    crc: str | None = ...,
    be: bool = ...,
    fill: int | None = ...,
    words: bool = ...,
    bin: bool = ...,
    srec: bool = ...,
    uf2: str | None = ...,
    merge: _Path | Sequence[_Path] | None = ...,
    entry: _Path | int | None = ...,
    force: bool = ...,
) -> Report: ...
def check(
    path: _Path,
    *,
    symbol: str | Sequence[str] | None = ...,
    offset: int | Sequence[int] | None = ...,
    block: int | None = ...,
    header: str | None = ...,
    lpc_vectors: bool = ...,
    elf: _Path | None = ...,
    base: int | None = ...,
    merge: _Path | Sequence[_Path] | None = ...,
    entry: _Path | int | None = ...,
    crc: str | None = ...,
    be: bool = ...,
    fill: int | None = ...,
    words: bool = ...,
    force: bool = ...,
) -> Report: ...
def main(argv: Sequence[str | bytes] | None = ...) -> int: ...
def runmain() -> int: ...
