// Every device's values at every stamp's place, made and checked before a
// device file is written: a run that stops half way through for a bad cell
// or a duplicate serial would leave a production line with some boards
// flashed and the rest unknown.
#include <algorithm>
#include <map>
#include <string_view>
#include <unordered_map>

#include "../numbers/numbers.h"
#include "../platform/platform.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "csv.h"
#include "stamps.h"
#include "words.h"

namespace velk::stamps {

namespace {

// A CSV stamp's table (shared by the stamps that name one file) and column;
// a file stamp's names in the order the devices take them.
struct Loaded {
    const CsvTable* table = nullptr;
    size_t column = 0;
    std::vector<std::string> names;
};

const CsvTable& load_csv(const Stamp& stamp, std::map<std::string, CsvTable>& tables) {
    const auto known = tables.find(stamp.path);
    if (known != tables.end()) return known->second;
    std::vector<uint8_t> bytes;
    if (const int error = platform::read_file(stamp.path, bytes))
        refuse(stamp.typed, "cannot read " + values::quoted(stamp.path) + ": " +
                                platform::error_text(error));
    CsvTable table;
    std::string error;
    if (!read_csv(bytes, table, error)) refuse(stamp.typed, stamp.path + ": " + error);
    if (table.rows.empty())
        refuse(stamp.typed,
               stamp.path + " has no rows below its header: one row a device");
    return tables.emplace(stamp.path, std::move(table)).first->second;
}

size_t column_of(const Stamp& stamp, const CsvTable& table) {
    const auto& header = table.header;
    const auto found = std::find(header.begin(), header.end(), stamp.column);
    if (found == header.end()) {
        std::string names;
        for (const std::string& name : header)
            names += (names.empty() ? "" : ", ") + values::quoted(name);
        refuse(stamp.typed, stamp.path + " has no column " +
                                values::quoted(stamp.column) + "; its columns are " +
                                names);
    }
    if (std::find(found + 1, header.end(), stamp.column) != header.end())
        refuse(stamp.typed, stamp.path + " has two columns named " +
                                values::quoted(stamp.column) + ": rename one");
    return static_cast<size_t>(found - header.begin());
}

// '*' any run of characters, '?' one; byte for byte otherwise.
bool matches(const std::string& pattern, const std::string& name) {
    size_t p = 0, n = 0, star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::vector<std::string> blob_names(const Stamp& stamp) {
    const std::string folder = stamp.path.empty() ? "." : stamp.path;
    if (platform::kind_of(folder) != platform::Kind::directory)
        refuse(stamp.typed, values::quoted(folder) + " is not a folder");
    std::vector<std::string> names;
    for (std::string& name : platform::entries(folder)) {
        // As a shell's glob: a hidden file only for a pattern that starts '.'.
        if (name[0] == '.' && stamp.pattern[0] != '.') continue;
        if (matches(stamp.pattern, name) &&
            platform::kind_of(stamp.path + name) == platform::Kind::file)
            names.push_back(std::move(name));
    }
    if (names.empty())
        refuse(stamp.typed, "no file in " + values::quoted(folder) + " matches " +
                                values::quoted(stamp.pattern));
    std::sort(names.begin(), names.end());
    return names;
}

// The devices a stamp gives by itself; none for one that counts on as far
// as asked (a serial without a last, a MAC).
std::optional<uint64_t> own_count(const Stamp& stamp, const Loaded& source) {
    switch (stamp.source) {
        case Source::serial:
            if (!stamp.last) return std::nullopt;
            // Every 64-bit serial (0..0xFFFFFFFFFFFFFFFF) is one more than a count holds.
            return *stamp.last - stamp.first == UINT64_MAX
                       ? UINT64_MAX
                       : *stamp.last - stamp.first + 1;
        case Source::csv:
            return source.table->rows.size();
        case Source::file:
            return source.names.size();
        case Source::mac:
            return std::nullopt;
    }
    return std::nullopt;
}

constexpr uint64_t most_devices = 1000000;

uint64_t agreed_count(const std::vector<Stamp>& stamps,
                      const std::vector<Loaded>& sources, std::optional<uint64_t> count) {
    std::optional<uint64_t> agreed = count;
    std::string by = "the count asked for is";  // who gave the count agreed, for refusals
    for (size_t s = 0; s < stamps.size(); ++s) {
        const std::optional<uint64_t> own = own_count(stamps[s], sources[s]);
        if (!own) continue;
        if (!agreed) {
            agreed = own;
            by = stamps[s].typed.word + " gives";
        } else if (*own != *agreed) {
            throw Refusal{stamps[s].typed.word + " gives " + std::to_string(*own) +
                          " devices, but " + by + " " + std::to_string(*agreed) +
                          ": every stamp must give each device one value"};
        }
    }
    if (!agreed)
        throw Refusal{
            stamps.front().typed.word +
            ": no stamp says how many devices there are: give --count <n>, or a "
            "last serial (serial:1001..1100)"};
    // A typo of a last serial (serial:1..10000000 for ..1000) would make the
    // run hold every device's values, then fail for memory.
    if (*agreed > most_devices)
        throw Refusal{
            text::format("%llu devices in one run (%s %llu), more than %llu: split "
                         "it into runs of fewer",
                         static_cast<unsigned long long>(*agreed), by.c_str(),
                         static_cast<unsigned long long>(*agreed),
                         static_cast<unsigned long long>(most_devices))};
    return *agreed;
}

// Why an id cannot be part of a device's file names; nullptr when it can.
// A CSV's id is typed by whoever made the sheet: "../x" or "a/b" would put
// a device's files outside the run's folder.
const char* id_problem(const std::string& id) {
    if (id.empty()) return "it is empty";
    if (id.size() > 64) return "it is longer than 64 characters";
    for (const char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '+'))
            return "an id holds letters, digits, '-', '_', '.' and '+' alone";
    if (id[0] == '.') return "it starts with '.'";
    if (id.find("..") != std::string::npos) return "it holds \"..\"";
    return nullptr;
}

std::string lower_case(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Where a device's values come from, for a refusal: a CSV's line, a file.
std::string origin(const Stamp& stamp, const Loaded& source, size_t device) {
    if (stamp.source == Source::csv)
        return text::format("line %zu of ", source.table->lines[device]) + stamp.path;
    if (stamp.source == Source::file) return values::quoted(source.names[device]);
    return "device " + std::to_string(device + 1);
}

Value csv_value(const Stamp& stamp, const Loaded& source, size_t device, uint64_t width,
                bool big_endian) {
    const std::string& cell = source.table->rows[device][source.column];
    const auto where = [&] { return origin(stamp, source, device) + ": "; };
    switch (stamp.cell) {
        case Stamp::Cell::integer: {
            uint64_t number = 0;
            bool hex = false, lower = false;
            size_t digits = 0;
            if (!read_serial_number(cell, number, hex, lower, digits))
                refuse(stamp.typed,
                       where() + values::quoted(cell) +
                           " is not a number (decimal or 0x); a text slot takes "
                           "csv:<file>:<column>:text, hex bytes :bytes");
            if (!fits(number, width))
                refuse(stamp.typed,
                       where() + cell + " does not fit " + places_bytes(width));
            return {number_bytes(number, width, big_endian), cell};
        }
        case Stamp::Cell::bytes: {
            Value v{{}, cell};
            if (!numbers::hex_bytes(cell, v.bytes) || v.bytes.size() != width)
                refuse(stamp.typed, where() + values::quoted(cell) +
                                        " is not hex digits, two a byte, for exactly " +
                                        places_bytes(width));
            return v;
        }
        case Stamp::Cell::text:
            if (cell.size() > width)
                refuse(stamp.typed, where() + values::quoted(cell) + " is " +
                                        std::to_string(cell.size()) +
                                        " bytes, longer than " + places_bytes(width));
            return {text_bytes(cell, width), cell};
    }
    return {};
}

// Each stamp's values for every device, checked as they are made.
void fill(Devices& devices, size_t s, const Stamp& stamp, const Loaded& source,
          uint64_t width, bool big_endian) {
    const size_t n = devices.count;
    auto at = [&](size_t d) -> Value& { return devices.values[d * devices.stamps + s]; };
    switch (stamp.source) {
        case Source::serial: {
            const uint64_t last = stamp.first + (n - 1);
            if (last < stamp.first || !fits(last, width))
                refuse(stamp.typed, text::format("%zu devices count to serial ", n) +
                                        (last < stamp.first ? std::string("past 64 bits")
                                                            : serial_text(stamp, last)) +
                                        ", which does not fit " + places_bytes(width));
            for (size_t d = 0; d < n; ++d) {
                const uint64_t serial = stamp.first + d;
                at(d) = {number_bytes(serial, width, big_endian),
                         serial_text(stamp, serial)};
            }
            return;
        }
        case Source::mac: {
            if (width != 6)
                refuse(stamp.typed,
                       "a MAC address takes 6 bytes, but " + places_bytes(width));
            if (n - 1 > last_mac - stamp.mac)
                refuse(stamp.typed,
                       text::format("%zu devices count past ff:ff:ff:ff:ff:ff", n));
            for (size_t d = 0; d < n; ++d)
                at(d) = {number_bytes(stamp.mac + d, 6, true),
                         mac_text(stamp.mac + d, ':')};
            return;
        }
        case Source::csv: {
            // The id column stamped is the devices' serials: "0x10" and
            // "16" are two ids, one number, and two boards would get it.
            std::unordered_map<std::string, size_t> seen;
            for (size_t d = 0; d < n; ++d) {
                at(d) = csv_value(stamp, source, d, width, big_endian);
                if (source.column != 0) continue;
                const auto [it, added] = seen.emplace(
                    std::string(at(d).bytes.begin(), at(d).bytes.end()), d);
                if (!added)
                    refuse(stamp.typed, origin(stamp, source, it->second) + " and " +
                                            origin(stamp, source, d) + " give the same id twice: " +
                                            values::quoted(devices.ids[it->second]) +
                                            " and " + values::quoted(devices.ids[d]) +
                                            " are one value");
            }
            return;
        }
        case Source::file: {
            // A key or a calibration table given to two devices is a copy
            // made by mistake: each board's own is the point of the folder.
            // Blobs by a hash of their bytes: a folder of large calibration
            // tables is held once, as the devices' values.
            std::unordered_multimap<size_t, size_t> seen;
            for (size_t d = 0; d < n; ++d) {
                const std::string path = stamp.path + source.names[d];
                Value v{{}, source.names[d]};
                if (const int error = read_blob(path, width, v.bytes))
                    refuse(stamp.typed, blob_refusal(path, width, error));
                const size_t hash = std::hash<std::string_view>()(std::string_view(
                    reinterpret_cast<const char*>(v.bytes.data()), v.bytes.size()));
                const auto same = seen.equal_range(hash);
                for (auto it = same.first; it != same.second; ++it)
                    if (at(it->second).bytes == v.bytes)
                        refuse(stamp.typed,
                               "devices " + devices.ids[it->second] + " and " +
                                   devices.ids[d] + " would get the same blob: " +
                                   values::quoted(source.names[it->second]) + " and " +
                                   values::quoted(source.names[d]) +
                                   " hold the same bytes");
                seen.emplace(hash, d);
                at(d) = std::move(v);
            }
            return;
        }
    }
}

std::string id_of(const Stamp& stamp, const Loaded& source, size_t device) {
    switch (stamp.source) {
        case Source::serial:
            return serial_text(stamp, stamp.first + device);
        case Source::mac:
            return mac_text(stamp.mac + device, '\0');
        case Source::csv:
            return source.table->rows[device][0];
        case Source::file: {
            const std::string& name = source.names[device];
            const size_t dot = name.rfind('.');
            return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
        }
    }
    return {};
}

// A CSV whose stamped column is not its first: the line's reader expects
// the id to be the column stamped, and is told which one names the files.
std::string id_column(const Stamp& stamp, const Loaded& source) {
    if (stamp.source != Source::csv || source.column == 0) return {};
    return ": a device's id, which names its files, is the CSV's first column (" +
           values::quoted(source.table->header[0]) + "); put a column of distinct ids first";
}

// Ids name files: each once, and a case apart is no difference on the
// file systems of Windows and macOS.
void check_ids(const Devices& devices, const Stamp& first, const Loaded& source) {
    std::unordered_map<std::string, size_t> seen;
    for (size_t d = 0; d < devices.count; ++d) {
        const std::string& id = devices.ids[d];
        if (const char* problem = id_problem(id))
            refuse(first.typed, origin(first, source, d) + ": the id " +
                                    values::quoted(id) +
                                    " cannot name a device's files: " + problem);
        const auto [it, added] = seen.emplace(lower_case(id), d);
        if (!added)
            refuse(first.typed, origin(first, source, it->second) + " and " +
                                    origin(first, source, d) + " give the same id " +
                                    (devices.ids[it->second] == id
                                         ? values::quoted(id)
                                         : values::quoted(devices.ids[it->second]) +
                                               " and " + values::quoted(id) +
                                               " (one file name where case is ignored)") +
                                    id_column(first, source));
    }
}

// Two serial or two MAC stamps whose ranges meet would give a value twice.
void check_overlaps(const Devices& devices, const std::vector<Stamp>& stamps) {
    for (size_t a = 0; a < stamps.size(); ++a)
        for (size_t b = a + 1; b < stamps.size(); ++b) {
            const Stamp &x = stamps[a], &y = stamps[b];
            if (x.source != y.source ||
                (x.source != Source::serial && x.source != Source::mac))
                continue;
            const bool serial = x.source == Source::serial;
            const uint64_t fx = serial ? x.first : x.mac, fy = serial ? y.first : y.mac;
            const uint64_t lx = fx + (devices.count - 1), ly = fy + (devices.count - 1);
            if (lx < fy || ly < fx) continue;
            const uint64_t value = std::max(fx, fy);
            const std::string shown =
                serial ? serial_text(x, value) : mac_text(value, ':');
            throw Refusal{x.typed.word + " and " + y.typed.word + " give " +
                          (serial ? "serial " : "MAC ") + shown + " twice: to device " +
                          devices.ids[value - fx] + " and to device " +
                          devices.ids[value - fy]};
        }
}

}  // namespace

Devices read_devices(const std::vector<Stamp>& stamps,
                     const std::vector<uint64_t>& widths, std::optional<uint64_t> count,
                     bool big_endian) {
    if (stamps.empty() || widths.size() != stamps.size())
        throw InternalError{"read_devices: a width for each stamp"};
    std::map<std::string, CsvTable> tables;
    std::vector<Loaded> sources(stamps.size());
    for (size_t s = 0; s < stamps.size(); ++s) {
        const Stamp& stamp = stamps[s];
        // A symbol the build declared without a size (an extern, a label).
        if (widths[s] == 0)
            refuse(stamp.typed, "the place " + values::quoted(stamp.place.text) +
                                    " has no size: stamp an object with one, or give "
                                    "0x<address>:<size>");
        if (stamp.source == Source::csv) {
            sources[s].table = &load_csv(stamp, tables);
            sources[s].column = column_of(stamp, *sources[s].table);
        } else if (stamp.source == Source::file) {
            sources[s].names = blob_names(stamp);
        }
    }
    Devices devices;
    const uint64_t n = agreed_count(stamps, sources, count);
    devices.count = static_cast<size_t>(n);
    devices.stamps = stamps.size();
    devices.ids.reserve(devices.count);
    for (size_t d = 0; d < devices.count; ++d)
        devices.ids.push_back(id_of(stamps[0], sources[0], d));
    check_ids(devices, stamps[0], sources[0]);
    devices.values.resize(devices.count * devices.stamps);
    for (size_t s = 0; s < stamps.size(); ++s)
        fill(devices, s, stamps[s], sources[s], widths[s], big_endian);
    check_overlaps(devices, stamps);
    return devices;
}

}  // namespace velk::stamps
