"""Type checkers get both modules' signatures: VELK_CRC from its stub
package, velk_crc from the stub and py.typed it ships."""

import os
import textwrap

import pytest

import VELK_CRC
import velk_crc

STUBS = {
    "VELK_CRC": os.path.join(os.path.dirname(VELK_CRC.__file__), "VELK_CRC-stubs",
                             "__init__.pyi"),
    "velk_crc": os.path.join(os.path.dirname(velk_crc.__file__), "__init__.pyi"),
}


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    # Shared by the runs: typeshed is analysed once.
    return tmp_path_factory.mktemp("mypy-cache")


@pytest.fixture
def mypy_run(tmp_path, mypy_cache):
    api = pytest.importorskip("mypy.api")

    def run(source, module="VELK_CRC"):
        if not os.path.isfile(STUBS[module]):
            pytest.skip(f"{module} is not installed with its stub (a build tree?)")
        path = tmp_path / "use.py"
        path.write_text(textwrap.dedent(source))
        out, err, status = api.run([str(path), "--strict", "--cache-dir", str(mypy_cache)])
        return status, out
    return run


def test_correct_use_type_checks(mypy_run):
    status, out = mypy_run("""
        import VELK_CRC
        checksum: int = VELK_CRC.calc_crc_mpeg2(b"123456789")
        result = VELK_CRC.velk_crc_calc("fw.elf", "crc_value", None, None)
        if result is not None:
            failed: int = result
        VELK_CRC.usage("")
    """)
    assert status == 0, out


@pytest.mark.parametrize("module, call, complaint", [
    pytest.param("VELK_CRC", 'VELK_CRC.calc_crc_mpeg2("text")', 'has incompatible type "str"; expected "bytes"',
                 id="VELK_CRC-argument-type"),
    pytest.param("VELK_CRC", 'VELK_CRC.velk_crc_calc("fw.elf", None, None)', 'Missing positional argument "crcblock"',
                 id="VELK_CRC-missing-argument"),
    pytest.param("VELK_CRC", "VELK_CRC.no_such_function()", 'Module has no attribute "no_such_function"',
                 id="VELK_CRC-unknown-name"),
    pytest.param("velk_crc", 'velk_crc.flash("fw.elf", symbol=0x08000134)',
                 'Argument "symbol" to "flash" has incompatible type "int"', id="velk_crc-int-symbol"),
    pytest.param("velk_crc", 'velk_crc.check("fw.hex", offset="134")',
                 'Argument "offset" to "check" has incompatible type "str"', id="velk_crc-text-offset"),
    pytest.param("velk_crc", 'velk_crc.flash("fw.elf", "crc_value")',
                 'Too many positional arguments for "flash"', id="velk_crc-positional-selector"),
    pytest.param("velk_crc", 'velk_crc.flash("fw.elf", symbol="crc_value", hex=True)',
                 'Unexpected keyword argument "hex" for "flash"', id="velk_crc-unknown-option"),
    pytest.param("velk_crc", 'velk_crc.check("fw.hex", offset=0, elf=3)',
                 'Argument "elf" to "check" has incompatible type "int"', id="velk_crc-int-elf"),
    pytest.param("velk_crc", 'text: str = velk_crc.flash("fw.elf", block=1024).checksum',
                 "Incompatible types in assignment", id="velk_crc-checksum-is-int"),
    pytest.param("velk_crc", 'velk_crc.flash("fw.elf", block=1024).ok = False',
                 'Property "ok" defined in "Report" is read-only', id="velk_crc-ok-read-only"),
    pytest.param("velk_crc", 'error: velk_crc.Refused = velk_crc.CannotVerify("", velk_crc.Report({}))',
                 "Incompatible types in assignment", id="velk_crc-refusals-are-distinct"),
    # A report has its keys and no others: a misspelt one is found before a run.
    pytest.param("velk_crc", 'velk_crc.check("fw.hex", offset=0).checksumm',
                 '"Report" has no attribute "checksumm"', id="velk_crc-misspelt-key"),
    pytest.param("velk_crc", 'w: str = velk_crc.check("fw.hex", offset=0).records[0]["width"]',
                 "Incompatible types in assignment", id="velk_crc-record-width-is-int"),
    pytest.param("velk_crc", 'velk_crc.check("fw.hex", offset=0).records[0]["stord"]',
                 'TypedDict "Record" has no key "stord"', id="velk_crc-record-keys"),
    pytest.param("velk_crc", 'velk_crc.flash("fw.elf", symbol="c", merge=[3])',
                 'List item 0 has incompatible type "int"', id="velk_crc-int-merge"),
    pytest.param("velk_crc", 'velk_crc.flash("fw.elf", symbol="c", words="no")',
                 'Argument "words" to "flash" has incompatible type "str"', id="velk_crc-text-switch"),
    pytest.param("velk_crc", 'velk_crc.flash("fw.elf", mcuboot={"header": 0x200, "sign": "hash"})',
                 'Argument "mcuboot" to "flash" has incompatible type', id="velk_crc-sign-digest-or-payload"),
    pytest.param("velk_crc", 'b: bytes = velk_crc.flash("fw.elf").to_sign["bytes"]',
                 "Incompatible types in assignment", id="velk_crc-to-sign-bytes-are-hex"),
])
def test_wrong_use_is_reported(mypy_run, module, call, complaint):
    status, out = mypy_run(f"import {module}\n{call}\n", module)
    assert status == 1 and complaint in out, out


def test_a_build_script_type_checks(mypy_run):
    status, out = mypy_run("""
        import os
        import sys
        from pathlib import Path

        import velk_crc


        def checksum_step(elf: Path) -> int:
            try:
                report = velk_crc.flash(elf, symbol="crc_value", srec=True, bin=True)
            except velk_crc.Refused as refused:
                print(refused, refused.report.verdict, file=sys.stderr)
                return 255
            files: list[velk_crc.OutputFile] = report.files
            checksum: int = report.checksum
            start: int = report.image["start"]
            written: bool = report.ok
            json_object: dict[str, object] = report.as_dict()
            for line in report.warnings + report.notes:
                print(line, checksum, start, written, files, json_object)
            try:
                verified = velk_crc.check(os.fspath(elf.with_name("fw_CRC.hex")),
                                          offset=report.offset, elf=str(elf), words=False)
            except velk_crc.CannotVerify as error:
                reason: str = str(error)
                print(reason, error.report.message)
                return 2
            except velk_crc.Error:
                return 1
            if not verified.ok:
                return velk_crc.main(["CHECK", "fw_CRC.hex", "--ncrc_value", b"--elf",
                                      os.fsencode(elf)])
            return velk_crc.check(b"fw_CRC.elf", block=1024, force=True).stored
    """, "velk_crc")
    assert status == 0, out


def test_every_argument_and_key_type_checks(mypy_run):
    """A release script that uses every argument of both functions and
    reads every kind of key: it type-checks under --strict."""
    status, out = mypy_run("""
        from pathlib import Path

        import velk_crc


        def release(elf: Path, boot: Path) -> list[str]:
            written = velk_crc.flash(
                elf, symbol=["crc_value", "cfg_crc@cfg_start"], offset=[0x1FC], header=None,
                lpc_vectors=True, crc="CRC-32/ISO-HDLC", be=True, fill=0x00, words=False,
                bin=True, srec=True, uf2="stm32f4", merge=[boot, "cal.bin@0x08080000"],
                entry=0x08000101, force=False, exclude=["vector_table"],
                algorithms={"crc_value": "CRC-16/XMODEM", 0x1FC: "crc-32"})
            first: velk_crc.OutputFile = written.files[0]
            kind: str = first.format
            base: int | None = first.base
            slots: list[int] = [record["slot"] for record in written.records]
            kept: list[int] = [r["end"] - r["start"] for r in written.records[0]["ranges"]]
            outside: int = sum(region["size"] for region in written.outside)
            start: int = written.merged["start_address"]
            checked = velk_crc.check(
                written.files[0], symbol="crc_value", block=None, header="hdr:size@8,crc@12",
                lpc_vectors=False, elf=elf, base=0x08000000, merge=boot, entry=str(elf),
                crc="crc-32", be=True, fill=0xFF, words=False, uf2="0x57755A57", force=True,
                exclude="0x08000000-0x08000040", algorithms=None)
            signed = velk_crc.check(written.files[0], elf=elf, symbol="crc_value",
                                    mcuboot={"key": elf, "header": 0x200, "slot": 0x40000,
                                             "pad": True, "confirm": True})
            ok: bool = signed.ok and checked.ok and all(record.get("ok", False) for record in checked.records)
            found: int | None = checked.start_address["found"]
            expected: int | None = checked.expected
            lines = [str(kind), str(base), str(slots), str(kept), str(outside), str(start), str(ok),
                     str(found), str(expected), checked.difference["found"].__repr__()]
            return lines + checked.warnings + checked.notes + checked.hints
    """, "velk_crc")
    assert status == 0, out


def test_signing_in_two_steps_type_checks(mypy_run):
    status, out = mypy_run("""
        from pathlib import Path
        from typing import Callable

        import velk_crc


        def two_steps(elf: Path, public: Path, holder: Callable[[bytes], bytes]) -> bool:
            first = velk_crc.flash(elf, symbol="crc_value",
                                   mcuboot={"key": public, "header": 0x200, "sign": "digest"})
            to_sign: bytes = bytes.fromhex(first.to_sign["bytes"])
            size: int = first.to_sign["size"]
            tosign: velk_crc.OutputFile = first.files[0]
            signature = elf.with_suffix(".sig")
            signature.write_bytes(holder(to_sign))
            second = velk_crc.flash(elf, symbol="crc_value",
                                    mcuboot={"key": public, "header": 0x200,
                                             "signature": signature})
            return second.ok and size == len(to_sign) and tosign.format == "bytes to sign"
    """, "velk_crc")
    assert status == 0, out
