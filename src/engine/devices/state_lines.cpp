#include "state_lines.h"

#include <cstdio>
#include <optional>

#include "../checksum/catalogue.h"

namespace velk::devices::state {

const char* const first_line = "velk-crc devices state 1";

namespace {

// The seal of a line: CRC-32/ISO-HDLC, zlib's, so that a line can be
// checked by hand with any CRC tool.
uint32_t seal_of(const char* data, size_t size) {
    static const checksum::Crc crc(checksum::find("crc-32/iso-hdlc")->parameters);
    return static_cast<uint32_t>(crc.of(reinterpret_cast<const uint8_t*>(data), size));
}

std::string hex8(uint32_t value) {
    char buffer[9];
    std::snprintf(buffer, sizeof buffer, "%08x", static_cast<unsigned>(value));
    return buffer;
}

class Line {
public:
    explicit Line(const char* tag) : text_(tag) {}

    Line& field(const std::string& text) {
        text_ += '\t';
        for (char c : text) {
            switch (c) {
                case '\\': text_ += "\\\\"; break;
                case '\t': text_ += "\\t"; break;
                case '\n': text_ += "\\n"; break;
                case '\r': text_ += "\\r"; break;
                default: text_ += c;
            }
        }
        return *this;
    }
    Line& field(uint64_t number) { return field(std::to_string(number)); }

    std::string sealed() const {
        return text_ + '\t' + hex8(seal_of(text_.data(), text_.size())) + '\n';
    }

private:
    std::string text_;
};

// A line's fields after its seal is checked; none when the seal or an
// escape is wrong.
std::optional<std::vector<std::string>> fields_of(const std::string& line) {
    size_t tab = line.rfind('\t');
    if (tab == std::string::npos || line.size() - tab != 9) return std::nullopt;
    if (line.compare(tab + 1, 8, hex8(seal_of(line.data(), tab))) != 0) return std::nullopt;
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < tab; ++i) {
        char c = line[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c != '\\') {
            fields.back() += c;
        } else {
            if (++i == tab) return std::nullopt;
            switch (line[i]) {
                case '\\': fields.back() += '\\'; break;
                case 't': fields.back() += '\t'; break;
                case 'n': fields.back() += '\n'; break;
                case 'r': fields.back() += '\r'; break;
                default: return std::nullopt;
            }
        }
    }
    return fields;
}

// Takes the fields of one line in order; `ok` goes false at the first
// that is missing or not what it should be.
class Fields {
public:
    explicit Fields(std::vector<std::string> fields) : fields_(std::move(fields)) {}

    std::string text() {
        if (next_ >= fields_.size()) {
            ok = false;
            return {};
        }
        return std::move(fields_[next_++]);
    }
    uint64_t number() {
        std::string digits = text();
        uint64_t value = 0;
        if (digits.empty() || digits.size() > 19) ok = false;
        for (char c : digits) {
            if (c < '0' || c > '9') {
                ok = false;
                return 0;
            }
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        return value;
    }
    // A count of items of `width` fields each that the line has room for.
    size_t items(size_t width) {
        uint64_t n = number();
        if (n > (fields_.size() - next_) / width) ok = false;
        return ok ? static_cast<size_t>(n) : 0;
    }
    bool tag(const char* expected) { return text() == expected && ok; }
    bool all_taken() const { return ok && next_ == fields_.size(); }

    bool ok = true;

private:
    std::vector<std::string> fields_;
    size_t next_ = 0;
};

// The stamps or the records of a device: a count, then each a named
// place, its value as shown and its bytes.
template <class Item>
void places_of(Fields& f, std::vector<Item>& out, std::string Item::*name) {
    for (size_t n = f.items(4); n > 0; --n) {
        Item p;
        p.*name = f.text();
        p.address = f.number();
        p.value = f.text();
        p.bytes = f.text();
        out.push_back(std::move(p));
    }
}

template <class Item>
void put_places(Line& line, const std::vector<Item>& items, std::string Item::*name) {
    line.field(static_cast<uint64_t>(items.size()));
    for (const Item& p : items) line.field(p.*name).field(p.address).field(p.value).field(p.bytes);
}

std::optional<Entry> entry_of(Fields f) {
    Entry e;
    if (!f.tag("device")) return std::nullopt;
    e.index = static_cast<size_t>(f.number());
    e.id = f.text();
    places_of(f, e.stamps, &Entry::Stamped::place);
    places_of(f, e.records, &Entry::Stored::record);
    for (size_t n = f.items(3); n > 0; --n) {
        Entry::Written w;
        w.name = f.text();
        w.ending = f.text();
        w.sha256 = f.text();
        e.files.push_back(std::move(w));
    }
    if (!f.all_taken()) return std::nullopt;
    return e;
}

}  // namespace

std::string identity_lines(const Identity& identity) {
    std::string out = std::string(first_line) + '\n';
    out += Line("input").field(identity.input).field(identity.input_sha256).sealed();
    for (const Identity::Stamp& s : identity.stamps)
        out += Line("stamp").field(s.place).field(s.address).field(s.size).field(s.values)
                   .sealed();
    out += Line("words").field(identity.words).sealed();
    out += Line("count").field(static_cast<uint64_t>(identity.count)).sealed();
    return out;
}

std::string entry_line(const Entry& entry) {
    Line line("device");
    line.field(static_cast<uint64_t>(entry.index)).field(entry.id);
    put_places(line, entry.stamps, &Entry::Stamped::place);
    put_places(line, entry.records, &Entry::Stored::record);
    line.field(static_cast<uint64_t>(entry.files.size()));
    for (const Entry::Written& w : entry.files) line.field(w.name).field(w.ending).field(w.sha256);
    return line.sealed();
}

Read read(const std::string& text) {
    Read r;
    // Where each line starts and ends: a state of many devices is not
    // held twice.
    std::vector<std::pair<size_t, size_t>> spans;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            r.torn = true;  // a line whose end never reached the disk
            break;
        }
        spans.emplace_back(at, end);
        at = end + 1;
    }
    auto line = [&](size_t i) {
        return text.substr(spans[i].first, spans[i].second - spans[i].first);
    };
    auto damaged = [&](size_t i, const char* what) {
        r.damage = "line " + std::to_string(i + 1) + " " + what;
        return r;
    };
    if (spans.empty() || line(0) != first_line) {
        if (spans.empty() && !r.torn) return damaged(0, "is missing: the file is empty");
        if (spans.empty() || line(0).rfind("velk-crc devices state ", 0) != 0)
            return damaged(0, "is not a devices run's state");
        return damaged(0, "names another version of the state, not this velk-crc's");
    }
    // The identity was written whole before any device: every line of it
    // must be there and sound.
    size_t i = 1;
    auto next = [&]() -> std::optional<Fields> {
        if (i >= spans.size()) return std::nullopt;
        auto fields = fields_of(line(i));
        if (!fields) return std::nullopt;
        return Fields(std::move(*fields));
    };
    auto f = next();
    if (!f || !f->tag("input")) return damaged(i, "is damaged: the run's input was expected");
    r.identity.input = f->text();
    r.identity.input_sha256 = f->text();
    if (!f->all_taken()) return damaged(i, "is damaged: the run's input was expected");
    for (++i;; ++i) {
        f = next();
        if (!f) return damaged(i, "is damaged: the run's stamps or words were expected");
        std::string tag = f->text();
        if (tag == "words") {
            r.identity.words = f->text();
            if (!f->all_taken()) return damaged(i, "is damaged: the run's words were expected");
            break;
        }
        Identity::Stamp s;
        s.place = f->text();
        s.address = f->number();
        s.size = f->number();
        s.values = f->text();
        if (tag != "stamp" || !f->all_taken())
            return damaged(i, "is damaged: the run's stamps or words were expected");
        r.identity.stamps.push_back(std::move(s));
    }
    ++i;
    f = next();
    if (!f || !f->tag("count")) return damaged(i, "is damaged: the run's count was expected");
    r.identity.count = static_cast<size_t>(f->number());
    if (!f->all_taken()) return damaged(i, "is damaged: the run's count was expected");

    for (++i; i < spans.size(); ++i) {
        auto fields = fields_of(line(i));
        std::optional<Entry> e;
        if (fields) e = entry_of(Fields(std::move(*fields)));
        if (!e || e->index != r.entries.size()) {
            // Only the last line can have been cut short by a kill or a
            // power cut while its batch was appended.
            if (i + 1 == spans.size() && !r.torn) {
                r.torn = true;
                break;
            }
            return damaged(i, e ? "is damaged: it names a device out of order"
                                : "is damaged");
        }
        r.entries.push_back(std::move(*e));
    }
    if (r.entries.size() > r.identity.count)
        return damaged(i - 1, "is damaged: it names more devices than the run has");
    return r;
}

std::vector<std::string> differences(const Identity& was, const Identity& is) {
    std::vector<std::string> out;
    // What each was and is, where it is short enough to read on one line.
    auto then_now = [](const std::string& then, const std::string& now) {
        return " (" + then + ", now " + now + ")";
    };
    auto first12 = [](const std::string& digest) { return digest.substr(0, 12) + "..."; };
    if (was.input != is.input) out.push_back("the input's name" + then_now(was.input, is.input));
    if (was.input_sha256 != is.input_sha256)
        out.push_back("the input's SHA-256" +
                      then_now(first12(was.input_sha256), first12(is.input_sha256)));
    bool same_stamps = was.stamps.size() == is.stamps.size();
    for (size_t k = 0; same_stamps && k < was.stamps.size(); ++k) {
        const Identity::Stamp &a = was.stamps[k], &b = is.stamps[k];
        same_stamps = a.place == b.place && a.address == b.address && a.size == b.size &&
                      a.values == b.values;
    }
    if (!same_stamps) out.push_back("the stamps");
    if (was.words != is.words)
        out.push_back("the words that shape the files" +
                      then_now("\"" + was.words + "\"", "\"" + is.words + "\""));
    if (was.count != is.count)
        out.push_back("the count" +
                      then_now(std::to_string(was.count), std::to_string(is.count)));
    return out;
}

}  // namespace velk::devices::state
