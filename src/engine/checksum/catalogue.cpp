#include "catalogue.h"

#include <algorithm>
#include <cctype>

#include "../base/closest.h"

namespace velk::checksum {

namespace {

constexpr bool T = true, F = false;
constexpr uint64_t ones64 = ~uint64_t{0};

Algorithm crc(std::vector<const char*> names, const char* crcmod, CrcParameters parameters,
              const char* check, const char* residue) {
    Algorithm a;
    a.names = std::move(names);
    a.crcmod = crcmod;
    a.parameters = parameters;
    a.check = check;
    a.residue = residue;
    return a;
}

// Listed with its check value; its register does not fit 64 bits.
Algorithm wide(std::vector<const char*> names, unsigned width, const char* check,
               const char* residue) {
    Algorithm a = crc(std::move(names), nullptr, {width, 0, 0, F, F, 0}, check, residue);
    a.kind = Kind::wide_crc;
    return a;
}

Algorithm other(Kind kind, std::vector<const char*> names, unsigned width, const char* check,
                SumParameters sum = {}) {
    Algorithm a = crc(std::move(names), nullptr, {width, 0, 0, F, F, 0}, check, "");
    a.kind = kind;
    a.sum = sum;
    return a;
}

constexpr Complement none = Complement::none, neg = Complement::neg, not_ = Complement::not_;

std::vector<Algorithm> all_rows() {
    std::vector<Algorithm> rows = {
#include "crc_rows.inc"
        // crcmod's own, in no entry of the CRC catalogue. With no final XOR a
        // message followed by its CRC leaves the register clear.
        crc({}, "crc-64", {64, 0x000000000000001B, 0, T, T, 0}, "0x46a5a9388a5beffe",
            "0x0000000000000000"),
        crc({}, "crc-64-jones", {64, 0xAD93D23594C935A9, ones64, T, T, 0},
            "0xcaa717168609f281", "0x0000000000000000"),

        // Sums of bytes, or of little-endian words (big-endian with --be).
        other(Kind::sum, {"sum-8"}, 8, "0xdd", {1, none}),
        other(Kind::sum, {"sum-8/neg"}, 8, "0x23", {1, neg}),
        other(Kind::sum, {"sum-8/not"}, 8, "0x22", {1, not_}),
        other(Kind::sum, {"sum-16"}, 16, "0x01dd", {1, none}),
        other(Kind::sum, {"sum-16/neg"}, 16, "0xfe23", {1, neg}),
        other(Kind::sum, {"sum-16/not"}, 16, "0xfe22", {1, not_}),
        other(Kind::sum, {"sum-32"}, 32, "0x000001dd", {1, none}),
        other(Kind::sum, {"sum-32/neg"}, 32, "0xfffffe23", {1, neg}),
        other(Kind::sum, {"sum-32/not"}, 32, "0xfffffe22", {1, not_}),
        other(Kind::sum, {"sum-16/words"}, 16, "0xd509", {2, none}),
        other(Kind::sum, {"sum-16/words/neg"}, 16, "0x2af7", {2, neg}),
        other(Kind::sum, {"sum-16/words/not"}, 16, "0x2af6", {2, not_}),
        other(Kind::sum, {"sum-32/words"}, 32, "0x6c6a689f", {4, none}),
        // The LPC vector checksum is this sum over the first seven vectors.
        other(Kind::sum, {"sum-32/words/neg"}, 32, "0x93959761", {4, neg}),
        other(Kind::sum, {"sum-32/words/not"}, 32, "0x93959760", {4, not_}),
        other(Kind::fletcher, {"fletcher-16", "fletcher16"}, 16, "0x1ede"),
        other(Kind::fletcher, {"fletcher-32", "fletcher32"}, 32, "0xdf09d509"),
        other(Kind::adler, {"adler-32", "adler32"}, 32, "0x091e01de"),
        other(Kind::sha256, {"sha-256", "sha256"}, 256,
              "0x15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225"),
    };
    // What zlib and most C libraries call crc32 is CRC-32/ISO-HDLC.
    for (Algorithm& a : rows)
        if (a.crcmod && std::string(a.crcmod) == "crc-32")
            a.names.insert(a.names.end(), {"crc32", "zlib", "CRC-32/ZLIB"});
    return rows;
}

const std::vector<Algorithm> rows = all_rows();

}  // namespace

const std::vector<Algorithm>& catalogue() {
    return rows;
}

const Algorithm& default_algorithm() {
    static const Algorithm* mpeg2 = find("crc-32-mpeg");
    return *mpeg2;
}

std::string folded(const std::string& name) {
    std::string out;
    for (char c : name)
        out += c == '_' || c == ' '
                   ? '-'
                   : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

const Algorithm* find(const std::string& name) {
    const std::string wanted = folded(name);
    for (const Algorithm& a : rows)
        if (a.crcmod && wanted == a.crcmod) return &a;
    for (const Algorithm& a : rows)
        for (const char* alias : a.names)
            if (folded(alias) == wanted) return &a;
    return nullptr;
}

std::vector<std::string> names_of(const Algorithm& row) {
    std::vector<std::string> out;
    auto add = [&](const char* name) {
        if (find(name) != &row) return;  // a crcmod name stands for another row
        for (const std::string& n : out)
            if (folded(n) == folded(name)) return;
        out.push_back(name);
    };
    for (const char* n : row.names) add(n);
    if (row.crcmod) add(row.crcmod);
    return out;
}

// Compared folded, so that "crc-32/iso-hdlc" is no typo; told in the
// catalogue's spelling.
std::vector<std::string> nearest(const std::string& name) {
    std::vector<std::string> spelled, folded_names;
    for (const Algorithm& a : rows)
        for (const std::string& n : names_of(a)) {
            spelled.push_back(n);
            folded_names.push_back(folded(n));
        }
    std::vector<std::string> out;
    for (const std::string& near : base::closest_names(folded(name), folded_names))
        for (size_t i = 0; i < folded_names.size(); ++i)
            if (folded_names[i] == near) {
                out.push_back(find(spelled[i])->name());
                break;
            }
    // Two aliases of one row are one suggestion.
    std::vector<std::string> unique;
    for (const std::string& n : out)
        if (std::find(unique.begin(), unique.end(), n) == unique.end()) unique.push_back(n);
    return unique;
}

const Algorithm* crc_with(const CrcParameters& p) {
    const uint64_t mask = p.width == 64 ? ones64 : (uint64_t{1} << p.width) - 1;
    for (const Algorithm& a : rows) {
        const CrcParameters& q = a.parameters;
        if (a.kind == Kind::crc && q.width == p.width && q.poly == (p.poly & mask) &&
            q.init == (p.init & mask) && q.refin == p.refin && q.refout == p.refout &&
            q.xorout == (p.xorout & mask))
            return &a;
    }
    return nullptr;
}

}  // namespace velk::checksum
