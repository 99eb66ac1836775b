#include "pem.h"

#include <algorithm>
#include <cstdint>

namespace velk::binding {

std::optional<crypto::Bytes> pem_body(const std::string& pem, const std::string& label) {
    const std::string begin = "-----BEGIN " + label + "-----",
                      end = "-----END " + label + "-----";
    const size_t from = pem.find(begin), to = pem.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from) return std::nullopt;
    crypto::Bytes der;
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = from + begin.size(); i < to; ++i) {
        const char c = pem[i];
        int value;
        if (c >= 'A' && c <= 'Z') value = c - 'A';
        else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
        else if (c >= '0' && c <= '9') value = c - '0' + 52;
        else if (c == '+') value = 62;
        else if (c == '/') value = 63;
        else if (c == '=' || c == '\r' || c == '\n' || c == ' ') continue;
        else return std::nullopt;
        bits = bits << 6 | static_cast<uint32_t>(value);
        if ((count += 6) >= 8) {
            count -= 8;
            der.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    return der;
}

std::optional<crypto::Bytes> after_prefix(const crypto::Bytes& der, const crypto::Bytes& prefix,
                                          size_t size) {
    if (der.size() != prefix.size() + size || !std::equal(prefix.begin(), prefix.end(), der.begin()))
        return std::nullopt;
    return crypto::Bytes(der.begin() + static_cast<std::ptrdiff_t>(prefix.size()), der.end());
}

}  // namespace velk::binding
