#include "crypto.h"

namespace velk::crypto {

const char* key_type_name(KeyType type) {
    switch (type) {
    case KeyType::ed25519: return "ed25519";
    case KeyType::ecdsa_p256: return "ecdsa-p256";
    case KeyType::rsa_2048: return "rsa-2048";
    case KeyType::rsa_3072: return "rsa-3072";
    case KeyType::ecdsa_p384: return "ecdsa-p384";
    }
    return "?";
}

}  // namespace velk::crypto
