"""Choosing the placement mode and checking its value, before any file is read."""

import pytest


def calc(velk, varename=None, crcaddr=None, crcblock=None, elf="no-such-file.elf"):
    return velk.velk_crc_calc(elf, varename, crcaddr, crcblock)


REFUSED = [
    # crcaddr, crcblock, printed line
    ("802", None, 'input address is error, address must be Integral multiple of 4: "802".'),
    ("", None, 'input address is error "".'),
    ("0xg1", None, 'input address is error "0xg1".'),
    (16, None, 'input address is error "16".'),
    # A negative offset would sit before the image.
    ("-4", None, 'input address is error "-4".'),
    ("-0x800", None, 'input address is error "-0x800".'),
    (None, "0x40", 'input crcblock is error "0x40".'),
    (None, "", 'input crcblock is error "".'),
    # Rounding to a block needs a positive power of two.
    (None, "0", 'input crcblock is error "0".'),
    (None, "-64", 'input crcblock is error "-64".'),
    (None, "48", 'input crcblock is error "48".'),
    (None, " 100 ", 'input crcblock is error " 100 ".'),
    (None, None, "please Input crc calculate type and parameter"),
]


ADDRESS_HINT = ("hint: --a takes the checksum's offset from the image start in hex, a "
                "multiple of 4, as in --a1FFC\n")
BLOCK_HINT = "hint: --s takes a block size in decimal that is a power of two, as in --s1024\n"


@pytest.mark.parametrize("crcaddr, crcblock, line", REFUSED,
                         ids=[f"{a!r}-{b!r}" for a, b, _ in REFUSED])
def test_refusals(velk, capfd, crcaddr, crcblock, line):
    assert calc(velk, crcaddr=crcaddr, crcblock=crcblock) == -1
    out, err = capfd.readouterr()
    assert out == line + "\n"
    # Refused before the ELF file is opened; where the line does not say
    # what the option takes, a hint on standard error does.
    if line.startswith("input address is error \""):
        assert err == ADDRESS_HINT
    elif line.startswith("input crcblock"):
        assert err == BLOCK_HINT
    elif line.startswith("please Input"):
        assert err == ("hint: give one selector: --n<variable>, --a<hex offset> or "
                       "--s<block size in decimal>, as in --ncrc_value\n")
    else:
        assert err == ""


ACCEPTED = [
    # Accepted requests go on to open the (missing) file.
    ("name-empty", dict(varename="", crcaddr="zz", crcblock="x"), ""),
    ("name", dict(varename="crc_value"), ""),
    ("addr-0x800", dict(crcaddr="0x800"), ""),
    ("addr-800", dict(crcaddr="800"), ""),
    ("addr-0X800", dict(crcaddr="0X800"), ""),
    ("addr-padded", dict(crcaddr="  800 "), ""),
    ("addr-underscore", dict(crcaddr="8_00"), ""),
    ("addr-zero", dict(crcaddr="0"), ""),
    ("addr-wins-over-block", dict(crcaddr="800", crcblock="not a number"), ""),
    ("block-64", dict(crcblock="64"), "crc cal block: 64\n"),
    ("block-1", dict(crcblock="1"), "crc cal block: 1\n"),
    ("block-padded", dict(crcblock=" 1_024 "), "crc cal block: 1024\n"),
]


@pytest.mark.parametrize("kwargs, printed", [a[1:] for a in ACCEPTED],
                         ids=[a[0] for a in ACCEPTED])
def test_accepted_requests_reach_the_file(velk, capfd, kwargs, printed):
    assert calc(velk, **kwargs) == -1
    out, err = capfd.readouterr()
    assert out == printed
    assert "FileNotFoundError" in err and "no-such-file.elf" in err


class FailingFirstWrite:
    """A stdout whose first write raises `error`; later writes are kept."""

    def __init__(self, error):
        self.error, self.lines = error, []

    def write(self, text):
        if self.error:
            error, self.error = self.error, None
            raise error
        self.lines.append(text)

    def flush(self):
        pass


def test_handler_catches_a_failing_print(velk, monkeypatch):
    out = FailingFirstWrite(OSError("pipe closed"))
    monkeypatch.setattr("sys.stdout", out)
    assert calc(velk, crcaddr="802") == -1
    assert "".join(out.lines) == 'input address is error "802".\n'


@pytest.mark.parametrize("kwargs", [dict(crcaddr="802"), dict(crcblock="64")])
def test_handler_lets_keyboard_interrupt_through(velk, monkeypatch, kwargs):
    monkeypatch.setattr("sys.stdout", FailingFirstWrite(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        calc(velk, **kwargs)
