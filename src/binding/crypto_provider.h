// The engine's digests and keys in the interpreter: hashlib's SHA-256 and
// the cryptography package's keys, through velk_crc._crypto, imported on
// the first use so that a run without a signed image loads neither.
#pragma once

#include <functional>
#include <memory>

#include "../engine/run/crypto.h"
#include "../python/handle.h"

namespace velk::binding {

class PythonCrypto final : public crypto::Provider {
public:
    // `hold` keeps the interpreter's lock for the span of the call it wraps.
    using Hold = std::function<void(const std::function<void()>&)>;
    explicit PythonCrypto(Hold hold) : hold_(std::move(hold)) {}
    ~PythonCrypto();

    std::unique_ptr<crypto::Digest> sha256() override;
    std::unique_ptr<crypto::Key> read_key(const std::string& pem, const std::string& name,
                                          const std::optional<std::string>& password,
                                          bool public_ok) override;

private:
    PyObject* module();  // with the lock held

    Hold hold_;
    Ref module_;
};

}  // namespace velk::binding
