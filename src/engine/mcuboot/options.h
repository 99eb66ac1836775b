// imgtool's image options beside the header, key and slot, each a row of
// the settings' table with its reader here:
//   rom-fixed=<address>  the image runs from the slot at that flash offset
//                        alone (flag ROM_FIXED, load_addr)
//   load-addr=<address>  the image is copied to RAM there (flag RAM_LOAD)
//   max-sectors=<n>      the swap status the trailer holds room for
//   overwrite-only       a trailer for overwrite-only updates
//   hex-addr=<address>   the HEX file holds the image at that address
//   boot-record=<role>   the measured-boot record (TLV 0x60)
//   non-bootable         flag NON_BOOTABLE
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../layout/memory_map.h"
#include "boot_record.h"
#include "format.h"
#include "key.h"

namespace velk::mcuboot {

class Reading;
struct Settings;

struct ImageOptions {
    std::optional<uint32_t> rom_fixed;
    std::optional<uint32_t> load_addr;
    std::optional<unsigned> max_sectors;
    bool overwrite_only = false;
    std::optional<uint64_t> hex_addr;
    std::optional<std::string> boot_record;  // the software's role
    bool non_bootable = false;
};

void read_rom_fixed(Reading& r);
void read_load_addr(Reading& r);
void read_max_sectors(Reading& r);
void read_overwrite_only(Reading& r);
void read_hex_addr(Reading& r);
void read_boot_record(Reading& r);
void read_non_bootable(Reading& r);

// What the options given together cannot mean, as a refusal's words after
// the option's name; empty when they can.
std::string options_conflict(const Settings& s);

// The header's flags and load_addr the options ask for.
uint32_t option_flags(const ImageOptions& o);
uint32_t option_load_addr(const ImageOptions& o);

// The trailer the slot holds room for.
Trailer trailer_of(const Settings& s);

// The least trailer CHECK expects room for with max-sectors= or
// overwrite-only, for a trailer magic of `magic_align` (8 stands for every
// write size up to 8, of which 1 makes the least), with room for the AES
// keys of an `encrypted` image: nullopt without either.
// The words say what sizes it: "max-sectors=256".
struct LeastTrailer {
    uint64_t size;
    std::string words;
};
std::optional<LeastTrailer> least_trailer(const Settings& s, unsigned magic_align,
                                          bool encrypted);

// MCUboot boots a ROM-fixed image only from the slot whose offset in its
// flash device load_addr holds. The device's base is not known here: it is
// 0 (load_addr the slot's address, as on an nRF) or an address on a 1 MiB
// boundary above the offset (0x08000000 on an STM32). Whether `load_addr`
// can be the offset of the slot at `slot`.
bool fixed_at(uint32_t load_addr, uint64_t slot);
// What load_addr should hold for a slot at `slot`, in CHECK's words.
std::string fixed_wanted(uint64_t slot);

// What a bootloader would refuse of the options for a slot at `slot`
// (forced with --force): a ROM-fixed address of another slot.
std::vector<std::string> options_refused(const Settings& s, uint64_t slot);

// The boot record with the signer's place zero, where the protected TLVs
// are laid out (sized by the hash likely before the key is open);
// `signed_boot_record` puts the opened key's hash there
// (none: an unsigned image's record keeps zeros), and refuses a key whose
// hash is of another size than the one laid out, naming the sha= that
// lays it out so.
void add_boot_record(const Settings& s, std::vector<Tlv>& protected_tlvs);
void signed_boot_record(const Settings& s, const crypto::Key* opened,
                        crypto::Provider& crypto, const std::string& option,
                        std::vector<Tlv>& protected_tlvs);

// The HEX's image with hex-addr=: the run's image moved so that the slot
// starts at that address, as a programmer of another address space (an
// external flash's own) takes it; nullopt without hex-addr=. An image moved
// below 0 or past 4 GiB is refused.
struct HexImage {
    layout::MemoryMap memory;
    uint64_t moved_by;  // added to every address, modulo 2^64
};
std::optional<HexImage> hex_image(const Settings& s, uint64_t slot,
                                  const layout::MemoryMap& memory, const std::string& option);

// What is wrong with a boot record `value` in an image of `version`
// hashed with `hash`, signed by a key of hash `key_hash` (empty: none to
// compare).
std::vector<RecordFault> boot_record_check(const Bytes& value, const Version& version,
                                           crypto::Hash hash, const Bytes& key_hash);

// CHECK's words for a header's flags, by MCUboot's names, with the address
// load_addr gives the ones that use it: "0x110: ROM_FIXED at 0x08000000,
// NON_BOOTABLE"; "" for none.
std::string flags_words(const Header& h);

// FLASH's words for the options given, after its line's own: "" for none,
// else "; rom-fixed=0x08000000, non-bootable, ...".
std::string options_words(const Settings& s);

}  // namespace velk::mcuboot
