#include "pem.h"

#include <algorithm>
#include <cstdint>

#include "../engine/base/base64.h"

namespace velk::binding {

std::optional<crypto::Bytes> pem_body(const std::string& pem, const std::string& label) {
    const std::string begin = "-----BEGIN " + label + "-----",
                      end = "-----END " + label + "-----";
    const size_t from = pem.find(begin), to = pem.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from) return std::nullopt;
    crypto::Bytes der;
    base::Base64Reader reader(der);
    for (size_t i = from + begin.size(); i < to; ++i) {
        const char c = pem[i];
        if (c == '=' || c == '\r' || c == '\n' || c == ' ') continue;
        if (!reader.digit(c)) return std::nullopt;
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
