// --header's text read into its parts, as the command line and the Python
// API's str both give it: "app_header:size@8,crc@12=crc-32/iso-hdlc" is the
// object app_header and its fields; "0x08004000+16:size@4,crc@8" places
// the header by its address and size where no symbol can.
#pragma once

#include <string>

#include "../request/request.h"

namespace velk::values {

// What cannot be read (no ':', a field that is none, an offset missing,
// a field given twice, a place that is no address and size) comes as the
// layout's refusal, naming the option as `asker` gives it.
HeaderLayout header_of_text(const std::string& text, const Asker& asker);

}  // namespace velk::values
