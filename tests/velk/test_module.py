import builtins
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import traceback

import pytest

from conftest import ROOT, run_python


def entry_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def test_namespace_after_import(velk):
    import crcmod
    import struct
    from elftools.elf.elffile import ELFFile
    from elftools.elf.sections import SymbolTableSection
    from intelhex import IntelHex

    assert velk.__doc__ is None
    assert velk.__builtins__ is builtins
    assert velk.os is os and velk.struct is struct and velk.sys is sys
    assert velk.traceback is traceback and velk.crcmod is crcmod
    assert velk.ELFFile is ELFFile
    assert velk.SymbolTableSection is SymbolTableSection
    assert velk.IntelHex is IntelHex
    assert velk.__test__ == {}
    names = [n for n in vars(velk) if not n.startswith("__")]
    assert names == ["os", "struct", "sys", "traceback", "crcmod", "ELFFile",
                     "SymbolTableSection", "IntelHex", "calc_crc_mpeg2",
                     "velk_crc_calc", "usage", "runmain"]


@pytest.mark.parametrize("name", ["calc_crc_mpeg2", "velk_crc_calc", "usage", "runmain"])
def test_function_objects(velk, name):
    func = getattr(velk, name)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "VELK_CRC"
    assert func.__doc__ is None


def test_reimport_and_reload_keep_the_module(velk):
    import importlib

    velk.__test__["marker"] = 1
    del sys.modules["VELK_CRC"]
    again = importlib.import_module("VELK_CRC")
    assert again is velk
    assert importlib.reload(velk) is velk
    # The module-level statements did not run again.
    assert velk.__test__ == {"marker": 1}
    velk.__test__.clear()


def test_import_never_calls_runmain():
    result = run_python(
        "import sys; sys.argv = ['x']; import VELK_CRC; print('imported')")
    assert result.returncode == 0
    assert result.stdout == "imported\n"


def test_running_as_main_calls_runmain():
    # The main guard reads __name__: a module object named __main__ runs it.
    code = textwrap.dedent("""
        import importlib.util, sys
        spec = importlib.util.find_spec("VELK_CRC")
        sys.argv = ["prog"]
        module = importlib.util.module_from_spec(spec)
        module.__name__ = "__main__"
        spec.loader.exec_module(module)
    """)
    result = run_python(code)
    assert result.returncode == 255
    assert result.stdout.startswith(
        "Usage:VELK_CRC  VELK elffile  --n[crcname]  --a[addr]:parameters  less \n")


def test_failed_start_up_is_retried_on_a_new_module():
    code = textwrap.dedent("""
        import sys, traceback
        real = sys.modules.pop("crcmod", None)
        sys.modules["crcmod"] = None
        try:
            import VELK_CRC
        except ModuleNotFoundError as exc:
            names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
            print("failed", "init VELK_CRC" in names, "VELK_CRC" in sys.modules)
        del sys.modules["crcmod"]
        import VELK_CRC
        print(hex(VELK_CRC.calc_crc_mpeg2(b"123456789")))
        import importlib
        print(importlib.reload(VELK_CRC) is VELK_CRC)
    """)
    result = run_python(code)
    assert result.stderr == ""
    assert result.stdout == "failed True False\n0x376e6e7\nTrue\n"


def test_missing_class_is_an_import_error():
    code = textwrap.dedent("""
        import intelhex
        del intelhex.IntelHex
        try:
            import VELK_CRC
        except ImportError as exc:
            print(type(exc).__name__, exc)
    """)
    result = run_python(code)
    assert result.stdout == "ImportError cannot import name IntelHex\n"


def test_second_interpreter_is_refused():
    # The module refuses a second interpreter itself; a shared-GIL ("legacy")
    # interpreter gets that far on every version, while an isolated one is
    # refused by the runtime first on 3.12 and later.
    code = textwrap.dedent("""
        import sys
        import VELK_CRC
        if sys.version_info < (3, 12):
            import _xxsubinterpreters as interpreters
            interp = interpreters.create()
        elif sys.version_info < (3, 13):
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
        else:
            import _interpreters as interpreters
            interp = interpreters.create("legacy")
        try:
            failure = interpreters.run_string(interp, "import VELK_CRC")
            if failure is not None:  # 3.13 returns what it caught
                print(f"<class '{failure.type.__name__}'>: {failure.msg}")
        except interpreters.RunFailedError as exc:
            print(exc)
        interpreters.destroy(interp)
        print(hex(VELK_CRC.calc_crc_mpeg2(b"123456789")))
    """)
    result = run_python(code)
    assert result.stdout == (
        "<class 'ImportError'>: Interpreter change detected - this module can only be "
        "loaded into one interpreter per process.\n0x376e6e7\n")


@pytest.fixture(scope="module")
def mismatched_build(tmp_path_factory, engine_only_build):
    """The module built again, claiming to be built for Python 3.10, on the
    engine the engine-only build compiled."""
    build = tmp_path_factory.mktemp("build310")
    # Unoptimised and as one translation unit: only the start-up is
    # exercised, and this compiles fastest.
    configure = ["cmake", "-S", ROOT, "-B", str(build), "-DCMAKE_BUILD_TYPE=",
                 "-DCMAKE_UNITY_BUILD=ON", "-DVELK_ENGINE_TEST=OFF",
                 f"-DVELK_ENGINE_PREBUILT={engine_only_build}",
                 f"-DPython_EXECUTABLE={sys.executable}", "-DVELK_CRC_BUILD_VERSION=3.10"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "VELK_CRC"], check=True,
                   capture_output=True)
    return str(build)


@pytest.mark.parametrize("warnings, outcome", [
    ("default", "imported"),
    ("error::RuntimeWarning", "refused"),
], ids=["warns", "warning-as-error"])
def test_version_mismatch_warning(mismatched_build, warnings, outcome):
    minor = sys.version_info.minor
    code = textwrap.dedent(f"""
        import sys, warnings
        sys.path.insert(0, {mismatched_build!r})
        warnings.simplefilter({warnings.split('::')[0]!r})
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter({warnings.split('::')[0]!r})
                import VELK_CRC
            print("imported", VELK_CRC.__file__.startswith({mismatched_build!r}))
            for w in caught:
                print(w.category.__name__, w.message)
        except RuntimeWarning as exc:
            print("refused", exc)
    """)
    result = run_python(code)
    text = (f"compile time Python version 3.10 of module 'VELK_CRC' does not "
            f"match runtime version 3.{minor}")
    if outcome == "imported":
        assert result.stdout == f"imported True\nRuntimeWarning {text}\n"
    else:
        assert result.stdout == f"refused {text}\n"


CALL_ERRORS = [
    ("calc_crc_mpeg2", (), {},
     "calc_crc_mpeg2() takes exactly 1 positional argument (0 given)"),
    ("calc_crc_mpeg2", (b"", b""), {},
     "calc_crc_mpeg2() takes exactly 1 positional argument (2 given)"),
    ("calc_crc_mpeg2", (b"",), {"data": b""},
     "calc_crc_mpeg2() got multiple values for keyword argument 'data'"),
    ("calc_crc_mpeg2", (b"",), {"other": 1},
     "calc_crc_mpeg2() got an unexpected keyword argument 'other'"),
    ("calc_crc_mpeg2", (b"",), {1: 2},
     "calc_crc_mpeg2() keywords must be strings"),
    ("velk_crc_calc", ("a", None), {},
     "velk_crc_calc() takes exactly 4 positional arguments (2 given)"),
    ("velk_crc_calc", (), {"elffilename": "a", "crcaddr": None, "crcblock": None},
     "velk_crc_calc() takes exactly 4 positional arguments (1 given)"),
    ("velk_crc_calc", ("a", None, None, None), {"varename": "x"},
     "velk_crc_calc() got multiple values for keyword argument 'varename'"),
    ("velk_crc_calc", ("a", None, None, None, None), {},
     "velk_crc_calc() takes exactly 4 positional arguments (5 given)"),
    ("usage", (), {}, "usage() takes exactly 1 positional argument (0 given)"),
    ("usage", ("a", "b"), {}, "usage() takes exactly 1 positional argument (2 given)"),
    ("usage", (), {"reason": "x"}, "usage() takes exactly 1 positional argument (0 given)"),
]


@pytest.mark.parametrize("name, args, kwargs, message", CALL_ERRORS,
                         ids=[m for *_, m in CALL_ERRORS])
def test_argument_errors(velk, capsys, name, args, kwargs, message):
    func = getattr(velk, name)
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    assert entry_names(info.value)[-1] == f"VELK_CRC.{name}"
    assert traceback.extract_tb(info.value.__traceback__)[-1].filename == "VELK_CRC"
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "runmain() takes no arguments (1 given)"),
    ((1, 2), {"x": 1}, "runmain() takes no arguments (2 given)"),
    ((), {"x": 1}, "runmain() takes no keyword arguments"),
])
def test_runmain_argument_errors_have_no_entry(velk, capsys, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        velk.runmain(*args, **kwargs)
    assert str(info.value) == message
    assert "VELK_CRC.runmain" not in entry_names(info.value)
    assert capsys.readouterr().out == ""


def test_rebinding_builtin_print_does_not_reach_the_module(velk, capsys, monkeypatch):
    seen = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: seen.append(a))
    velk.usage("x")
    monkeypatch.undo()
    assert seen == []
    assert capsys.readouterr().out.startswith("Usage:")


def test_module_globals_are_looked_up_at_use(velk, monkeypatch):
    class FakeCrcmod:
        @staticmethod
        def mkCrcFun(poly, **kwargs):
            assert (poly, kwargs) == (0x104C11DB7, {
                "initCrc": 0xFFFFFFFF, "rev": False, "xorOut": 0})
            assert list(kwargs) == ["initCrc", "rev", "xorOut"]
            return lambda data: ("fake", data)

    monkeypatch.setattr(velk, "crcmod", FakeCrcmod)
    assert velk.calc_crc_mpeg2(b"ab") == ("fake", b"ab")
    monkeypatch.delattr(velk, "crcmod")
    with pytest.raises(NameError, match=r"^name 'crcmod' is not defined$") as info:
        velk.calc_crc_mpeg2(b"")
    assert entry_names(info.value)[-1] == "VELK_CRC.calc_crc_mpeg2"


def test_global_found_in_builtins(velk, monkeypatch):
    import crcmod

    monkeypatch.delattr(velk, "crcmod")
    monkeypatch.setattr(builtins, "crcmod", crcmod, raising=False)
    assert velk.calc_crc_mpeg2(b"123456789") == 0x0376E6E7


def test_extension_is_compiled():
    # Without the compiled crcmod extension the CRC costs seconds per MiB.
    import crcmod  # noqa: F401

    assert sys.modules["crcmod.crcmod"]._usingExtension
    assert sysconfig.get_config_var("EXT_SUFFIX")
