"""The installed stub package gives type checkers the module's signatures."""

import os
import textwrap

import pytest

import VELK_CRC

STUBS = os.path.join(os.path.dirname(VELK_CRC.__file__), "VELK_CRC-stubs")


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    # Shared by the runs: typeshed is analysed once.
    return tmp_path_factory.mktemp("mypy-cache")


@pytest.fixture
def mypy_run(tmp_path, mypy_cache):
    api = pytest.importorskip("mypy.api")
    if not os.path.isfile(os.path.join(STUBS, "__init__.pyi")):
        pytest.skip("VELK_CRC is not installed with its stub package (a build tree?)")

    def run(source):
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


@pytest.mark.parametrize("call, complaint", [
    ('VELK_CRC.calc_crc_mpeg2("text")', 'has incompatible type "str"; expected "bytes"'),
    ('VELK_CRC.velk_crc_calc("fw.elf", None, None)', 'Missing positional argument "crcblock"'),
    ("VELK_CRC.no_such_function()", 'Module has no attribute "no_such_function"'),
], ids=["argument-type", "missing-argument", "unknown-name"])
def test_wrong_use_is_reported(mypy_run, call, complaint):
    status, out = mypy_run(f"import VELK_CRC\n{call}\n")
    assert status == 1 and complaint in out, out
