#include "catalogue.h"

#include <cctype>

namespace velk::checksum {

namespace {

constexpr bool T = true, F = false;
constexpr uint64_t ones32 = 0xFFFFFFFF, ones64 = ~uint64_t{0};

// crcmod's predefined table (crcmod.predefined._crc_definitions_table), in
// its order. crcmod gives an initial value XORed with the final XOR; the
// catalogue's register value is given here, as its entries write it. The
// CRC catalogue (reveng.sourceforge.io/crc-catalogue) gives the names;
// crcmod's crc-64 and crc-64-jones match none of its entries.
const std::vector<Algorithm> rows = {
    {"crc-8", {"CRC-8/SMBUS", "CRC-8"}, {8, 0x07, 0x00, F, F, 0x00}, 0xF4},
    {"crc-8-darc", {"CRC-8/DARC"}, {8, 0x39, 0x00, T, T, 0x00}, 0x15},
    {"crc-8-i-code", {"CRC-8/I-CODE"}, {8, 0x1D, 0xFD, F, F, 0x00}, 0x7E},
    {"crc-8-itu", {"CRC-8/I-432-1", "CRC-8/ITU"}, {8, 0x07, 0x00, F, F, 0x55}, 0xA1},
    {"crc-8-maxim",
     {"CRC-8/MAXIM-DOW", "CRC-8/MAXIM", "DOW-CRC"},
     {8, 0x31, 0x00, T, T, 0x00},
     0xA1},
    {"crc-8-rohc", {"CRC-8/ROHC"}, {8, 0x07, 0xFF, T, T, 0x00}, 0xD0},
    {"crc-8-wcdma", {"CRC-8/WCDMA"}, {8, 0x9B, 0x00, T, T, 0x00}, 0x25},
    {"crc-16",
     {"CRC-16/ARC", "ARC", "CRC-16/LHA", "CRC-IBM"},
     {16, 0x8005, 0x0000, T, T, 0x0000},
     0xBB3D},
    {"crc-16-buypass",
     {"CRC-16/UMTS", "CRC-16/BUYPASS", "CRC-16/VERIFONE"},
     {16, 0x8005, 0x0000, F, F, 0x0000},
     0xFEE8},
    {"crc-16-dds-110", {"CRC-16/DDS-110"}, {16, 0x8005, 0x800D, F, F, 0x0000}, 0x9ECF},
    {"crc-16-dect", {"CRC-16/DECT-R", "R-CRC-16"}, {16, 0x0589, 0x0000, F, F, 0x0001}, 0x007E},
    {"crc-16-dnp", {"CRC-16/DNP"}, {16, 0x3D65, 0x0000, T, T, 0xFFFF}, 0xEA82},
    {"crc-16-en-13757", {"CRC-16/EN-13757"}, {16, 0x3D65, 0x0000, F, F, 0xFFFF}, 0xC2B7},
    {"crc-16-genibus",
     {"CRC-16/GENIBUS", "CRC-16/DARC", "CRC-16/EPC", "CRC-16/EPC-C1G2", "CRC-16/I-CODE"},
     {16, 0x1021, 0xFFFF, F, F, 0xFFFF},
     0xD64E},
    {"crc-16-maxim",
     {"CRC-16/MAXIM-DOW", "CRC-16/MAXIM"},
     {16, 0x8005, 0x0000, T, T, 0xFFFF},
     0x44C2},
    {"crc-16-mcrf4xx", {"CRC-16/MCRF4XX"}, {16, 0x1021, 0xFFFF, T, T, 0x0000}, 0x6F91},
    {"crc-16-riello", {"CRC-16/RIELLO"}, {16, 0x1021, 0xB2AA, T, T, 0x0000}, 0x63D0},
    {"crc-16-t10-dif", {"CRC-16/T10-DIF"}, {16, 0x8BB7, 0x0000, F, F, 0x0000}, 0xD0DB},
    {"crc-16-teledisk", {"CRC-16/TELEDISK"}, {16, 0xA097, 0x0000, F, F, 0x0000}, 0x0FB3},
    {"crc-16-usb", {"CRC-16/USB"}, {16, 0x8005, 0xFFFF, T, T, 0xFFFF}, 0xB4C8},
    {"x-25",
     {"CRC-16/IBM-SDLC", "CRC-16/ISO-HDLC", "CRC-16/ISO-IEC-14443-3-B", "CRC-16/X-25",
      "CRC-B", "X-25"},
     {16, 0x1021, 0xFFFF, T, T, 0xFFFF},
     0x906E},
    {"xmodem",
     {"CRC-16/XMODEM", "CRC-16/ACORN", "CRC-16/LTE", "CRC-16/V-41-MSB", "XMODEM", "ZMODEM"},
     {16, 0x1021, 0x0000, F, F, 0x0000},
     0x31C3},
    {"modbus", {"CRC-16/MODBUS", "MODBUS"}, {16, 0x8005, 0xFFFF, T, T, 0x0000}, 0x4B37},
    {"kermit",
     {"CRC-16/KERMIT", "CRC-16/BLUETOOTH", "CRC-16/CCITT", "CRC-16/CCITT-TRUE",
      "CRC-16/V-41-LSB", "CRC-CCITT", "KERMIT"},
     {16, 0x1021, 0x0000, T, T, 0x0000},
     0x2189},
    {"crc-ccitt-false",
     {"CRC-16/IBM-3740", "CRC-16/AUTOSAR", "CRC-16/CCITT-FALSE"},
     {16, 0x1021, 0xFFFF, F, F, 0x0000},
     0x29B1},
    {"crc-aug-ccitt",
     {"CRC-16/SPI-FUJITSU", "CRC-16/AUG-CCITT"},
     {16, 0x1021, 0x1D0F, F, F, 0x0000},
     0xE5CC},
    {"crc-24", {"CRC-24/OPENPGP", "CRC-24"}, {24, 0x864CFB, 0xB704CE, F, F, 0}, 0x21CF02},
    {"crc-24-flexray-a", {"CRC-24/FLEXRAY-A"}, {24, 0x5D6DCB, 0xFEDCBA, F, F, 0}, 0x7979BD},
    {"crc-24-flexray-b", {"CRC-24/FLEXRAY-B"}, {24, 0x5D6DCB, 0xABCDEF, F, F, 0}, 0x1F23B8},
    {"crc-32",
     {"CRC-32/ISO-HDLC", "CRC-32", "CRC-32/ADCCP", "CRC-32/V-42", "CRC-32/XZ", "PKZIP"},
     {32, 0x04C11DB7, ones32, T, T, ones32},
     0xCBF43926},
    {"crc-32-bzip2",
     {"CRC-32/BZIP2", "CRC-32/AAL5", "CRC-32/DECT-B", "B-CRC-32"},
     {32, 0x04C11DB7, ones32, F, F, ones32},
     0xFC891918},
    {"crc-32c",
     {"CRC-32/ISCSI", "CRC-32/BASE91-C", "CRC-32/CASTAGNOLI", "CRC-32/INTERLAKEN", "CRC-32C",
      "CRC-32/NVME"},
     {32, 0x1EDC6F41, ones32, T, T, ones32},
     0xE3069283},
    {"crc-32d",
     {"CRC-32/BASE91-D", "CRC-32D"},
     {32, 0xA833982B, ones32, T, T, ones32},
     0x87315576},
    {"crc-32-mpeg", {"CRC-32/MPEG-2"}, {32, 0x04C11DB7, ones32, F, F, 0}, 0x0376E6E7},
    {"posix",
     {"CRC-32/CKSUM", "CKSUM", "CRC-32/POSIX"},
     {32, 0x04C11DB7, 0, F, F, ones32},
     0x765E7680},
    {"crc-32q", {"CRC-32/AIXM", "CRC-32Q"}, {32, 0x814141AB, 0, F, F, 0}, 0x3010BF7F},
    {"jamcrc", {"CRC-32/JAMCRC", "JAMCRC"}, {32, 0x04C11DB7, ones32, T, T, 0}, 0x340BC6D9},
    {"xfer", {"CRC-32/XFER", "XFER"}, {32, 0x000000AF, 0, F, F, 0}, 0xBD0BE338},
    {"crc-64", {}, {64, 0x000000000000001B, 0, T, T, 0}, 0x46A5A9388A5BEFFE},
    {"crc-64-we", {"CRC-64/WE"}, {64, 0x42F0E1EBA9EA3693, ones64, F, F, ones64},
     0x62EC59E3F1A4F00A},
    {"crc-64-jones", {}, {64, 0xAD93D23594C935A9, ones64, T, T, 0}, 0xCAA717168609F281},
};

}  // namespace

const std::vector<Algorithm>& catalogue() {
    return rows;
}

const Algorithm& default_algorithm() {
    static const Algorithm* mpeg2 = find("crc-32-mpeg");
    return *mpeg2;
}

std::string folded(const std::string& name) {
    std::string out;
    for (char c : name)
        out += c == '_' || c == ' '
                   ? '-'
                   : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

const Algorithm* find(const std::string& name) {
    const std::string wanted = folded(name);
    for (const Algorithm& a : rows)
        if (wanted == a.crcmod) return &a;
    for (const Algorithm& a : rows)
        for (const char* alias : a.names)
            if (folded(alias) == wanted) return &a;
    return nullptr;
}

}  // namespace velk::checksum
