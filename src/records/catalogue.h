// The names a checksum algorithm goes by. crcmod's predefined catalogue
// holds the algorithms and their parameters under its own names
// ("crc-32", "xmodem"); the CRC catalogue's names for the same parameters
// ("CRC-32/ISO-HDLC", "CRC-16/XMODEM") are what bootloaders' sources and
// datasheets say, and lead to the same entries here.
#pragma once

#include <string>
#include <vector>

namespace velk::records {

// The algorithm every run uses unless told otherwise.
constexpr const char* default_algorithm = "crc-32-mpeg";

// A name folded for comparison: lower case, '_' and ' ' as '-'.
std::string folded(const std::string& name);

// The crcmod name `name` stands for when it is one of the CRC catalogue's
// names (folded or not); empty when it is none.
std::string crcmod_name_of(const std::string& name);

// The CRC catalogue's names for a crcmod entry, its first the one reports
// use; none for an entry the CRC catalogue does not list.
std::vector<std::string> catalogue_names(const std::string& crcmod_name);

}  // namespace velk::records
