#include "wording.h"

#include "text.h"

namespace velk::wording {

namespace {

std::string segment(const std::vector<layout::ProgramHeader>& headers, size_t index) {
    const layout::ProgramHeader& h = headers[index];
    return text::format("%zu (%s, %llu bytes)", index, text::address(h.paddr).c_str(),
                        static_cast<unsigned long long>(h.size()));
}

}  // namespace

std::string layout_fault(const layout::Fault& fault,
                         const std::vector<layout::ProgramHeader>& headers) {
    using F = layout::Fault;
    switch (fault.kind) {
        case F::contents_past_file: {
            const layout::ProgramHeader& h = headers[fault.first];
            return text::format(
                "segment %zu claims %llu bytes at file offset 0x%llX, past the end of "
                "the "
                "file: the file is cut short or damaged",
                fault.first, static_cast<unsigned long long>(h.filesz),
                static_cast<unsigned long long>(h.offset));
        }
        case F::address_overflow:
            return text::format("segment %zu reaches past the 64-bit address space",
                                fault.first);
        case F::overlap:
            return "loadable segments " + segment(headers, fault.first) + " and " +
                   segment(headers, fault.second) +
                   " overlap in flash: there is no single image to checksum";
        case F::nothing_loadable:
            return "no loadable segment with contents (PT_LOAD with file bytes): nothing "
                   "to checksum";
        case F::slot_below_image:
            return "the checksum slot lies below the image";
        case F::record_overflow:
            return "the checksum would lie past the 64-bit address space";
    }
    return "the layout cannot be made";
}

std::string own_headers_loaded(size_t segment, uint64_t from, uint64_t to) {
    return text::format(
        "segment %zu loads the ELF file's own headers at %s to %s behind bytes of its "
        "sections: they are no part of the flash image, and cannot be left out of it "
        "(link with -Wl,-n, or name the segments with PHDRS without FILEHDR and PHDRS)",
        segment, text::address(from).c_str(), text::address(to - 1).c_str());
}

std::string read_fault(const layout::ReadFault& fault, const RecordNames& names) {
    using R = layout::ReadFault;
    std::string line = text::format("line %zu: ", fault.line);
    switch (fault.kind) {
        case R::bad_record:
            return line + "not " + names.record;
        case R::bad_checksum:
            return line + "the record's checksum does not add up";
        case R::bad_type:
            return line + "a record type that is not " + names.record;
        case R::bad_field:
            return line + "a record with the wrong length or address for its type";
        case R::overlap:
            return line + "data for " + text::address(fault.address) +
                   ", which an earlier record already holds";
        case R::past_window: {
            bool gib = fault.window >= uint64_t{1} << 30;
            return line +
                   text::format(
                       "a data record that runs past %s, the end of its %llu %s "
                       "window: readers that wrap put its last bytes at %s",
                       text::address(fault.address + fault.window - 1).c_str(),
                       static_cast<unsigned long long>(fault.window >> (gib ? 30 : 10)),
                       gib ? "GiB" : "KiB", text::address(fault.address).c_str());
        }
        case R::no_end:
            return text::format("no %s (%s) record: the file is cut short",
                                names.end_record, names.end_types);
        case R::entry_twice:
            return line + "a second start address record";
        case R::no_data:
            return std::string("the file holds no data");
        case R::after_end:
            return line + text::format("a record after the %s record (%s)",
                                       names.end_record, fault.record);
        case R::count_differs:
            return line + text::format(
                              "a record count (%s) of %llu, but %llu data records come "
                              "before it",
                              fault.record, static_cast<unsigned long long>(fault.count),
                              static_cast<unsigned long long>(fault.counted));
    }
    return line + "unreadable";
}

std::string address_rule() {
    return "--a takes the checksum's offset from the image start in hex, a multiple of "
           "4, "
           "as in --a1FFC";
}

std::string block_rule() {
    return "--s takes a block size in decimal that is a power of two, as in --s1024";
}

std::string selector_rule() {
    return "give one selector: --n<variable>, --a<hex offset> or --s<block size in "
           "decimal>, as in --ncrc_value";
}

std::string words_rule(const Asker& asker, uint64_t start, uint64_t end, bool piece) {
    const auto bytes = static_cast<unsigned long long>(end - start);
    if (piece)
        return text::format(
            "%s feeds whole 32-bit words, but the piece %s to %s of the checksum's "
            "range, "
            "between the bytes %s leaves out, is %llu bytes: not a multiple of 4",
            asker.turned_on(Option::words).c_str(), text::address(start).c_str(),
            text::address(end).c_str(), asker.name(Option::exclude), bytes);
    return text::format(
        "%s feeds whole 32-bit words, but the checksum covers %llu bytes (%s to %s): not "
        "a multiple of 4",
        asker.turned_on(Option::words).c_str(), bytes, text::address(start).c_str(),
        text::address(end).c_str());
}

std::string no_symbol_table(const Asker& asker, const std::string& name) {
    return "no symbol table, so no \"" + name + "\" (stripped? use " +
           asker.name(Option::offset) + " with the offset the build printed)";
}

std::string did_you_mean(const std::vector<std::string>& closest) {
    std::string line;
    for (size_t i = 0; i < closest.size(); ++i)
        line += (i == 0                    ? " (did you mean "
                 : i + 1 == closest.size() ? " or "
                                           : ", ") +
                closest[i];
    return line + (closest.empty() ? "" : "?)");
}

std::string not_found(const std::string& name, const std::vector<std::string>& closest) {
    return "no symbol named \"" + name + "\"" + did_you_mean(closest);
}

std::string dropped(const std::string& name, const std::vector<std::string>& closest) {
    return not_found(name, closest) +
           "; no symbol or section of the file bears the name: if the source defines it, "
           "the linker dropped it as unused (--gc-sections): keep its section with "
           "KEEP(...) in the linker script (__attribute__((used)) keeps it from the "
           "compiler, not from the linker)";
}

std::string bin_of_fill(const Asker& asker, const std::string& which, uint64_t gaps,
                        uint64_t from, uint64_t to, const std::string& leave_out) {
    return text::format(
        "the %s would hold %llu MiB of fill between %s and %s, where nothing is written: "
        "leave out %s, or %s writes it",
        which.c_str(), static_cast<unsigned long long>(gaps >> 20), text::address(from).c_str(),
        text::address(to).c_str(),
        (leave_out.empty() ? asker.turned_on(Option::bin) : leave_out).c_str(),
        asker.turned_on(Option::force).c_str());
}

std::string merged_start(const Asker& asker, uint64_t entry, EntryFrom from,
                         const std::string& file, bool chosen) {
    const std::string option = asker.name(Option::entry);
    std::string whose = from == EntryFrom::file          ? file + "'s, "
                        : from == EntryFrom::application ? "the application's, "
                                                         : "";
    std::string line = "the merged files' start address is " + text::address(entry) + ", ";
    if (chosen) return line + whose + "as " + option + " gives it";
    if (from == EntryFrom::application) whose = "the application's: no merged file has one ";
    else whose.replace(whose.size() - 2, 2, " ");
    return line + whose + "(" + asker.asking(Option::entry) + " chooses another)";
}

std::string entry_left_out(uint64_t entry) {
    return "the entry point " + text::address(entry) +
           " lies above 4 GiB: the HEX and S-record files carry no start address";
}

}  // namespace velk::wording
