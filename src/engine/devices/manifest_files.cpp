#include "manifest_files.h"

#include <algorithm>
#include <map>

#include "../report/json.h"

namespace velk::devices {

namespace {

// A stamp and a record are one shape: a named place, its value as shown
// and its bytes.
template <class Item>
void put_places(json::Value& entry, const char* list, const char* name_key,
                const std::vector<Item>& items, std::string Item::*name) {
    json::Value& out = entry.set(list, json::Value::array());
    for (const Item& p : items) {
        json::Value& v = out.push(json::Value::object());
        v.set(name_key, p.*name);
        v.set("address", p.address);
        v.set("value", p.value);
        v.set("bytes", p.bytes);
    }
}

json::Value entry_value(const Entry& entry) {
    json::Value e = json::Value::object();
    e.set("id", entry.id);
    e.set("index", static_cast<uint64_t>(entry.index));
    put_places(e, "stamps", "place", entry.stamps, &Entry::Stamped::place);
    put_places(e, "records", "record", entry.records, &Entry::Stored::record);
    json::Value& files = e.set("files", json::Value::array());
    for (const Entry::Written& w : entry.files) {
        json::Value& v = files.push(json::Value::object());
        v.set("name", w.name);
        v.set("sha256", w.sha256);
    }
    return e;
}

// The manifest.csv columns past the id: a place, a record or a file's
// ending, in the order the devices first show them. A name that comes
// twice in one device (two records of one name) is a column each time.
class Columns {
public:
    // The column of the `n`th item called `name` (from 0), made when new.
    size_t at(const std::string& name, size_t n) {
        auto key = std::make_pair(name, n);
        auto it = index_.find(key);
        if (it != index_.end()) return it->second;
        index_.emplace(key, names_.size());
        names_.push_back(name);
        return names_.size() - 1;
    }
    const std::vector<std::string>& names() const { return names_; }

private:
    std::map<std::pair<std::string, size_t>, size_t> index_;
    std::vector<std::string> names_;
};

// Calls `each(column kind, name, cell)` for a device's cells in order.
template <class Each>
void cells_of(const Entry& entry, Each each) {
    std::map<std::string, size_t> seen[3];
    for (const Entry::Stamped& s : entry.stamps) each(0, s.place, seen[0][s.place]++, s.value);
    for (const Entry::Stored& r : entry.records) each(1, r.record, seen[1][r.record]++, r.value);
    for (const Entry::Written& w : entry.files) each(2, w.ending, seen[2][w.ending]++, w.sha256);
}

// Pieces go to the sink in stretches of this many bytes or so.
constexpr size_t stretch = 64 * 1024;

}  // namespace

std::string json_line(const Entry& entry) {
    return entry_value(entry).dump();
}

namespace manifest {

void write_json(const Identity& identity, const std::vector<Entry>& entries, const Sink& sink) {
    json::Value head = json::Value::object();
    head.set("input", identity.input);
    head.set("input_sha256", identity.input_sha256);
    json::Value& stamps = head.set("stamps", json::Value::array());
    for (const Identity::Stamp& s : identity.stamps) {
        json::Value& v = stamps.push(json::Value::object());
        v.set("place", s.place);
        v.set("address", s.address);
        v.set("size", s.size);
        v.set("values", s.values);
    }
    std::string text = head.dump();
    text.pop_back();  // the closing brace: the devices go before it
    text += ",\n \"devices\": [";
    for (size_t i = 0; i < entries.size(); ++i) {
        text += i ? ",\n  " : "\n  ";
        text += entry_value(entries[i]).dump();
        if (text.size() >= stretch) {
            sink(text);
            text.clear();
        }
    }
    text += entries.empty() ? "]}\n" : "\n ]}\n";
    sink(text);
}

std::string csv_cell(const std::string& text) {
    bool quoted = text.find_first_of(",\"\r\n") != std::string::npos ||
                  (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!quoted) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

void write_csv(const std::vector<Entry>& entries, const Sink& sink) {
    // Stamps, then records, then files, each kind's columns in the order
    // the devices show them.
    Columns kinds[3];
    for (const Entry& e : entries)
        cells_of(e, [&](int kind, const std::string& name, size_t n, const std::string&) {
            kinds[kind].at(name, n);
        });
    std::string text = "id";
    for (const Columns& columns : kinds)
        for (const std::string& name : columns.names()) text += ',' + csv_cell(name);
    text += "\r\n";
    const size_t base[3] = {0, kinds[0].names().size(),
                            kinds[0].names().size() + kinds[1].names().size()};
    std::vector<const std::string*> row(base[2] + kinds[2].names().size());
    for (const Entry& e : entries) {
        std::fill(row.begin(), row.end(), nullptr);
        cells_of(e, [&](int kind, const std::string& name, size_t n, const std::string& cell) {
            row[base[kind] + kinds[kind].at(name, n)] = &cell;
        });
        text += csv_cell(e.id);
        for (const std::string* cell : row) {
            text += ',';
            if (cell) text += csv_cell(*cell);
        }
        text += "\r\n";
        if (text.size() >= stretch) {
            sink(text);
            text.clear();
        }
    }
    sink(text);
}

}  // namespace manifest

}  // namespace velk::devices
