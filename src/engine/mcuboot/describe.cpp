#include "describe.h"

#include "../report/text.h"
#include "hashing.h"

namespace velk::mcuboot {

namespace {

json::Value hex_or_null(const Bytes& bytes) {
    return bytes.empty() ? json::Value() : json::Value(text::hex(bytes));
}

void add_verdict(json::Value& part, const Judged* judged) {
    if (!judged) return;
    part.set("checked", judged->checked);
    part.set("ok", judged->ok ? json::Value(*judged->ok) : json::Value());
}

}  // namespace

json::Value describe_image(const Description& d, const Judgement* judged) {
    json::Value o = json::Value::object();
    if (judged) o.set("ok", judged->ok);
    o.set("slot", d.slot);
    o.set("slot_size", d.slot_size ? json::Value(*d.slot_size) : json::Value());
    json::Value& h = o.set("header", json::Value::object());
    for (const HeaderField& f : header_table)
        h.set(f.name, &f == &header_field("version") ? json::Value(version_text(d.header.version))
                                                 : json::Value(f.get(d.header)));
    o.set("header_room", d.room_added ? json::Value(*d.room_added ? "added" : "reserved")
                                      : json::Value());
    o.set("payload", d.payload);
    o.set("tlv_area", d.tlv_area);
    o.set("image_end", d.image_end);
    json::Value& list = o.set("tlvs", json::Value::array());
    for (const Description::Listed& t : d.tlvs) {
        json::Value& entry = list.push(json::Value::object());
        entry.set("type", uint64_t{t.type});
        const char* name = tlv_name(t.type);
        entry.set("name", name ? json::Value(name) : json::Value());
        entry.set("address", t.address);
        entry.set("protected", t.is_protected);
        entry.set("value", text::hex(*t.value));
    }
    json::Value& hash = o.set("hash", json::Value::object());
    hash.set("type", tlv_name(crypto::hash_row(d.hash_kind).tlv));
    hash.set("value", hex_or_null(d.hash));
    add_verdict(hash, judged ? &judged->hash : nullptr);
    json::Value& key = o.set("key", json::Value::object());
    key.set("hash", hex_or_null(d.key_hash));
    add_verdict(key, judged ? &judged->key : nullptr);
    json::Value& signature = o.set("signature", json::Value::object());
    const char* type =
        d.signature ? signature_words(*d.signature, d.signer, d.hash_kind) : nullptr;
    signature.set("type", type ? json::Value(type) : json::Value());
    add_verdict(signature, judged ? &judged->signature : nullptr);
    if (d.encryption) {
        json::Value& e = o.set("encryption", json::Value::object());
        e.set("type", d.encryption->transport ? json::Value(d.encryption->transport)
                                              : json::Value());
        e.set("aes", uint64_t{d.encryption->aes});
        add_verdict(e, judged ? &judged->decrypted : nullptr);
    } else {
        o.set("encryption", json::Value());
    }
    if (d.trailer) {
        json::Value& t = o.set("trailer", json::Value::object());
        t.set("address", d.trailer->magic_at);
        t.set("image_ok", uint64_t{d.trailer->image_ok});
    } else {
        o.set("trailer", json::Value());
    }
    return o;
}

}  // namespace velk::mcuboot
