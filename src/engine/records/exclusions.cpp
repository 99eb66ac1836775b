#include "exclusions.h"

#include <algorithm>

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
    // The records it is cut from (indexes into the plan's records); every
    // record that takes exclusions when the word names none.
    std::vector<size_t> records;
    bool named = false;  // the word names its records
};

Excluded bytes_of(const Exclusion& e, const Asker& asker, const ElfBuild* elf) {
    const std::string& word = e.word;
    if (e.bytes != Exclusion::Bytes::symbol) {
        Excluded hole{e.from, e.to, word, {}, false};
        if (e.bytes == Exclusion::Bytes::unreadable)
            throw Refusal{word +
                          ": give the bytes as <from>-<to> in 0x hex, <to> the first "
                          "byte kept, as in 0x08000100-0x08000200; or a symbol"};
        if (hole.to <= hole.from)
            throw Refusal{word + ": " + address(hole.to) + " is not after " +
                          address(hole.from) +
                          ": the byte at <to> is the first one kept"};
        return hole;
    }
    const std::string& text = e.symbol;
    if (text.empty())
        throw Refusal{word + ": give the bytes as <from>-<to> in 0x hex, or a symbol"};
    if (!elf)
        throw Refusal{
            word + ": " + quoted(text) +
            " is a symbol and the file has none: give 0x addresses, or the build's "
            "ELF file with " +
            asker.name(Option::elf)};
    InFlash object = in_flash(text, *elf, asker, Option::exclude);
    if (object.size == 0)
        throw Refusal{word + ": " + text +
                      " has no size in the symbol table: give its bytes as <from>-<to>"};
    return {object.address, object.address + object.size, word, {}, false};
}

// Whether `name` names the record `p`: as lines name it (a variable, a
// header's field "app_header.crc", an offset "--a1DC"), an offset also as
// the command line spells it from the Python API.
bool names(const std::string& name, const Planned& p) {
    if (name == p.record.label) return true;
    if (!p.from_selector || p.placement.request.selector != layout::Selector::address ||
        name.compare(0, 3, "--a") != 0)
        return false;
    uint64_t offset = 0;
    return read_number(name.substr(3), 16, offset) && offset == p.placement.request.value;
}

// "<bytes>" or "<bytes>:<record>[,<record>...]": the records it is cut from.
Excluded excluded_of(const Exclusion& e, const std::vector<Planned>& records,
                     const Request& request, const ElfBuild* elf) {
    const Asker& asker = request.asker;
    const std::string& word = e.word;
    Excluded hole = bytes_of(e, asker, elf);
    if (!e.records) {
        for (size_t i = 0; i < records.size(); ++i)
            if (records[i].record.producer->takes_exclusions()) hole.records.push_back(i);
        return hole;
    }
    hole.named = true;
    for (const std::string& name : *e.records) {
        if (name.empty())
            throw Refusal{word +
                          ": name the records after ':', as the lines name them, as in " +
                          asker.given(Option::exclude, "calib:app_crc")};
        auto found = std::find_if(records.begin(), records.end(),
                                  [&](const Planned& p) { return names(name, p); });
        if (found == records.end()) {
            std::string known;
            for (const Planned& p : records)
                known += (known.empty() ? "" : ", ") + p.record.label;
            throw Refusal{word + ": no record is named " + quoted(name) + " (the records: " +
                          known + ")"};
        }
        const Record& r = found->record;
        if (!r.producer->takes_exclusions())
            throw Refusal{word + ": " + r.label +
                          " leaves out no bytes: it is no checksum of its range's bytes"};
        const size_t index = static_cast<size_t>(found - records.begin());
        if (std::find(hole.records.begin(), hole.records.end(), index) == hole.records.end())
            hole.records.push_back(index);
    }
    return hole;
}

// The record's range as planned, before any hole: what an exclusion must
// reach into, whatever the others cut.
std::string whose(const Excluded& hole, const std::vector<Planned>& records) {
    if (!hole.named) return "any checksum's range";
    std::string out;
    for (size_t k = 0; k < hole.records.size(); ++k)
        out += (k == 0 ? "" : k + 1 == hole.records.size() ? " or " : ", ") +
               records[hole.records[k]].record.label + "'s";
    return out + " range";
}

}  // namespace

void cut_exclusions(std::vector<Planned>& records, const Request& request,
                    const ElfBuild* elf) {
    std::vector<Excluded> holes;
    for (const Exclusion& e : request.excludes)
        holes.push_back(excluded_of(e, records, request, elf));
    // Each is judged against the ranges as planned, so that the words may
    // come in any order: a hole inside another still covers bytes.
    for (const Excluded& hole : holes) {
        bool covers = false;
        for (size_t i : hole.records)
            covers = covers || records[i].record.range.overlaps(hole.from, hole.to);
        if (!covers)
            throw Refusal{hole.word + " (" + address(hole.from) + " to " + address(hole.to) +
                          ") covers no byte of " + whose(hole, records)};
    }
    std::vector<Intervals> planned;
    for (const Planned& p : records) planned.push_back(p.record.range);
    for (const Excluded& hole : holes)
        for (size_t i : hole.records) records[i].record.range.remove(hole.from, hole.to);
    for (size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i].record;
        if (!r.range.empty() || planned[i].empty()) continue;
        // The words that emptied it, in address order: one alone where one
        // does, else all that cut it.
        std::vector<const Excluded*> cutting;
        for (const Excluded& hole : holes)
            if (std::find(hole.records.begin(), hole.records.end(), i) != hole.records.end() &&
                planned[i].overlaps(hole.from, hole.to))
                cutting.push_back(&hole);
        std::sort(cutting.begin(), cutting.end(), [](const Excluded* a, const Excluded* b) {
            return a->from != b->from ? a->from < b->from : a->to < b->to;
        });
        for (const Excluded* hole : cutting)
            if (hole->from <= planned[i].start() && planned[i].end() <= hole->to)
                throw Refusal{hole->word + " leaves nothing of the range of " + r.label};
        std::string words;
        for (size_t k = 0; k < cutting.size(); ++k)
            words += (k == 0 ? "" : k + 1 == cutting.size() ? " and " : ", ") +
                     cutting[k]->word;
        throw Refusal{words + " leave nothing of the range of " + r.label};
    }
}

}  // namespace velk::records
