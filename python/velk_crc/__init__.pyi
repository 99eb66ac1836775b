import os
from typing import Any, Literal, Mapping, NotRequired, Sequence, TypedDict

_Path = str | os.PathLike[str] | bytes | os.PathLike[bytes]
# An exclusion: "<from>-<to>" or a symbol, each optionally ":<record>[,...]"
# to leave the bytes out of those records alone; or (from, to), the bytes
# [from, to) by address.
_Exclusion = str | tuple[int, int]

__version__: str

__all__ = ["flash", "check", "main", "Report", "OutputFile", "Error", "Refused",
           "CannotVerify", "InternalError"]

class OutputFile(str):
    format: Literal["Intel HEX", "ELF", "raw binary", "S-records", "UF2", "DFU",
                    "bytes to sign"]
    base: int | None
    def __new__(cls, path: str, format: str, base: int | None = ...) -> OutputFile: ...

class Image(TypedDict):
    start: int
    end: int

class Record(TypedDict):
    kind: Literal["crc", "size", "lpc"]
    name: str
    slot: int
    width: int
    algorithm: str | None
    start: int
    end: int
    # The bytes it covers: [start, end) each, --exclude's cut out.
    ranges: list[Image]
    # The number the slot's bytes stand for, in the record's byte order.
    value: int
    # The slot's bytes as they lie in memory, in hex.
    bytes: str
    stored: NotRequired[int]
    expected: NotRequired[int]
    ok: NotRequired[bool]

class Uf2Skipped(TypedDict):
    # The first UF2 block of another family than the others', skipped.
    block: int
    family: int | None
    address: int
    size: int
    blocks: int

class Region(TypedDict):
    address: int
    size: int

class Difference(TypedDict):
    address: int
    expected: int
    found: int | None

# check(stamp=, manifest=): a device's bytes at one place, in hex as they
# lie in memory; `found` is None where the file holds none.
class StampCheck(TypedDict):
    place: str
    address: int
    value: str
    expected: str
    found: str | None
    ok: bool

class ManifestRecordCheck(TypedDict):
    record: str
    address: int
    value: str
    expected: str
    found: str | None
    ok: bool

class ManifestSha256(TypedDict):
    expected: str
    found: str
    ok: bool

class ManifestCheck(TypedDict):
    file: str
    id: str
    index: int
    name: str
    records: list[ManifestRecordCheck]
    sha256: ManifestSha256
    ok: bool

class StartAddress(TypedDict):
    expected: int | None
    found: int | None
    ok: bool

class Merged(TypedDict):
    start_address: int
    start_from: NotRequired[str | None]
    files: NotRequired[list[str]]

class McubootHeader(TypedDict):
    magic: int
    load_addr: int
    hdr_size: int
    protect_tlv_size: int
    img_size: int
    flags: int
    version: str
    pad: int

class McubootTlv(TypedDict):
    type: int
    name: str | None
    address: int
    protected: bool
    value: str

# `checked` and `ok`: check()'s verdicts on a part; flash() writes neither.
class McubootHash(TypedDict):
    type: Literal["SHA256", "SHA384", "SHA512"]
    value: str | None
    checked: NotRequired[bool]
    ok: NotRequired[bool | None]

class McubootKey(TypedDict):
    hash: str | None
    checked: NotRequired[bool]
    ok: NotRequired[bool | None]

class McubootSignature(TypedDict):
    type: Literal["ed25519", "ecdsa-p256", "ecdsa-p384", "rsa-2048", "rsa-3072"] | None
    checked: NotRequired[bool]
    ok: NotRequired[bool | None]

# An encrypted payload's: how its AES key travels, and its size; check()'s
# `checked` and `ok` say whether decrypt= opened it.
class McubootEncryption(TypedDict):
    type: Literal["ECIES-X25519", "ECIES-X25519-SHA512", "ECIES-P256", "RSA-OAEP",
                  "AES-KW"] | None
    aes: Literal[128, 256]
    checked: NotRequired[bool]
    ok: NotRequired[bool | None]

class McubootTrailer(TypedDict):
    address: int
    image_ok: int

class McubootFault(TypedDict):
    what: str
    address: int
    held: str
    wanted: str

class McubootPart(TypedDict):
    start: int
    end: int
    what: str

# The signed image, as flash() wrote it or check() read it: check() adds
# `ok`, its verdicts in `hash`, `key` and `signature`, and its faults and
# parts (a file with no MCUboot header gives {"ok": False} alone).
class Mcuboot(TypedDict):
    slot: int
    slot_size: int | None
    header: McubootHeader
    header_room: Literal["reserved", "added"] | None
    payload: int
    tlv_area: int
    image_end: int
    tlvs: list[McubootTlv]
    hash: McubootHash
    key: McubootKey
    signature: McubootSignature
    encryption: McubootEncryption | None
    trailer: McubootTrailer | None
    ok: NotRequired[bool]
    file_stops_at: NotRequired[int]
    faults: NotRequired[list[McubootFault]]
    parts: NotRequired[list[McubootPart]]

# What the first of two signing steps wrote for the key's holder to sign:
# the image's digest, or the bytes it covers (header, payload, protected
# TLVs), in hex.
class DeviceStamp(TypedDict):
    place: str
    address: int
    size: int
    values: str

class Devices(TypedDict):
    count: int
    made: int
    folder: str
    manifest: str
    files: list[str]
    stamps: list[DeviceStamp]

class ToSign(TypedDict):
    file: str
    vector: Literal["digest", "payload"]
    size: int
    key: str
    key_type: Literal["ed25519", "ecdsa-p256", "ecdsa-p384", "rsa-2048", "rsa-3072"]
    bytes: str

# imgtool's image options, spelt as its own: keys no class body can name.
_McubootOptions = TypedDict("_McubootOptions", {
    "rom-fixed": int,
    "load-addr": int,
    "max-sectors": int,
    "overwrite-only": bool,
    "hex-addr": int,
    "boot-record": str,
    "non-bootable": bool,
}, total=False)

class McubootSettings(_McubootOptions, total=False):
    key: _Path
    header: int
    slot: int
    version: str
    align: Literal[1, 2, 4, 8, 16, 32]
    pad: bool
    confirm: bool
    counter: int | Literal["auto"]
    dependency: str | tuple[int, str] | Sequence[str | tuple[int, str]]
    tlv: str | dict[int, bytes] | Sequence[str | tuple[int, bytes]]
    pubkey: Literal["hash", "full"]
    sha: Literal[256, 384, 512, "256", "384", "512", "auto"]
    pure: bool
    sign: Literal["digest", "payload"]
    signature: _Path
    encrypt: _Path
    aes: Literal[128, 256]
    hmac: Literal[256, 512]

_McubootCheckOptions = TypedDict("_McubootCheckOptions", {
    "max-sectors": int,
    "overwrite-only": bool,
}, total=False)

class McubootCheckSettings(_McubootCheckOptions, total=False):
    key: _Path
    header: int
    slot: int
    pad: bool
    confirm: bool
    decrypt: _Path

class Report:
    @property
    def mode(self) -> Literal["FLASH", "CHECK"]: ...
    @property
    def input(self) -> str | None: ...
    @property
    def verdict(self) -> Literal["written", "ok", "mismatch", "error"]: ...
    @property
    def message(self) -> str: ...
    @property
    def files(self) -> list[OutputFile]: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def notes(self) -> list[str]: ...
    @property
    def hints(self) -> list[str]: ...
    @property
    def image(self) -> Image: ...
    @property
    def record(self) -> int: ...
    @property
    def offset(self) -> int: ...
    @property
    def feed(self) -> Literal["bytes", "words"]: ...
    @property
    def checksum(self) -> int: ...
    @property
    def stored(self) -> int: ...
    @property
    def expected(self) -> int | None: ...
    @property
    def algorithm(self) -> str: ...
    @property
    def fill(self) -> int: ...
    @property
    def uf2_family(self) -> int | None: ...
    @property
    def uf2_skipped(self) -> Uf2Skipped: ...
    @property
    def merged(self) -> Merged: ...
    @property
    def records(self) -> list[Record]: ...
    @property
    def outside(self) -> list[Region]: ...
    @property
    def elf(self) -> str: ...
    @property
    def difference(self) -> Difference: ...
    @property
    def start_address(self) -> StartAddress: ...
    @property
    def mcuboot(self) -> Mcuboot: ...
    @property
    def sha256(self) -> dict[str, str]: ...
    @property
    def to_sign(self) -> ToSign: ...
    @property
    def devices(self) -> Devices: ...
    @property
    def stamps(self) -> list[StampCheck]: ...
    @property
    def manifest(self) -> ManifestCheck: ...
    @property
    def ok(self) -> bool: ...
    def __init__(self, data: dict[str, Any]) -> None: ...
    def as_dict(self) -> dict[str, Any]: ...

class Error(Exception):
    report: Report
    def __init__(self, message: str, report: Report) -> None: ...

class Refused(Error): ...
class InternalError(Refused): ...
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
    dfu: str | tuple[int, int] | tuple[int, int, int] | None = ...,
    dfuse: str | tuple[int, int] | tuple[int, int, int] | None = ...,
    nxp_mbi: bool = ...,
    esp32: str | None = ...,
    nrf_settings: str | None = ...,
    merge: _Path | Sequence[_Path] | None = ...,
    entry: _Path | int | None = ...,
    force: bool = ...,
    exclude: _Exclusion | Sequence[_Exclusion] | None = ...,
    algorithms: Mapping[str | int, str] | None = ...,
    mcuboot: McubootSettings | None = ...,
    stamp: Sequence[tuple[str, str]] | None = ...,
    count: int | None = ...,
    out: _Path | None = ...,
    resume: bool = ...,
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
    uf2: str | None = ...,
    nrf_settings: str | None = ...,
    force: bool = ...,
    exclude: _Exclusion | Sequence[_Exclusion] | None = ...,
    algorithms: Mapping[str | int, str] | None = ...,
    mcuboot: McubootCheckSettings | bool | None = ...,
    stamp: Sequence[tuple[str, str]] | None = ...,
    manifest: _Path | None = ...,
) -> Report: ...
def main(argv: Sequence[str | bytes] | None = ...) -> int: ...
def runmain() -> int: ...
