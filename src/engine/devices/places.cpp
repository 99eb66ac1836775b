// A stamp's place, resolved and checked against the planned image.
#include "places.h"

#include "../formats/esp32.h"
#include "../formats/nxp_mbi.h"
#include "../records/plan.h"
#include "../records/symbols.h"
#include "../report/refusal.h"
#include "../report/text.h"

namespace velk::devices {

namespace {

bool overlaps(uint64_t a, uint64_t a_size, uint64_t b, uint64_t b_size) {
    return a < b + b_size && b < a + a_size;
}

// "the stamp serial_no at 0x08000100 (4 bytes)"
std::string named(const stamps::Stamp& stamp, const Place& place) {
    return text::format("the stamp %s at %s (%llu byte%s)", stamp.place.text.c_str(),
                        text::address(place.address).c_str(),
                        static_cast<unsigned long long>(place.size),
                        place.size == 1 ? "" : "s");
}

// Whether the build loads every byte of [address, address + size).
bool loaded(const flash::FlashRun& run, uint64_t address, uint64_t size) {
    uint64_t at = address;
    for (const layout::Piece& p : run.memory.pieces()) {
        if (p.end() <= at || p.address > at) continue;
        if (!p.bytes) return false;  // erased flash between the build's bytes
        at = p.end();
        if (at >= address + size) return true;
    }
    return at >= address + size;
}

void refuse_data(const flash::FlashRun& run, const stamps::Stamp& stamp, const Place& place) {
    std::vector<uint8_t> old(place.size);
    run.memory.read(place.address, old.data(), place.size);
    bool ff = true, zero = true, fill = true;
    for (uint8_t byte : old) {
        ff = ff && byte == 0xFF;
        zero = zero && byte == 0x00;
        fill = fill && byte == run.memory.fill();
    }
    if (ff || zero || fill || run.request.force) return;
    throw Refusal{named(stamp, place) + " would overwrite data: the build holds the bytes " +
                  records::hex_bytes(old.data(), static_cast<unsigned>(old.size())) +
                  " there, not a placeholder (0xFF, 0x00 or the fill value) (" +
                  run.request.asker.turned_on(Option::force) + " writes it anyway)"};
}

}  // namespace

std::vector<Place> places_of(const flash::FlashRun& run,
                             const std::vector<stamps::Stamp>& stamps) {
    std::vector<Place> out;
    for (const stamps::Stamp& stamp : stamps) {
        Place place;
        if (stamp.place.symbol) {
            records::InFlash found = records::in_flash(*stamp.place.symbol, run.elf,
                                                       run.request.asker, Option::stamp);
            if (found.size == 0)
                throw Refusal{"the stamp " + stamp.place.text +
                              ": the symbol has no size in the build's symbol table; give "
                              "its place as 0x<address>:<size>"};
            place = {found.address, found.size};
        } else {
            place = {stamp.place.address, stamp.place.size};
        }
        if (place.size == 0)
            throw Refusal{"the stamp " + stamp.place.text + " has no bytes"};
        if (!loaded(run, place.address, place.size))
            throw Refusal{named(stamp, place) +
                          " lies outside the bytes the build loads into flash"};
        for (const records::Planned& p : run.plan.records)
            if (overlaps(place.address, place.size, p.record.slot, p.record.width))
                throw Refusal{named(stamp, place) + " overlaps " + p.record.label + " at " +
                              text::address(p.record.slot) +
                              ", whose value is computed over the stamped image"};
        if (run.signing) {
            const mcuboot::Signing& s = run.signing.signing();
            if (overlaps(place.address, place.size, s.slot, s.payload - s.slot))
                throw Refusal{named(stamp, place) + " overlaps the MCUboot image's header at " +
                              text::address(s.slot)};
            if (place.address + place.size > s.end)
                throw Refusal{named(stamp, place) + " lies past the MCUboot image's payload (" +
                              text::address(s.end) +
                              " on), where its TLVs and trailer go"};
        }
        formats::refuse_nxp_mbi_stamp(run.request, named(stamp, place), place.address,
                                      place.size, run.bin_range().first);
        formats::refuse_esp32_stamp(run.request, named(stamp, place), place.address,
                                    place.size, run.elf);
        for (size_t i = 0; i < out.size(); ++i)
            if (overlaps(place.address, place.size, out[i].address, out[i].size))
                throw Refusal{named(stamp, place) + " overlaps the stamp " +
                              stamps[i].place.text + " at " + text::address(out[i].address)};
        refuse_data(run, stamp, place);
        out.push_back(place);
    }
    return out;
}

}  // namespace velk::devices
