#include "crypto.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "library.h"
#include "pem.h"
#include "text.h"
#include "token.h"

namespace velk::binding {

namespace {

constexpr const char* install_hint =
    "signing and verifying need the cryptography package (pip install 'cryptography>=44')";

// A module of the cryptography package, or Failure saying how to get it.
Ref module(const char* name) {
    return library_module(name, install_hint);
}

class PythonDigest final : public crypto::Digest {
public:
    PythonDigest(PythonHost& host, Ref hash, const char* words)
        : host_(host), hash_(std::move(hash)), words_(words) {}
    ~PythonDigest() override {
        PythonHost::Holding held(host_);
        hash_ = Ref();
    }

    // The bytes are lent as a memoryview, not copied: hashlib gives the lock
    // up while it hashes a large one.
    void update(const uint8_t* data, size_t size) override {
        PythonHost::Holding held(host_);
        try {
            Ref view = check(PyMemoryView_FromMemory(
                reinterpret_cast<char*>(const_cast<uint8_t*>(data)),
                static_cast<Py_ssize_t>(size), PyBUF_READ));
            check(PyObject_CallMethod(hash_.get(), "update", "O", view.get()));
        } catch (const PythonError&) {
            throw crypto::Failure{std::string(words_) + ": " + pending_text()};
        }
    }

    crypto::Bytes finish() override {
        PythonHost::Holding held(host_);
        try {
            return bytes_from(check(PyObject_CallMethod(hash_.get(), "digest", nullptr)).get());
        } catch (const PythonError&) {
            throw crypto::Failure{std::string(words_) + ": " + pending_text()};
        }
    }

private:
    PythonHost& host_;
    Ref hash_;
    const char* words_;
};

// A key of the cryptography package, with what its kind signs with: the
// arguments after the message in key.sign(message, ...) and
// public_key.verify(signature, message, ...).
class PythonKey final : public crypto::Key {
public:
    PythonKey(PythonHost& host, crypto::KeyType type, bool is_private, Ref key, Ref public_key,
              Ref scheme, Ref serialization)
        : host_(host), type_(type), private_(is_private), key_(std::move(key)),
          public_key_(std::move(public_key)), scheme_(std::move(scheme)),
          serialization_(std::move(serialization)) {}
    ~PythonKey() override {
        PythonHost::Holding held(host_);
        key_ = Ref();
        public_key_ = Ref();
        scheme_ = Ref();
        serialization_ = Ref();
    }

    crypto::KeyType type() const override { return type_; }
    bool is_private() const override { return private_; }

    crypto::Bytes public_der(bool pkcs1) const override {
        PythonHost::Holding held(host_);
        try {
            if (!serialization_) {
                // An Ed25519 key read without the package's serialization:
                // SubjectPublicKeyInfo is a fixed prefix and the raw key.
                crypto::Bytes der = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                     0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
                crypto::Bytes raw = bytes_from(
                    check(PyObject_CallMethod(public_key_.get(), "public_bytes_raw", nullptr))
                        .get());
                der.insert(der.end(), raw.begin(), raw.end());
                return der;
            }
            Ref encoding = check(PyObject_GetAttrString(serialization_.get(), "Encoding"));
            Ref der = check(PyObject_GetAttrString(encoding.get(), "DER"));
            Ref formats = check(PyObject_GetAttrString(serialization_.get(), "PublicFormat"));
            Ref format = check(PyObject_GetAttrString(
                formats.get(), pkcs1 ? "PKCS1" : "SubjectPublicKeyInfo"));
            return bytes_from(check(PyObject_CallMethod(public_key_.get(), "public_bytes", "OO",
                                                        der.get(), format.get()))
                                  .get());
        } catch (const PythonError&) {
            throw crypto::Failure{"the public key: " + pending_text()};
        }
    }

    crypto::Bytes sign(const uint8_t* message, size_t size) const override {
        PythonHost::Holding held(host_);
        try {
            Ref method = check(PyObject_GetAttrString(key_.get(), "sign"));
            Ref args = arguments({bytes_of(message, size).release()});
            return bytes_from(check(PyObject_Call(method.get(), args.get(), nullptr)).get());
        } catch (const PythonError&) {
            throw crypto::Failure{"signing failed: " + pending_text()};
        }
    }

    bool verify(const uint8_t* message, size_t size,
                const crypto::Bytes& signature) const override {
        PythonHost::Holding held(host_);
        try {
            Ref method = check(PyObject_GetAttrString(public_key_.get(), "verify"));
            Ref args = arguments({bytes_of(signature.data(), signature.size()).release(),
                                  bytes_of(message, size).release()});
            Ref done(PyObject_Call(method.get(), args.get(), nullptr));
            if (done) return true;
            // What verify raised is held while its kind is looked up: an
            // import fails while an exception is pending.
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            Ref raised_type(type), raised(value), raised_traceback(traceback);
            Ref exceptions = module("cryptography.exceptions");
            Ref invalid = check(PyObject_GetAttrString(exceptions.get(), "InvalidSignature"));
            if (PyErr_GivenExceptionMatches(raised_type.get(), invalid.get())) return false;
            PyErr_Restore(raised_type.release(), raised.release(), raised_traceback.release());
            throw PythonError{};
        } catch (const PythonError&) {
            throw crypto::Failure{"verifying failed: " + pending_text()};
        }
    }

private:
    // (given..., scheme...): the given references are stolen.
    Ref arguments(std::initializer_list<PyObject*> given) const {
        std::vector<Ref> held;
        for (PyObject* g : given) held.emplace_back(g);
        for (const Ref& h : held)
            if (!h) throw PythonError{};
        const Py_ssize_t extra = PyTuple_GET_SIZE(scheme_.get());
        Ref args = check(PyTuple_New(static_cast<Py_ssize_t>(held.size()) + extra));
        Py_ssize_t i = 0;
        for (Ref& h : held) PyTuple_SET_ITEM(args.get(), i++, h.release());
        for (Py_ssize_t k = 0; k < extra; ++k)
            PyTuple_SET_ITEM(args.get(), i++, Py_NewRef(PyTuple_GET_ITEM(scheme_.get(), k)));
        return args;
    }

    PythonHost& host_;
    crypto::KeyType type_;
    bool private_;
    Ref key_, public_key_, scheme_, serialization_;
};

// The `size` bytes of a key in a PEM file of `label` whose DER is `prefix`
// and those bytes.
std::optional<crypto::Bytes> fixed_der_tail(const std::string& pem, const std::string& label,
                                            const uint8_t* prefix, size_t prefix_size,
                                            size_t size) {
    const std::optional<crypto::Bytes> der = pem_body(pem, label);
    return der ? after_prefix(*der, crypto::Bytes(prefix, prefix + prefix_size), size)
               : std::nullopt;
}

// The seed of an Ed25519 key in a PEM file as OpenSSL and imgtool write
// one: unencrypted PKCS#8 (RFC 8410), whose DER is a fixed prefix and the
// 32 bytes. Such a key needs the Ed25519 module alone, not the whole of
// the package's key reading: a signing run starts that much sooner.
std::optional<crypto::Bytes> ed25519_seed(const std::string& pem) {
    static const uint8_t prefix[] = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06,
                                     0x03, 0x2b, 0x65, 0x70, 0x04, 0x22, 0x04, 0x20};
    return fixed_der_tail(pem, "PRIVATE KEY", prefix, sizeof prefix, 32);
}

// Public keys whose SubjectPublicKeyInfo is a fixed prefix and the key's
// bytes: the key a build that never holds the private one is given. Their
// kind and DER are known from the PEM alone.
struct FixedPublic {
    crypto::KeyType type;
    const uint8_t* prefix;
    size_t prefix_size, size;
};

constexpr uint8_t ed25519_spki[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03,
                                    0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
// id-ecPublicKey on prime256v1, an uncompressed point.
constexpr uint8_t p256_spki[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                 0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
// id-ecPublicKey on secp384r1, an uncompressed point.
constexpr uint8_t p384_spki[] = {0x30, 0x76, 0x30, 0x10, 0x06, 0x07, 0x2a, 0x86,
                                 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06, 0x05, 0x2b,
                                 0x81, 0x04, 0x00, 0x22, 0x03, 0x62, 0x00, 0x04};
constexpr FixedPublic fixed_publics[] = {
    {crypto::KeyType::ed25519, ed25519_spki, sizeof ed25519_spki, 32},
    {crypto::KeyType::ecdsa_p256, p256_spki, sizeof p256_spki, 64},
    {crypto::KeyType::ecdsa_p384, p384_spki, sizeof p384_spki, 96},
};

// The row of a public key in `pem` and its whole DER; nullptr for another.
const FixedPublic* fixed_public(const std::string& pem, crypto::Bytes& der) {
    for (const FixedPublic& row : fixed_publics)
        if (std::optional<crypto::Bytes> tail =
                fixed_der_tail(pem, "PUBLIC KEY", row.prefix, row.prefix_size, row.size)) {
            der.assign(row.prefix, row.prefix + row.prefix_size);
            der.insert(der.end(), tail->begin(), tail->end());
            return &row;
        }
    return nullptr;
}

// A public key of fixed DER: its kind and bytes known at once, the
// package's key made when first asked to verify, so that a run that only
// names the key (the first of two signing steps) imports nothing for it.
class LaterKey final : public crypto::Key {
public:
    using Maker = std::function<std::unique_ptr<crypto::Key>()>;
    LaterKey(crypto::KeyType type, crypto::Bytes der, Maker make)
        : type_(type), der_(std::move(der)), make_(std::move(make)) {}

    crypto::KeyType type() const override { return type_; }
    bool is_private() const override { return false; }
    // No kind of fixed DER is RSA's, the one with another form.
    crypto::Bytes public_der(bool) const override { return der_; }
    crypto::Bytes sign(const uint8_t* message, size_t size) const override {
        return made().sign(message, size);
    }
    bool verify(const uint8_t* message, size_t size,
                const crypto::Bytes& signature) const override {
        return made().verify(message, size, signature);
    }

private:
    const crypto::Key& made() const {
        if (!made_) made_ = make_();
        return *made_;
    }

    crypto::KeyType type_;
    crypto::Bytes der_;
    Maker make_;
    mutable std::unique_ptr<crypto::Key> made_;
};

// An Ed25519 public key's 32 bytes: made a key of the Ed25519 module alone.
std::optional<crypto::Bytes> ed25519_public(const std::string& pem) {
    return fixed_der_tail(pem, "PUBLIC KEY", ed25519_spki, sizeof ed25519_spki, 32);
}

// A key file's text as the reader takes it, read once: an Ed25519 seed or
// public key it makes the key of itself, or a public or private key for
// the package.
struct PemKey {
    enum class Kind { ed25519_seed, ed25519_public, public_key, private_key } kind;
    crypto::Bytes seed;  // with ed25519_seed; the public key's bytes with ed25519_public

    bool ed25519_alone() const { return kind == Kind::ed25519_seed || kind == Kind::ed25519_public; }
};

PemKey read_pem(const std::string& pem) {
    if (std::optional<crypto::Bytes> seed = ed25519_seed(pem))
        return {PemKey::Kind::ed25519_seed, std::move(*seed)};
    if (std::optional<crypto::Bytes> raw = ed25519_public(pem))
        return {PemKey::Kind::ed25519_public, std::move(*raw)};
    const bool is_public = pem.find("PUBLIC KEY-----") != std::string::npos &&
                           pem.find("PRIVATE KEY-----") == std::string::npos;
    return {is_public ? PemKey::Kind::public_key : PemKey::Kind::private_key, {}};
}

bool is_instance(PyObject* object, PyObject* module, const char* name) {
    Ref type = check(PyObject_GetAttrString(module, name));
    return check(PyObject_IsInstance(object, type.get())) == 1;
}

// A hash as the schemes name it: "SHA256", "SHA384".
Ref hash_algorithm(const char* name) {
    Ref hashes = module("cryptography.hazmat.primitives.hashes");
    return check(PyObject_CallMethod(hashes.get(), name, nullptr));
}

Ref sha256_algorithm() {
    return hash_algorithm("SHA256");
}

// The key's kind, and the arguments its signatures take beside the message.
crypto::KeyType kind_of(PyObject* key, const std::string& name, Ref& scheme) {
    Ref ed25519 = module("cryptography.hazmat.primitives.asymmetric.ed25519");
    Ref ec = module("cryptography.hazmat.primitives.asymmetric.ec");
    Ref rsa = module("cryptography.hazmat.primitives.asymmetric.rsa");
    if (is_instance(key, ed25519.get(), "Ed25519PrivateKey") ||
        is_instance(key, ed25519.get(), "Ed25519PublicKey")) {
        scheme = check(PyTuple_New(0));
        return crypto::KeyType::ed25519;
    }
    if (is_instance(key, ec.get(), "EllipticCurvePrivateKey") ||
        is_instance(key, ec.get(), "EllipticCurvePublicKey")) {
        Ref curve = check(PyObject_GetAttrString(key, "curve"));
        Ref curve_name = check(PyObject_GetAttrString(curve.get(), "name"));
        std::string named = text_of(curve_name.get());
        // Each curve signs with the hash of its own strength.
        const bool p384 = named == "secp384r1";
        if (named != "secp256r1" && !p384)
            throw crypto::Failure{name + " is an ECDSA key on " + named +
                                  ": MCUboot's ECDSA keys are P-256 (secp256r1) or P-384 "
                                  "(secp384r1)"};
        // RFC 6979: the same image and key sign to the same bytes.
        Ref keywords = check(Py_BuildValue("{s:O}", "deterministic_signing", Py_True));
        Ref args = check(PyTuple_Pack(1, hash_algorithm(p384 ? "SHA384" : "SHA256").get()));
        Ref ecdsa_type = check(PyObject_GetAttrString(ec.get(), "ECDSA"));
        Ref ecdsa = check(PyObject_Call(ecdsa_type.get(), args.get(), keywords.get()));
        scheme = check(PyTuple_Pack(1, ecdsa.get()));
        return p384 ? crypto::KeyType::ecdsa_p384 : crypto::KeyType::ecdsa_p256;
    }
    if (is_instance(key, rsa.get(), "RSAPrivateKey") ||
        is_instance(key, rsa.get(), "RSAPublicKey")) {
        Ref bits = check(PyObject_GetAttrString(key, "key_size"));
        long size = PyLong_AsLong(bits.get());
        if (size != 2048 && size != 3072)
            throw crypto::Failure{name + " is an RSA-" + std::to_string(size) +
                                  " key: MCUboot's RSA keys are 2048 or 3072 bits"};
        Ref padding = module("cryptography.hazmat.primitives.asymmetric.padding");
        Ref mgf1 = check(PyObject_CallMethod(padding.get(), "MGF1", "O",
                                             sha256_algorithm().get()));
        Ref keywords = check(Py_BuildValue("{s:O,s:i}", "mgf", mgf1.get(), "salt_length", 32));
        Ref pss_type = check(PyObject_GetAttrString(padding.get(), "PSS"));
        Ref none = check(PyTuple_New(0));
        Ref pss = check(PyObject_Call(pss_type.get(), none.get(), keywords.get()));
        scheme = check(PyTuple_Pack(2, pss.get(), sha256_algorithm().get()));
        return size == 2048 ? crypto::KeyType::rsa_2048 : crypto::KeyType::rsa_3072;
    }
    Ref type_name = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(key)),
                                                 "__name__"));
    throw crypto::Failure{name + " holds a key of another kind (" + text_of(type_name.get()) +
                          "): MCUboot signs with Ed25519, ECDSA P-256 or P-384, RSA-2048 or "
                          "RSA-3072"};
}

// The cryptography package warns, as it reads one, of a kind of key it is
// dropping (DSA). MCUboot signs with no such key and kind_of refuses it in
// one line, so while a key is read that warning is ignored: it would come
// before the error line, and under -W error it would replace the refusal's
// words with its own.
class DroppedKindsQuiet {
public:
    DroppedKindsQuiet() {
        Ref utils = module("cryptography.utils");
        Ref category =
            check(PyObject_GetAttrString(utils.get(), "CryptographyDeprecationWarning"));
        Ref warnings = check(PyImport_ImportModule("warnings"));
        entered_.manager = check(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
        check(PyObject_CallMethod(entered_.manager.get(), "__enter__", nullptr));
        entered_.active = true;
        check(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                  category.get()));
    }

private:
    // The filters as they were, once entered; an exception pending meanwhile
    // stays pending.
    struct Entered {
        Ref manager;
        bool active = false;
        ~Entered() {
            if (!active) return;
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            Ref done(PyObject_CallMethod(manager.get(), "__exit__", "OOO", Py_None, Py_None,
                                         Py_None));
            if (!done) PyErr_WriteUnraisable(manager.get());
            PyErr_Restore(type, value, traceback);
        }
    } entered_;
};

constexpr const char* ed25519_module = "cryptography.hazmat.primitives.asymmetric.ed25519";

// What a key's reading and its kind's signatures import, in that order.
constexpr const char* key_modules[] = {
    "cryptography.hazmat.primitives.serialization",
    ed25519_module,
    "cryptography.hazmat.primitives.asymmetric.ec",
    "cryptography.hazmat.primitives.asymmetric.rsa",
};

// On its own thread. A module that fails to load is left out of
// sys.modules, so the failure is met again, and said, where the module is
// first asked for; here it only ends the loading.
void load_modules(bool keys, bool ed25519_alone) {
    PyGILState_STATE gil = PyGILState_Ensure();
    Ref hashlib(PyImport_ImportModule("hashlib"));
    bool ok = bool(hashlib);
    for (const char* name : key_modules) {
        if (!ok || !keys) break;
        if (ed25519_alone && std::strcmp(name, ed25519_module) != 0) continue;
        ok = bool(Ref(PyImport_ImportModule(name)));
    }
    if (!ok) PyErr_Clear();
    PyGILState_Release(gil);
}

}  // namespace

void PythonCrypto::prepare(bool keys, const std::string& pem) {
    loading_.start(load_modules, keys, read_pem(pem).ed25519_alone());
}

std::unique_ptr<crypto::Digest> PythonCrypto::digest(crypto::Hash hash) {
    const crypto::HashRow& row = crypto::hash_row(hash);
    PythonHost::Holding held(host_);
    try {
        Ref hashlib = check(PyImport_ImportModule("hashlib"));
        return std::make_unique<PythonDigest>(
            host_, check(PyObject_CallMethod(hashlib.get(), row.name, nullptr)), row.words);
    } catch (const PythonError&) {
        throw crypto::Failure{std::string(row.words) + ": " + pending_text()};
    }
}

std::unique_ptr<crypto::Key> PythonCrypto::read_key(const std::string& pem,
                                                    const std::string& name,
                                                    const std::optional<std::string>& password,
                                                    bool public_ok) {
    crypto::Bytes der;
    if (const FixedPublic* row = public_ok ? fixed_public(pem, der) : nullptr)
        return std::make_unique<LaterKey>(row->type, std::move(der), [this, pem, name] {
            return read_whole(pem, name, std::nullopt, true);
        });
    return read_whole(pem, name, password, public_ok);
}

std::unique_ptr<crypto::Key> PythonCrypto::read_whole(const std::string& pem,
                                                      const std::string& name,
                                                      const std::optional<std::string>& password,
                                                      bool public_ok) {
    loading_.wait();
    PythonHost::Holding held(host_);
    try {
        const PemKey read = read_pem(pem);
        const bool is_public = read.kind == PemKey::Kind::public_key ||
                               read.kind == PemKey::Kind::ed25519_public;
        if (is_public && !public_ok)
            throw crypto::Failure{name + " is a public key: signing needs the private key "
                                         "(or sign=digest, which writes what its holder signs)"};
        if (read.ed25519_alone()) {
            Ref ed25519 = module(ed25519_module);
            Ref type = check(PyObject_GetAttrString(
                ed25519.get(), is_public ? "Ed25519PublicKey" : "Ed25519PrivateKey"));
            Ref raw = bytes_of(read.seed.data(), read.seed.size());
            Ref key = check(PyObject_CallMethod(
                type.get(), is_public ? "from_public_bytes" : "from_private_bytes", "O",
                raw.get()));
            Ref public_key = is_public
                                 ? Ref::share(key.get())
                                 : check(PyObject_CallMethod(key.get(), "public_key", nullptr));
            return std::make_unique<PythonKey>(host_, crypto::KeyType::ed25519, !is_public,
                                               std::move(key), std::move(public_key),
                                               check(PyTuple_New(0)), Ref());
        }
        Ref serialization = module("cryptography.hazmat.primitives.serialization");
        DroppedKindsQuiet quiet;
        Ref text = bytes_of(reinterpret_cast<const uint8_t*>(pem.data()), pem.size());
        Ref key;
        if (is_public) {
            key = load_public(serialization.get(), text.get(), name);
        } else {
            key = load_private(serialization.get(), text.get(), name, password);
        }
        Ref scheme;
        crypto::KeyType type = kind_of(key.get(), name, scheme);
        Ref public_key = is_public ? Ref::share(key.get())
                                   : check(PyObject_CallMethod(key.get(), "public_key", nullptr));
        return std::make_unique<PythonKey>(host_, type, !is_public, std::move(key),
                                           std::move(public_key), std::move(scheme),
                                           std::move(serialization));
    } catch (const PythonError&) {
        throw crypto::Failure{"cannot read " + name + ": " + pending_text()};
    }
}

std::unique_ptr<crypto::Key> PythonCrypto::token_key(const mcuboot::TokenKey& key,
                                                     bool public_ok) {
    return binding::token_key(host_, *this, key, public_ok);
}

}  // namespace velk::binding
