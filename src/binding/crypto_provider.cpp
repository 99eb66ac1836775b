#include "crypto_provider.h"

#include "text.h"

namespace velk::binding {

namespace {

using Hold = PythonCrypto::Hold;

// The pending exception as the engine's Failure: velk_crc._crypto's
// KeyFailure gives its line; anything else its type and text.
[[noreturn]] void failure() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t(type), v(value), tb(traceback);
    Ref shown(v ? PyObject_Str(v.get()) : nullptr);
    std::string why = shown ? text_of(shown.get()) : "the key could not be read";
    PyErr_Clear();
    throw crypto::Failure{why};
}

Ref call(PyObject* object, const char* method, PyObject* arg) {
    Ref result(arg ? PyObject_CallMethod(object, method, "O", arg)
                   : PyObject_CallMethod(object, method, nullptr));
    if (!result) failure();
    return result;
}

Ref bytes_of(const uint8_t* data, size_t size) {
    Ref b(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                    static_cast<Py_ssize_t>(size)));
    if (!b) failure();
    return b;
}

crypto::Bytes bytes_from(PyObject* b) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(b, &data, &size) < 0) failure();
    return crypto::Bytes(data, data + size);
}

// A Python object the engine holds without the lock: dropped with it.
class Held {
public:
    Held(Hold hold, Ref object) : hold_(std::move(hold)), object_(std::move(object)) {}
    ~Held() {
        hold_([this] { object_ = Ref(); });
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

protected:
    Hold hold_;
    Ref object_;
};

class Digest final : public crypto::Digest, Held {
public:
    using Held::Held;
    void update(const uint8_t* data, size_t size) override {
        hold_([&] { call(object_.get(), "update", bytes_of(data, size).get()); });
    }
    crypto::Bytes finish() override {
        crypto::Bytes out;
        hold_([&] { out = bytes_from(call(object_.get(), "digest", nullptr).get()); });
        return out;
    }
};

class Key final : public crypto::Key, Held {
public:
    Key(Hold hold, Ref object) : Held(std::move(hold), std::move(object)) {
        hold_([&] {
            const std::string name = text_of(call_attr("type").get());
            for (crypto::KeyType t : {crypto::KeyType::ed25519, crypto::KeyType::ecdsa_p256,
                                      crypto::KeyType::rsa_2048, crypto::KeyType::rsa_3072})
                if (name == crypto::key_type_name(t)) type_ = t;
            private_ = PyObject_IsTrue(call_attr("private").get()) == 1;
        });
    }
    crypto::KeyType type() const override { return type_; }
    bool is_private() const override { return private_; }
    crypto::Bytes public_der(bool pkcs1) const override {
        crypto::Bytes out;
        hold_([&] {
            out = bytes_from(call(object_.get(), "public_der", pkcs1 ? Py_True : Py_False).get());
        });
        return out;
    }
    crypto::Bytes sign(const uint8_t* message, size_t size) const override {
        crypto::Bytes out;
        hold_([&] {
            out = bytes_from(call(object_.get(), "sign", bytes_of(message, size).get()).get());
        });
        return out;
    }
    bool verify(const uint8_t* message, size_t size,
                const crypto::Bytes& signature) const override {
        bool ok = false;
        hold_([&] {
            Ref result(PyObject_CallMethod(object_.get(), "verify", "OO",
                                           bytes_of(message, size).get(),
                                           bytes_of(signature.data(), signature.size()).get()));
            if (!result) failure();
            ok = result.get() == Py_True;
        });
        return ok;
    }

private:
    Ref call_attr(const char* name) const {
        Ref value(PyObject_GetAttrString(object_.get(), name));
        if (!value) failure();
        return value;
    }

    crypto::KeyType type_ = crypto::KeyType::ed25519;
    bool private_ = false;
};

}  // namespace

PythonCrypto::~PythonCrypto() {
    if (module_) hold_([this] { module_ = Ref(); });
}

PyObject* PythonCrypto::module() {
    if (!module_) {
        module_ = Ref(PyImport_ImportModule("velk_crc._crypto"));
        if (!module_) failure();
    }
    return module_.get();
}

std::unique_ptr<crypto::Digest> PythonCrypto::sha256() {
    Ref digest;
    hold_([&] { digest = call(module(), "sha256", nullptr); });
    return std::make_unique<Digest>(hold_, std::move(digest));
}

std::unique_ptr<crypto::Key> PythonCrypto::read_key(const std::string& pem,
                                                    const std::string& name,
                                                    const std::optional<std::string>& password,
                                                    bool public_ok) {
    Ref key;
    hold_([&] {
        Ref text = bytes_of(reinterpret_cast<const uint8_t*>(pem.data()), pem.size());
        Ref shown = text_object(name);
        Ref secret = password ? text_object(*password) : Ref::share(Py_None);
        key = Ref(PyObject_CallMethod(module(), "read_key", "OOOO", text.get(), shown.get(),
                                      secret.get(), public_ok ? Py_True : Py_False));
        if (!key) failure();
    });
    return std::make_unique<Key>(hold_, std::move(key));
}

}  // namespace velk::binding
