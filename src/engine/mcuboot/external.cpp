#include "external.h"

#include <algorithm>
#include <cstdlib>

#include "../base/base64.h"
#include "../platform/platform.h"
#include "../report/refusal.h"
#include "../report/text.h"

namespace velk::mcuboot::external {

namespace {

// Whether a key of `type` signs with ECDSA: its signature TLV is ECDSA's,
// whatever the curve.
bool is_ecdsa(crypto::KeyType type) {
    return signature_tlv(type) == tlv_kind("ECDSASIG").type;
}

// The bytes of one coordinate of an ECDSA key's curve, whose bits the key's
// name gives ("ecdsa-p256"): r and s are each that long.
uint64_t coordinate_size(crypto::KeyType type) {
    const std::string name = crypto::key_type_name(type);
    return (std::strtoull(name.c_str() + name.rfind('p') + 1, nullptr, 10) + 7) / 8;
}

bool blank_byte(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The bytes of base64 text, as imgtool's --sig-out writes a signature
// (line ends and spaces between the characters allowed); nullopt for a
// file that is no such text: the signature's own bytes. A binary
// signature that reads as base64 throughout is not met: its bytes would
// all have to be among the 65 of base64's alphabet.
std::optional<Bytes> base64_of(const Bytes& file) {
    std::string text;
    for (uint8_t c : file)
        if (!blank_byte(c)) text += static_cast<char>(c);
    if (text.empty() || text.size() % 4) return std::nullopt;
    size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
    Bytes out;
    base::Base64Reader reader(out);
    for (size_t i = 0; i < text.size() - padding; ++i)
        if (!reader.digit(text[i])) return std::nullopt;
    return out;
}

// A DER length at `at`, short or long form; false past the end.
bool der_length(const Bytes& der, size_t& at, size_t& length) {
    if (at >= der.size()) return false;
    const uint8_t first = der[at++];
    if (first < 0x80) {
        length = first;
        return true;
    }
    const size_t octets = first & 0x7F;
    if (octets == 0 || octets > 2 || at + octets > der.size()) return false;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = length << 8 | der[at++];
    return true;
}

// Whether the bytes are an ECDSA-Sig-Value, SEQUENCE { INTEGER r,
// INTEGER s }, and nothing after it.
bool is_der_signature(const Bytes& der) {
    size_t at = 0, length = 0;
    if (der.empty() || der[at++] != 0x30 || !der_length(der, at, length) ||
        at + length != der.size())
        return false;
    for (int integer = 0; integer < 2; ++integer) {
        if (at >= der.size() || der[at++] != 0x02 || !der_length(der, at, length) ||
            length == 0 || at + length > der.size())
            return false;
        at += length;
    }
    return at == der.size();
}

void put_der_length(Bytes& out, size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
    } else if (length <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(length));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(length));
    }
}

// A positive INTEGER's DER: no leading zeros, and one 0x00 before a first
// byte whose top bit would make it negative.
Bytes der_integer(const uint8_t* big_endian, size_t size) {
    const uint8_t* first = std::find_if(big_endian, big_endian + size,
                                        [](uint8_t b) { return b != 0; });
    Bytes value;
    if (first == big_endian + size || *first & 0x80) value.push_back(0x00);
    value.insert(value.end(), first, big_endian + size);
    Bytes out{0x02};
    put_der_length(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

}  // namespace

std::optional<Vector> vector_named(const std::string& word) {
    if (word == "digest") return Vector::digest;
    if (word == "payload") return Vector::payload;
    return std::nullopt;
}

const char* vector_name(Vector vector) {
    return vector == Vector::digest ? "digest" : "payload";
}

ToSign to_sign(Vector vector, const Signable& signable, crypto::KeyType key_type,
               const std::string& key_name, const std::string& prefix) {
    // ECDSA and RSA hash what they sign: the holder may sign the digest as
    // a hash already taken (a token's raw ECDSA, a pre-hashed PSS) or the
    // covered bytes. Ed25519 signs its message as it is: the holder must
    // be given exactly that.
    const bool hashes_message = key_type != crypto::KeyType::ed25519;
    const Vector wanted = signable.over_digest ? Vector::digest : Vector::payload;
    if (!hashes_message && vector != wanted)
        throw Refusal{text::format(
            "%ssign=%s: the %s key of %s signs the image's %s, so its holder must be given "
            "that: sign=%s",
            prefix.c_str(), vector_name(vector), crypto::key_type_name(key_type),
            key_name.c_str(),
            wanted == Vector::digest ? "digest" : "bytes themselves (header, payload and "
                                                  "protected TLVs)",
            vector_name(wanted))};
    return {vector, vector == Vector::digest ? signable.digest : signable.covered(), key_type,
            key_name};
}

uint64_t signature_room(crypto::KeyType key_type) {
    const uint8_t type = signature_tlv(key_type);
    uint64_t most = fixed_length(type).value_or(0);
    if (most == 0 && is_ecdsa(key_type)) {
        // DER of two integers at most one byte longer than the curve's
        // coordinates.
        const uint64_t integer = 2 + coordinate_size(key_type) + 1;
        most = 2 + 2 * integer;
    }
    return tlv_head_size + most;
}

SignatureFile read_signature(const std::string& path, const std::string& prefix) {
    // A signature is a few hundred bytes: a bigger file, a FIFO or a device
    // is none, and is refused without waiting for it to end.
    Bytes bytes;
    if (int error = platform::read_file(path, bytes, uint64_t{1} << 16))
        throw Refusal{prefix + "cannot read the signature " + path + ": " +
                      platform::error_text(error)};
    if (std::all_of(bytes.begin(), bytes.end(), blank_byte))
        throw Refusal{prefix + "the signature file " + path + " is empty"};
    return {path, std::move(bytes)};
}

Signature decode_signature(const Bytes& file, crypto::KeyType key_type) {
    Signature out;
    if (std::optional<Bytes> decoded = base64_of(file)) {
        out.bytes = std::move(*decoded);
        out.how = "base64";
    } else {
        out.bytes = file;
        out.how = "raw";
    }
    // A token's raw ECDSA gives r||s, two coordinates; the image carries
    // DER, as MCUboot reads it. Bytes of another length (a DER signature
    // with more after it) are no r||s, and are refused as they are.
    if (is_ecdsa(key_type) && !is_der_signature(out.bytes) &&
        out.bytes.size() == 2 * coordinate_size(key_type)) {
        out.bytes = der_of_rs(out.bytes.data(), out.bytes.size());
        out.how += ", r||s made DER";
    }
    return out;
}

Bytes der_of_rs(const uint8_t* rs, size_t size) {
    const Bytes r = der_integer(rs, size / 2), s = der_integer(rs + size / 2, size / 2);
    Bytes out{0x30};
    put_der_length(out, r.size() + s.size());
    out.insert(out.end(), r.begin(), r.end());
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

Bytes verified_signature(const SignatureFile& file, const crypto::Key& key,
                         const std::string& key_name, const Bytes& message,
                         const std::string& prefix) {
    Signature signature = decode_signature(file.bytes, key.type());
    // The holder's usual slips beside another key or image: a token or
    // openssl left at its default scheme, or a digest hashed once more.
    const char* scheme =
        is_ecdsa(key.type()) ? ", or over a digest hashed again (ECDSA signs sign=digest's "
                               "bytes as a hash already taken)"
        : key.type() == crypto::KeyType::ed25519
            ? ""
            : ", or not with RSA-PSS (SHA-256, MGF1, a 32-byte salt), which MCUboot verifies";
    if (!key.verify(message.data(), message.size(), signature.bytes))
        throw Refusal{text::format(
            "%sthe signature in %s (%s, %zu bytes) does not verify with the %s key of %s "
            "over this image: it was made with another key, or over another image (another "
            "build, or other settings)%s",
            prefix.c_str(), file.name.c_str(), signature.how.c_str(), signature.bytes.size(),
            crypto::key_type_name(key.type()), key_name.c_str(), scheme)};
    return std::move(signature.bytes);
}

std::string to_sign_line(const ToSign& made, const std::string& file) {
    const std::string what =
        made.vector == Vector::digest
            ? text::format("the image's digest, %zu bytes", made.bytes.size())
            : text::format("the image's header, payload and protected TLVs, %zu bytes",
                           made.bytes.size());
    return text::format("create new file to sign \"%s\": %s, for the holder of the %s key "
                        "of %s to sign; FLASH with signature=<file> then writes the image",
                        file.c_str(), what.c_str(), crypto::key_type_name(made.key_type),
                        made.key.c_str());
}

json::Value describe(const ToSign& made, const std::string& file) {
    json::Value d = json::Value::object();
    d.set("file", file);
    d.set("vector", vector_name(made.vector));
    d.set("size", static_cast<uint64_t>(made.bytes.size()));
    d.set("key", made.key);
    d.set("key_type", crypto::key_type_name(made.key_type));
    d.set("bytes", text::hex(made.bytes));
    return d;
}

}  // namespace velk::mcuboot::external
