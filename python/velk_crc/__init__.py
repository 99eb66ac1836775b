"""velk_crc: the CRC-32/MPEG-2 checksum of a firmware build's flash image.

From a build script::

    import velk_crc

    report = velk_crc.flash("build/fw.elf", symbol="crc_value")
    print(report.checksum, report.files)      # fw_CRC.hex and fw_CRC.elf
    assert velk_crc.check("build/fw_CRC.hex", symbol="crc_value",
                          elf="build/fw.elf").ok

`flash` writes what ``velk-crc FLASH`` writes and `check` gives the verdict
of ``velk-crc CHECK``; each returns a `Report` with the keys of the
``--json`` object. A refusal raises `Refused` (FLASH: nothing was written;
`InternalError`, a kind of it, when FLASH found that a file it was about to
write would fail its own check) or `CannotVerify` (CHECK); a wrong checksum
is a report whose ``ok`` is false. Nothing is printed. `main` runs the
command line.
"""

import os
import sys

__all__ = ["flash", "check", "main", "Report", "OutputFile", "Error", "Refused",
           "CannotVerify", "InternalError"]


class Error(Exception):
    """A run that could not be done; ``str(err)`` says why and what to do.

    ``err.report`` is the run's `Report` (verdict ``"error"``).
    """

    def __init__(self, message, report):
        super().__init__(message)
        self.report = report

    def __reduce__(self):
        return type(self), (str(self), self.report)


class Refused(Error):
    """FLASH refused the build: nothing was written (the command line's 255)."""


class InternalError(Refused):
    """FLASH found that a file it was about to write would fail its own
    check: nothing was written (the command line's 70). A fault of the
    tool: please report it."""


class CannotVerify(Error):
    """CHECK could not verify the file (the command line's 2)."""


class OutputFile(str):
    """A file a run wrote: its name, with ``format`` (``"Intel HEX"``,
    ``"ELF"``, ``"raw binary"``, ``"S-records"``, ``"UF2"``) and, for a raw
    binary, ``base``, the address of its first byte (else None)."""

    __slots__ = ("format", "base")

    def __new__(cls, path, format, base=None):
        self = super().__new__(cls, path)
        self.format = format
        self.base = base
        return self

    def __reduce__(self):
        return OutputFile, (str(self), self.format, self.base)

    def __repr__(self):
        return f"OutputFile({str(self)!r}, {self.format!r}, {self.base!r})"


# The keys a report may have, as --json prints them; each is an attribute.
_KEYS = ("mode", "input", "verdict", "message", "files", "image", "record", "offset",
         "feed", "stored", "checksum", "expected", "algorithm", "fill", "uf2_family",
         "uf2_skipped", "merged", "records", "outside", "elf", "difference", "start_address",
         "mcuboot", "sha256", "to_sign", "devices", "warnings", "notes", "hints",
         "stamps", "manifest")


class Report:
    """The outcome of a run: the keys of the ``--json`` object as attributes.

    Every run has ``mode``, ``input``, ``verdict`` (``"written"``, ``"ok"``,
    ``"mismatch"`` or ``"error"``), ``files`` (`OutputFile` names),
    ``warnings``, ``notes`` and ``hints`` (what to try after a mismatch);
    a run that got as far as the checksum also has ``image`` (``start`` and
    ``end``), ``record``, ``offset``, ``feed``, ``checksum`` and ``records``;
    FLASH adds ``outside``, CHECK ``stored`` (and ``elf``, ``expected`` and
    ``difference`` with a build to compare against); FLASH with `mcuboot`
    adds ``mcuboot`` (the image's header fields, TLVs, hash, key hash and
    signature type) and ``sha256`` (each file's digest); its first step of
    two (``"sign"``) adds ``to_sign``, what the key's holder signs (its
    ``bytes`` in hex, as written to ``<root>_CRC.tosign``); with `stamp`
    (a devices run into `out`) it adds ``devices``: how many, how many this
    run made, the folder, its manifest, each device's file endings and the
    stamps. A key the run has not
    is an AttributeError. ``ok`` is true for ``written`` and ``ok``; a report
    is no truth value: ``if report.ok``, not ``if report``.
    """

    __slots__ = ("_data",)

    def __init__(self, data):
        object.__setattr__(self, "_data", data)

    def __setattr__(self, name, value):
        raise AttributeError("a Report is read-only")

    def __bool__(self):
        raise TypeError("a Report is no truth value: use report.ok")

    @property
    def ok(self):
        """True when FLASH wrote its files or CHECK found the file right."""
        return self._data["verdict"] in ("written", "ok")

    def as_dict(self):
        """The object ``--json`` prints for the same run (a fresh copy)."""
        return _copy(self._data)

    def __reduce__(self):
        return Report, (self._data,)

    def __eq__(self, other):
        if not isinstance(other, Report):
            return NotImplemented
        return self._data == other._data

    __hash__ = None

    def __repr__(self):
        return f"<velk_crc.Report {self._data['mode']} {self._data['verdict']}>"


def _key(name):
    def read(self):
        try:
            return _copy(self._data[name])
        except KeyError:
            raise AttributeError(
                f"{type(self).__name__} of {self._data.get('mode')} has no {name!r}"
            ) from None
    return property(read, doc=f"The report's {name!r}.")


for _name in _KEYS:
    setattr(Report, _name, _key(_name))
del _name


def _native():
    # The native half is loaded by the first call that needs it: the VELK
    # words pass through the console script to VELK_CRC without it.
    from . import _core
    return _core


def __getattr__(name):
    if name == "__version__":
        return _native().version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _copy(value):
    if isinstance(value, dict):
        return {key: _copy(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_copy(item) for item in value]
    return value


# The keywords are the option table's (src/engine/request/option_table.cpp),
# checked by the native half, which names a wrong one as Python would; the
# typing stub lists them for type checkers.
def flash(elf, **options):
    """Checksum a build's flash image and write it, as ``velk-crc FLASH``.

    The records: `symbol` (the checksum variable's name, or a list of them;
    ``"name@from"`` starts its range at the symbol or 0x address `from`),
    `offset` (from the image start, a multiple of the checksum's width; an
    int or a list; its range starts at the image start), `block` (a power
    of two: the checksum follows the image rounded up to it; alone),
    `header` (``"app_header:size@8,crc@12=crc-32/iso-hdlc,hcrc@16"``, or
    ``"0x08004000+32:..."`` by address and size) and `lpc_vectors`.
    `algorithms` gives records their own algorithm, each by its symbol or
    offset (``{"crc_app": "CRC-32/ISO-HDLC", 0x1FC: "CRC-16/XMODEM"}``);
    `crc` names the algorithm of the others (default CRC-32/MPEG-2).
    `exclude` (``"0x08000100-0x08000200"`` or ``(0x08000100, 0x08000200)``,
    the byte at the end kept, or a symbol; or a list) leaves those bytes out
    of every checksum that covers them, or after a ``:`` out of the records
    it names alone (``"calib:app_crc,--a1FC"``: a symbol, ``--a<hex>`` for
    an offset, ``<header>.<field>``). `be` stores values big-endian, `fill`
    is the value erased flash reads (default 0xFF).
    `uf2` (a chip family) adds ``<root>_CRC.uf2``; `dfu` (the USB device's
    ``"<vid>:<pid>[:<bcd>]"`` in hex, or ``(0x0483, 0xDF11[, bcd])``) adds
    ``<root>_CRC.dfu``, the ``.bin`` with a DFU suffix; `dfuse` (the same
    IDs) adds ``<root>_CRC.dfuse.dfu``, a DfuSe file; `nxp_mbi` adds
    ``<root>_CRC.mbi.bin``, the ``.bin`` as an NXP LPC55S/MCX plain-CRC master
    boot image (its length, type, CRC and address at 0x20-0x37, which no
    record may cover); `esp32` (``"chip=esp32c3[,flash_mode=dio,...]"``)
    adds ``<root>_CRC.esp.bin``, the ESP32 app image esptool's elf2image makes
    of ``<root>_CRC.elf``, and needs no record; `nrf_settings` (``"<family>,app-version=<n>,
    bl-version=<n>,bl-settings-version=1|2[,softdevice=<hex file>]
    [,app-boot-validation=...]"``) adds ``<root>_CRC.settings.hex``, the nRF5
    SDK bootloader settings page and its backup as ``nrfutil settings
    generate`` makes them, which also join the merged files; `merge` (paths; a raw
    binary as ``"boot.bin@0x08000000"``) adds ``<root>_CRC_merged.hex`` and
    the merged forms of the other files; `entry` (one of them, `elf`, or an
    int address) chooses their start address. Writes ``<root>_CRC.hex``
    and ``<root>_CRC.elf`` beside `elf`, with `bin` and `srec` also
    ``<root>_CRC.bin`` and ``<root>_CRC.srec``; `words` feeds the checksum
    32-bit words as an STM32 CRC unit does; `force` writes what the layout
    checks refuse. `mcuboot` (``{"key": "key.pem", "header": 0x200,
    "slot": 0x40000, "version": "1.2.3", ...}``, the settings of
    ``--mcuboot``; True for a flag, a list for the repeatable ones) makes a
    signed MCUboot image of it, after the records are stored. With a key
    the build never holds (`key` its public key), ``"sign": "digest"`` (or
    ``"payload"``) writes only what its holder signs, returned in the
    report's ``to_sign``, and the same call with ``"signature": path`` puts
    their signature in (base64 or raw; ECDSA as DER or r||s) once it
    verifies, then writes every file. Returns the
    `Report`; raises `Refused` when nothing was written (`InternalError`,
    one of them, when a file would have failed its own check).
    """
    return _native().flash(elf, **options)


def check(path, **options):
    """Verify the checksums in an ELF, Intel HEX, S-record, UF2, raw binary
    or DFU file, as ``velk-crc CHECK``; writes nothing.

    The records, `algorithms`, `exclude`, `crc`, `be` and `fill` are as for
    `flash`. With `elf` (the build's ELF file) the file is also checked to
    be that build's image, checksummed, and the build's symbols and layout
    are used; `merge` and `entry`, as `flash` took them, check a merged
    file's other bytes and its start address. A raw binary starts at
    `base`, or with `elf` where the build's images start. `mcuboot`
    (``{"key": path, "header": 0x200}``, either or neither, or True)
    verifies a signed MCUboot image: its header, TLVs, hash, key, signature
    and trailer; without a key the signature is not checked.
    `nrf_settings` (a family, ``"nrf52840"``) checks the nRF5 bootloader
    settings page the file holds against the application it holds, with
    no record needed. Returns the
    `Report`: ``ok`` is false on a mismatch. Raises `CannotVerify` when
    it cannot tell.
    """
    return _native().check(path, **options)


def main(argv=None):
    """Run the velk-crc command line on `argv` (default: ``sys.argv[1:]``).

    Returns the exit status. FLASH, CHECK, help and version run here;
    VELK mode and its usage run in `VELK_CRC.runmain`, as they always have.
    """
    words = None
    # Ctrl-C is answered with the interrupted line from the first word on,
    # while the native half loads too; in VELK mode it is VELK_CRC's.
    try:
        if isinstance(argv, (str, bytes)):
            raise TypeError("argv must be a sequence of words, not one " +
                            type(argv).__name__)
        words = sys.argv[1:] if argv is None else [os.fsdecode(word) for word in argv]
        if _own(words):
            return _native().main(words)
    except KeyboardInterrupt:
        _interrupted(words)
        return _INTERRUPTED_STATUS
    except BrokenPipeError:
        # The reader of standard output has gone (velk-crc --help | head):
        # the status of a command killed by SIGPIPE, without a traceback.
        return _BROKEN_PIPE_STATUS
    try:
        return _velk(argv, words)
    except BaseException as error:
        _leave_out_this_layer(error)
        raise


def _own(words):
    # VELK is VELK_CRC's own mode word, in any letter case; any other first
    # word may be ours (FLASH or CHECK mistyped in case too: the hint alone
    # answers it), and so is a command line with no word at all.
    if not words:
        return True
    own = _native().own_words
    return words[0] in own or (words[0].upper() in own and words[0].upper() != "VELK")


def runmain():
    """The velk-crc console script: `main` on ``sys.argv``."""
    try:
        status = main()
    except KeyboardInterrupt as error:
        # Ctrl-C as main was called, before its own answer to it: a run of
        # ours interrupted like any other. VELK mode's goes on as it always
        # has.
        if _through(error, _velk):
            _leave_out_this_layer(error)
            raise
        return _interrupted_run()
    except BaseException as error:
        _leave_out_this_layer(error)
        raise
    try:
        return _end(status)
    except KeyboardInterrupt:
        # Ctrl-C once the run was done: it ends as an interrupted run.
        return _interrupted_run()


def _console_script():
    """velk-crc where it is an entry point (Windows, where pip makes an .exe
    of it): what the plain script does elsewhere."""
    try:
        return runmain()
    except KeyboardInterrupt as interrupt:
        status = _interrupted_on_entry(interrupt)
        if status is not None:
            return status
        _leave_out_this_layer(interrupt)
        raise
    except BaseException as error:
        _leave_out_this_layer(error)
        raise


def _interrupted_run():
    _interrupted(sys.argv[1:])
    return _end(_INTERRUPTED_STATUS)


def _through(error, function):
    # Whether the exception came through a call of `function`.
    tb = error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code is function.__code__:
            return True
        tb = tb.tb_next
    return False


def _interrupted_on_entry(error):
    """The console script's answer to Ctrl-C that came as it called
    `runmain`, before runmain's own answer: the exit status of an
    interrupted run. Such an exception still holds runmain's frame, which
    runmain leaves out of any it lets go; for those (VELK mode's), None."""
    if not _through(error, runmain):
        return None
    return _interrupted_run()


def _end(status):
    if status == _INTERRUPTED_STATUS:
        # Ended by the signal, as the shell and make expect of a command
        # that did not handle Ctrl-C itself: a loop of runs stops too.
        _end_by_sigint()
    elif status == _BROKEN_PIPE_STATUS or (_own(sys.argv[1:]) and not _flushed()):
        # Nothing more can reach the reader (a closed pipe, a full disk, said
        # already); the interpreter's last flush must not complain about it
        # either.
        _quiet_stdout()
    return status


def _flushed():
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
        return True
    except (OSError, ValueError):
        return False


def _end_by_sigint():
    import signal
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass
    if os.name == "nt":
        # Windows has no signal to end by: os.kill would end the process
        # with the signal's number, 2, which reads as CHECK's "could not
        # verify". The status itself, 130, says it was interrupted.
        return
    try:
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
    except (OSError, ValueError):
        pass


def _leave_out_this_layer(error):
    # A traceback out of VELK mode reads as it did when the console script
    # called VELK_CRC.runmain itself: the frames of this module are left
    # out, and the bare raise after this adds none.
    tb = error.__traceback__
    while tb is not None and tb.tb_frame.f_globals is globals():
        tb = tb.tb_next
    error.__traceback__ = tb


_INTERRUPTED_STATUS = 130  # 128 + SIGINT
_BROKEN_PIPE_STATUS = 141  # 128 + SIGPIPE


def _interrupted(words):
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    word = words[0] if words else None
    try:
        lines = _native().interrupted
        # A run writing a set of files per device leaves whole devices.
        line = lines.get(f"{word} --stamp") if words and "--stamp" in words[1:] else None
        line = line or lines.get(word, "error: interrupted")
    except ImportError:
        # Interrupted as the native half's import was ending: it cannot be
        # loaded again in this process.
        line = "error: interrupted"
    if sys.stderr is not None:
        print(line, file=sys.stderr)


def _quiet_stdout():
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def _velk(argv, words):
    saved = getattr(sys, "argv", None)  # an embedding host may have none
    if argv is not None:
        sys.argv = [saved[0] if saved else "velk-crc", *words]
    try:
        import VELK_CRC
        VELK_CRC.runmain()
    except SystemExit as done:
        return _status(done.code)
    finally:
        if argv is not None and saved is None:
            del sys.argv
        elif argv is not None:
            sys.argv = saved
    return 0


def _status(code):
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF
    print(code, file=sys.stderr)
    return 1
