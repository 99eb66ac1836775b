#include "key.h"

#include "settings.h"

namespace velk::mcuboot {

KeyFile read_key(const std::string& path, const std::string& prefix) {
    return {path, read_key_file(path, prefix)};
}

std::unique_ptr<crypto::Key> open_key(crypto::Provider& crypto, const KeyFile& file,
                                      bool public_ok) {
    return crypto.read_key(file.pem, file.name, key_password(), public_ok);
}

}  // namespace velk::mcuboot
