"""The tests' own Intel HEX and Motorola S-record records, without intelhex
or the module: files read with every record checked, and single records
written for the tests that make or spoil a file by hand."""

from dataclasses import dataclass


def hex_record(kind, address, payload=b""):
    """One Intel HEX record line, its checksum worked out."""
    raw = bytes([len(payload), address >> 8, address & 0xFF, kind]) + payload
    return ":" + (raw + bytes([-sum(raw) & 0xFF])).hex().upper() + "\n"


def hex_fields(line, number):
    """(record type, address field, payload) of one Intel HEX line, its start
    code, length and checksum checked."""
    assert line.startswith(":"), f"line {number}: no start code"
    raw = bytes.fromhex(line[1:])
    count = raw[0]
    assert len(raw) == count + 5, f"line {number}: length field disagrees"
    assert sum(raw) % 256 == 0, f"line {number}: bad record checksum"
    return raw[3], (raw[1] << 8) | raw[2], raw[4:4 + count]



def write_hex(path, chunks):
    """An Intel HEX file of {address: bytes}, 16 bytes a record."""
    lines, upper = [], None
    for address, data in sorted(chunks.items()):
        for at in range(0, len(data), 16):
            if (address + at) >> 16 != upper:
                upper = (address + at) >> 16
                lines.append(hex_record(4, 0, upper.to_bytes(2, "big")))
            lines.append(hex_record(0, (address + at) & 0xFFFF, data[at:at + 16]))
    path.write_text("".join(lines) + hex_record(1, 0))


def flip_hex_byte(path, address):
    """Inverts the data byte at `address` in an Intel HEX file, keeping every
    record checksum right, so that only the firmware (or CHECK) can notice."""
    with open(path) as f:
        lines = f.read().splitlines()
    base = 0
    for n, line in enumerate(lines, 1):
        kind, field, payload = hex_fields(line, n)
        if kind == 4:
            base = int.from_bytes(payload, "big") << 16
        elif kind == 0 and base + field <= address < base + field + len(payload):
            changed = bytearray(payload)
            changed[address - base - field] ^= 0xFF
            lines[n - 1] = hex_record(0, field, bytes(changed)).rstrip("\n")
            with open(path, "w") as f:
                f.write("\n".join(lines) + "\n")
            return
    raise AssertionError(f"no data byte at {address:#x}")

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
        rtype, offset, payload = hex_fields(line, number)
        count = len(payload)
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
        elif rtype == 0x03:
            # CS:IP, as objcopy writes an entry point below 1 MiB.
            assert count == 4 and offset == 0
            cs, ip = int.from_bytes(payload[:2], "big"), int.from_bytes(payload[2:], "big")
            start = (cs << 4) + ip
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


# Address bytes of each S-record kind: S0 header, S1-S3 data, S5-S6 count,
# S7-S9 termination.
SREC_ADDRESS_BYTES = {"0": 2, "1": 2, "2": 3, "3": 4, "5": 2, "6": 3, "7": 4, "8": 3,
                      "9": 2}


def srec_record(kind, address, payload=b""):
    """One S-record line of `kind` ("0" to "9"), its byte count and checksum
    worked out."""
    raw = address.to_bytes(SREC_ADDRESS_BYTES[kind], "big") + payload
    raw = bytes([len(raw) + 1]) + raw
    return f"S{kind}" + (raw + bytes([0xFF - (sum(raw) & 0xFF)])).hex().upper() + "\n"


def srec_fields(line, number):
    """(kind, address, payload) of one S-record line, its byte count and
    checksum checked."""
    assert line[0] == "S" and line == line.upper(), f"line {number}: not a record"
    kind, raw = line[1], bytes.fromhex(line[2:])
    assert kind in SREC_ADDRESS_BYTES, f"line {number}: an S{kind} record"
    assert raw[0] == len(raw) - 1, f"line {number}: byte count disagrees"
    assert (sum(raw) & 0xFF) == 0xFF, f"line {number}: bad record checksum"
    width = SREC_ADDRESS_BYTES[kind]
    return kind, int.from_bytes(raw[1:1 + width], "big"), raw[1 + width:-1]


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
    memory, header, data_width, entry = {}, None, None, None
    for number, line in enumerate(lines, 1):
        assert entry is None, f"line {number}: a record after the termination record"
        kind, address, payload = srec_fields(line, number)
        if kind == "0":
            assert number == 1 and address == 0
            header = payload
            continue
        assert header is not None, "no S0 header first"
        width = SREC_ADDRESS_BYTES[kind]
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
