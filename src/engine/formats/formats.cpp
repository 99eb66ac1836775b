#include "formats.h"

#include <array>

#include "rows.h"

namespace velk::formats {

namespace {

// The rows, copied at the first use, whichever file's start-up asks first.
const auto& table() {
#define VELK_FORMAT_ROW_LISTED(row) row,
    static const std::array rows{VELK_FORMAT_ROWS(VELK_FORMAT_ROW_LISTED)};
#undef VELK_FORMAT_ROW_LISTED
    return rows;
}

bool ends_with_folded(const std::string& name, const char* ending) {
    const size_t n = std::char_traits<char>::length(ending);
    if (name.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = name[name.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != ending[i]) return false;
    }
    return true;
}

// "ELF" of "an ELF file": how a list of formats names one.
std::string short_name(const Format& format) {
    std::string name = format.a_file;
    name = name.substr(name.find(' ') + 1);
    const std::string file = " file";
    const size_t n = file.size();
    if (name.size() > n && name.compare(name.size() - n, n, file) == 0)
        name.resize(name.size() - n);
    return name;
}

// "neither an ELF, Intel HEX, S-record, UF2 nor DfuSe file": every format whose
// first bytes say it.
std::string none_of_the_recognised() {
    std::vector<const Format*> known;
    for (const Format& f : table())
        if (!f.suffix_only()) known.push_back(&f);
    const std::string article = std::string(known.front()->a_file).substr(
        0, std::string(known.front()->a_file).find(' ') + 1);
    std::string out = "neither " + article;
    for (size_t i = 0; i < known.size(); ++i)
        out += (i == 0 ? "" : i + 1 == known.size() ? " nor " : ", ") + short_name(*known[i]);
    return out + " file";
}

}  // namespace

const Format* begin() {
    return table().data();
}

const Format* end() {
    return table().data() + table().size();
}

const Format& unnamed() {
    for (const Format& f : table())
        if (f.needs_base && !f.container) return f;
    return table().front();
}

const Format& uf2() {
    for (const Format& f : table())
        if (f.family) return f;
    return table().front();
}

// The longest ending named wins: a.mbi.bin is no raw binary.
const Format* by_name(const std::string& name) {
    const Format* found = nullptr;
    size_t longest = 0;
    for (const Format& f : table())
        for (const char* const* ending = f.endings; *ending; ++ending)
            if (const size_t n = std::char_traits<char>::length(*ending);
                n > longest && ends_with_folded(name, *ending)) {
                found = &f;
                longest = n;
            }
    return found;
}

const Format* by_content(const uint8_t* head, size_t size) {
    for (const Format& f : table())
        if (f.recognise && f.recognise(head, size)) return &f;
    return nullptr;
}

bool asked(const Format& format, const Request& request) {
    return !format.option || request.outputs.count(format.word) != 0;
}

void refuse_asked(const Request& request) {
    for (const Format& f : table())
        if (f.refuse_asked && asked(f, request)) f.refuse_asked(request);
}

std::string file_name(const std::string& root, const Format& format, bool merged) {
    return root + (merged ? "_CRC_merged" : "_CRC") + format.ext;
}

std::vector<std::string> flash_endings() {
    std::vector<std::string> out;
    for (bool merged : {false, true})
        for (const Format& f : table())
            if (f.write && (f.merged || !merged)) out.push_back(file_name("", f, merged));
    return out;
}

std::string holds_no_addresses(const Format* format, bool named) {
    const Format& f = format ? *format : unnamed();
    return (named ? std::string(f.a_file) + " by its name" : none_of_the_recognised()) + "; " +
           f.a_file + " holds no addresses";
}

std::string not_elf(const Format* format) {
    if (format && !format->build)
        return std::string(format->a_file) +
               ", not an ELF file: use CHECK to verify it; a checksum is put in with the "
               "linker's ELF output";
    return "not an ELF file (it does not start with the ELF magic number): pass the "
           "linker's output";
}

}  // namespace velk::formats
