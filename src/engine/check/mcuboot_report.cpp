// CHECK's lines about a signed MCUboot image: each wrong field with what it
// holds and what it should hold, the image, its hash, its key and
// signature (never "ok" for one not checked), its trailer, then what each
// run of the file's bytes is; and --json's "mcuboot" object.
#include "mcuboot_report.h"

#include "../mcuboot/describe.h"
#include "../mcuboot/hashing.h"
#include "../report/text.h"
#include "../request/option_table.h"

namespace velk::check::mcuboot {

namespace {

class Lines {
public:
    Lines(const CheckRun& run, Reporter& report)
        : run_(run), v_(*run.mcuboot), report_(report) {}

    bool tell() {
        object();
        if (!v_.located) {
            report_.line(std::string("MCUboot image mismatch: the file holds no MCUboot header "
                                     "(magic 0x96F3B83D)") +
                         // With the build, header= places a header added before it.
                         (run_.build && !v_.settings.has_header
                              ? "; header=<size> says where, before the build"
                              : ""));
            return false;
        }
        if (!v_.passed_over.empty()) passed_over();
        for (uint64_t a : v_.other_images)
            report_.note("another image at " + text::address(a) +
                         ", whose header, TLVs and hash agree too; the image checked is the one "
                         "at " + text::address(v_.address));
        if (v_.stops_at) {
            report_.line(stop_line());
            return false;
        }
        for (const Fault& f : v_.faults) report_.line(mismatch_line(f));
        for (const Note& n : v_.notes) report_.note(n.text);
        if (v_.after_tlvs)
            report_.note(text::format("the file holds %llu bytes after the image's TLVs, from ",
                                      static_cast<unsigned long long>(v_.after_tlvs)) +
                         text::address(v_.tlv_end) +
                         ", not all erased flash: MCUboot reads no further than the TLVs, "
                         "not checked");
        const format::Header& h = v_.header;
        report_.line(text::format("MCUboot image at %s: header 0x%X bytes, payload %u bytes, "
                                  "version %s, TLVs to %s",
                                  text::address(v_.address).c_str(), h.hdr_size, h.img_size,
                                  format::version_text(h.version).c_str(),
                                  text::address(v_.tlv_end).c_str()));
        if (std::string flags = format::flags_words(h); !flags.empty())
            report_.line("MCUboot flags " + flags);
        if (v_.aes) report_.line(payload_line());
        if (v_.hash_ok)
            report_.line(std::string("MCUboot hash: ") + crypto::hash_row(v_.hash_kind).words +
                         " " + text::hex(v_.hash) + ", ok");
        report_.line(signature_line());
        if (v_.trailer)
            report_.line(text::format("MCUboot trailer at %s: image_ok 0x%02X%s",
                                      text::address(v_.trailer->magic_at).c_str(),
                                      v_.trailer->image_ok,
                                      v_.trailer->image_ok == format::image_ok_set
                                          ? " (confirmed)"
                                          : ""));
        for (const Part& p : v_.parts)
            report_.line("  " + text::address(p.start) + " to " + text::address(p.end) + ": " +
                         p.what);
        return v_.ok();
    }

private:
    // The header's magic elsewhere in the file (a bootloader's literal of
    // it): which place was taken, and why.
    void passed_over() {
        std::string places;
        for (uint64_t a : v_.passed_over)
            places += (places.empty() ? "" : ", ") + text::address(a);
        report_.note("the header's magic 0x96F3B83D is also at " + places +
                     ": no image there; the image checked is the one at " +
                     text::address(v_.address) +
                     (v_.hash_ok ? ", whose header, TLVs and hash agree"
                                 : ", the one that holds together best"));
    }

    // The file ends, or holds nothing for a stretch, inside the image.
    std::string stop_line() const {
        const std::string at = text::address(*v_.stops_at);
        const std::string where = *v_.stops_at < v_.payload_end
                                      ? "inside the image's payload, which its header says "
                                        "runs to " + text::address(v_.payload_end)
                                      : "inside the image's TLVs, which run to " +
                                            text::address(v_.goes_to);
        std::string held = "the file ends at " + at;
        if (v_.hole) held = "the file holds nothing from " + at;
        return "MCUboot image mismatch: " + held + ", " + where + " (MCUboot header at " +
               text::address(v_.address) + ")";
    }

    std::string signature_line() const {
        const std::string held =
            v_.signature ? text::format("%s (TLV 0x%02X)",
                                        format::signature_words(*v_.signature, signer(),
                                                                v_.hash_kind),
                                        *v_.signature)
                         : std::string("none (an unsigned image)");
        if (v_.payload_unchecked())
            return "MCUboot signature: " + held + ", not checked: the payload is encrypted";
        if (!v_.signature_checked) {
            const std::string how = run_.request.asker.setting(Option::mcuboot, "key");
            return "MCUboot signature: " + held + ", not checked: no key (" + how +
                   " checks it)";
        }
        if (v_.signature_ok && v_.key_short)
            return "MCUboot signature: " + held + " by " + v_.key_name +
                   ", verifies, after a key hash too short for CHECK";
        if (v_.signature_ok && v_.signature_counted)
            return "MCUboot signature: " + held + " by " + v_.key_name + ", ok";
        if (v_.signature_ok)
            return "MCUboot signature: " + held + " by " + v_.key_name +
                   ", verifies, but MCUboot passes over it";
        return "MCUboot signature: " + held + ", wrong for " + v_.key_name;
    }

    // An encrypted payload: how its key came, and whether it was decrypted
    // (and so hashed) or is left unchecked.
    std::string payload_line() const {
        const std::string how =
            v_.transport ? text::format("%s (TLV 0x%02X)", v_.transport->name, v_.transport->tlv)
                         : std::string("no key TLV");
        const std::string line =
            text::format("MCUboot payload: encrypted, AES-%u, its key in ", v_.aes) + how;
        if (v_.decrypted) return line + ", decrypted with " + v_.sealing->name;
        if (v_.sealing) return line + ", not decrypted: its hash and signature are not checked";
        return line + ", not checked: no key (" +
               run_.request.asker.setting(Option::mcuboot, "decrypt") +
               " decrypts it); its hash and signature are not checked";
    }

    // The image as FLASH's object describes it, with CHECK's verdicts, and
    // what CHECK found wrong and where each run of bytes lies.
    void object() {
        if (!v_.located) {
            json::Value& o = report_.data().set("mcuboot", json::Value::object());
            o.set("ok", false);
            return;
        }
        format::Description d;
        d.slot = v_.address;
        d.slot_size = v_.settings.slot;
        d.header = v_.header;
        if (run_.build) d.room_added = v_.address < run_.build->loadable.clusters.front().start;
        d.payload = v_.payload_start;
        d.tlv_area = v_.payload_end;
        d.image_end = v_.trailer ? v_.trailer->magic_at + 16 : v_.tlv_end;
        for (const format::Entry& t : v_.areas.entries)
            d.tlvs.push_back({t.type, t.is_protected, v_.address_of(t), &t.value});
        d.hash = v_.hash;
        d.hash_kind = v_.hash_kind;
        d.key_hash = v_.key_hash;
        d.signature = v_.signature;
        d.signer = signer();
        if (v_.trailer) d.trailer = format::Description::Trailer{v_.trailer->magic_at,
                                                                 v_.trailer->image_ok};
        if (v_.aes)
            d.encryption = {v_.transport ? v_.transport->name : nullptr, v_.aes};
        format::Judgement judged;
        // An encrypted payload not decrypted is not ok, though not wrong.
        judged.ok = v_.ok() && !v_.payload_unchecked();
        judged.hash = {!v_.hash.empty(),
                       v_.hash.empty() ? std::nullopt : std::optional<bool>(v_.hash_ok)};
        judged.key = {v_.key_ok.has_value(), v_.key_ok};
        judged.decrypted = {v_.decrypted || v_.sealing.has_value(),
                            v_.sealing ? std::optional<bool>(v_.decrypted) : std::nullopt};
        judged.signature = {v_.signature_checked,
                            v_.signature_checked ? std::optional<bool>(v_.signature_ok)
                                                 : std::nullopt};
        json::Value& o = report_.data().set("mcuboot", format::describe_image(d, &judged));
        if (v_.stops_at) o.set("file_stops_at", *v_.stops_at);
        json::Value& faults = o.set("faults", json::Value::array());
        for (const Fault& f : v_.faults) {
            json::Value& e = faults.push(json::Value::object());
            e.set("what", f.what);
            e.set("address", f.address);
            e.set("held", f.held);
            e.set("wanted", f.wanted);
        }
        json::Value& parts = o.set("parts", json::Value::array());
        for (const Part& p : v_.parts) {
            json::Value& e = parts.push(json::Value::object());
            e.set("start", p.start);
            e.set("end", p.end);
            e.set("what", p.what);
        }
    }

    // The key given, which names the signature it makes.
    std::optional<crypto::KeyType> signer() const {
        return v_.key ? std::optional<crypto::KeyType>(v_.key->type()) : std::nullopt;
    }

    const CheckRun& run_;
    const Verdict& v_;
    Reporter& report_;
};

}  // namespace

bool tell(const CheckRun& run, Reporter& report) {
    if (!run.mcuboot) return true;
    return Lines(run, report).tell();
}

std::string mismatch_line(const Fault& f) {
    return "MCUboot mismatch: " + f.what + " at " + text::address(f.address) + " holds " +
           f.held + "; it should hold " + f.wanted;
}

}  // namespace velk::check::mcuboot
