"""Reads an Intel HEX file without intelhex, checking every record."""

from dataclasses import dataclass


@dataclass
class HexImage:
    memory: dict          # address -> byte
    start_linear: int | None
    max_record_bytes: int

    def bytes_at(self, address, count):
        return bytes(self.memory[address + i] for i in range(count))

    def ranges(self):
        """Contiguous (start, end) address ranges holding data."""
        out = []
        for address in sorted(self.memory):
            if out and out[-1][1] == address:
                out[-1][1] = address + 1
            else:
                out.append([address, address + 1])
        return [tuple(r) for r in out]


def read_hex(path) -> HexImage:
    with open(path, "r", newline="") as f:
        lines = f.read().splitlines()
    memory = {}
    base = 0
    start = None
    widest = 0
    seen_eof = False
    for number, line in enumerate(lines, 1):
        assert not seen_eof, f"line {number}: data after the end-of-file record"
        assert line.startswith(":"), f"line {number}: no start code"
        raw = bytes.fromhex(line[1:])
        count, addr_hi, addr_lo, rtype = raw[0], raw[1], raw[2], raw[3]
        assert len(raw) == count + 5, f"line {number}: length field disagrees"
        assert sum(raw) % 256 == 0, f"line {number}: bad record checksum"
        payload = raw[4:4 + count]
        offset = (addr_hi << 8) | addr_lo
        if rtype == 0x00:
            widest = max(widest, count)
            for i, b in enumerate(payload):
                address = base + offset + i
                assert address not in memory, f"line {number}: address written twice"
                memory[address] = b
        elif rtype == 0x01:
            assert count == 0 and offset == 0
            seen_eof = True
        elif rtype == 0x02:
            assert count == 2
            base = int.from_bytes(payload, "big") << 4
        elif rtype == 0x04:
            assert count == 2 and offset == 0
            base = int.from_bytes(payload, "big") << 16
        elif rtype == 0x05:
            assert count == 4 and offset == 0
            start = int.from_bytes(payload, "big")
        else:
            raise AssertionError(f"line {number}: unexpected record type {rtype:02X}")
    assert seen_eof, "no end-of-file record"
    return HexImage(memory, start, widest)


@dataclass
class SrecImage:
    memory: dict          # address -> byte
    entry: int
    header: bytes
    data_width: int       # address bytes of the data records: 2, 3 or 4


def read_srec(path) -> SrecImage:
    """Motorola S-records, every record checked: S0 header, one width of
    data records, byte counts and checksums, and one termination record of
    the matching width as the last line."""
    with open(path, "r", newline="") as f:
        text = f.read()
    assert text.endswith("\n") and "\r" not in text
    lines = text.splitlines()
    widths = {"1": 2, "2": 3, "3": 4, "7": 4, "8": 3, "9": 2}
    memory, header, data_width, entry = {}, None, None, None
    for number, line in enumerate(lines, 1):
        assert entry is None, f"line {number}: a record after the termination record"
        assert line[0] == "S" and line == line.upper(), f"line {number}: not a record"
        kind, raw = line[1], bytes.fromhex(line[2:])
        assert raw[0] == len(raw) - 1, f"line {number}: byte count disagrees"
        assert (sum(raw) & 0xFF) == 0xFF, f"line {number}: bad record checksum"
        if kind == "0":
            assert number == 1 and raw[1:3] == b"\0\0"
            header = raw[3:-1]
            continue
        assert header is not None, "no S0 header first"
        width = widths[kind]
        address = int.from_bytes(raw[1:1 + width], "big")
        payload = raw[1 + width:-1]
        if kind in "123":
            assert data_width in (None, width), f"line {number}: a second address width"
            data_width = width
            assert 0 < len(payload) <= 16, f"line {number}: {len(payload)} data bytes"
            for i, b in enumerate(payload):
                assert address + i not in memory, f"line {number}: address written twice"
                memory[address + i] = b
        else:
            assert payload == b"" and width == (data_width or width) and kind == str(11 - width)
            entry = address
    assert entry is not None, "no termination record"
    return SrecImage(memory, entry, header, data_width)
