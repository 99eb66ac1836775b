// The rows of the format table, each defined in a file of its own with its
// reader, writer and check. Used by the rows and formats.cpp alone: the
// rest of the engine goes through formats.h.
#pragma once

#include "../checksum/crc.h"
#include "formats.h"

// The rows, in the order a run's files are told after the application's
// HEX: a new format is a file of its own that defines its row, and its
// name here.
#define VELK_FORMAT_ROWS(ROW) \
    ROW(elf_file)             \
    ROW(intel_hex)            \
    ROW(raw_binary)           \
    ROW(srecords)             \
    ROW(uf2_file)             \
    ROW(dfu_file)             \
    ROW(dfuse_file)           \
    ROW(nxp_mbi_file)         \
    ROW(esp32_file)           \
    ROW(nrf_settings_file)

namespace velk::formats {

#define VELK_FORMAT_ROW_DECLARED(row) extern const Format row;
VELK_FORMAT_ROWS(VELK_FORMAT_ROW_DECLARED)
#undef VELK_FORMAT_ROW_DECLARED

// Refuses a device's USB IDs, <vid>:<pid>[:<bcd>], that are not two or
// three hex numbers of 1 to 4 digits: --dfu's and --dfuse's.
void refuse_usb_ids(const HexFields& ids);

// A DFU suffix's CRC, --dfu's and --dfuse's: zlib's CRC-32 without its
// final inversion.
const checksum::Crc& dfu_crc();

// Bytes on to a DFU or DfuSe file, their suffix CRC taken on the way.
class CrcTaking final : public layout::ChunkSink {
public:
    explicit CrcTaking(outfile::Sink& sink) : sink_(sink), reg_(dfu_crc().start()) {}
    void take(uint8_t* chunk, size_t size) override {
        reg_ = dfu_crc().update(reg_, chunk, size, checksum::Feed::bytes);
        sink_.take(chunk, size);
    }
    void put(std::vector<uint8_t> bytes) { take(bytes.data(), bytes.size()); }
    uint64_t reg() const { return reg_; }

private:
    outfile::Sink& sink_;
    uint64_t reg_;
};

// Whether a file of any contents can be written: every format but the
// build's own file.
inline bool always(const Contents&) {
    return true;
}

}  // namespace velk::formats
