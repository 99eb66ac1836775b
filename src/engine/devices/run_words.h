// What a devices run's words say beyond its stamps: which of them a
// resumed run must repeat.
#pragma once

#include <string>

#include "../request/request.h"

namespace velk::devices {

// The words that shape the devices' files beside the input and the stamps,
// as one line: the same from the command line and from the API.
std::string shaping_words(const Request& request);

}  // namespace velk::devices
