// What the binding's digests, keys and ciphers share in calling the
// cryptography package: its modules imported, its errors as one line, and
// bytes passed both ways.
#pragma once

#include <optional>
#include <string>

#include "../engine/run/crypto.h"
#include "../python/handle.h"

namespace velk::binding {

// The pending exception as the first line of its text, the exception's
// type when it says nothing; the exception is taken.
std::string pending_text();
bool pending_is(PyObject* type);

// A module of the package, or crypto::Failure: `install_hint` when it is
// not installed.
Ref library_module(const char* name, const char* install_hint);

Ref bytes_of(const uint8_t* data, size_t size);
Ref bytes_of(const crypto::Bytes& bytes);
crypto::Bytes bytes_from(PyObject* bytes);

// load_pem_public_key(pem), or Failure naming the file `name`.
Ref load_public(PyObject* serialization, PyObject* pem, const std::string& name);

// serialization.load_pem_private_key(pem, password), the password from
// VELK_KEY_PASSWORD or none; crypto::Failure naming `name` when it does
// not open. A key that is not encrypted opens whether a password is set
// or not, so one set for another key is no harm.
Ref load_private(PyObject* serialization, PyObject* pem, const std::string& name,
                 const std::optional<std::string>& password);

}  // namespace velk::binding
