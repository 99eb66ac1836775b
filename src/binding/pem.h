// The DER inside a PEM file's block, read here rather than by the
// cryptography package where a key of a fixed form (an Ed25519 seed, an
// X25519 or P-256 public key) needs one curve's module alone: a run starts
// that much sooner than with the package's whole key reading.
#pragma once

#include <optional>
#include <string>

#include "../engine/run/crypto.h"

namespace velk::binding {

// The bytes of the first "-----BEGIN <label>-----" block of `pem`; nullopt
// for none, or for text in it that is no base64.
std::optional<crypto::Bytes> pem_body(const std::string& pem, const std::string& label);

// The bytes after `prefix` when `der` is `prefix` and `size` bytes more.
std::optional<crypto::Bytes> after_prefix(const crypto::Bytes& der, const crypto::Bytes& prefix,
                                          size_t size);

}  // namespace velk::binding
