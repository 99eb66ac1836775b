// The measured-boot record an image may carry (TLV 0x60, protected): a
// CBOR map of the software component's properties that a bootloader with
// measured boot hands on to the attestation service. FLASH writes it with
// the measurement's bytes zero; the bootloader puts the image's hash there
// when it measures the image, which is why the measurement comes last.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velk::mcuboot {

// The component's role as the record names it: at most this many
// characters ("SPE", "NSPE", "CoFM").
constexpr size_t sw_type_most = 12;

// The characters of UTF-8 `text`.
size_t characters(const std::string& text);

// The record's CBOR bytes, the properties in the order the bootloader
// expects: the role, the version "<major>.<minor>.<revision>", the signer
// (the signing key's hash), the measurement's kind ("SHA256") and the
// measurement (`digest_size` zero bytes).
std::vector<uint8_t> boot_record(const std::string& sw_type, const std::string& version,
                                 const std::vector<uint8_t>& signer,
                                 const std::string& measured_by, size_t digest_size);

// What is wrong with a boot record as an image carries it, for an image
// of version `version` ("<major>.<minor>.<revision>") signed by a key of
// hash `signer` (empty: no key to compare): the part named, what it holds
// and what it should hold. None: the record is right.
struct RecordFault {
    std::string part;  // "", "version", "signer": "" is the whole record
    std::string held, wanted;
};
std::vector<RecordFault> boot_record_faults(const std::vector<uint8_t>& record,
                                            const std::string& version,
                                            const std::vector<uint8_t>& signer,
                                            size_t digest_size);

}  // namespace velk::mcuboot
