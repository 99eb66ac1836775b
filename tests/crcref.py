"""CRC algorithms as the CRC catalogue defines them (width, polynomial,
initial register, input and output reflection, final XOR, the CRC of
b"123456789"), and a bitwise CRC worked out from those parameters alone."""

from dataclasses import dataclass


@dataclass(frozen=True)
class Crc:
    width: int  # bits
    poly: int
    init: int
    refin: bool
    refout: bool
    xorout: int
    check: int  # of b"123456789", as the catalogue gives it


def reflect(value, bits):
    return int(f"{value:0{bits}b}"[::-1], 2)


def crc(algorithm, data):
    """Bitwise, one message bit at a time into the top of the register:
    any width from 1 bit."""
    top, mask = 1 << (algorithm.width - 1), (1 << algorithm.width) - 1
    register = algorithm.init
    for byte in data:
        if algorithm.refin:
            byte = reflect(byte, 8)
        for k in range(7, -1, -1):
            feedback = bool(register & top) ^ bool(byte >> k & 1)
            register = (register << 1) & mask
            if feedback:
                register ^= algorithm.poly
    if algorithm.refout:
        register = reflect(register, algorithm.width)
    return register ^ algorithm.xorout


T, F = True, False
# The catalogue's entries for crcmod's predefined algorithms, by the
# catalogue's own name. crcmod's crc-64-jones is in no catalogue entry: its
# parameters are crcmod's.
CATALOGUE = {
    "CRC-8/SMBUS": Crc(8, 0x07, 0x00, F, F, 0x00, 0xF4),
    "CRC-8/DARC": Crc(8, 0x39, 0x00, T, T, 0x00, 0x15),
    "CRC-8/I-CODE": Crc(8, 0x1D, 0xFD, F, F, 0x00, 0x7E),
    "CRC-8/I-432-1": Crc(8, 0x07, 0x00, F, F, 0x55, 0xA1),
    "CRC-8/MAXIM-DOW": Crc(8, 0x31, 0x00, T, T, 0x00, 0xA1),
    "CRC-8/ROHC": Crc(8, 0x07, 0xFF, T, T, 0x00, 0xD0),
    "CRC-8/WCDMA": Crc(8, 0x9B, 0x00, T, T, 0x00, 0x25),
    "CRC-16/ARC": Crc(16, 0x8005, 0x0000, T, T, 0x0000, 0xBB3D),
    "CRC-16/UMTS": Crc(16, 0x8005, 0x0000, F, F, 0x0000, 0xFEE8),
    "CRC-16/DDS-110": Crc(16, 0x8005, 0x800D, F, F, 0x0000, 0x9ECF),
    "CRC-16/DECT-R": Crc(16, 0x0589, 0x0000, F, F, 0x0001, 0x007E),
    "CRC-16/DNP": Crc(16, 0x3D65, 0x0000, T, T, 0xFFFF, 0xEA82),
    "CRC-16/EN-13757": Crc(16, 0x3D65, 0x0000, F, F, 0xFFFF, 0xC2B7),
    "CRC-16/GENIBUS": Crc(16, 0x1021, 0xFFFF, F, F, 0xFFFF, 0xD64E),
    "CRC-16/MAXIM-DOW": Crc(16, 0x8005, 0x0000, T, T, 0xFFFF, 0x44C2),
    "CRC-16/MCRF4XX": Crc(16, 0x1021, 0xFFFF, T, T, 0x0000, 0x6F91),
    "CRC-16/RIELLO": Crc(16, 0x1021, 0xB2AA, T, T, 0x0000, 0x63D0),
    "CRC-16/T10-DIF": Crc(16, 0x8BB7, 0x0000, F, F, 0x0000, 0xD0DB),
    "CRC-16/TELEDISK": Crc(16, 0xA097, 0x0000, F, F, 0x0000, 0x0FB3),
    "CRC-16/USB": Crc(16, 0x8005, 0xFFFF, T, T, 0xFFFF, 0xB4C8),
    "CRC-16/IBM-SDLC": Crc(16, 0x1021, 0xFFFF, T, T, 0xFFFF, 0x906E),
    "CRC-16/XMODEM": Crc(16, 0x1021, 0x0000, F, F, 0x0000, 0x31C3),
    "CRC-16/MODBUS": Crc(16, 0x8005, 0xFFFF, T, T, 0x0000, 0x4B37),
    "CRC-16/KERMIT": Crc(16, 0x1021, 0x0000, T, T, 0x0000, 0x2189),
    "CRC-16/IBM-3740": Crc(16, 0x1021, 0xFFFF, F, F, 0x0000, 0x29B1),
    "CRC-16/SPI-FUJITSU": Crc(16, 0x1021, 0x1D0F, F, F, 0x0000, 0xE5CC),
    "CRC-24/OPENPGP": Crc(24, 0x864CFB, 0xB704CE, F, F, 0, 0x21CF02),
    "CRC-24/FLEXRAY-A": Crc(24, 0x5D6DCB, 0xFEDCBA, F, F, 0, 0x7979BD),
    "CRC-24/FLEXRAY-B": Crc(24, 0x5D6DCB, 0xABCDEF, F, F, 0, 0x1F23B8),
    "CRC-32/ISO-HDLC": Crc(32, 0x04C11DB7, 0xFFFFFFFF, T, T, 0xFFFFFFFF, 0xCBF43926),
    "CRC-32/BZIP2": Crc(32, 0x04C11DB7, 0xFFFFFFFF, F, F, 0xFFFFFFFF, 0xFC891918),
    "CRC-32/ISCSI": Crc(32, 0x1EDC6F41, 0xFFFFFFFF, T, T, 0xFFFFFFFF, 0xE3069283),
    "CRC-32/BASE91-D": Crc(32, 0xA833982B, 0xFFFFFFFF, T, T, 0xFFFFFFFF, 0x87315576),
    "CRC-32/MPEG-2": Crc(32, 0x04C11DB7, 0xFFFFFFFF, F, F, 0, 0x0376E6E7),
    "CRC-32/CKSUM": Crc(32, 0x04C11DB7, 0, F, F, 0xFFFFFFFF, 0x765E7680),
    "CRC-32/AIXM": Crc(32, 0x814141AB, 0, F, F, 0, 0x3010BF7F),
    "CRC-32/JAMCRC": Crc(32, 0x04C11DB7, 0xFFFFFFFF, T, T, 0, 0x340BC6D9),
    "CRC-32/XFER": Crc(32, 0x000000AF, 0, F, F, 0, 0xBD0BE338),
    "CRC-64/WE": Crc(64, 0x42F0E1EBA9EA3693, 2**64 - 1, F, F, 2**64 - 1, 0x62EC59E3F1A4F00A),
    "crc-64-jones": Crc(64, 0xAD93D23594C935A9, 2**64 - 1, T, T, 0, 0xCAA717168609F281),
}
