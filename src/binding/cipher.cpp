#include "cipher.h"

#include <algorithm>
#include <cctype>

#include "crypto.h"
#include "library.h"
#include "pem.h"
#include "text.h"

namespace velk::binding {

namespace {

constexpr const char* cipher_install_hint =
    "encrypting and decrypting need the cryptography package (pip install "
    "'cryptography>=44')";

// A module of the cryptography package, or Failure saying how to get it.
Ref cipher_module(const char* name) {
    return library_module(name, cipher_install_hint);
}

Ref attribute(const char* module_name, const char* name) {
    Ref found = cipher_module(module_name);
    return check(PyObject_GetAttrString(found.get(), name));
}

constexpr const char* x25519_module = "cryptography.hazmat.primitives.asymmetric.x25519";
constexpr const char* signing_ed25519_module =
    "cryptography.hazmat.primitives.asymmetric.ed25519";
constexpr const char* ec_module = "cryptography.hazmat.primitives.asymmetric.ec";
constexpr const char* rsa_module = "cryptography.hazmat.primitives.asymmetric.rsa";
constexpr const char* hashes_module = "cryptography.hazmat.primitives.hashes";
constexpr const char* serialization_module = "cryptography.hazmat.primitives.serialization";

// The package's algorithm object of `hash`: SHA256(), SHA512().
Ref algorithm(crypto::Hash hash) {
    std::string name = crypto::hash_row(hash).name;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return check(PyObject_CallNoArgs(attribute(hashes_module, name.c_str()).get()));
}

Ref cipher_sha256() {
    return algorithm(crypto::Hash::sha256);
}

// OAEP with SHA-256 and MGF1-SHA-256, as MCUboot decrypts the image's key.
Ref oaep() {
    Ref padding = cipher_module("cryptography.hazmat.primitives.asymmetric.padding");
    Ref mgf1 =
        check(PyObject_CallMethod(padding.get(), "MGF1", "O", cipher_sha256().get()));
    Ref keywords = check(Py_BuildValue("{s:O,s:O,s:O}", "mgf", mgf1.get(), "algorithm",
                                       cipher_sha256().get(), "label", Py_None));
    Ref type = check(PyObject_GetAttrString(padding.get(), "OAEP"));
    Ref none = check(PyTuple_New(0));
    return check(PyObject_Call(type.get(), none.get(), keywords.get()));
}

// A public key from the bytes a key exchange sends: X25519's 32, P-256's
// uncompressed point.
Ref public_from_raw(crypto::ExchangeType type, const crypto::Bytes& raw) {
    Ref bytes = bytes_of(raw);
    if (type == crypto::ExchangeType::x25519) {
        Ref x25519 = attribute(x25519_module, "X25519PublicKey");
        return check(PyObject_CallMethod(x25519.get(), "from_public_bytes", "O", bytes.get()));
    }
    Ref ec = cipher_module(ec_module);
    Ref curve = check(PyObject_CallMethod(ec.get(), "SECP256R1", nullptr));
    Ref point = check(PyObject_GetAttrString(ec.get(), "EllipticCurvePublicKey"));
    return check(PyObject_CallMethod(point.get(), "from_encoded_point", "OO", curve.get(),
                                     bytes.get()));
}

bool is_instance(PyObject* object, const char* module_name, const char* name) {
    return check(PyObject_IsInstance(object, attribute(module_name, name).get())) == 1;
}

class PythonExchangeKey final : public crypto::ExchangeKey {
public:
    PythonExchangeKey(PythonHost& host, crypto::ExchangeType type, Ref key, Ref public_key,
                      bool is_private)
        : host_(host), type_(type), key_(std::move(key)), public_key_(std::move(public_key)),
          private_(is_private) {}
    ~PythonExchangeKey() override {
        PythonHost::Holding held(host_);
        key_ = Ref();
        public_key_ = Ref();
    }

    crypto::ExchangeType type() const override { return type_; }
    bool is_private() const override { return private_; }

    crypto::Bytes ephemeral(crypto::Bytes& shared) const override {
        PythonHost::Holding held(host_);
        try {
            Ref fresh, point;
            if (type_ == crypto::ExchangeType::x25519) {
                Ref type = attribute(x25519_module, "X25519PrivateKey");
                fresh = check(PyObject_CallMethod(type.get(), "generate", nullptr));
                shared = bytes_from(
                    check(PyObject_CallMethod(fresh.get(), "exchange", "O", public_key_.get()))
                        .get());
                Ref pub = check(PyObject_CallMethod(fresh.get(), "public_key", nullptr));
                point = check(PyObject_CallMethod(pub.get(), "public_bytes_raw", nullptr));
            } else {
                Ref ec = cipher_module(ec_module);
                Ref curve = check(PyObject_CallMethod(ec.get(), "SECP256R1", nullptr));
                fresh = check(PyObject_CallMethod(ec.get(), "generate_private_key", "O",
                                                  curve.get()));
                Ref ecdh = check(PyObject_CallMethod(ec.get(), "ECDH", nullptr));
                shared = bytes_from(check(PyObject_CallMethod(fresh.get(), "exchange", "OO",
                                                              ecdh.get(), public_key_.get()))
                                        .get());
                // The uncompressed point, 04 || x || y, from the key's
                // numbers: no need of the package's serialization.
                Ref pub = check(PyObject_CallMethod(fresh.get(), "public_key", nullptr));
                Ref numbers = check(PyObject_CallMethod(pub.get(), "public_numbers", nullptr));
                crypto::Bytes out{0x04};
                for (const char* axis : {"x", "y"}) {
                    Ref value = check(PyObject_GetAttrString(numbers.get(), axis));
                    Ref raw = check(PyObject_CallMethod(value.get(), "to_bytes", "ns",
                                                        Py_ssize_t{32}, "big"));
                    const crypto::Bytes b = bytes_from(raw.get());
                    out.insert(out.end(), b.begin(), b.end());
                }
                return out;
            }
            return bytes_from(point.get());
        } catch (const PythonError&) {
            throw crypto::Failure{"the key exchange failed: " + pending_text()};
        }
    }

    crypto::Bytes agree(const crypto::Bytes& peer) const override {
        PythonHost::Holding held(host_);
        try {
            Ref pub = public_from_raw(type_, peer);
            Ref shared;
            if (type_ == crypto::ExchangeType::x25519) {
                shared = check(PyObject_CallMethod(key_.get(), "exchange", "O", pub.get()));
            } else {
                Ref ec = cipher_module(ec_module);
                Ref ecdh = check(PyObject_CallMethod(ec.get(), "ECDH", nullptr));
                shared = check(PyObject_CallMethod(key_.get(), "exchange", "OO", ecdh.get(),
                                                   pub.get()));
            }
            return bytes_from(shared.get());
        } catch (const PythonError&) {
            throw crypto::Failure{"the key exchange failed: " + pending_text()};
        }
    }

    crypto::Bytes encrypt(const crypto::Bytes& message) const override {
        PythonHost::Holding held(host_);
        try {
            return bytes_from(check(PyObject_CallMethod(public_key_.get(), "encrypt", "OO",
                                                        bytes_of(message).get(), oaep().get()))
                                  .get());
        } catch (const PythonError&) {
            throw crypto::Failure{"RSA-OAEP failed: " + pending_text()};
        }
    }

    std::optional<crypto::Bytes> decrypt(const crypto::Bytes& message) const override {
        PythonHost::Holding held(host_);
        try {
            Ref padding = oaep();
            Ref plain(PyObject_CallMethod(key_.get(), "decrypt", "OO", bytes_of(message).get(),
                                          padding.get()));
            if (plain) return bytes_from(plain.get());
            // The package says no more than ValueError for a message the
            // key did not encrypt.
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PythonError{};
            PyErr_Clear();
            return std::nullopt;
        } catch (const PythonError&) {
            throw crypto::Failure{"RSA-OAEP failed: " + pending_text()};
        }
    }

private:
    PythonHost& host_;
    crypto::ExchangeType type_;
    Ref key_, public_key_;
    bool private_;
};

// The key's kind, or Failure naming what it is instead.
crypto::ExchangeType exchange_type(PyObject* key, const std::string& name) {
    if (is_instance(key, x25519_module, "X25519PrivateKey") ||
        is_instance(key, x25519_module, "X25519PublicKey"))
        return crypto::ExchangeType::x25519;
    if (is_instance(key, ec_module, "EllipticCurvePrivateKey") ||
        is_instance(key, ec_module, "EllipticCurvePublicKey")) {
        Ref curve = check(PyObject_GetAttrString(key, "curve"));
        Ref curve_name = check(PyObject_GetAttrString(curve.get(), "name"));
        const std::string named = text_of(curve_name.get());
        if (named != "secp256r1")
            throw crypto::Failure{name + " is a key on " + named +
                                  ": MCUboot's ECIES keys are P-256 (secp256r1) or X25519"};
        return crypto::ExchangeType::p256;
    }
    if (is_instance(key, rsa_module, "RSAPrivateKey") ||
        is_instance(key, rsa_module, "RSAPublicKey")) {
        Ref bits = check(PyObject_GetAttrString(key, "key_size"));
        const long size = PyLong_AsLong(bits.get());
        if (size != 2048)
            throw crypto::Failure{name + " is an RSA-" + std::to_string(size) +
                                  " key: MCUboot encrypts an image's key with RSA-2048 alone"};
        return crypto::ExchangeType::rsa_2048;
    }
    // The signing key given where the device's is wanted: the commonest
    // slip, said as such.
    if (is_instance(key, signing_ed25519_module, "Ed25519PrivateKey") ||
        is_instance(key, signing_ed25519_module, "Ed25519PublicKey"))
        throw crypto::Failure{name +
                              " is an Ed25519 key, which signs: MCUboot encrypts for "
                              "the device's X25519, P-256 or RSA-2048 key"};
    Ref type_name =
        check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(key)), "__name__"));
    throw crypto::Failure{name + " holds a key of another kind (" + text_of(type_name.get()) +
                          "): MCUboot encrypts with X25519, P-256 or RSA-2048 keys"};
}

// What an encrypting or decrypting run imports, in that order.
constexpr const char* cipher_modules[] = {
    "cryptography.hazmat.primitives.ciphers",
    "cryptography.hazmat.primitives.ciphers.aead",
    "cryptography.hazmat.primitives.kdf.hkdf",
    "cryptography.hazmat.primitives.hmac",
    "cryptography.hazmat.primitives.keywrap",
    x25519_module,
    ec_module,
};

// On its own thread. A module that fails to load is left out of
// sys.modules, and its failure said where it is first asked for.
// A PEM key of another form than raw_public() reads (RSA, a private key)
// needs the package's serialization, and RSA's modules, too.
constexpr const char* serialization_modules[] = {
    serialization_module,
    rsa_module,
    "cryptography.hazmat.primitives.asymmetric.padding",
};

void load_cipher_modules(bool serialization) {
    PyGILState_STATE gil = PyGILState_Ensure();
    bool ok = true;
    for (const char* name : cipher_modules) ok = ok && Ref(PyImport_ImportModule(name));
    for (const char* name : serialization_modules)
        ok = ok && (!serialization || Ref(PyImport_ImportModule(name)));
    if (!ok) PyErr_Clear();
    PyGILState_Release(gil);
}

// An X25519 or P-256 public key in a PEM file as openssl and imgtool write
// one: SubjectPublicKeyInfo, a fixed prefix and the key's bytes. Such a
// key needs the curve's module alone, not the package's serialization,
// which takes longer to load than the whole encryption.
struct RawPublic {
    crypto::ExchangeType type;
    crypto::Bytes key;
};

std::optional<RawPublic> raw_public(const std::string& pem) {
    static const crypto::Bytes x25519_prefix = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                                0x2b, 0x65, 0x6e, 0x03, 0x21, 0x00};
    static const crypto::Bytes p256_prefix = {
        0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01,
        0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
    const std::optional<crypto::Bytes> der = pem_body(pem, "PUBLIC KEY");
    if (!der) return std::nullopt;
    if (std::optional<crypto::Bytes> key = after_prefix(*der, x25519_prefix, 32))
        return RawPublic{crypto::ExchangeType::x25519, std::move(*key)};
    if (std::optional<crypto::Bytes> key = after_prefix(*der, p256_prefix, 65))
        return RawPublic{crypto::ExchangeType::p256, std::move(*key)};
    return std::nullopt;
}

}  // namespace

void PythonCiphers::prepare(const std::string& key) {
    const bool pem = key.find("-----BEGIN") != std::string::npos;
    loading_.start(load_cipher_modules, pem && !raw_public(key));
}

std::unique_ptr<crypto::ExchangeKey> PythonCiphers::read_exchange_key(
    const std::string& pem, const std::string& name,
    const std::optional<std::string>& password) {
    loading_.wait();
    PythonHost::Holding held(host_);
    try {
        if (std::optional<RawPublic> raw = raw_public(pem)) {
            Ref key = public_from_raw(raw->type, raw->key);
            Ref public_key = Ref::share(key.get());
            return std::make_unique<PythonExchangeKey>(host_, raw->type, std::move(key),
                                                       std::move(public_key), false);
        }
        Ref serialization = cipher_module(serialization_module);
        Ref text = bytes_of(reinterpret_cast<const uint8_t*>(pem.data()), pem.size());
        const bool is_public = pem.find("PUBLIC KEY-----") != std::string::npos &&
                               pem.find("PRIVATE KEY-----") == std::string::npos;
        Ref key;
        if (is_public) {
            key = load_public(serialization.get(), text.get(), name);
        } else {
            try {
                key = load_private(serialization.get(), text.get(), name, password);
            } catch (const crypto::Failure& failure) {
                // A KEK's raw bytes given where a device's key goes.
                if (pem.size() != 16 && pem.size() != 32) throw;
                throw crypto::Failure{failure.why +
                                      "; a KEK of 16 or 32 raw bytes is given with encrypt-kw="};
            }
        }
        const crypto::ExchangeType type = exchange_type(key.get(), name);
        Ref public_key = is_public ? Ref::share(key.get())
                                   : check(PyObject_CallMethod(key.get(), "public_key", nullptr));
        return std::make_unique<PythonExchangeKey>(host_, type, std::move(key),
                                                   std::move(public_key), !is_public);
    } catch (const PythonError&) {
        throw crypto::Failure{"cannot read " + name + ": " + pending_text()};
    }
}

// The package's own maker of AES keys: the operating system's random bytes.
crypto::Bytes PythonCiphers::new_key(size_t size) {
    loading_.wait();
    PythonHost::Holding held(host_);
    try {
        Ref type = attribute("cryptography.hazmat.primitives.ciphers.aead", "AESGCM");
        return bytes_from(check(PyObject_CallMethod(type.get(), "generate_key", "n",
                                                    static_cast<Py_ssize_t>(size * 8)))
                              .get());
    } catch (const PythonError&) {
        throw crypto::Failure{"no random key: " + pending_text()};
    }
}

crypto::Bytes PythonCiphers::hkdf(crypto::Hash hash, const crypto::Bytes& secret,
                                  const std::string& info, size_t length) {
    loading_.wait();
    PythonHost::Holding held(host_);
    try {
        Ref type = attribute("cryptography.hazmat.primitives.kdf.hkdf", "HKDF");
        Ref keywords = check(Py_BuildValue("{s:N,s:n,s:O,s:N}", "algorithm",
                                           algorithm(hash).release(), "length",
                                           static_cast<Py_ssize_t>(length), "salt", Py_None,
                                           "info",
                                           bytes_of(reinterpret_cast<const uint8_t*>(info.data()),
                                                    info.size())
                                               .release()));
        Ref none = check(PyTuple_New(0));
        Ref kdf = check(PyObject_Call(type.get(), none.get(), keywords.get()));
        return bytes_from(
            check(PyObject_CallMethod(kdf.get(), "derive", "O", bytes_of(secret).get())).get());
    } catch (const PythonError&) {
        throw crypto::Failure{"HKDF failed: " + pending_text()};
    }
}

crypto::Bytes PythonCiphers::hmac(crypto::Hash hash, const crypto::Bytes& key,
                                  const crypto::Bytes& message) {
    loading_.wait();
    PythonHost::Holding held(host_);
    try {
        Ref type = attribute("cryptography.hazmat.primitives.hmac", "HMAC");
        Ref mac = check(PyObject_CallFunction(type.get(), "OO", bytes_of(key).get(),
                                              algorithm(hash).get()));
        check(PyObject_CallMethod(mac.get(), "update", "O", bytes_of(message).get()));
        return bytes_from(check(PyObject_CallMethod(mac.get(), "finalize", nullptr)).get());
    } catch (const PythonError&) {
        throw crypto::Failure{"HMAC failed: " + pending_text()};
    }
}

// The bytes are lent as a memoryview, and the result copied back over them.
void PythonCiphers::aes_ctr(const crypto::Bytes& key, const crypto::Bytes& counter,
                            uint8_t* data, size_t size) {
    loading_.wait();
    PythonHost::Holding held(host_);
    try {
        Ref ciphers = cipher_module("cryptography.hazmat.primitives.ciphers");
        Ref algorithms =
            cipher_module("cryptography.hazmat.primitives.ciphers.algorithms");
        Ref modes = cipher_module("cryptography.hazmat.primitives.ciphers.modes");
        Ref aes = check(PyObject_CallMethod(algorithms.get(), "AES", "O", bytes_of(key).get()));
        Ref ctr = check(PyObject_CallMethod(modes.get(), "CTR", "O", bytes_of(counter).get()));
        Ref cipher =
            check(PyObject_CallMethod(ciphers.get(), "Cipher", "OO", aes.get(), ctr.get()));
        Ref context = check(PyObject_CallMethod(cipher.get(), "encryptor", nullptr));
        Ref view = check(PyMemoryView_FromMemory(reinterpret_cast<char*>(data),
                                                 static_cast<Py_ssize_t>(size), PyBUF_READ));
        Ref out = check(PyObject_CallMethod(context.get(), "update", "O", view.get()));
        check(PyObject_CallMethod(context.get(), "finalize", nullptr));
        char* bytes;
        Py_ssize_t length;
        check(PyBytes_AsStringAndSize(out.get(), &bytes, &length));
        if (static_cast<size_t>(length) != size)
            throw crypto::Failure{"AES-CTR gave another length than it was given"};
        std::copy(bytes, bytes + length, data);
    } catch (const PythonError&) {
        throw crypto::Failure{"AES-CTR failed: " + pending_text()};
    }
}

crypto::Bytes PythonCiphers::aes_key_wrap(const crypto::Bytes& kek, const crypto::Bytes& key) {
    loading_.wait();
    PythonHost::Holding held(host_);
    try {
        Ref wrap = attribute("cryptography.hazmat.primitives.keywrap", "aes_key_wrap");
        Ref wrapped = check(
            PyObject_CallFunction(wrap.get(), "OO", bytes_of(kek).get(), bytes_of(key).get()));
        return bytes_from(wrapped.get());
    } catch (const PythonError&) {
        throw crypto::Failure{"AES key wrap failed: " + pending_text()};
    }
}

std::optional<crypto::Bytes> PythonCiphers::aes_key_unwrap(const crypto::Bytes& kek,
                                                           const crypto::Bytes& wrapped) {
    loading_.wait();
    PythonHost::Holding held(host_);
    try {
        Ref keywrap = cipher_module("cryptography.hazmat.primitives.keywrap");
        Ref unwrap = check(PyObject_GetAttrString(keywrap.get(), "aes_key_unwrap"));
        Ref invalid = check(PyObject_GetAttrString(keywrap.get(), "InvalidUnwrap"));
        Ref plain(PyObject_CallFunction(unwrap.get(), "OO", bytes_of(kek).get(),
                                        bytes_of(wrapped).get()));
        if (plain) return bytes_from(plain.get());
        // Bytes the KEK did not wrap.
        if (!PyErr_ExceptionMatches(invalid.get())) throw PythonError{};
        PyErr_Clear();
        return std::nullopt;
    } catch (const PythonError&) {
        throw crypto::Failure{"AES key unwrap failed: " + pending_text()};
    }
}

crypto::Ciphers& PythonCrypto::ciphers() {
    if (!ciphers_) ciphers_ = std::make_unique<PythonCiphers>(host_);
    return *ciphers_;
}

}  // namespace velk::binding
