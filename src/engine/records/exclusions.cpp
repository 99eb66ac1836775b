#include "exclusions.h"

#include "../inputs/placement.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "symbols.h"

namespace velk::records {

namespace {

using text::address;

struct Excluded {
    uint64_t from, to;
    std::string word;  // as typed, for refusals
};

Excluded excluded_of(const std::string& text, const Request& request,
                     const ElfBuild* elf) {
    const Front front = request.front;
    const std::string word = given(front, Option::exclude, text);
    if (hex_prefixed(text)) {
        size_t dash = text.find('-');
        Excluded hole{0, 0, word};
        if (dash == std::string::npos ||
            !read_hex_address(text.substr(0, dash), hole.from) ||
            !read_hex_address(text.substr(dash + 1), hole.to))
            throw Refusal{word +
                          ": give the bytes as <from>-<to> in 0x hex, <to> the first "
                          "byte kept, as in 0x08000100-0x08000200; or a symbol"};
        if (hole.to <= hole.from)
            throw Refusal{word + ": " + address(hole.to) + " is not after " +
                          address(hole.from) +
                          ": the byte at <to> is the first one kept"};
        return hole;
    }
    if (text.empty())
        throw Refusal{word + ": give the bytes as <from>-<to> in 0x hex, or a symbol"};
    if (!elf)
        throw Refusal{
            word + ": " + quoted(text) +
            " is a symbol and the file has none: give 0x addresses, or the build's "
            "ELF file with " +
            option_name(front, Option::elf)};
    InFlash object = in_flash(text, *elf, front, Option::exclude);
    if (object.size == 0)
        throw Refusal{word + ": " + text +
                      " has no size in the symbol table: give its bytes as <from>-<to>"};
    return {object.address, object.address + object.size, word};
}

}  // namespace

void cut_exclusions(std::vector<Planned>& records, const Request& request,
                    const ElfBuild* elf) {
    for (const std::string& text : request.excludes) {
        const Excluded hole = excluded_of(text, request, elf);
        bool cut = false;
        for (Planned& p : records) {
            Record& r = p.record;
            if (!r.producer->takes_exclusions() || !r.range.overlaps(hole.from, hole.to))
                continue;
            r.range.remove(hole.from, hole.to);
            cut = true;
            if (r.range.empty())
                throw Refusal{hole.word + " leaves nothing of the range of " + r.label};
        }
        if (!cut)
            throw Refusal{hole.word + " (" + address(hole.from) + " to " +
                          address(hole.to) + ") covers no byte of any checksum's range"};
    }
}

}  // namespace velk::records
