// CHECK's lines about a signed MCUboot image: each wrong field with what it
// holds and what it should hold, the image, its hash, its key and
// signature (never "ok" for one not checked), its trailer, then what each
// run of the file's bytes is; and --json's "mcuboot" object.
#include "mcuboot_report.h"

#include "../report/text.h"
#include "../request/spelling.h"

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
                         (run_.build && !v_.settings.header
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
        if (v_.hash_ok) report_.line("MCUboot hash: SHA-256 " + text::hex(v_.hash) + ", ok");
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
            v_.signature ? text::format("%s (TLV 0x%02X)", format::signature_name(*v_.signature),
                                        *v_.signature)
                         : std::string("none (an unsigned image)");
        if (!v_.signature_checked) {
            const std::string how = setting(run_.request.front, Option::mcuboot, "key");
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

    void object() {
        json::Value& o = report_.data().set("mcuboot", json::Value::object());
        o.set("ok", v_.ok());
        if (!v_.located) return;
        if (v_.stops_at) o.set("file_stops_at", *v_.stops_at);
        const format::Header& h = v_.header;
        o.set("address", v_.address);
        o.set("header_size", uint64_t{h.hdr_size});
        o.set("image_size", uint64_t{h.img_size});
        o.set("protect_tlv_size", uint64_t{h.protect_tlv_size});
        o.set("load_addr", uint64_t{h.load_addr});
        o.set("flags", uint64_t{h.flags});
        o.set("version", format::version_text(h.version));
        json::Value& tlvs = o.set("tlvs", json::Value::array());
        for (const format::Entry& t : v_.areas.entries) {
            json::Value& e = tlvs.push(json::Value::object());
            e.set("type", uint64_t{t.type});
            e.set("address", v_.address_of(t));
            e.set("protected", t.is_protected);
            e.set("value", text::hex(t.value));
        }
        o.set("hash", text::hex(v_.hash));
        o.set("hash_ok", v_.hash_ok);
        o.set("key_ok", v_.key_ok ? json::Value(*v_.key_ok) : json::Value());
        json::Value& s = o.set("signature", json::Value::object());
        s.set("type", v_.signature ? json::Value(format::signature_name(*v_.signature)) : json::Value());
        s.set("checked", v_.signature_checked);
        s.set("ok", v_.signature_checked ? json::Value(v_.signature_ok) : json::Value());
        if (v_.trailer) {
            json::Value& t = o.set("trailer", json::Value::object());
            t.set("address", v_.trailer->magic_at);
            t.set("image_ok", uint64_t{v_.trailer->image_ok});
        }
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
