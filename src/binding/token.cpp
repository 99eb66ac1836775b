#include "token.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "../engine/mcuboot/token_uri.h"
#include "text.h"

namespace velk::binding {

namespace {

constexpr const char* pkcs11_hint =
    "a key in a PKCS#11 token needs the python-pkcs11 package (pip install "
    "'velk-crc[pkcs11]')";

// CKF_TOKEN_INITIALIZED: a slot's token that was never set up (SoftHSM
// keeps one free) holds no key to pick.
constexpr long token_initialized = 0x400;

// How a key of each kind signs in the token, as MCUboot verifies it.
struct Scheme {
    crypto::KeyType type;
    bool hashed;            // the token signs the message's digest, else the message
    crypto::Hash hash;      // that digest's
    const char* mechanism;  // pkcs11.Mechanism's name
    bool pss;               // with the hash, MGF1 over it and a 32-byte salt
    bool rs;                // the token's r||s, made DER as MCUboot reads ECDSA's
};

const Scheme schemes[] = {
    {crypto::KeyType::ed25519, false, crypto::Hash::sha256, "EDDSA", false, false},
    {crypto::KeyType::ecdsa_p256, true, crypto::Hash::sha256, "ECDSA", false, true},
    {crypto::KeyType::ecdsa_p384, true, crypto::Hash::sha384, "ECDSA", false, true},
    {crypto::KeyType::rsa_2048, true, crypto::Hash::sha256, "RSA_PKCS_PSS", true, false},
    {crypto::KeyType::rsa_3072, true, crypto::Hash::sha256, "RSA_PKCS_PSS", true, false},
};

const Scheme* scheme_of(crypto::KeyType type) {
    for (const Scheme& s : schemes)
        if (s.type == type) return &s;
    return nullptr;
}

// The pending exception, taken, to be told by its type and worded in one
// line.
class Caught {
public:
    Caught() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        type_ = Ref(type);
        value_ = Ref(value);
        Ref owned_traceback(traceback);
    }

    // Whether it is the exception python-pkcs11 names `name`.
    bool is(PyObject* pkcs11, const char* name) const {
        Ref kind(PyObject_GetAttrString(pkcs11, name));
        if (!kind) {
            PyErr_Clear();
            return false;
        }
        return value_ && PyErr_GivenExceptionMatches(value_.get(), kind.get());
    }

    // Its text's first line; its type's name when it says nothing (as
    // python-pkcs11's exceptions for a token's return values do).
    std::string text() const {
        std::string why;
        if (value_) {
            Ref shown(PyObject_Str(value_.get()));
            if (shown) why = text_of(shown.get());
            else PyErr_Clear();
        }
        why = why.substr(0, why.find('\n'));
        if (why.empty() && type_) why = reinterpret_cast<PyTypeObject*>(type_.get())->tp_name;
        return why;
    }

private:
    Ref type_, value_;
};

Ref member(PyObject* object, const char* name) {
    return check(PyObject_GetAttrString(object, name));
}

// A module of python-pkcs11, or Failure saying how to get it.
Ref pkcs11_module(const char* name) {
    Ref found(PyImport_ImportModule(name));
    if (found) return found;
    if (PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        throw crypto::Failure{pkcs11_hint};
    }
    throw crypto::Failure{std::string("cannot load ") + name + ": " + Caught().text()};
}

Ref text_bytes(const std::string& bytes) {
    return check(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

std::string string_of(PyObject* bytes) {
    char* data;
    Py_ssize_t size;
    check(PyBytes_AsStringAndSize(bytes, &data, &size));
    return std::string(data, static_cast<size_t>(size));
}

long number_of(PyObject* object) {
    Ref number = check(PyNumber_Long(object));
    const long value = PyLong_AsLong(number.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    return value;
}

// "a", "b": the token labels a line lists.
std::string quoted(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "\"" : ", \"") + n + "\"";
    return out;
}

std::string hex_text(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// "-----BEGIN <label>-----", the DER in base64 lines of 64, the end line.
std::string pem_of(const std::string& der, const char* label) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    auto byte = [&](size_t i) -> uint32_t {
        return i < der.size() ? static_cast<unsigned char>(der[i]) : 0;
    };
    for (size_t i = 0; i < der.size(); i += 3) {
        const uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        text += alphabet[group >> 18 & 63];
        text += alphabet[group >> 12 & 63];
        text += i + 1 < der.size() ? alphabet[group >> 6 & 63] : '=';
        text += i + 2 < der.size() ? alphabet[group & 63] : '=';
    }
    std::string pem = std::string("-----BEGIN ") + label + "-----\n";
    for (size_t i = 0; i < text.size(); i += 64) pem += text.substr(i, 64) + "\n";
    return pem + "-----END " + label + "-----\n";
}

// A session on the token, closed when it goes unless handed on; the
// interpreter's lock is held.
struct OpenSession {
    Ref session;
    OpenSession() = default;
    OpenSession(OpenSession&&) = default;
    OpenSession& operator=(OpenSession&&) = default;
    ~OpenSession() { close(); }
    void close() {
        if (!session) return;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Ref done(PyObject_CallMethod(session.get(), "close", nullptr));
        if (!done) PyErr_WriteUnraisable(session.get());
        PyErr_Restore(type, value, traceback);
        session = Ref();
    }
};

// What the URI names, found in its token: the private key (none with
// public_ok) and its public half as PEM text.
struct Found {
    Ref pkcs11;
    OpenSession session;
    Ref private_key;
    std::string public_pem;
};

class Finder {
public:
    Finder(const mcuboot::TokenKey& key, bool public_ok) : key_(key), public_ok_(public_ok) {}

    Found find() {
        Found found;
        found.pkcs11 = pkcs11_module("pkcs11");
        pkcs11_ = found.pkcs11.get();
        Ref token = pick_token(library().get());
        found.session = open(token.get());
        PyObject* session = found.session.session.get();
        const Ref label = label_of_uri(), id = id_of_uri();
        Ref public_key;
        // Verifying takes the public key signing would: the one beside the
        // private key the URI names. Without a PIN, or where the token
        // holds the public key alone, the one the URI names itself.
        Ref private_keys;
        if (!public_ok_ || (key_.pin && !key_.public_named))
            private_keys = matching("PRIVATE_KEY", session, label, id);
        if (private_keys && (!public_ok_ || PyList_GET_SIZE(private_keys.get()) > 0)) {
            found.private_key = one(private_keys, "PRIVATE_KEY", label, id);
            public_key = beside(session, found.private_key.get());
            if (public_ok_) found.private_key = Ref();
        } else {
            public_key = one("PUBLIC_KEY", session, label, id);
        }
        found.public_pem = public_pem(public_key.get());
        // Verifying asks the token nothing more.
        if (public_ok_) found.session.close();
        return found;
    }

private:
    // pkcs11.lib(module): the module loaded, once a process.
    Ref library() {
        Ref path = text_object(key_.module);
        Ref lib(PyObject_CallMethod(pkcs11_, "lib", "O", path.get()));
        if (lib) return lib;
        std::string why = Caught().text();
        // python-pkcs11 words the loader's refusal after the path.
        const std::string said = "while loading " + key_.module + ": ";
        const size_t at = why.find(said);
        if (at != std::string::npos) why = why.substr(at + said.size());
        // The loader's own words start with the path again.
        if (why.compare(0, key_.module.size() + 2, key_.module + ": ") == 0)
            why = why.substr(key_.module.size() + 2);
        throw crypto::Failure{"cannot load the PKCS#11 module " + key_.module + ": " + why};
    }

    // The one initialised token the URI's attributes pick.
    Ref pick_token(PyObject* lib) {
        Ref slots = check(PyObject_CallMethod(lib, "get_slots", "O", Py_True));
        Ref listed = check(PySequence_List(slots.get()));
        std::vector<Ref> picked;
        std::vector<std::string> labels;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i) {
            PyObject* slot = PyList_GET_ITEM(listed.get(), i);
            Ref token = check(PyObject_CallMethod(slot, "get_token", nullptr));
            if (!(number_of(member(token.get(), "flags").get()) & token_initialized)) continue;
            const std::string label = text_of(member(token.get(), "label").get());
            labels.push_back(label);
            if (key_.token && *key_.token != label) continue;
            if (key_.manufacturer &&
                *key_.manufacturer != text_of(member(token.get(), "manufacturer_id").get()))
                continue;
            if (key_.model && *key_.model != text_of(member(token.get(), "model").get()))
                continue;
            if (key_.serial && *key_.serial != string_of(member(token.get(), "serial").get()))
                continue;
            if (key_.slot &&
                *key_.slot != static_cast<uint64_t>(
                                  number_of(member(slot, "slot_id").get())))
                continue;
            picked.push_back(std::move(token));
        }
        std::sort(labels.begin(), labels.end());
        if (picked.empty())
            throw crypto::Failure{
                "no token matches " + key_.name + " in the PKCS#11 module " + key_.module +
                (labels.empty() ? " (it has no token set up)"
                                : " (its tokens: " + quoted(labels) + ")")};
        if (picked.size() > 1)
            throw crypto::Failure{std::to_string(picked.size()) + " tokens match " + key_.name +
                                  ": name one with token=, serial= or slot-id= (its tokens: " +
                                  quoted(labels) + ")"};
        label_ = text_of(member(picked.front().get(), "label").get());
        return std::move(picked.front());
    }

    // A session, logged in as the user when there is a PIN: signing needs
    // one, verifying reads what a public key the token shows without.
    OpenSession open(PyObject* token) {
        if (!key_.pin && !public_ok_)
            throw crypto::Failure{"signing with " + key_.name +
                                  " needs the token's PIN: set VELK_PKCS11_PIN (or give "
                                  "pin-value= in the URI)"};
        Ref method = member(token, "open");
        Ref none = check(PyTuple_New(0));
        Ref keywords = check(PyDict_New());
        if (key_.pin) {
            Ref pin = text_object(*key_.pin);
            check(PyDict_SetItemString(keywords.get(), "user_pin", pin.get()));
        }
        OpenSession opened;
        opened.session = Ref(PyObject_Call(method.get(), none.get(), keywords.get()));
        if (opened.session) return opened;
        Caught caught;
        // Logging in is the process's, not a session's: where the program
        // that runs this one holds the token logged in already, a session
        // of its own sees the keys as the user.
        if (caught.is(pkcs11_, "UserAlreadyLoggedIn")) {
            opened.session = check(PyObject_Call(method.get(), none.get(), nullptr));
            return opened;
        }
        const std::string token_named = "token \"" + label_ + "\"";
        if (caught.is(pkcs11_, "PinIncorrect") || caught.is(pkcs11_, "PinInvalid") ||
            caught.is(pkcs11_, "PinLenRange"))
            throw crypto::Failure{std::string("the PIN ") + key_.pin_from + " gives for " +
                                  token_named + " is wrong"};
        if (caught.is(pkcs11_, "PinLocked"))
            throw crypto::Failure{token_named + " has locked its user PIN after too many wrong "
                                                "ones: its security officer can unlock it"};
        if (caught.is(pkcs11_, "PinExpired"))
            throw crypto::Failure{"the user PIN of " + token_named +
                                  " has expired: set a new one"};
        throw crypto::Failure{"cannot open a session on " + token_named + ": " + caught.text()};
    }

    // The URI's object= and id=, as python-pkcs11 searches for them.
    Ref label_of_uri() const { return key_.object ? text_object(*key_.object) : Ref(); }
    Ref id_of_uri() const {
        return key_.id ? text_bytes(std::string(key_.id->begin(), key_.id->end())) : Ref();
    }

    // ' labelled "x" with id 0x01', as a line says which key was sought.
    static std::string sought(PyObject* label, PyObject* id) {
        std::string out;
        if (label) out += " labelled \"" + text_of(label) + "\"";
        if (id) out += " with id 0x" + hex_text(string_of(id));
        return out;
    }

    // The keys of the class `kind` (ObjectClass's name) with the label and
    // id, each when given, as a list.
    Ref matching(const char* kind, PyObject* session, const Ref& label, const Ref& id) {
        Ref attributes = member(pkcs11_, "Attribute");
        Ref classes = member(pkcs11_, "ObjectClass");
        Ref sought_for = check(PyDict_New());
        Ref class_key = member(attributes.get(), "CLASS");
        Ref class_value = member(classes.get(), kind);
        check(PyDict_SetItem(sought_for.get(), class_key.get(), class_value.get()));
        if (label) {
            Ref label_key = member(attributes.get(), "LABEL");
            check(PyDict_SetItem(sought_for.get(), label_key.get(), label.get()));
        }
        if (id) {
            Ref id_key = member(attributes.get(), "ID");
            check(PyDict_SetItem(sought_for.get(), id_key.get(), id.get()));
        }
        Ref found = check(PyObject_CallMethod(session, "get_objects", "O", sought_for.get()));
        return check(PySequence_List(found.get()));
    }

    // The one key `listed` holds; a line when it holds none or more.
    Ref one(const Ref& listed, const char* kind, const Ref& label, const Ref& id) {
        const char* what = std::string(kind) == "PUBLIC_KEY" ? "public key" : "private key";
        const Py_ssize_t count = PyList_GET_SIZE(listed.get());
        const std::string token_named = "token \"" + label_ + "\"";
        if (count == 0)
            throw crypto::Failure{
                token_named + " holds no " + what + sought(label.get(), id.get()) +
                (key_.pin ? std::string()
                          : std::string(" that shows without logging in (set VELK_PKCS11_PIN "
                                        "to see the rest)"))};
        if (count > 1)
            throw crypto::Failure{std::to_string(count) + " " + what + "s in " + token_named +
                                  " match" + sought(label.get(), id.get()) +
                                  ": name one with object= or id="};
        return Ref::share(PyList_GET_ITEM(listed.get(), 0));
    }

    Ref one(const char* kind, PyObject* session, const Ref& label, const Ref& id) {
        return one(matching(kind, session, label, id), kind, label, id);
    }

    // The public key of the pair: the one with the private key's id, or
    // without one its label.
    Ref beside(PyObject* session, PyObject* private_key) {
        Ref id = member(private_key, "id");
        if (PyBytes_GET_SIZE(id.get()) > 0) return one("PUBLIC_KEY", session, Ref(), id);
        return one("PUBLIC_KEY", session, member(private_key, "label"), Ref());
    }

    // The public key as PEM text: SubjectPublicKeyInfo, or PKCS#1 for RSA.
    std::string public_pem(PyObject* public_key) {
        Ref key_types = member(pkcs11_, "KeyType");
        const long type = number_of(member(public_key, "key_type").get());
        auto is = [&](const char* name) {
            return type == number_of(member(key_types.get(), name).get());
        };
        if (is("EC_EDWARDS")) {
            // The point, in an OCTET STRING as most tokens give it.
            Ref attributes = member(pkcs11_, "Attribute");
            Ref point_key = member(attributes.get(), "EC_POINT");
            Ref held = check(PyObject_GetItem(public_key, point_key.get()));
            std::string point = string_of(held.get());
            if (point.size() == 34 && point[0] == 0x04 && point[1] == 0x20) point.erase(0, 2);
            if (point.size() != 32)
                throw crypto::Failure{key_.name +
                                      " is an Edwards-curve key of another curve than Ed25519: "
                                      "MCUboot signs with Ed25519, ECDSA P-256/P-384 or RSA"};
            static const char prefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65,
                                          0x70, 0x03, 0x21, 0x00};
            return pem_of(std::string(prefix, sizeof prefix) + point, "PUBLIC KEY");
        }
        if (is("EC")) {
            Ref ec = pkcs11_module("pkcs11.util.ec");
            Ref der =
                check(PyObject_CallMethod(ec.get(), "encode_ec_public_key", "O", public_key));
            return pem_of(string_of(der.get()), "PUBLIC KEY");
        }
        if (is("RSA")) {
            Ref rsa = pkcs11_module("pkcs11.util.rsa");
            Ref der =
                check(PyObject_CallMethod(rsa.get(), "encode_rsa_public_key", "O", public_key));
            return pem_of(string_of(der.get()), "RSA PUBLIC KEY");
        }
        throw crypto::Failure{key_.name + " is a key of PKCS#11 key type " +
                              std::to_string(type) +
                              ": MCUboot signs with Ed25519, ECDSA or RSA keys"};
    }

    const mcuboot::TokenKey& key_;
    bool public_ok_;
    PyObject* pkcs11_ = nullptr;  // Found's
    std::string label_;           // the token's
};

// A key in the token: the public half verifies and describes it, the
// private half, with the session it was found in, signs.
class TokenSigner final : public crypto::Key {
public:
    TokenSigner(PythonHost& host, std::string name, Found found)
        : host_(host), name_(std::move(name)), found_(std::move(found)) {}
    ~TokenSigner() override {
        PythonHost::Holding held(host_);
        found_.session.close();
        found_ = Found();
    }

    // Once made, outside the interpreter's lock, which making it takes.
    void set_public(std::unique_ptr<crypto::Key> key) { public_ = std::move(key); }

    crypto::KeyType type() const override { return public_->type(); }
    bool is_private() const override { return bool(found_.private_key); }
    crypto::Bytes public_der(bool pkcs1) const override { return public_->public_der(pkcs1); }
    bool verify(const uint8_t* message, size_t size,
                const crypto::Bytes& signature) const override {
        return public_->verify(message, size, signature);
    }

    crypto::Bytes sign(const uint8_t* message, size_t size) const override {
        const Scheme* scheme = scheme_of(type());
        if (!scheme || !found_.private_key)
            throw crypto::Failure{name_ + " does not sign here: its kind has no PKCS#11 scheme"};
        PythonHost::Holding held(host_);
        try {
            PyObject* pkcs11 = found_.pkcs11.get();
            Ref data = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(message),
                                                       static_cast<Py_ssize_t>(size)));
            const char* hash_name = crypto::hash_row(scheme->hash).name;
            if (scheme->hashed) {
                Ref hashlib = check(PyImport_ImportModule("hashlib"));
                Ref hash = check(PyObject_CallMethod(hashlib.get(), "new", "sO", hash_name,
                                                     data.get()));
                data = check(PyObject_CallMethod(hash.get(), "digest", nullptr));
            }
            Ref mechanisms = member(pkcs11, "Mechanism");
            Ref keywords = check(PyDict_New());
            Ref mechanism = member(mechanisms.get(), scheme->mechanism);
            check(PyDict_SetItemString(keywords.get(), "mechanism", mechanism.get()));
            if (scheme->pss) {
                // Mechanism.SHA256 and MGF.SHA256: the hash's name in capitals.
                std::string capitals;
                for (const char* c = hash_name; *c; ++c)
                    capitals += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
                Ref hash_mechanism = member(mechanisms.get(), capitals.c_str());
                Ref mgf = member(member(pkcs11, "MGF").get(), capitals.c_str());
                Ref salt = check(PyLong_FromLong(32));
                Ref parameters =
                    check(PyTuple_Pack(3, hash_mechanism.get(), mgf.get(), salt.get()));
                check(PyDict_SetItemString(keywords.get(), "mechanism_param", parameters.get()));
            }
            Ref method = member(found_.private_key.get(), "sign");
            Ref args = check(PyTuple_Pack(1, data.get()));
            Ref signature = check(PyObject_Call(method.get(), args.get(), keywords.get()));
            if (scheme->rs) {
                Ref ec = pkcs11_module("pkcs11.util.ec");
                signature = check(PyObject_CallMethod(ec.get(), "encode_ecdsa_signature", "O",
                                                      signature.get()));
            }
            const std::string bytes = string_of(signature.get());
            return crypto::Bytes(bytes.begin(), bytes.end());
        } catch (const PythonError&) {
            throw crypto::Failure{"the token did not sign with " + name_ + ": " +
                                  Caught().text()};
        }
    }

private:
    PythonHost& host_;
    std::string name_;
    Found found_;
    std::unique_ptr<crypto::Key> public_;
};

}  // namespace

std::unique_ptr<crypto::Key> token_key(PythonHost& host, crypto::Provider& pem_keys,
                                       const mcuboot::TokenKey& key, bool public_ok) {
    if (key.public_named && !public_ok)
        throw crypto::Failure{key.name + " names a public key (type=public): signing needs the "
                                         "private key (type=private)"};
    std::unique_ptr<TokenSigner> signer;
    std::string pem;
    {
        PythonHost::Holding held(host);
        try {
            Found found = Finder(key, public_ok).find();
            pem = found.public_pem;
            signer = std::make_unique<TokenSigner>(host, key.name, std::move(found));
        } catch (const PythonError&) {
            throw crypto::Failure{"the PKCS#11 token of " + key.name + ": " + Caught().text()};
        }
    }
    // The public half as a PEM file's: the same kinds, the same refusals.
    signer->set_public(pem_keys.read_key(pem, key.name, std::nullopt, true));
    return signer;
}

}  // namespace velk::binding
