"""velk_crc: the CRC-32/MPEG-2 checksum of a firmware build's flash image.

From a build script::

    import velk_crc

    report = velk_crc.flash("build/fw.elf", symbol="crc_value")
    print(report.checksum, report.files)      # fw_CRC.hex and fw_CRC.elf
    assert velk_crc.check("build/fw_CRC.hex", symbol="crc_value",
                          elf="build/fw.elf").ok

`flash` writes what ``velk-crc FLASH`` writes and `check` gives the verdict
of ``velk-crc CHECK``; each returns a `Report` with the keys of the
``--json`` object. A refusal raises `Refused` (FLASH: nothing was written)
or `CannotVerify` (CHECK); a wrong checksum is a report whose ``ok`` is
false. Nothing is printed. `main` runs the command line.
"""

import os
import sys

__all__ = ["flash", "check", "main", "Report", "Error", "Refused", "CannotVerify"]


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


class CannotVerify(Error):
    """CHECK could not verify the file (the command line's 2)."""


class Report:
    """The outcome of a run: the keys of the ``--json`` object as attributes.

    Every run has ``mode``, ``input``, ``verdict`` (``"written"``, ``"ok"``,
    ``"mismatch"`` or ``"error"``), ``files``, ``warnings``, ``notes`` and
    ``hints`` (what to try after a mismatch);
    a run that got as far as the checksum also has ``image`` (``start`` and
    ``end``), ``record``, ``offset``, ``feed`` and ``checksum``; FLASH adds
    ``outside``, CHECK ``stored`` (and ``elf`` and ``difference`` with a
    build to compare against). ``ok`` is true for ``written`` and ``ok``.
    """

    __slots__ = ("_data",)

    def __init__(self, data):
        object.__setattr__(self, "_data", data)

    def __getattr__(self, name):
        # Only the report's own keys: a copy or unpickling asks for special
        # names before _data is set.
        if name.startswith("_"):
            raise AttributeError(name)
        try:
            return _copy(self._data[name])
        except KeyError:
            raise AttributeError(
                f"{type(self).__name__} of {self._data.get('mode')} has no {name!r}"
            ) from None

    def __setattr__(self, name, value):
        raise AttributeError("a Report is read-only")

    @property
    def ok(self):
        """True when FLASH wrote its files or CHECK found the checksum right."""
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

    def __dir__(self):
        return sorted(set(object.__dir__(self)) | set(self._data))


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


def _path(value, what):
    try:
        path = os.fspath(value)
    except TypeError:
        raise TypeError(
            f"{what} must be a path (str or os.PathLike), not {type(value).__name__}"
        ) from None
    name = os.fsdecode(path)
    try:
        os.fsencode(name)
    except UnicodeEncodeError:
        raise ValueError(f"{what} {name!r} is no name the file system can hold") from None
    return name


def _number(value, what):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    return value


def _switches(**given):
    # A string or a number could mean either ("no", "0", 1): on and off are
    # True and False only.
    for name, value in given.items():
        if not isinstance(value, bool):
            raise TypeError(f"{name} must be a bool, not {type(value).__name__}")


def _many(value):
    if isinstance(value, (str, bytes, int)):
        return [value]
    try:
        return list(value)
    except TypeError:
        return [value]


def _records(function, symbol, offset, block, header, lpc_vectors):
    given = [name for name, value in
             (("symbol", symbol), ("offset", offset), ("block", block),
              ("header", header))
             if value is not None]
    if not given and not lpc_vectors:
        raise TypeError(
            f"{function}() needs a record: symbol=, offset=, block=, header= or "
            f"lpc_vectors=True")
    if block is not None and len(given) > 1:
        raise TypeError(f"{function}() takes block= alone, not with "
                        f"{' and '.join(n for n in given if n != 'block')}=")
    words = []
    for name in _many(symbol) if symbol is not None else []:
        if not isinstance(name, str):
            raise TypeError(f"symbol must be a str, not {type(name).__name__}")
        words.append("--n" + name)
    for value in _many(offset) if offset is not None else []:
        value = _number(value, "offset")
        words.append("--a" + (f"{value:x}" if value >= 0 else f"-{-value:x}"))
    if block is not None:
        words.append("--s" + str(_number(block, "block")))
    if header is not None:
        if not isinstance(header, str):
            raise TypeError(f"header must be a str, not {type(header).__name__}")
        words.append("--header=" + header)
    if lpc_vectors:
        words.append("--lpc-vectors")
    return words


def _checksum(crc, be, fill):
    words = ["--be"] if be else []
    if crc is not None:
        if not isinstance(crc, str):
            raise TypeError(f"crc must be a str, not {type(crc).__name__}")
        words.append("--crc=" + crc)
    if fill is not None:
        words.append(f"--fill={_number(fill, 'fill'):#04x}")
    return words


def _merged(merge, entry):
    words = ["--merge=" + _path(path, "merge")
             for path in (_many(merge) if merge is not None else [])]
    if entry is None:
        return words
    if isinstance(entry, int) and not isinstance(entry, bool):
        return words + [f"--entry={entry:#x}"]
    return words + ["--entry=" + _path(entry, "entry")]


def _run(mode, error, path, words):
    status, data = _native().run(mode, path, words)
    report = Report(data)
    if data["verdict"] == "error":
        raise error(data["message"], report)
    return report


def flash(elf, *, symbol=None, offset=None, block=None, header=None, lpc_vectors=False,
          crc=None, be=False, fill=None, words=False, bin=False, srec=False, uf2=None,
          merge=None, entry=None, force=False):
    """Checksum a build's flash image and write it, as ``velk-crc FLASH``.

    The records: `symbol` (the checksum variable's name, or a list of them;
    ``"name@from"`` starts its range at the symbol or 0x address `from`),
    `offset` (from the image start, a multiple of the checksum's width; an
    int or a list; its range starts at the image start), `block` (a power
    of two: the checksum follows the image rounded up to it; alone),
    `header` (``"app_header:size@8,crc@12,hcrc@16"``) and `lpc_vectors`.
    `crc` names the algorithm (default CRC-32/MPEG-2), `be` stores values
    big-endian, `fill` is the value erased flash reads (default 0xFF).
    `uf2` (a chip family) adds ``<root>_CRC.uf2``; `merge` (paths; a raw
    binary as ``"boot.bin@0x08000000"``) adds ``<root>_CRC_merged.hex`` and
    the merged forms of the other files; `entry` (one of them, `elf`, or an
    int address) chooses their start address. Writes ``<root>_CRC.hex``
    and ``<root>_CRC.elf`` beside `elf`, with `bin` and `srec` also
    ``<root>_CRC.bin`` and ``<root>_CRC.srec``; `words` feeds the checksum
    32-bit words as an STM32 CRC unit does; `force` writes what the layout
    checks refuse. Returns the `Report`; raises `Refused` when nothing was
    written.
    """
    _switches(lpc_vectors=lpc_vectors, be=be, words=words, bin=bin, srec=srec, force=force)
    options = _records("flash", symbol, offset, block, header, lpc_vectors)
    options += _checksum(crc, be, fill)
    if uf2 is not None:
        if not isinstance(uf2, str):
            raise TypeError(f"uf2 must be a str, not {type(uf2).__name__}")
        options.append("--uf2=" + uf2)
    options += _merged(merge, entry)
    options += [word for word, wanted in
                (("--words", words), ("--bin", bin), ("--srec", srec),
                 ("--force", force)) if wanted]
    return _run("FLASH", Refused, _path(elf, "elf"), options)


def check(path, *, symbol=None, offset=None, block=None, header=None,
          lpc_vectors=False, elf=None, base=None, merge=None, entry=None, crc=None,
          be=False, fill=None, words=False, force=False):
    """Verify the checksums in an ELF, Intel HEX, S-record, UF2 or raw binary
    file, as ``velk-crc CHECK``; writes nothing.

    The records, `crc`, `be` and `fill` are as for `flash`. With `elf` (the
    build's ELF file) the file is also checked to be that build's image,
    checksummed, and the build's symbols and layout are used; `merge` and
    `entry`, as `flash` took them, check a merged file's other bytes and its
    start address. A raw binary starts at `base`, or with `elf` where the
    build's images start. Returns
    the `Report`: ``ok`` is false on a mismatch. Raises `CannotVerify` when
    it cannot tell.
    """
    _switches(lpc_vectors=lpc_vectors, be=be, words=words, force=force)
    options = _records("check", symbol, offset, block, header, lpc_vectors)
    options += _checksum(crc, be, fill)
    if base is not None:
        options.append(f"--base={_number(base, 'base'):#x}")
    if elf is not None:
        options.append("--elf=" + _path(elf, "elf"))
    options += _merged(merge, entry)
    options += [word for word, wanted in (("--words", words), ("--force", force))
                if wanted]
    return _run("CHECK", CannotVerify, _path(path, "path"), options)


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
        _interrupted(words[0] if words else None)
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
    # VELK is VELK_CRC's own mode word; any other first word may be ours,
    # and so is a command line with no word at all.
    return not words or (words[0] != "VELK" and words[0] in _native().own_words)


def runmain():
    """The velk-crc console script: `main` on ``sys.argv``."""
    try:
        status = main()
    except BaseException as error:
        _leave_out_this_layer(error)
        raise
    try:
        return _end(status)
    except KeyboardInterrupt:
        # Ctrl-C once the run was done: it ends as an interrupted run.
        _interrupted(sys.argv[1] if len(sys.argv) > 1 else None)
        return _end(_INTERRUPTED_STATUS)


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


def _interrupted(word):
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    try:
        line = _native().interrupted.get(word, "error: interrupted")
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
