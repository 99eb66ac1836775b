#include "catalogue.h"

#include <cctype>

namespace velk::records {

namespace {

struct Names {
    const char* crcmod;
    // The CRC catalogue's name, then its aliases there.
    std::vector<const char*> catalogue;
};

// crcmod's entry and the CRC catalogue's names for the same width,
// polynomial, initial register, reflection and final XOR. The check values
// tell them apart; crcmod's crc-64 and crc-64-jones match no entry there.
const Names names[] = {
    {"crc-8", {"CRC-8/SMBUS", "CRC-8"}},
    {"crc-8-darc", {"CRC-8/DARC"}},
    {"crc-8-i-code", {"CRC-8/I-CODE"}},
    {"crc-8-itu", {"CRC-8/I-432-1", "CRC-8/ITU"}},
    {"crc-8-maxim", {"CRC-8/MAXIM-DOW", "CRC-8/MAXIM", "DOW-CRC"}},
    {"crc-8-rohc", {"CRC-8/ROHC"}},
    {"crc-8-wcdma", {"CRC-8/WCDMA"}},
    {"crc-16", {"CRC-16/ARC", "ARC", "CRC-16/LHA", "CRC-IBM"}},
    {"crc-16-buypass", {"CRC-16/UMTS", "CRC-16/BUYPASS", "CRC-16/VERIFONE"}},
    {"crc-16-dds-110", {"CRC-16/DDS-110"}},
    {"crc-16-dect", {"CRC-16/DECT-R", "R-CRC-16"}},
    {"crc-16-dnp", {"CRC-16/DNP"}},
    {"crc-16-en-13757", {"CRC-16/EN-13757"}},
    {"crc-16-genibus",
     {"CRC-16/GENIBUS", "CRC-16/DARC", "CRC-16/EPC", "CRC-16/EPC-C1G2", "CRC-16/I-CODE"}},
    {"crc-16-maxim", {"CRC-16/MAXIM-DOW", "CRC-16/MAXIM"}},
    {"crc-16-mcrf4xx", {"CRC-16/MCRF4XX"}},
    {"crc-16-riello", {"CRC-16/RIELLO"}},
    {"crc-16-t10-dif", {"CRC-16/T10-DIF"}},
    {"crc-16-teledisk", {"CRC-16/TELEDISK"}},
    {"crc-16-usb", {"CRC-16/USB"}},
    {"x-25", {"CRC-16/IBM-SDLC", "CRC-16/ISO-HDLC", "CRC-16/ISO-IEC-14443-3-B",
              "CRC-16/X-25", "CRC-B", "X-25"}},
    {"xmodem", {"CRC-16/XMODEM", "CRC-16/ACORN", "CRC-16/LTE", "CRC-16/V-41-MSB",
                "XMODEM", "ZMODEM"}},
    {"modbus", {"CRC-16/MODBUS", "MODBUS"}},
    {"kermit", {"CRC-16/KERMIT", "CRC-16/BLUETOOTH", "CRC-16/CCITT", "CRC-16/CCITT-TRUE",
                "CRC-16/V-41-LSB", "CRC-CCITT", "KERMIT"}},
    {"crc-ccitt-false", {"CRC-16/IBM-3740", "CRC-16/AUTOSAR", "CRC-16/CCITT-FALSE"}},
    {"crc-aug-ccitt", {"CRC-16/SPI-FUJITSU", "CRC-16/AUG-CCITT"}},
    {"crc-24", {"CRC-24/OPENPGP", "CRC-24"}},
    {"crc-24-flexray-a", {"CRC-24/FLEXRAY-A"}},
    {"crc-24-flexray-b", {"CRC-24/FLEXRAY-B"}},
    {"crc-32", {"CRC-32/ISO-HDLC", "CRC-32", "CRC-32/ADCCP", "CRC-32/V-42", "CRC-32/XZ",
                "PKZIP"}},
    {"crc-32-bzip2", {"CRC-32/BZIP2", "CRC-32/AAL5", "CRC-32/DECT-B", "B-CRC-32"}},
    {"crc-32c", {"CRC-32/ISCSI", "CRC-32/BASE91-C", "CRC-32/CASTAGNOLI",
                 "CRC-32/INTERLAKEN", "CRC-32C", "CRC-32/NVME"}},
    {"crc-32d", {"CRC-32/BASE91-D", "CRC-32D"}},
    {"crc-32-mpeg", {"CRC-32/MPEG-2"}},
    {"posix", {"CRC-32/CKSUM", "CKSUM", "CRC-32/POSIX"}},
    {"crc-32q", {"CRC-32/AIXM", "CRC-32Q"}},
    {"jamcrc", {"CRC-32/JAMCRC", "JAMCRC"}},
    {"xfer", {"CRC-32/XFER", "XFER"}},
    {"crc-64-we", {"CRC-64/WE"}},
};

}  // namespace

std::string folded(const std::string& name) {
    std::string out;
    for (char c : name)
        out += c == '_' || c == ' '
                   ? '-'
                   : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string crcmod_name_of(const std::string& name) {
    const std::string wanted = folded(name);
    for (const Names& n : names)
        for (const char* alias : n.catalogue)
            if (folded(alias) == wanted) return n.crcmod;
    return {};
}

std::vector<std::string> catalogue_names(const std::string& crcmod_name) {
    for (const Names& n : names)
        if (crcmod_name == n.crcmod) return {n.catalogue.begin(), n.catalogue.end()};
    return {};
}

}  // namespace velk::records
