// The engine without an interpreter: its checksum catalogue against the
// bitwise definition (check values, residues, and every way the tables
// run), and FLASH and CHECK run through the engine's own
// command line on real firmware, with a host of this program's own.
//   velk_engine_test <tests/data folder> <scratch folder>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "../../src/engine/base/byte_order.h"
#include "../../src/engine/checksum/catalogue.h"
#include "../../src/engine/cli/command_line.h"
#include "../../src/engine/formats/file_checks.h"
#include "../../src/engine/formats/formats.h"
#include "../../src/engine/flash/flash_verify.h"
#include "../../src/engine/hexfile/intel_hex.h"
#include "../../src/engine/mcuboot/format.h"
#include "../../src/engine/platform/platform.h"
#include "../../src/engine/records/plan.h"
#include "../../src/engine/report/refusal.h"
#include "../../src/engine/values/hex_fields.h"
#include "../../src/engine/request/option_table.h"
#include "../../src/engine/srecord/srec_writer.h"
#include "../../src/engine/uf2/uf2.h"
#include "checks.h"

// image_value_test.cpp: the failures it found.
int image_value_test(const std::string& data);
// stamps_test.cpp: the failures it found.
int stamps_test(const std::string& scratch);
// json_reader_test.cpp: the failures it found.
int json_reader_test();
// incremental_test.cpp: the failures it found.
int incremental_test(const std::string& data);
// ledger_test.cpp: the failures it found, in a scratch folder.
int ledger_test(const std::string& scratch);
// platform_test.cpp: the failures it found; and the second process its
// lock check starts, when this program is run as that.
int platform_test(const std::string& program, const std::string& scratch);
bool platform_helper(int argc, char** argv, int& status);

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
    engine_checks::count(ok, "", what, failures);
}

// The CRC bit by bit, most significant bit first, from the parameters
// alone: a register that takes any number of bits, so that a CRC of any
// width can be appended to its message as a receiver would read it.
class BitwiseCrc {
public:
    explicit BitwiseCrc(const velk::checksum::CrcParameters& p)
        : p_(p), mask_(p.width == 64 ? ~uint64_t{0} : (uint64_t{1} << p.width) - 1),
          reg_(p.init & mask_) {}

    // The `bits` low bits of `value`, most significant first.
    void feed(uint64_t value, unsigned bits) {
        for (unsigned k = bits; k-- > 0;) {
            const bool top = ((reg_ >> (p_.width - 1)) & 1) != ((value >> k) & 1);
            reg_ = (reg_ << 1) & mask_;
            if (top) reg_ ^= p_.poly & mask_;
        }
    }
    void feed(const uint8_t* data, size_t size) {
        for (size_t i = 0; i < size; ++i)
            feed(p_.refin ? velk::checksum::reflect(data[i], 8) : data[i], 8);
    }
    // The register as the CRC presents it, before and after the final XOR.
    uint64_t presented() const {
        return p_.refout ? velk::checksum::reflect(reg_, p_.width) : reg_;
    }
    uint64_t value() const { return presented() ^ (p_.xorout & mask_); }
    // The CRC's bits in the order the register shifts them out, next.
    void append_crc(uint64_t crc) {
        feed(p_.refout ? velk::checksum::reflect(crc, p_.width) : crc, p_.width);
    }

private:
    velk::checksum::CrcParameters p_;
    uint64_t mask_;
    uint64_t reg_;
};

uint64_t bitwise(const velk::checksum::CrcParameters& p, const uint8_t* data, size_t size) {
    BitwiseCrc crc(p);
    crc.feed(data, size);
    return crc.value();
}

// Eight bytes at a time and byte by byte through the tables must give what
// the bitwise definition gives, from any start in memory and for every
// length around the eight-byte steps; words fed as the STM32 unit takes
// them likewise, four bytes at a time.
void crc_paths(const velk::checksum::Algorithm& a, const std::vector<uint8_t>& data) {
    using velk::checksum::Feed;
    const velk::checksum::Crc crc(a.parameters);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 70; ++n) lengths.push_back(n);
    for (size_t n : {255, 256, 1000, 4099}) lengths.push_back(n);
    for (size_t length : lengths)
        for (size_t align = 0; align < (length > 70 ? 2 : 8); ++align) {
            const uint8_t* p = data.data() + align;
            const uint64_t want = bitwise(a.parameters, p, length);
            uint64_t bytewise = crc.start();
            for (size_t i = 0; i < length; ++i)
                bytewise = crc.update(bytewise, p + i, 1, Feed::bytes);
            const std::string at = std::string(a.name()) + ": " + std::to_string(length) +
                                   " bytes from +" + std::to_string(align);
            expect(crc.finish(bytewise) == want, at + ", byte by byte");
            expect(crc.of(p, length) == want, at + ", eight at a time");
            if (length % 4) continue;
            std::vector<uint8_t> swapped(p, p + length);
            for (size_t w = 0; w < length; w += 4) {
                std::swap(swapped[w], swapped[w + 3]);
                std::swap(swapped[w + 1], swapped[w + 2]);
            }
            const uint64_t words = bitwise(a.parameters, swapped.data(), length);
            uint64_t by_word = crc.start();
            for (size_t i = 0; i < length; i += 4)
                by_word = crc.update(by_word, p + i, 4, Feed::words);
            expect(crc.finish(by_word) == words, at + ", word by word");
            expect(crc.of(p, length, Feed::words) == words,
                   at + ", words eight bytes at a time");
        }
}

// The residue: a message followed by its own CRC leaves the same register,
// before the final XOR, whatever the message. Bit by bit for every width;
// through the tables too where the CRC is whole bytes, appended in the
// order the register takes them (least significant byte first when
// reflected).
void residue(const velk::checksum::Algorithm& a, const std::vector<uint8_t>& data) {
    const velk::checksum::CrcParameters& p = a.parameters;
    const uint64_t want = std::stoull(a.residue, nullptr, 16);
    const velk::checksum::Crc crc(p);
    for (size_t length : {0, 1, 9, 37, 64}) {
        const std::string at = std::string(a.name()) + ": residue after " +
                               std::to_string(length) + " bytes";
        BitwiseCrc bits(p);
        bits.feed(data.data(), length);
        bits.append_crc(bits.value());
        expect(bits.presented() == want, at + ", bit by bit");
        if (p.width % 8 || p.refin != p.refout) continue;
        std::vector<uint8_t> frame(data.begin(), data.begin() + length);
        const uint64_t value = crc.of(frame.data(), frame.size());
        for (unsigned i = 0; i < p.width / 8; ++i) {
            const unsigned shift = p.refin ? 8 * i : p.width - 8 - 8 * i;
            frame.push_back(static_cast<uint8_t>(value >> shift));
        }
        const uint64_t reg = crc.update(crc.start(), frame.data(), frame.size(),
                                        velk::checksum::Feed::bytes);
        expect((crc.finish(reg) ^ p.xorout) == want, at + ", through the tables");
    }
}

void catalogue() {
    std::mt19937 random(27);
    std::vector<uint8_t> data(4200);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    const uint8_t nine[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    size_t crcs = 0;
    for (const velk::checksum::Algorithm& a : velk::checksum::catalogue()) {
        if (a.kind == velk::checksum::Kind::wide_crc)
            expect(*a.residue, std::string(a.name()) + ": a residue");
        if (a.kind != velk::checksum::Kind::crc) continue;
        ++crcs;
        const velk::checksum::Crc crc(a.parameters);
        const uint64_t check = std::stoull(a.check, nullptr, 16);
        expect(bitwise(a.parameters, nine, sizeof nine) == check,
               std::string(a.name()) + ": check value, bit by bit");
        expect(crc.of(nine, sizeof nine) == check, std::string(a.name()) + ": check value");
        residue(a, data);
        crc_paths(a, data);
    }
    expect(crcs == 114, "every CRC row proved: " + std::to_string(crcs));
}

// Fields of every width both ways round, read back as written, and the
// bytes in the order each file format keeps them.
void byte_order() {
    using velk::bytes::Order;
    const uint64_t value = 0x0102030405060708;
    for (unsigned width = 1; width <= 8; ++width) {
        // Wider than 8: GCC -O3 unrolls the loop and warns of a ninth byte.
        uint8_t little[16] = {}, big[16] = {};
        velk::bytes::store(little, width, Order::little, value);
        velk::bytes::store(big, width, Order::big, value);
        const uint64_t low = width == 8 ? value : value & ((uint64_t{1} << 8 * width) - 1);
        bool mirrored = true;
        for (unsigned i = 0; i < width; ++i)
            mirrored = mirrored && little[i] == 8 - i && big[width - 1 - i] == 8 - i;
        const std::string at = std::to_string(width) + "-byte field";
        expect(mirrored, at + ": bytes in order");
        expect(velk::bytes::load(little, width, Order::little) == low &&
                   velk::bytes::load(big, width, Order::big) == low,
               at + ": read back");
    }
    const uint8_t header[] = {0x3D, 0xB8, 0xF3, 0x96, 0x20, 0x00};
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    expect(velk::bytes::le32(header) == 0x96F3B83D && velk::bytes::le16(header + 4) == 0x20 &&
               velk::bytes::load<8, Order::big>(digits) == 0x3132333435363738,
           "an MCUboot magic, a header size, eight ASCII digits");
    uint8_t written[6] = {};
    velk::bytes::put_le32(written, 0x96F3B83D);
    velk::bytes::put_le16(written + 4, 0x20);
    expect(std::memcmp(written, header, sizeof header) == 0, "a header written");
}

// A set of ranges stays sorted and disjoint: ranges that touch are one, a
// range cut from the middle leaves two.
void intervals() {
    using velk::records::Intervals;
    Intervals set(0x100, 0x200);
    set.remove(0x140, 0x150);
    set.add(0x1F0, 0x220);
    set.add(0x90, 0x100);
    set.add(0x300, 0x300);
    const auto& r = set.ranges();
    expect(r.size() == 2 && r[0].from == 0x90 && r[0].to == 0x140 && r[1].from == 0x150 &&
               r[1].to == 0x220,
           "ranges merged and cut");
    expect(set.size() == 0xB0 + 0xD0 && set.start() == 0x90 && set.end() == 0x220, "extent");
    expect(set.overlaps(0x13F, 0x141) && !set.overlaps(0x140, 0x150), "overlaps");
    set.remove(0, 0x1000);
    expect(set.empty() && set.size() == 0, "all removed");
    const Intervals none(0x400, 0x400);
    expect(none.empty() && none.start() == 0x400 && none.end() == 0x400,
           "an empty range says where it lies");
}

// A checksum over a range with a hole is the CRC of its parts' bytes one
// after another, across erased flash too.
void checksum_over_holes() {
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    velk::layout::MemoryMap memory(0xFF);
    memory.append(0x1000, data.data(), 200);
    memory.append_fill(0x10C8, 56);
    memory.append(0x1100, data.data() + 200, 100);
    velk::records::Plan plan;
    plan.algorithm = velk::records::find_algorithm(std::nullopt);
    velk::records::Intervals range(0x1000, 0x1164);
    range.remove(0x1010, 0x1020);
    range.remove(0x10C0, 0x10D0);
    std::vector<uint8_t> parts(data.begin(), data.begin() + 0x10);
    parts.insert(parts.end(), data.begin() + 0x20, data.begin() + 0xC0);
    parts.insert(parts.end(), 0x1100 - 0x10D0, 0xFF);
    parts.insert(parts.end(), data.begin() + 200, data.begin() + 300);
    const velk::records::Record record{
        0x1164, 4, range, "hole",
        velk::records::crc_producer(velk::records::CrcRole::selector, plan.algorithm,
                                    velk::records::Feed::bytes)};
    const velk::records::Bytes bytes = record.producer->produce(plan, record, memory);
    const uint64_t want = bitwise(plan.algorithm.row->parameters, parts.data(), parts.size());
    expect(bytes.size() == 4 && bytes[0] == (want & 0xFF) && bytes[3] == (want >> 24),
           "the CRC of a range with holes");
}

using engine_checks::Host;

int run(Host& host, std::vector<std::string> words) {
    host.out_.clear();
    host.err_.clear();
    return velk::cli::command_line(words, host);
}

std::vector<uint8_t> from_hex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// MCUboot's format against bytes imgtool 2.5.0 wrote: `imgtool sign -v
// 1.2.3+4 --header-size 32 -S 0x2000` of a 515-byte payload, its header;
// the same with `-s auto -d "(1,2.3.4+5)" --custom-tlv 0xa5 0x0102`, its
// protected area; and the trailer sizes its slot-size refusals name.
void mcuboot_format() {
    namespace m = velk::mcuboot;
    m::Header h;
    h.hdr_size = 32;
    h.img_size = 0x203;
    h.version = *m::parse_version("1.2.3+4");
    auto header = m::encode_header(h);
    expect(std::vector<uint8_t>(header.begin(), header.end()) ==
               from_hex("3db8f39600000000200000000302000000000000010203000400000000000000"),
           "mcuboot: the header imgtool writes");
    m::Header back = m::decode_header(header.data());
    expect(back.img_size == 0x203 && back.hdr_size == 32 && back.version == h.version,
           "mcuboot: the header read back");
    const m::Version dependency = *m::parse_version("2.3.4+5");
    std::vector<m::Tlv> entries = {
        {m::tlv::security_counter, m::u32_value(m::counter_of(h.version))},
        {m::tlv::dependency, m::dependency_value(1, dependency)},
        {0xA5, {0x01, 0x02}}};
    const std::vector<uint8_t> area = m::encode_area(m::protected_info, entries);
    expect(area == from_hex("08692200500004000300020140000c000100"
                            "00000203040005000000a50002000102"),
           "mcuboot: the protected area imgtool writes");
    expect(m::encode_area(m::protected_info, {}).empty(), "mcuboot: no protected area");
    // Both areas walked, then each way of being wrong.
    std::vector<uint8_t> both = area;
    std::vector<uint8_t> hash(32, 0xAB);
    std::vector<uint8_t> unprotected = m::encode_area(m::unprotected_info, {{m::tlv::sha256, hash}});
    both.insert(both.end(), unprotected.begin(), unprotected.end());
    const m::Areas areas = m::parse_areas(both.data(), both.size(), static_cast<uint16_t>(area.size()));
    expect(areas.faults.empty() && areas.entries.size() == 4 && areas.size() == both.size() &&
               areas.find(m::tlv::sha256) &&
               areas.find(m::tlv::sha256)->value_offset() == area.size() + 8 &&
               areas.find(m::tlv::sha256)->value == hash && areas.entries[2].type == 0xA5 &&
               areas.find(0xA5, true) && !areas.find(0xA5),
           "mcuboot: both areas walked");
    // One wrong byte is one fault, at its place, and the walk goes on past
    // it; a wrong length, whose entry misleads the walk, is named first.
    const size_t unprotected_at = area.size();
    struct Broken {
        size_t at;
        uint8_t value;
        const char* what;
        uint64_t offset;
        const char* held;
        const char* wanted;
        bool alone;
    } broken[] = {
        {0, 0x09, "the protected TLV area's info magic", 0, "0x6909", "0x6908", true},
        {unprotected_at + 1, 0x68, "the TLV area's info magic", unprotected_at, "0x6807",
         "0x6907", true},
        {2, 0x20, "the protected TLV area's total", 2, "0x20", "0x22", true},
        {unprotected_at + 2, 0x30, "the TLV area's total", unprotected_at + 2, "0x30", "0x28",
         true},
        {5, 0x01, "TLV 0x50's second byte", 5, "0x01", "0x00", true},
        {6, 0x05, "TLV 0x50's length", 6, "5", "4", false},
    };
    for (const Broken& b : broken) {
        std::vector<uint8_t> bad = both;
        bad[b.at] = b.value;
        const m::Areas read =
            m::parse_areas(bad.data(), bad.size(), static_cast<uint16_t>(area.size()));
        const bool named = !read.faults.empty() && read.faults[0].what == b.what &&
                           read.faults[0].offset == b.offset && read.faults[0].held == b.held &&
                           read.faults[0].wanted == b.wanted && !read.faults[0].in_header;
        const bool alone = read.faults.size() == 1 && read.find(m::tlv::sha256) &&
                           read.find(m::tlv::sha256)->value == hash;
        expect(named && (alone || !b.alone),
               std::string("mcuboot: a fault naming ") + b.what +
                   (read.faults.empty() ? " (none)"
                                        : " (first: " + read.faults[0].what + " holds " +
                                              read.faults[0].held + ")"));
    }
    const m::Areas wrong_size = m::parse_areas(both.data(), both.size(), 0x20);
    expect(wrong_size.faults.size() == 1 && wrong_size.faults[0].in_header &&
               wrong_size.faults[0].offset == m::field::protect_tlv_size &&
               wrong_size.faults[0].held == "0x20" && wrong_size.faults[0].wanted == "0x22",
           "mcuboot: protect_tlv_size named in the header");
    expect(m::whole_area(both.data(), both.size()) &&
               m::whole_area(unprotected.data(), unprotected.size()) &&
               !m::whole_area(both.data() + 1, both.size() - 1) &&
               !m::whole_area(unprotected.data(), unprotected.size() - 1),
           "mcuboot: an area whose entries fill its total");
    const std::pair<unsigned, uint64_t> trailers[] = {{1, 0x1B0}, {2, 0x330},   {4, 0x630},
                                                      {8, 0xC30}, {16, 0x1850}, {32, 0x30A0}};
    for (auto [align, size] : trailers)
        expect(m::Trailer{align}.size() == size,
               "mcuboot: the trailer for align " + std::to_string(align));
    // imgtool's _trailer_size for other layouts: (align, sectors, overwrite-only,
    // encrypted, size).
    const struct {
        unsigned align, sectors;
        bool overwrite_only, encrypted;
        uint64_t size;
    } layouts[] = {{1, 256, false, false, 0x330}, {8, 128, true, false, 0x20},
                   {32, 128, true, false, 0x60},  {1, 128, false, true, 0x1D0},
                   {32, 128, false, true, 0x30E0}};
    for (const auto& l : layouts)
        expect(m::Trailer{l.align, l.sectors, l.overwrite_only, l.encrypted}.size() == l.size,
               "mcuboot: the trailer of " + std::to_string(l.sectors) + " sectors, align " +
                   std::to_string(l.align));
    expect(m::Trailer{16}.image_ok_from_end() == 0x20 && m::Trailer{32}.image_ok_from_end() == 0x40 &&
               m::Trailer{1}.image_ok_from_end() == 0x18,
           "mcuboot: image_ok's place");
    for (unsigned align : {1u, 2u, 4u, 8u, 16u, 32u})
        expect(m::trailer_align(m::trailer_magic(align).data()) == (align < 8 ? 8 : align),
               "mcuboot: the trailer magic read back for align " + std::to_string(align));
    auto magic16 = m::trailer_magic(16);
    expect(std::vector<uint8_t>(magic16.begin(), magic16.end()) ==
               from_hex("10002de15d29410b8d77679c110f1f8a"),
           "mcuboot: the trailer magic for 16-byte writes");
    for (const char* bad : {"1.2", "1.2.3+", "256.0.0", "1.2.65536", "a.b.c", "1..3", "1.2.3+4294967296", ""})
        expect(!m::parse_version(bad), std::string("mcuboot: version refused: ") + bad);
    expect(m::counter_of(*m::parse_version("1.2.3")) == 0x01020003, "mcuboot: counter auto");
}

void flash_and_check(const std::string& data, const std::string& scratch) {
    std::vector<uint8_t> elf;
    // What follows needs the firmware: without it, one line says why.
    if (int error = velk::platform::read_file(data + "/fw_boot.elf", elf)) {
        expect(false, "cannot read " + data + "/fw_boot.elf: " +
                          velk::platform::error_text(error) +
                          " (the first argument is the tests/data folder)");
        return;
    }
    const std::string build = scratch + "/fw.elf";
    {
        velk::platform::NewFile file;
        expect(file.create(build) == 0, "fw.elf made");
        file.write(reinterpret_cast<const char*>(elf.data()), elf.size());
        file.sync_and_close();
        file.keep();
    }
    Host host;
    expect(run(host, {"FLASH", build, "--ncrc_value", "--bin"}) == 0, "FLASH: " + host.err_);
    // The checksum the boot check of fw_boot.elf computes.
    expect(host.out_.find("checksum: [0x5EAE7871] (fed bytes)") != std::string::npos,
           "FLASH's checksum: " + host.out_);
    const std::string hex = scratch + "/fw_CRC.hex";
    expect(run(host, {"CHECK", hex, "--ncrc_value", "--elf", build}) == 0, "CHECK: " + host.out_);
    expect(run(host, {"CHECK", scratch + "/fw_CRC.bin", "--a134", "--base", "0x08000000"}) == 0,
           "CHECK of the .bin: " + host.out_ + host.err_);
    // A byte changed in the HEX text's first data record: a mismatch.
    std::vector<uint8_t> text;
    velk::platform::read_file(hex, text);
    std::string changed(text.begin(), text.end());
    size_t at = changed.find("\n:10");
    if (at == std::string::npos) {
        expect(false, "FLASH's HEX has no second data record of 16 bytes: " + hex);
        return;
    }
    at += 10;
    changed[at] = changed[at] == '0' ? '1' : '0';
    size_t end = changed.find('\n', at);
    unsigned sum = 0;
    for (size_t i = changed.rfind(':', at) + 1; i + 2 < end; i += 2)
        sum += static_cast<unsigned>(std::stoul(changed.substr(i, 2), nullptr, 16));
    char checksum[3];
    std::snprintf(checksum, sizeof checksum, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    changed.replace(end - 2, 2, checksum);
    const std::string spoilt = scratch + "/spoilt.hex";
    {
        velk::platform::NewFile file;
        file.create(spoilt);
        file.write(changed.data(), changed.size());
        file.sync_and_close();
        file.keep();
    }
    expect(run(host, {"CHECK", spoilt, "--ncrc_value", "--elf", build}) == 1,
           "CHECK of a changed byte: " + host.out_ + host.err_);
    expect(run(host, {"CHECK", scratch + "/none.hex", "--a134"}) == 2, "a missing file");
    expect(host.err_.find("cannot open it: No such file or directory") != std::string::npos,
           "the missing file's line: " + host.err_);
}


// FLASH's checks of a file's bytes as written: each format's writer's
// output passes; one changed byte in a checked stretch, a line whose
// checksum no longer sums, and a file cut short are each a fault that
// names where.
struct Collected final : velk::layout::TextSink, velk::layout::ChunkSink {
    std::string bytes;
    void put(const char* text, size_t size) override { bytes.append(text, size); }
    void take(uint8_t* chunk, size_t size) override {
        bytes.append(reinterpret_cast<const char*>(chunk), size);
    }
};

std::string checked(velk::formats::FileCheck& check, const std::string& bytes, size_t piece) {
    // Fed in pieces that cut lines and blocks anywhere.
    for (size_t at = 0; at < bytes.size(); at += piece)
        check.take(reinterpret_cast<const uint8_t*>(bytes.data()) + at,
                   std::min(piece, bytes.size() - at));
    return check.finish();
}

// The text line holding `digits` after its address field, changed to
// `digit` there; with `resum` its checksum made right again (HEX: the
// two's complement, S-records: the ones' complement of the sum).
std::string changed_line(std::string text, const std::string& head, size_t digit, bool resum) {
    const size_t start = text.find(head);
    const size_t end = text.find('\n', start);
    char& c = text[start + digit];
    c = c == '0' ? '1' : '0';
    if (!resum) return text;
    const bool hex = text[start] == ':';
    unsigned sum = 0;
    for (size_t i = start + (hex ? 1 : 2); i + 2 < end; i += 2)
        sum += static_cast<unsigned>(std::stoul(text.substr(i, 2), nullptr, 16));
    char checksum[3];
    std::snprintf(checksum, sizeof checksum, "%02X",
                  hex ? (0x100 - (sum & 0xFF)) & 0xFF : ~sum & 0xFF);
    text.replace(end - 2, 2, checksum);
    return text;
}

void file_checks() {
    using namespace velk::formats;
    std::mt19937 random(70);
    std::vector<uint8_t> low(0x1000), high(0x100);
    for (uint8_t& b : low) b = static_cast<uint8_t>(random());
    for (uint8_t& b : high) b = static_cast<uint8_t>(random());
    velk::layout::MemoryMap memory;
    memory.append(0x08000000, low.data(), low.size());
    memory.append_fill(0x08001000, 0x1000);
    memory.append(0x08002000, high.data(), high.size());
    // A record's slot at the end of the first stretch, and the signed
    // image's TLVs in the last.
    const std::vector<Span> spans = {{0x08000FFC, 4}, {0x08002010, 0x20}};

    Collected hex, srec, uf2, bin;
    velk::hexfile::write_intel_hex(memory, 0x08000041, hex);
    velk::srecord::write_srecord(memory, 0x08000041, "fw_CRC.srec", srec);
    expect(velk::uf2::write_uf2(memory, 0xE48BFF56, memory.fill(), uf2), "UF2 written");
    velk::layout::copy_range(memory, 0x08000000, 0x08002100, bin);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
        const std::string n = " in pieces of " + std::to_string(piece);
        expect(checked(*hex_check(memory, spans), hex.bytes, piece).empty(), "HEX" + n);
        expect(checked(*srec_check(memory, spans), srec.bytes, piece).empty(), "S-records" + n);
        expect(checked(*uf2_check(memory), uf2.bytes, piece).empty(), "UF2" + n);
        expect(checked(*binary_check(memory, 0x08000000, 0x08002100), bin.bytes, piece).empty(),
               ".bin" + n);
    }
    struct Case {
        const char* what;
        std::unique_ptr<FileCheck> check;
        std::string bytes;
        const char* fault;
    };
    std::string flipped_bin = bin.bytes, flipped_uf2 = uf2.bytes;
    flipped_bin[0x2015] ^= 0x10;
    size_t block = 0;  // the block whose payload is 0x08002000's page
    while (std::memcmp(uf2.bytes.data() + block * velk::uf2::block_size + 12, "\x00\x20\x00\x08",
                       4) != 0)
        ++block;
    flipped_uf2[block * velk::uf2::block_size + 32 + 0x15] ^= 0x10;
    Case cases[] = {
        // The slot's line, 0x08000FF0, its 13th data byte changed and summed.
        {"HEX slot byte", hex_check(memory, spans), changed_line(hex.bytes, ":100FF000", 9 + 24, true),
         "the line for 0x08000FF0 holds 0x"},
        {"HEX checksum", hex_check(memory, spans), changed_line(hex.bytes, ":100FF000", 9 + 24, false),
         "the line for 0x08000FF0 has a wrong checksum"},
        {"HEX cut short", hex_check(memory, spans), hex.bytes.substr(0, hex.bytes.rfind(":00000001")),
         "it has no end-of-file record"},
        {"S-record TLV byte", srec_check(memory, spans),
         changed_line(srec.bytes, "S3150800201", 12 + 2, true), "the line for 0x08002010 holds 0x"},
        {"S-record checksum", srec_check(memory, spans),
         changed_line(srec.bytes, "S3150800201", 12 + 2, false),
         "the line for 0x08002010 has a wrong checksum"},
        {"S-record no slot line", srec_check(memory, {{0x08003000, 4}}), srec.bytes,
         "no line holds 0x08003000 to 0x08003003"},
        {".bin byte", binary_check(memory, 0x08000000, 0x08002100), flipped_bin,
         "it holds 0x"},
        {".bin cut short", binary_check(memory, 0x08000000, 0x08002100), bin.bytes.substr(0, 0x2000),
         "it ends at 0x08002000, before 0x08002100"},
        {"UF2 payload byte", uf2_check(memory), flipped_uf2, "holds 0x"},
        {"ELF record bytes", offsets_check({{0x40, 0x08000FFC, {1, 2, 3, 4}}}),
         std::string(0x40, '\0') + "\x01\x02\x33\x04" + std::string(8, '\0'),
         "it holds 0x33 at 0x08000FFE (offset 0x42) where the image has 0x03"},
    };
    for (Case& c : cases) {
        const std::string fault = checked(*c.check, c.bytes, 4096);
        expect(fault.find(c.fault) != std::string::npos,
               std::string(c.what) + ": \"" + fault + "\"");
    }
}

// FLASH's own check of the records over the final image: a record whose
// range changed after it was stored is named with CHECK's line, the value
// it holds and the one the changed bytes give, both from the bitwise CRC.
void records_over_the_final_image() {
    std::vector<uint8_t> data(0x100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 11 + 3);
    velk::records::Plan plan;
    plan.algorithm = velk::records::find_algorithm(std::nullopt);
    const auto& parameters = plan.algorithm.row->parameters;
    velk::records::Planned planned;
    planned.record = {0x2100, 4, velk::records::Intervals(0x2000, 0x2100), "crc",
                      velk::records::crc_producer(velk::records::CrcRole::selector,
                                                  plan.algorithm, velk::records::Feed::bytes)};
    plan.records.push_back(planned);
    plan.order = {0};
    const uint64_t stored = bitwise(parameters, data.data(), data.size());
    uint8_t slot[4];
    for (int i = 0; i < 4; ++i) slot[i] = static_cast<uint8_t>(stored >> (8 * i));
    velk::layout::MemoryMap memory;
    memory.append(0x2000, data.data(), data.size());
    memory.append(0x2100, slot, 4);
    expect(velk::flash::records_fault(plan, memory).empty(), "a right record passes");
    // A byte of the range changed after the record was stored, as a header
    // written over the range after its CRC would.
    const uint8_t changed = static_cast<uint8_t>(data[0x40] ^ 0x01);
    memory.overlay(0x2040, &changed, 1);
    std::vector<uint8_t> now = data;
    now[0x40] = changed;
    char wanted[96];
    std::snprintf(wanted, sizeof wanted, "at 0x00002100: stored [0x%08llX], computed [0x%08llX]",
                  static_cast<unsigned long long>(stored),
                  static_cast<unsigned long long>(bitwise(parameters, now.data(), now.size())));
    const std::string line = velk::flash::records_fault(plan, memory);
    expect(line.find(wanted) != std::string::npos, "the changed record's line: " + line);
}

// The format table's rows agree with what the engine asks of them: each
// file FLASH writes is checked before it is put in place, a file without
// addresses has no reader of records or start address, CHECK knows each
// of FLASH's files by its name, and one row is the file every run writes.
void format_rows() {
    using namespace velk::formats;
    size_t every_run = 0;
    std::set<std::string> endings;
    for (const Format* f = begin(); f != end(); ++f) {
        const std::string name = f->name;
        expect(!f->write || f->check, name + ": FLASH checks the file it writes");
        expect(!f->needs_base || (!f->read && !f->start_of && !f->recognise),
               name + ": a file without addresses is placed, never read as records");
        expect(!f->family || f->read, name + ": a family is read back");
        expect(!(f->needs_base && f->container) || f->unwrap,
               name + ": a container without addresses gives CHECK the image it holds");
        for (bool merged : {false, true}) {
            if (!f->write || (merged && !f->merged)) continue;
            const std::string file = file_name("fw", *f, merged);
            expect(by_name(file) == f, file + " is read as " + name);
            expect(endings.insert(file_name("", *f, merged)).second, file + " is one file");
        }
        for (const char* const* ending = f->endings; *ending; ++ending) {
            std::string upper = std::string("FW") + *ending;
            for (char& c : upper) c = static_cast<char>(std::toupper(c));
            expect(by_name(upper) == f, upper + " is read as " + name);
        }
        if (f->every_run) {
            ++every_run;
            expect(!f->option && f->write && !f->needs_base, name + ": written by every run");
        }
    }
    expect(every_run == 1, "one file every run writes");
    const std::vector<std::string> flash = flash_endings();
    expect(std::set<std::string>(flash.begin(), flash.end()) == endings,
           "VELK mode's list of FLASH's files is every file FLASH writes");
    expect(unnamed().needs_base && unnamed().suffix_only(),
           "a file nothing names is placed at a base");
    expect(uf2().family, "--uf2 asks for the format that carries a family");
}

// The DFU row on an image with a gap: its file is the image's bytes and a
// suffix with the fields dfu-suffix writes, which its own check takes in
// any pieces and CHECK's unwrapping gives back; a changed image byte, CRC
// or vendor is named.
struct FileSink final : velk::outfile::Sink {
    std::string bytes;
    void put(const char* text, size_t size) override { bytes.append(text, size); }
};

// A name matching two rows' endings is the longer ending's file.
void longest_ending_names_the_row() {
    using namespace velk::formats;
    const Format* mbi = by_name("FW_CRC.MBI.BIN");
    expect(mbi && std::string(mbi->ext) == ".mbi.bin", ".mbi.bin: the master boot image");
    expect(by_name("fw_CRC.bin") == &unnamed(), ".bin: still the raw binary");
    expect(by_name("fw.mbi") == nullptr, ".mbi alone: no format");
}

void dfu_row() {
    using namespace velk::formats;
    const Format* dfu = by_name("fw_CRC.dfu");
    expect(dfu && dfu->container && dfu->needs_base, ".dfu: a container placed at a base");
    if (!dfu) return;
    std::vector<uint8_t> low(0x100, 0x5A);
    velk::layout::MemoryMap memory;
    memory.append(0x08000000, low.data(), low.size());
    memory.append_fill(0x08000100, 0x100);
    memory.append(0x08000200, low.data(), 0x10);
    velk::Request asked, other;
    asked.dfu = velk::read_hex_fields("0483:df11", "--dfu 0483:df11");
    other.dfu = velk::read_hex_fields("0484:df11", "--dfu 0484:df11");
    Contents c{&memory, 0x08000000, 0x08000210, 0, 0, nullptr, &asked};
    Contents c_other = c;
    c_other.request = &other;
    FileSink file;
    dfu->write(c, "fw_CRC.dfu", file);
    const std::string& bytes = file.bytes;
    expect(bytes.size() == 0x210 + 16, ".dfu: the image and 16 bytes");
    expect(bytes.compare(0x210, 12, "\xFF\xFF\x11\xDF\x83\x04\x00\x01UFD\x10", 12) == 0,
           ".dfu: bcdDevice 0xFFFF, idProduct, idVendor, bcdDFU 1.0, UFD, length 16");
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}})
        expect(checked(*dfu->check(c, {}), bytes, piece).empty(),
               ".dfu in pieces of " + std::to_string(piece));
    std::string flipped_image = bytes, flipped_crc = bytes;
    flipped_image[0x105] ^= 0x10;
    flipped_crc[bytes.size() - 1] ^= 0x01;
    const struct {
        const char* what;
        const Contents& contents;
        std::string bytes;
        const char* fault;
    } cases[] = {
        {".dfu image byte", c, flipped_image, "it holds 0x"},
        {".dfu CRC", c, flipped_crc, "its DFU suffix's dwCRC is 0x"},
        {".dfu vendor", c_other, bytes, "its DFU suffix's idVendor is 0x483, not 0x484"},
        {".dfu without its suffix", c, bytes.substr(0, 0x210), "it ends 0 bytes after the image"},
    };
    for (const auto& k : cases) {
        const std::string fault = checked(*dfu->check(k.contents, {}), k.bytes, 4096);
        expect(fault.find(k.fault) != std::string::npos, std::string(k.what) + ": \"" + fault + "\"");
    }
    const std::vector<uint8_t> whole(bytes.begin(), bytes.end());
    expect(dfu->unwrap(whole) == std::vector<uint8_t>(whole.begin(), whole.begin() + 0x210),
           ".dfu: CHECK reads the image before the suffix");
    for (const std::string& damaged : {flipped_crc, bytes.substr(0, 15)}) {
        std::string why;
        try {
            dfu->unwrap(std::vector<uint8_t>(damaged.begin(), damaged.end()));
        } catch (const velk::Refusal& r) {
            why = r.text;
        }
        expect(why.rfind("cannot read it as a DFU file: ", 0) == 0,
               ".dfu refused when its suffix is wrong: \"" + why + "\"");
    }
}

// The DfuSe row's own check on an image of two runs (erased flash inside
// the first): each element's bytes against the image, the device the
// suffix names, the CRC; in any pieces.
void dfuse_row() {
    using namespace velk::formats;
    const Format* dfuse = by_name("fw_CRC.dfuse.dfu");
    expect(dfuse && !dfuse->needs_base && dfuse->read, ".dfuse.dfu: read by its elements");
    if (!dfuse) return;
    std::vector<uint8_t> low(0x100, 0x5A);
    velk::layout::MemoryMap memory;
    memory.append(0x08000000, low.data(), low.size());
    memory.append_fill(0x08000100, 0x100);
    memory.append(0x08010000, low.data(), 0x10);
    velk::Request asked, other;
    asked.dfuse = velk::read_hex_fields("0483:df11", "--dfuse 0483:df11");
    other.dfuse = velk::read_hex_fields("0484:df11", "--dfuse 0484:df11");
    Contents c{&memory, 0x08000000, 0x08010010, 0, 0, nullptr, &asked};
    Contents c_other = c;
    c_other.request = &other;
    velk::layout::MemoryMap changed = memory;
    const uint8_t zero = 0;
    changed.overlay(0x08000010, &zero, 1);
    Contents c_changed = c;
    c_changed.memory = &changed;
    FileSink file;
    dfuse->write(c, "fw_CRC.dfuse.dfu", file);
    const std::string& bytes = file.bytes;
    expect(bytes.size() == 11 + 274 + 8 + 0x200 + 8 + 0x10 + 16,
           ".dfuse.dfu: prefix, target, two elements, suffix");
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}})
        expect(checked(*dfuse->check(c, {}), bytes, piece).empty(),
               ".dfuse.dfu in pieces of " + std::to_string(piece));
    std::string flipped_crc = bytes, flipped_name = bytes;
    flipped_crc[bytes.size() - 1] ^= 0x01;
    flipped_name[11 + 12] ^= 0x01;
    const struct {
        const char* what;
        const Contents& contents;
        std::string bytes;
        const char* fault;
    } cases[] = {
        {".dfuse.dfu image byte", c_changed, bytes, "it holds 0x5A at 0x08000010, not 0x00"},
        {".dfuse.dfu CRC", c, flipped_crc, "its suffix's CRC (dwCRC) is 0x"},
        {".dfuse.dfu vendor", c_other, bytes, "does not name the device asked for"},
        {".dfuse.dfu cut short", c, bytes.substr(0, 100), "it is 100 bytes, not "},
        {".dfuse.dfu target's name", c, flipped_name, "its byte 23 is 0x55, not 0x54, in its"},
    };
    for (const auto& k : cases) {
        const std::string fault = checked(*dfuse->check(k.contents, {}), k.bytes, 4096);
        expect(fault.find(k.fault) != std::string::npos,
               std::string(k.what) + ": \"" + fault + "\"");
    }
}

// Hex fields as the command line gives them, each read or none, and the
// option rows that take them.
void hex_fields() {
    using velk::read_hex_fields;
    using Numbers = std::vector<std::optional<uint64_t>>;
    const struct {
        const char* text;
        Numbers numbers;
    } cases[] = {
        {"0483:df11", {0x483, 0xDF11}},
        {"0483:DF11:0200", {0x483, 0xDF11, 0x200}},
        {"f", {0xF}},
        {"ffffffffffffffff:0", {0xFFFFFFFFFFFFFFFFu, 0}},
        {"1ffffffffffffffff", {std::nullopt}},
        {"0483:", {0x483, std::nullopt}},
        {":df11", {std::nullopt, 0xDF11}},
        {"0x483:0XDF11", {0x483, 0xDF11}},  // as dfuse-pack's -D takes them
        {"0x:df11", {std::nullopt, 0xDF11}},
        {"zz:+1: 1:-1", {std::nullopt, std::nullopt, std::nullopt, std::nullopt}},
        {"", {std::nullopt}},
    };
    for (const auto& c : cases) {
        const velk::HexFields read = read_hex_fields(c.text, std::string("--x ") + c.text);
        expect(read.numbers == c.numbers, std::string("hex fields of \"") + c.text + "\"");
        expect(read.word == std::string("--x ") + c.text, "a refusal names the value as given");
    }
    for (const velk::OptionRow* r = velk::options_begin(); r != velk::options_end(); ++r) {
        if (r->value != velk::Value::hex_fields) continue;
        expect(r->fields != nullptr, std::string(r->keyword) + ": its value lands in the request");
        bool names_a_format = !r->output;
        for (const velk::formats::Format* f = velk::formats::begin();
             f != velk::formats::end(); ++f)
            names_a_format |= r->output && std::string(f->word) == r->output;
        expect(names_a_format, std::string(r->keyword) + ": asks for a format of the table");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (int status; platform_helper(argc, argv, status)) return status;
    if (argc != 3) {
        std::fprintf(stderr, "usage: velk_engine_test <tests/data folder> <scratch folder>\n");
        return 2;
    }
    try {
        catalogue();
        byte_order();
        intervals();
        checksum_over_holes();
        mcuboot_format();
        file_checks();
        format_rows();
        hex_fields();
        dfu_row();
        dfuse_row();
    longest_ending_names_the_row();
        records_over_the_final_image();
        flash_and_check(argv[1], argv[2]);
        failures += image_value_test(argv[1]);
        failures += stamps_test(argv[2]);
        failures += json_reader_test();
        failures += incremental_test(argv[1]);
        failures += ledger_test(argv[2]);
        failures += platform_test(argv[0], argv[2]);
    } catch (const std::exception& e) {
        // A fault of this program or of what it read: said, not an abort.
        expect(false, std::string("stopped by an exception: ") + e.what());
    }
    std::printf("%s: %d checks\n", failures ? "engine test failed" : "engine test passed",
                engine_checks::made);
    return failures ? 1 : 0;
}
