#include "key.h"

#include <optional>
#include <vector>

#include "../platform/platform.h"
#include "../report/refusal.h"

namespace velk::mcuboot {

KeyFile read_key(const std::string& path, const std::string& prefix) {
    if (names_token(path)) {
        TokenKey token = read_token_uri(path, prefix);
        return {token.name, {}, std::move(token)};
    }
    // A PEM key is a few KiB: a bigger file, a FIFO or a device is no key,
    // and is refused without waiting for it to end.
    std::vector<uint8_t> pem;
    if (int error = platform::read_file(path, pem, uint64_t{1} << 20))
        throw Refusal{prefix + "cannot read the key " + path + ": " +
                      platform::error_text(error)};
    return {path, std::string(pem.begin(), pem.end()), std::nullopt};
}

std::unique_ptr<crypto::Key> open_key(crypto::Provider& crypto, const KeyFile& file,
                                      bool public_ok) {
    if (file.token) return crypto.token_key(*file.token, public_ok);
    // An encrypted key's password comes from the environment, never the
    // command line, where other users of the machine could read it.
    return crypto.read_key(file.pem, file.name, platform::environment("VELK_KEY_PASSWORD"),
                           public_ok);
}

}  // namespace velk::mcuboot
