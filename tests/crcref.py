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
# The CRC catalogue's entries (reveng.sourceforge.io/crc-catalogue/all.htm),
# by the catalogue's own name, then crcmod's two CRCs that are in no entry
# by crcmod's name. CRC-82/DARC is wider than velk-crc computes.
CATALOGUE = {
    "CRC-3/GSM": Crc(3, 0x3, 0x0, F, F, 0x7, 0x4),
    "CRC-3/ROHC": Crc(3, 0x3, 0x7, T, T, 0x0, 0x6),
    "CRC-4/G-704": Crc(4, 0x3, 0x0, T, T, 0x0, 0x7),
    "CRC-4/INTERLAKEN": Crc(4, 0x3, 0xf, F, F, 0xf, 0xb),
    "CRC-5/EPC-C1G2": Crc(5, 0x09, 0x09, F, F, 0x00, 0x00),
    "CRC-5/G-704": Crc(5, 0x15, 0x00, T, T, 0x00, 0x07),
    "CRC-5/USB": Crc(5, 0x05, 0x1f, T, T, 0x1f, 0x19),
    "CRC-6/CDMA2000-A": Crc(6, 0x27, 0x3f, F, F, 0x00, 0x0d),
    "CRC-6/CDMA2000-B": Crc(6, 0x07, 0x3f, F, F, 0x00, 0x3b),
    "CRC-6/DARC": Crc(6, 0x19, 0x00, T, T, 0x00, 0x26),
    "CRC-6/G-704": Crc(6, 0x03, 0x00, T, T, 0x00, 0x06),
    "CRC-6/GSM": Crc(6, 0x2f, 0x00, F, F, 0x3f, 0x13),
    "CRC-7/MMC": Crc(7, 0x09, 0x00, F, F, 0x00, 0x75),
    "CRC-7/ROHC": Crc(7, 0x4f, 0x7f, T, T, 0x00, 0x53),
    "CRC-7/UMTS": Crc(7, 0x45, 0x00, F, F, 0x00, 0x61),
    "CRC-8/AUTOSAR": Crc(8, 0x2f, 0xff, F, F, 0xff, 0xdf),
    "CRC-8/BLUETOOTH": Crc(8, 0xa7, 0x00, T, T, 0x00, 0x26),
    "CRC-8/CDMA2000": Crc(8, 0x9b, 0xff, F, F, 0x00, 0xda),
    "CRC-8/DARC": Crc(8, 0x39, 0x00, T, T, 0x00, 0x15),
    "CRC-8/DVB-S2": Crc(8, 0xd5, 0x00, F, F, 0x00, 0xbc),
    "CRC-8/GSM-A": Crc(8, 0x1d, 0x00, F, F, 0x00, 0x37),
    "CRC-8/GSM-B": Crc(8, 0x49, 0x00, F, F, 0xff, 0x94),
    "CRC-8/HITAG": Crc(8, 0x1d, 0xff, F, F, 0x00, 0xb4),
    "CRC-8/I-432-1": Crc(8, 0x07, 0x00, F, F, 0x55, 0xa1),
    "CRC-8/I-CODE": Crc(8, 0x1d, 0xfd, F, F, 0x00, 0x7e),
    "CRC-8/LTE": Crc(8, 0x9b, 0x00, F, F, 0x00, 0xea),
    "CRC-8/MAXIM-DOW": Crc(8, 0x31, 0x00, T, T, 0x00, 0xa1),
    "CRC-8/MIFARE-MAD": Crc(8, 0x1d, 0xc7, F, F, 0x00, 0x99),
    "CRC-8/NRSC-5": Crc(8, 0x31, 0xff, F, F, 0x00, 0xf7),
    "CRC-8/OPENSAFETY": Crc(8, 0x2f, 0x00, F, F, 0x00, 0x3e),
    "CRC-8/ROHC": Crc(8, 0x07, 0xff, T, T, 0x00, 0xd0),
    "CRC-8/SAE-J1850": Crc(8, 0x1d, 0xff, F, F, 0xff, 0x4b),
    "CRC-8/SMBUS": Crc(8, 0x07, 0x00, F, F, 0x00, 0xf4),
    "CRC-8/TECH-3250": Crc(8, 0x1d, 0xff, T, T, 0x00, 0x97),
    "CRC-8/WCDMA": Crc(8, 0x9b, 0x00, T, T, 0x00, 0x25),
    "CRC-10/ATM": Crc(10, 0x233, 0x000, F, F, 0x000, 0x199),
    "CRC-10/CDMA2000": Crc(10, 0x3d9, 0x3ff, F, F, 0x000, 0x233),
    "CRC-10/GSM": Crc(10, 0x175, 0x000, F, F, 0x3ff, 0x12a),
    "CRC-11/FLEXRAY": Crc(11, 0x385, 0x01a, F, F, 0x000, 0x5a3),
    "CRC-11/UMTS": Crc(11, 0x307, 0x000, F, F, 0x000, 0x061),
    "CRC-12/CDMA2000": Crc(12, 0xf13, 0xfff, F, F, 0x000, 0xd4d),
    "CRC-12/DECT": Crc(12, 0x80f, 0x000, F, F, 0x000, 0xf5b),
    "CRC-12/GSM": Crc(12, 0xd31, 0x000, F, F, 0xfff, 0xb34),
    "CRC-12/UMTS": Crc(12, 0x80f, 0x000, F, T, 0x000, 0xdaf),
    "CRC-13/BBC": Crc(13, 0x1cf5, 0x0000, F, F, 0x0000, 0x04fa),
    "CRC-14/DARC": Crc(14, 0x0805, 0x0000, T, T, 0x0000, 0x082d),
    "CRC-14/GSM": Crc(14, 0x202d, 0x0000, F, F, 0x3fff, 0x30ae),
    "CRC-15/CAN": Crc(15, 0x4599, 0x0000, F, F, 0x0000, 0x059e),
    "CRC-15/MPT1327": Crc(15, 0x6815, 0x0000, F, F, 0x0001, 0x2566),
    "CRC-16/ARC": Crc(16, 0x8005, 0x0000, T, T, 0x0000, 0xbb3d),
    "CRC-16/CDMA2000": Crc(16, 0xc867, 0xffff, F, F, 0x0000, 0x4c06),
    "CRC-16/CMS": Crc(16, 0x8005, 0xffff, F, F, 0x0000, 0xaee7),
    "CRC-16/DDS-110": Crc(16, 0x8005, 0x800d, F, F, 0x0000, 0x9ecf),
    "CRC-16/DECT-R": Crc(16, 0x0589, 0x0000, F, F, 0x0001, 0x007e),
    "CRC-16/DECT-X": Crc(16, 0x0589, 0x0000, F, F, 0x0000, 0x007f),
    "CRC-16/DNP": Crc(16, 0x3d65, 0x0000, T, T, 0xffff, 0xea82),
    "CRC-16/EN-13757": Crc(16, 0x3d65, 0x0000, F, F, 0xffff, 0xc2b7),
    "CRC-16/GENIBUS": Crc(16, 0x1021, 0xffff, F, F, 0xffff, 0xd64e),
    "CRC-16/GSM": Crc(16, 0x1021, 0x0000, F, F, 0xffff, 0xce3c),
    "CRC-16/IBM-3740": Crc(16, 0x1021, 0xffff, F, F, 0x0000, 0x29b1),
    "CRC-16/IBM-SDLC": Crc(16, 0x1021, 0xffff, T, T, 0xffff, 0x906e),
    "CRC-16/ISO-IEC-14443-3-A": Crc(16, 0x1021, 0xc6c6, T, T, 0x0000, 0xbf05),
    "CRC-16/KERMIT": Crc(16, 0x1021, 0x0000, T, T, 0x0000, 0x2189),
    "CRC-16/LJ1200": Crc(16, 0x6f63, 0x0000, F, F, 0x0000, 0xbdf4),
    "CRC-16/M17": Crc(16, 0x5935, 0xffff, F, F, 0x0000, 0x772b),
    "CRC-16/MAXIM-DOW": Crc(16, 0x8005, 0x0000, T, T, 0xffff, 0x44c2),
    "CRC-16/MCRF4XX": Crc(16, 0x1021, 0xffff, T, T, 0x0000, 0x6f91),
    "CRC-16/MODBUS": Crc(16, 0x8005, 0xffff, T, T, 0x0000, 0x4b37),
    "CRC-16/NRSC-5": Crc(16, 0x080b, 0xffff, T, T, 0x0000, 0xa066),
    "CRC-16/OPENSAFETY-A": Crc(16, 0x5935, 0x0000, F, F, 0x0000, 0x5d38),
    "CRC-16/OPENSAFETY-B": Crc(16, 0x755b, 0x0000, F, F, 0x0000, 0x20fe),
    "CRC-16/PROFIBUS": Crc(16, 0x1dcf, 0xffff, F, F, 0xffff, 0xa819),
    "CRC-16/RIELLO": Crc(16, 0x1021, 0xb2aa, T, T, 0x0000, 0x63d0),
    "CRC-16/SPI-FUJITSU": Crc(16, 0x1021, 0x1d0f, F, F, 0x0000, 0xe5cc),
    "CRC-16/T10-DIF": Crc(16, 0x8bb7, 0x0000, F, F, 0x0000, 0xd0db),
    "CRC-16/TELEDISK": Crc(16, 0xa097, 0x0000, F, F, 0x0000, 0x0fb3),
    "CRC-16/TMS37157": Crc(16, 0x1021, 0x89ec, T, T, 0x0000, 0x26b1),
    "CRC-16/UMTS": Crc(16, 0x8005, 0x0000, F, F, 0x0000, 0xfee8),
    "CRC-16/USB": Crc(16, 0x8005, 0xffff, T, T, 0xffff, 0xb4c8),
    "CRC-16/XMODEM": Crc(16, 0x1021, 0x0000, F, F, 0x0000, 0x31c3),
    "CRC-17/CAN-FD": Crc(17, 0x1685b, 0x00000, F, F, 0x00000, 0x04f03),
    "CRC-21/CAN-FD": Crc(21, 0x102899, 0x000000, F, F, 0x000000, 0x0ed841),
    "CRC-24/BLE": Crc(24, 0x00065b, 0x555555, T, T, 0x000000, 0xc25a56),
    "CRC-24/FLEXRAY-A": Crc(24, 0x5d6dcb, 0xfedcba, F, F, 0x000000, 0x7979bd),
    "CRC-24/FLEXRAY-B": Crc(24, 0x5d6dcb, 0xabcdef, F, F, 0x000000, 0x1f23b8),
    "CRC-24/INTERLAKEN": Crc(24, 0x328b63, 0xffffff, F, F, 0xffffff, 0xb4f3e6),
    "CRC-24/LTE-A": Crc(24, 0x864cfb, 0x000000, F, F, 0x000000, 0xcde703),
    "CRC-24/LTE-B": Crc(24, 0x800063, 0x000000, F, F, 0x000000, 0x23ef52),
    "CRC-24/OPENPGP": Crc(24, 0x864cfb, 0xb704ce, F, F, 0x000000, 0x21cf02),
    "CRC-24/OS-9": Crc(24, 0x800063, 0xffffff, F, F, 0xffffff, 0x200fa5),
    "CRC-30/CDMA": Crc(30, 0x2030b9c7, 0x3fffffff, F, F, 0x3fffffff, 0x04c34abf),
    "CRC-31/PHILIPS": Crc(31, 0x04c11db7, 0x7fffffff, F, F, 0x7fffffff, 0x0ce9e46c),
    "CRC-32/AIXM": Crc(32, 0x814141ab, 0x00000000, F, F, 0x00000000, 0x3010bf7f),
    "CRC-32/AUTOSAR": Crc(32, 0xf4acfb13, 0xffffffff, T, T, 0xffffffff, 0x1697d06a),
    "CRC-32/BASE91-D": Crc(32, 0xa833982b, 0xffffffff, T, T, 0xffffffff, 0x87315576),
    "CRC-32/BZIP2": Crc(32, 0x04c11db7, 0xffffffff, F, F, 0xffffffff, 0xfc891918),
    "CRC-32/CD-ROM-EDC": Crc(32, 0x8001801b, 0x00000000, T, T, 0x00000000, 0x6ec2edc4),
    "CRC-32/CKSUM": Crc(32, 0x04c11db7, 0x00000000, F, F, 0xffffffff, 0x765e7680),
    "CRC-32/ISCSI": Crc(32, 0x1edc6f41, 0xffffffff, T, T, 0xffffffff, 0xe3069283),
    "CRC-32/ISO-HDLC": Crc(32, 0x04c11db7, 0xffffffff, T, T, 0xffffffff, 0xcbf43926),
    "CRC-32/JAMCRC": Crc(32, 0x04c11db7, 0xffffffff, T, T, 0x00000000, 0x340bc6d9),
    "CRC-32/MEF": Crc(32, 0x741b8cd7, 0xffffffff, T, T, 0x00000000, 0xd2c22f51),
    "CRC-32/MPEG-2": Crc(32, 0x04c11db7, 0xffffffff, F, F, 0x00000000, 0x0376e6e7),
    "CRC-32/XFER": Crc(32, 0x000000af, 0x00000000, F, F, 0x00000000, 0xbd0be338),
    "CRC-40/GSM": Crc(40, 0x0004820009, 0x0000000000, F, F, 0xffffffffff, 0xd4164fc646),
    "CRC-64/ECMA-182": Crc(64, 0x42f0e1eba9ea3693, 0x0000000000000000, F, F, 0x0000000000000000, 0x6c40df5f0b497347),
    "CRC-64/GO-ISO": Crc(64, 0x000000000000001b, 0xffffffffffffffff, T, T, 0xffffffffffffffff, 0xb90956c775a41001),
    "CRC-64/MS": Crc(64, 0x259c84cba6426349, 0xffffffffffffffff, T, T, 0x0000000000000000, 0x75d4b74f024eceea),
    "CRC-64/NVME": Crc(64, 0xad93d23594c93659, 0xffffffffffffffff, T, T, 0xffffffffffffffff, 0xae8b14860a799888),
    "CRC-64/REDIS": Crc(64, 0xad93d23594c935a9, 0x0000000000000000, T, T, 0x0000000000000000, 0xe9c6d914c4b8d9ca),
    "CRC-64/WE": Crc(64, 0x42f0e1eba9ea3693, 0xffffffffffffffff, F, F, 0xffffffffffffffff, 0x62ec59e3f1a4f00a),
    "CRC-64/XZ": Crc(64, 0x42f0e1eba9ea3693, 0xffffffffffffffff, T, T, 0xffffffffffffffff, 0x995dc9bbdf1939fa),
    "CRC-82/DARC": Crc(82, 0x0308c0111011401440411, 0x000000000000000000000, T, T, 0x000000000000000000000, 0x09ea83f625023801fd612),
    "crc-64": Crc(64, 0x1B, 0, T, T, 0, 0x46A5A9388A5BEFFE),
    "crc-64-jones": Crc(64, 0xAD93D23594C935A9, 2**64 - 1, T, T, 0, 0xCAA717168609F281),
}
# Each alias the catalogue gives, and the entry it stands for.
ALIASES = {
    "CRC-4/ITU": "CRC-4/G-704",
    "CRC-5/EPC": "CRC-5/EPC-C1G2",
    "CRC-5/ITU": "CRC-5/G-704",
    "CRC-6/ITU": "CRC-6/G-704",
    "CRC-7": "CRC-7/MMC",
    "CRC-8/ITU": "CRC-8/I-432-1",
    "CRC-8/MAXIM": "CRC-8/MAXIM-DOW",
    "DOW-CRC": "CRC-8/MAXIM-DOW",
    "CRC-8": "CRC-8/SMBUS",
    "CRC-8/AES": "CRC-8/TECH-3250",
    "CRC-8/EBU": "CRC-8/TECH-3250",
    "CRC-10": "CRC-10/ATM",
    "CRC-10/I-610": "CRC-10/ATM",
    "CRC-11": "CRC-11/FLEXRAY",
    "X-CRC-12": "CRC-12/DECT",
    "CRC-12/3GPP": "CRC-12/UMTS",
    "CRC-15": "CRC-15/CAN",
    "ARC": "CRC-16/ARC",
    "CRC-16": "CRC-16/ARC",
    "CRC-16/LHA": "CRC-16/ARC",
    "CRC-IBM": "CRC-16/ARC",
    "R-CRC-16": "CRC-16/DECT-R",
    "X-CRC-16": "CRC-16/DECT-X",
    "CRC-16/DARC": "CRC-16/GENIBUS",
    "CRC-16/EPC": "CRC-16/GENIBUS",
    "CRC-16/EPC-C1G2": "CRC-16/GENIBUS",
    "CRC-16/I-CODE": "CRC-16/GENIBUS",
    "CRC-16/AUTOSAR": "CRC-16/IBM-3740",
    "CRC-16/CCITT-FALSE": "CRC-16/IBM-3740",
    "CRC-16/ISO-HDLC": "CRC-16/IBM-SDLC",
    "CRC-16/ISO-IEC-14443-3-B": "CRC-16/IBM-SDLC",
    "CRC-16/X-25": "CRC-16/IBM-SDLC",
    "CRC-B": "CRC-16/IBM-SDLC",
    "X-25": "CRC-16/IBM-SDLC",
    "CRC-A": "CRC-16/ISO-IEC-14443-3-A",
    "CRC-16/BLUETOOTH": "CRC-16/KERMIT",
    "CRC-16/CCITT": "CRC-16/KERMIT",
    "CRC-16/CCITT-TRUE": "CRC-16/KERMIT",
    "CRC-16/V-41-LSB": "CRC-16/KERMIT",
    "CRC-CCITT": "CRC-16/KERMIT",
    "KERMIT": "CRC-16/KERMIT",
    "CRC-16/MAXIM": "CRC-16/MAXIM-DOW",
    "MODBUS": "CRC-16/MODBUS",
    "CRC-16/IEC-61158-2": "CRC-16/PROFIBUS",
    "CRC-16/AUG-CCITT": "CRC-16/SPI-FUJITSU",
    "CRC-16/BUYPASS": "CRC-16/UMTS",
    "CRC-16/VERIFONE": "CRC-16/UMTS",
    "CRC-16/ACORN": "CRC-16/XMODEM",
    "CRC-16/LTE": "CRC-16/XMODEM",
    "CRC-16/V-41-MSB": "CRC-16/XMODEM",
    "XMODEM": "CRC-16/XMODEM",
    "ZMODEM": "CRC-16/XMODEM",
    "CRC-24": "CRC-24/OPENPGP",
    "CRC-32Q": "CRC-32/AIXM",
    "CRC-32D": "CRC-32/BASE91-D",
    "CRC-32/AAL5": "CRC-32/BZIP2",
    "CRC-32/DECT-B": "CRC-32/BZIP2",
    "B-CRC-32": "CRC-32/BZIP2",
    "CKSUM": "CRC-32/CKSUM",
    "CRC-32/POSIX": "CRC-32/CKSUM",
    "CRC-32/BASE91-C": "CRC-32/ISCSI",
    "CRC-32/CASTAGNOLI": "CRC-32/ISCSI",
    "CRC-32/INTERLAKEN": "CRC-32/ISCSI",
    "CRC-32C": "CRC-32/ISCSI",
    "CRC-32/NVME": "CRC-32/ISCSI",
    "CRC-32": "CRC-32/ISO-HDLC",
    "CRC-32/ADCCP": "CRC-32/ISO-HDLC",
    "CRC-32/V-42": "CRC-32/ISO-HDLC",
    "CRC-32/XZ": "CRC-32/ISO-HDLC",
    "PKZIP": "CRC-32/ISO-HDLC",
    "JAMCRC": "CRC-32/JAMCRC",
    "XFER": "CRC-32/XFER",
    "CRC-64": "CRC-64/ECMA-182",
    "CRC-64/GO-ECMA": "CRC-64/XZ",
}
