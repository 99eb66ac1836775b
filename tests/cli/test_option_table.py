"""The option table is the one list of FLASH's and CHECK's options: the
typing stub declares exactly its keywords for each function, --help shows
every spelling it has, and a mistyped option is answered from it."""

import ast
import os
import re

import pytest

import velk_crc
from conftest import ROOT

TABLE = os.path.join(ROOT, "src", "engine", "request", "option_table.cpp")
STUB = os.path.join(ROOT, "python", "velk_crc", "__init__.pyi")

ROW = re.compile(r'\{Option::(\w+), (nullptr|"([^"]+)"), (nullptr|"(\w+)"), Value::(\w+), '
                 r'([\w |]+), (true|false),')


def table_rows():
    with open(TABLE, encoding="utf-8") as f:
        source = f.read()
    rows = [dict(option=m[1], spelling=m[3], keyword=m[5], value=m[6],
                 modes={mode.strip() for mode in m[7].split("|")})
            for m in ROW.finditer(source)]
    # Every row is read: one for each name of the Option enumeration.
    with open(TABLE.replace(".cpp", ".h"), encoding="utf-8") as f:
        header = f.read()
    enumeration = re.search(r"enum class Option \{([^}]*)\}", header)[1]
    assert [r["option"] for r in rows] == re.findall(r"\w+", enumeration)
    return rows


def stub_keywords(function):
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    node = next(n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == function)
    return [a.arg for a in node.args.kwonlyargs]


@pytest.mark.parametrize("function, mode", [("flash", "flash"), ("check", "check")])
def test_stub_declares_the_table_keywords(function, mode):
    wanted = {r["keyword"] for r in table_rows() if r["keyword"] and mode in r["modes"]}
    declared = stub_keywords(function)
    assert len(declared) == len(set(declared))
    assert set(declared) == wanted


def test_help_shows_every_spelling(capsys):
    assert velk_crc.main(["--help"]) == 0
    text = capsys.readouterr().out
    options = text[text.index("\nrecords (FLASH and CHECK"):text.index("\nexit status:")]
    for r in table_rows():
        if r["spelling"] and r["value"] not in ("asked_help",):
            assert re.search(r"(?<![\w-])" + re.escape(r["spelling"]) + r"(?![\w-])",
                             options), r


def mistyped(spelling):
    # One letter dropped from the name: a typo the suggestion answers.
    return spelling[:3] + spelling[4:]


@pytest.mark.parametrize("mode", ["FLASH", "CHECK"])
def test_a_mistyped_option_is_answered_with_its_row(mode, capsys):
    for r in table_rows():
        # A word that starts as a record's (--src: --s rc) is one.
        if (not r["spelling"] or len(r["spelling"]) < 6 or r["value"].startswith("record")
                or mistyped(r["spelling"])[2] in "nas" or mode.lower() not in r["modes"]):
            continue
        assert velk_crc.main([mode, "fw.elf", mistyped(r["spelling"])]) == (
            255 if mode == "FLASH" else 2)
        err = capsys.readouterr().err
        assert "(did you mean " in err and r["spelling"] in err, (r, err)


def test_another_modes_option_is_named_as_spelt(capsys):
    for r in table_rows():
        if r["spelling"] and r["modes"] == {"check"}:
            assert velk_crc.main(["FLASH", "fw.elf", r["spelling"] + "=x"]) == 255
            assert (f'"{r["spelling"]}" is not an option of FLASH'
                    in capsys.readouterr().err)


@pytest.mark.parametrize("function, keyword", [
    pytest.param("flash", "elf_file", id="flash-unknown"),
    pytest.param("flash", "base", id="flash-check-only"),
    pytest.param("check", "srec", id="check-flash-only"),
])
def test_a_keyword_outside_the_table_is_refused_as_python_would(function, keyword):
    with pytest.raises(TypeError,
                       match=rf"^{function}\(\) got an unexpected keyword argument '{keyword}'$"):
        getattr(velk_crc, function)("fw.elf", **{keyword: 1})


@pytest.mark.parametrize("mode", ["FLASH", "CHECK"])
def test_an_option_without_its_value_is_shown_with_one(mode, capsys):
    # Each row's example is of the option itself: "--fill needs ..., as in
    # --fill 0x00".
    shown = 0
    for r in table_rows():
        if (not r["spelling"] or mode.lower() not in r["modes"]
                or r["value"] in ("on", "output", "shown", "asked_help", "settings")):
            continue
        assert velk_crc.main([mode, "fw.elf", "--ncrc", r["spelling"]]) == (
            255 if mode == "FLASH" else 2)
        err = capsys.readouterr().err
        assert err.startswith(f"error: fw.elf: {r['spelling']} needs "), err
        assert f"as in {r['spelling']}" in err, err
        shown += 1
    assert shown >= 10
