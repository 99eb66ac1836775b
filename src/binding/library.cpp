#include "library.h"

#include "text.h"

namespace velk::binding {

std::string pending_text() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), error(value), owned_traceback(traceback);
    std::string why;
    if (error) {
        Ref shown(PyObject_Str(error.get()));
        if (shown) why = text_of(shown.get());
    }
    PyErr_Clear();
    why = why.substr(0, why.find('\n'));
    // The library's pointer to its FAQ is no part of a one-line error.
    const size_t see = why.find(". See http");
    if (see != std::string::npos) why.resize(see);
    if (why.empty() && type) why = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    return why;
}

bool pending_is(PyObject* type) {
    return PyErr_Occurred() && PyErr_ExceptionMatches(type);
}

Ref library_module(const char* name, const char* install_hint) {
    Ref found(PyImport_ImportModule(name));
    if (!found) {
        if (pending_is(PyExc_ImportError)) {
            PyErr_Clear();
            throw crypto::Failure{install_hint};
        }
        throw crypto::Failure{std::string("cannot load ") + name + ": " + pending_text()};
    }
    return found;
}

Ref bytes_of(const uint8_t* data, size_t size) {
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                           static_cast<Py_ssize_t>(size)));
}

Ref bytes_of(const crypto::Bytes& bytes) {
    return bytes_of(bytes.data(), bytes.size());
}

crypto::Bytes bytes_from(PyObject* bytes) {
    char* data;
    Py_ssize_t size;
    check(PyBytes_AsStringAndSize(bytes, &data, &size));
    return crypto::Bytes(data, data + size);
}

Ref load_public(PyObject* serialization, PyObject* pem, const std::string& name) {
    Ref key(PyObject_CallMethod(serialization, "load_pem_public_key", "O", pem));
    if (!key)
        throw crypto::Failure{"cannot read " + name + ": no PEM public key (" +
                              pending_text() + ")"};
    return key;
}

Ref load_private(PyObject* serialization, PyObject* pem, const std::string& name,
                 const std::optional<std::string>& password) {
    Ref secret = password ? bytes_of(reinterpret_cast<const uint8_t*>(password->data()),
                                     password->size())
                          : Ref::share(Py_None);
    Ref key(PyObject_CallMethod(serialization, "load_pem_private_key", "OO", pem,
                                secret.get()));
    if (key) return key;
    if (pending_is(PyExc_TypeError)) {
        PyErr_Clear();
        if (!password)
            throw crypto::Failure{name +
                                  " is encrypted: give its password in VELK_KEY_PASSWORD"};
        key = Ref(PyObject_CallMethod(serialization, "load_pem_private_key", "OO", pem,
                                      Py_None));
        if (key) return key;
    }
    std::string why = pending_text();
    if (password)
        throw crypto::Failure{"cannot read " + name +
                              ": the password in VELK_KEY_PASSWORD is wrong, or it is no "
                              "PEM private key (" + why + ")"};
    throw crypto::Failure{"cannot read " + name + ": no PEM private key (" + why + ")"};
}

}  // namespace velk::binding
