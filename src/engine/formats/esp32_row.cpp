// An ESP32-family application image, <root>_CRC.esp.bin: what esptool's
// elf2image makes of <root>_CRC.elf, the build with the run's records in
// place, so that the bytes the bootloader checks are the ones the records
// were computed over. The app descriptor's ELF SHA-256 is _CRC.elf's: that
// is the ELF the image was made from, the one a debugger or core dump
// should be matched with.
#include <algorithm>
#include <cstring>

#include "../base/byte_order.h"
#include "../elf/elf_reader.h"
#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"
#include "esp32.h"
#include "esp32_image.h"
#include "rows.h"

namespace velk::formats {

namespace {

const char* const esp_endings[] = {".esp.bin", nullptr};

// The section types whose bytes esptool loads: program data and the
// constructor and destructor arrays.
constexpr uint32_t sht_init_array = 14, sht_fini_array = 15, sht_preinit_array = 16;

esp32::Settings settings_of(const Request& request) {
    const std::string& text = *request.esp32;
    auto read = esp32::settings_of(text);
    if (auto* why = std::get_if<std::string>(&read))
        throw Refusal{request.asker.given(Option::esp32, text) + ": " + *why};
    return std::get<esp32::Settings>(read);
}

void refuse_esp32(const Request& request) {
    (void)settings_of(request);
}

// _CRC.elf as the pieces FLASH writes it from, read where they are: its
// headers copied out, its sections' bytes as parts of the pieces.
class PiecedElf {
public:
    explicit PiecedElf(const Pieces& pieces) : pieces_(pieces) {
        for (const auto& piece : pieces) size_ += piece.second;
        // Room for the whole file, of which only the headers are written:
        // the pages of the rest are never touched.
        headers_.reset(new uint8_t[size_ ? size_ : 1]);
    }
    uint64_t size() const { return size_; }
    const uint8_t* headers() const { return headers_.get(); }

    // Copies [offset, offset + size) into the headers' room; false when it
    // lies past the file's end.
    bool copy(uint64_t offset, uint64_t size) {
        if (offset > size_ || size > size_ - offset) return false;
        for (const esp32::Part& p : parts(offset, size))
            std::memcpy(headers_.get() + offset, p.bytes, p.size), offset += p.size;
        return true;
    }
    // The bytes of [offset, offset + size), in the pieces that hold them.
    std::vector<esp32::Part> parts(uint64_t offset, uint64_t size) const {
        std::vector<esp32::Part> out;
        uint64_t at = 0;
        for (const auto& [data, n] : pieces_) {
            if (!size) break;
            if (offset < at + n) {
                const uint64_t from = offset - at, k = std::min<uint64_t>(n - from, size);
                out.push_back({data + from, size_t(k)});
                offset += k, size -= k;
            }
            at += n;
        }
        return out;
    }

private:
    const Pieces& pieces_;
    uint64_t size_ = 0;
    std::unique_ptr<uint8_t[]> headers_;
};

// The ELF header and the header tables read_file reads, copied out; false
// when the file is no little-endian ELF32 file, as every ESP32 build is.
// Tables past the file's end are left for read_file to refuse.
bool copy_headers(PiecedElf& elf) {
    constexpr uint64_t elf32_header = 52;
    if (elf.size() < elf32_header || !elf.copy(0, elf32_header)) return false;
    const uint8_t* h = elf.headers();
    if (std::memcmp(h,
                    "\x7f"
                    "ELF",
                    4) != 0 ||
        h[4] != 1 || h[5] != 1)
        return false;
    auto load = [&](uint64_t at, unsigned width) {
        return bytes::load(elf.headers() + at, width, bytes::Order::little);
    };
    const uint64_t phoff = load(28, 4), shoff = load(32, 4);
    const uint64_t phentsize = load(42, 2), shentsize = load(46, 2);
    uint64_t phnum = load(44, 2), shnum = load(48, 2);
    // Counts past the header's reach are in section header 0.
    if (shoff && (shnum == 0 || phnum == 0xFFFF) && elf.copy(shoff, shentsize)) {
        if (shnum == 0) shnum = load(shoff + 20, 4);
        if (phnum == 0xFFFF) phnum = load(shoff + 28, 4);
    }
    elf.copy(phoff, phentsize * phnum);
    if (shoff) elf.copy(shoff, shentsize * shnum);
    return true;
}

// Refuses a build for other cores than the chip's.
void refuse_other_cores(const std::string& option, const elf::Header& h,
                        const esp32::Chip& chip) {
    if (h.elf64 || !h.little_endian || h.machine != chip.machine)
        throw Refusal{text::format(
            "%s: the build is for e_machine %u%s, not the %s's %s (%u)", option.c_str(),
            h.machine, h.elf64 ? " (ELF64)" : "", chip.name,
            chip.machine == 94 ? "Xtensa" : "RISC-V", chip.machine)};
}

// What esptool loads of an ELF file, in the file's order, and where its app
// descriptor is; `name_is(s, name)` and `parts(offset, size)` read the file.
struct Loaded {
    std::vector<esp32::Section> sections;
    std::optional<uint32_t> appdesc;
};
template <class NameIs, class Parts>
Loaded loaded_of(const elf::File& file, uint64_t file_size, NameIs&& name_is,
                 Parts&& parts, const std::string& option) {
    Loaded out;
    for (const elf::SectionHeader& s : file.sections) {
        const bool loaded = s.type == elf::sht_progbits || s.type == sht_init_array ||
                            s.type == sht_fini_array || s.type == sht_preinit_array;
        if (!loaded || s.addr == 0 || s.size == 0) continue;
        if (s.offset > file_size || s.size > file_size - s.offset || s.addr > 0xFFFFFFFF)
            throw Refusal{option + ": a section of the build lies past its end"};
        if (name_is(s, ".flash.appdesc")) out.appdesc = uint32_t(s.addr);
        // A section _CRC.elf adds over linker padding (".gap.<address>")
        // starts where the section before it ends, which esptool pads to 4
        // bytes with zeros: from there on, or esptool would load it as a
        // segment of its own padded over the next section's first bytes
        // (the ESP-IDF build's one byte at 0x40080403, before .iram0.text).
        uint64_t skip = 0;
        if (name_is(s, (".gap." + text::address(s.addr)).c_str()))
            skip = std::min<uint64_t>(s.size, (4 - s.addr % 4) % 4);
        for (const esp32::Part& p : parts(s.offset, skip))
            if (std::any_of(p.bytes, p.bytes + p.size, [](uint8_t b) { return b != 0; }))
                throw Refusal{option + ": the linker's padding at " +
                              text::address(s.addr) +
                              " holds bytes other than the zeros esptool pads the "
                              "section before it with: the image would not hold what "
                              "the HEX holds"};
        if (skip == s.size) continue;
        out.sections.push_back({uint32_t(s.addr + skip),
                                parts(s.offset + skip, s.size - skip),
                                size_t(s.size - skip)});
    }
    return out;
}

// The image made from the checksummed ELF, or the refusal saying why not,
// into `sink`.
void write_esp(const Contents& c, const std::string&, outfile::Sink& sink) {
    const std::string option = c.request->asker.turned_on(Option::esp32);
    const esp32::Settings settings = settings_of(*c.request);
    if (!c.sha256 || !*c.sha256)
        throw Refusal{option + ": this program has no SHA-256 to give it"};
    if (!c.elf)
        throw Refusal{option +
                      ": the image is made from _CRC.elf, which this run cannot "
                      "write: a record lies outside the build's sections"};
    PiecedElf elf(*c.elf);
    if (!copy_headers(elf))
        throw Refusal{option + ": the build is no little-endian ELF32 file, as the " +
                      settings.chip->name + "'s are"};
    auto read = elf::read_file({elf.headers(), size_t(elf.size())});
    if (auto* fault = std::get_if<elf::Fault>(&read))
        throw Refusal{option + ": cannot read the build: " + fault->why};
    const elf::File& file = std::get<elf::File>(read);
    refuse_other_cores(option, file.header, *settings.chip);
    const elf::SectionHeader* names = file.header.shstrndx < file.sections.size()
                                          ? &file.sections[file.header.shstrndx]
                                          : nullptr;
    const bool named = names && elf.copy(names->offset, names->size);
    auto name_is = [&](const elf::SectionHeader& s, const char* wanted) {
        const uint64_t n = std::strlen(wanted);
        return named && s.name < names->size && n + 1 <= names->size - s.name &&
               std::memcmp(elf.headers() + names->offset + s.name, wanted, n + 1) == 0;
    };
    const auto [sections, appdesc] = loaded_of(
        file, elf.size(), name_is,
        [&elf](uint64_t offset, uint64_t size) { return elf.parts(offset, size); },
        option);
    esp32::ElfDigest elf_sha256;
    if (appdesc || settings.elf_sha256_offset) {
        std::unique_ptr<crypto::Digest> digest = (*c.sha256)();
        for (const auto& [data, size] : *c.elf) digest->update(data, size);
        elf_sha256 = digest->finish();
    }
    auto image = esp32::make_image(settings, uint32_t(file.header.entry), sections,
                                   appdesc, elf_sha256);
    if (auto* why = std::get_if<std::string>(&image)) throw Refusal{option + ": " + *why};
    std::unique_ptr<crypto::Digest> sha256 = (*c.sha256)();
    std::get<esp32::Image>(image).emit(
        *sha256, [&sink](const uint8_t* bytes, size_t size) {
            sink.put(reinterpret_cast<const char*>(bytes), size);
        });
}

// What FLASH wrote, streamed and held against the run, keeping nothing
// but where it is: the header the settings ask for with the build's entry
// point, each segment's bytes against the run's image where it holds bytes,
// the checksum, and 32 bytes of SHA-256 to end it (the writer hashes the
// bytes in the pass that writes them: they are of what it wrote). The
// zeros a segment ends in (to 4 bytes, and on the ESP32 past a page's
// first 0x24) and the ELF's SHA-256 field are the file's own.
class EspCheck final : public FileCheck {
public:
    explicit EspCheck(const Contents& c)
        : memory_(*c.memory), entry_(c.entry), settings_(settings_of(*c.request)) {
        const uint64_t at =
            settings_.elf_sha256_offset.value_or(esp32::appdesc_sha256_at);
        sha_from_ = size_t(at);
    }
    void take(const uint8_t* data, size_t size) override {
        while (size && wrong_.empty()) {
            size_t n = 0;
            if (at_ < esp32::header_size) {
                n = std::min(size, esp32::header_size - at_);
                head_.insert(head_.end(), data, data + n);
                if (at_ + n == esp32::header_size) header();
            } else if (segments_left_ && held_ < esp32::segment_head) {
                n = std::min(size, esp32::segment_head - held_);
                std::copy(data, data + n, segment_head_ + held_);
                held_ += n;
                if (held_ == esp32::segment_head) start_segment(at_ + n);
            } else if (segments_left_) {
                n = size_t(std::min<uint64_t>(size, left_));
                segment_bytes(data, n);
            } else {
                n = size;
                footer(data, n);
            }
            at_ += n;
            data += n;
            size -= n;
        }
    }
    std::string finish() override {
        if (!wrong_.empty()) return wrong_;
        if (at_ <= checksum_at_ || segments_left_ || trailer_held_ != esp32::sha256_size)
            return text::format("it ends at 0x%zX, before its footer's end", at_);
        return "";
    }

private:
    void header() {
        auto read = esp32::parse_header(head_.data(), head_.size());
        if (auto* why = std::get_if<std::string>(&read)) return void(wrong_ = *why);
        const esp32::Parsed& p = std::get<esp32::Parsed>(read);
        if (p.chip != settings_.chip || !p.hashed ||
            head_[esp32::mode_at] != settings_.mode ||
            head_[esp32::size_clock_at] != esp32::size_clock(settings_) ||
            p.entry != entry_)
            return void(wrong_ =
                            "its header is not the one the settings and the build ask "
                            "for");
        segments_left_ = p.count;
    }
    // A segment's data starts at `data_at` in the file.
    void start_segment(size_t data_at) {
        address_ = uint32_t(bytes::load(segment_head_, 4, bytes::Order::little));
        left_ = uint32_t(bytes::load(segment_head_ + 4, 4, bytes::Order::little));
        size_ = uint32_t(left_);
        data_at_ = data_at;
        if (!left_) next_segment();
    }
    void next_segment() {
        held_ = 0;
        const size_t end = data_at_ + size_;
        if (--segments_left_ == 0) checksum_at_ = end + 15 - end % 16;
    }
    void segment_bytes(const uint8_t* data, size_t n) {
        sum_ = esp32::xor_of(data, n, sum_);
        if (address_ != 0) {
            const uint64_t offset = uint64_t(size_) - left_;
            const size_t own_tail = settings_.chip->id == 0 ? 0x24 + 3 : 3;
            const uint64_t tail = size_ - std::min<uint64_t>(size_, own_tail);
            size_t k = 0;
            memory_.walk(address_ + offset, address_ + offset + n,
                         [&](const uint8_t* bytes, uint64_t size) {
                             if (bytes && wrong_.empty() &&
                                 std::memcmp(data + k, bytes, size_t(size)) != 0)
                                 for (uint64_t i = 0; i < size && wrong_.empty(); ++i) {
                                     const size_t file =
                                         data_at_ + size_t(offset) + k + i;
                                     if (data[k + i] == bytes[i] ||
                                         (file >= sha_from_ &&
                                          file < sha_from_ + esp32::sha256_size) ||
                                         (offset + k + i >= tail && data[k + i] == 0))
                                         continue;
                                     wrong_ = text::format(
                                         "its byte at offset 0x%zX is 0x%02X, not the "
                                         "image's 0x%02X",
                                         file, data[k + i], bytes[i]);
                                 }
                             k += size_t(size);
                         });
        }
        left_ -= n;
        if (!left_) next_segment();
    }
    void footer(const uint8_t* data, size_t n) {
        for (size_t i = 0; i < n && wrong_.empty(); ++i) {
            const size_t file = at_ + i;
            if (file < checksum_at_) {
                if (data[i]) wrong_ = text::format("its padding at 0x%zX is not 0", file);
            } else if (file == checksum_at_) {
                if (data[i] != sum_) wrong_ = "its checksum is not its segments' XOR";
            } else if (trailer_held_ < esp32::sha256_size) {
                ++trailer_held_;
            } else {
                wrong_ = text::format("it goes on past its SHA-256, at 0x%zX", file);
            }
        }
    }

    const layout::MemoryMap& memory_;
    uint64_t entry_;
    esp32::Settings settings_;
    size_t sha_from_ = 0;
    std::vector<uint8_t> head_;
    uint8_t segment_head_[esp32::segment_head] = {};
    size_t at_ = 0, held_ = 0, segments_left_ = 0, checksum_at_ = 0, data_at_ = 0;
    uint32_t address_ = 0, size_ = 0;
    uint64_t left_ = 0;
    uint8_t sum_ = esp32::checksum_seed;
    size_t trailer_held_ = 0;
    std::string wrong_;
};

std::unique_ptr<FileCheck> check_esp(const Contents& c, const Expected&) {
    return std::make_unique<EspCheck>(c);
}

// CHECK: the header, the segments and the checksum now, the SHA-256 once
// the program's digests are at hand; the data of every segment that loads
// somewhere (the zeros that pad flash segments into place load nowhere),
// at its address, the app descriptor's ELF SHA-256 set back to the zeros
// the build holds there.
Read read_esp(const std::vector<uint8_t>& file) {
    const std::string cannot = "cannot read it as an ESP32 app image: ";
    auto parsed = esp32::parse(file.data(), file.size());
    if (auto* why = std::get_if<std::string>(&parsed)) throw Refusal{cannot + *why};
    const esp32::Parsed& p = std::get<esp32::Parsed>(parsed);
    Read out;
    out.data.has_entry = true;
    out.data.entry = p.entry;
    out.machine = p.chip->machine;
    out.machine_said = text::format("its header names the %s, whose cores are %s "
                                    "(e_machine %u)",
                                    p.chip->name,
                                    p.chip->machine == 94 ? "Xtensa" : "RISC-V",
                                    p.chip->machine);
    // The loader loads the segments in the file's order, a later one over
    // an earlier one's bytes: a section that does not start on a 4-byte
    // boundary goes over the zeros the one before it is padded with. Two
    // segments that share more than that padding are refused.
    struct Loaded {
        esp32::Segment s;
        size_t order;
    };
    std::vector<Loaded> loaded;
    for (size_t i = 0; i < p.segments.size(); ++i)
        if (p.segments[i].address != 0 && p.segments[i].size != 0)
            loaded.push_back({p.segments[i], i});
    std::stable_sort(loaded.begin(), loaded.end(), [](const Loaded& a, const Loaded& b) {
        return a.s.address < b.s.address;
    });
    std::vector<Loaded> kept;
    for (Loaded l : loaded) {
        if (!kept.empty()) {
            Loaded& prev = kept.back();
            const uint64_t prev_end = uint64_t(prev.s.address) + prev.s.size;
            if (prev_end > l.s.address) {
                const uint32_t k = uint32_t(prev_end - l.s.address);
                if (k > 3 || uint64_t(l.s.address) + l.s.size < prev_end)
                    throw Refusal{cannot + text::format(
                                               "two segments hold the byte at 0x%08X",
                                               l.s.address)};
                if (prev.order < l.order) {
                    prev.s.size -= k;
                    if (!prev.s.size) kept.pop_back();
                } else {
                    l.s.address += k, l.s.offset += k, l.s.size -= k;
                    if (!l.s.size) continue;
                }
            }
        }
        kept.push_back(l);
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        const esp32::Segment& s = kept[i].s;
        out.data.runs.push_back({s.address, s.size, i, uint64_t(out.data.data.size())});
        out.data.data.insert(out.data.data.end(), file.begin() + long(s.offset),
                             file.begin() + long(s.offset + s.size));
    }
    // The descriptor leads the first segment's data when the build has one.
    const esp32::Segment& first = p.segments.front();
    const size_t desc_sha = esp32::appdesc_sha256_at - first.offset;
    if (first.offset <= esp32::appdesc_sha256_at &&
        first.size >= desc_sha + esp32::sha256_size && first.size >= 4 &&
        bytes::load(file.data() + first.offset, 4, bytes::Order::little) ==
            esp32::appdesc_magic)
        for (const layout::Span& run : out.data.runs)
            if (run.address == first.address)
                std::fill_n(out.data.data.begin() + long(run.offset + desc_sha),
                            esp32::sha256_size, 0);
    if (p.hash_at) {
        const size_t at = *p.hash_at;
        auto held = std::make_shared<std::vector<uint8_t>>(file);
        out.digest_check = [held, at, cannot](const checksum::DigestSource& sha256) {
            std::unique_ptr<crypto::Digest> digest = sha256();
            digest->update(held->data(), at);
            const std::vector<uint8_t> hash = digest->finish();
            if (std::equal(hash.begin(), hash.end(), held->begin() + long(at))) return;
            throw Refusal{cannot +
                          text::format("its SHA-256 at 0x%zX is not that of its "
                                       "bytes before it: its header or its SHA-256 "
                                       "is damaged",
                                       at)};
        };
    }
    return out;
}

std::optional<uint64_t> esp_start(uint64_t entry) {
    if (entry > 0xFFFFFFFF) return std::nullopt;
    return entry;
}

// The app descriptor's ELF SHA-256 field in the build, [from, to), when
// the build has a descriptor: it leads the image's first segment, and the
// field is 0x90 into it, at the file's 0xB0.
std::optional<std::pair<uint64_t, uint64_t>> sha256_field(const ElfBuild& build) {
    for (const elf::SectionHeader& s : build.file.sections)
        if (section_name(build, s) == ".flash.appdesc")
            return std::make_pair(s.addr + esp32::appdesc_field,
                                  s.addr + esp32::appdesc_field + esp32::sha256_size);
    return std::nullopt;
}

}  // namespace

void refuse_esp32_stamp(const Request& request, const std::string& named,
                        uint64_t address, uint64_t size, const ElfBuild& build) {
    if (!asked(esp32_file, request)) return;
    const auto field = sha256_field(build);
    if (field && address < field->second && field->first < address + size)
        throw Refusal{named + " lies in " + text::address(field->first) + "-" +
                      text::address(field->second) +
                      ", the app descriptor's ELF SHA-256, which " +
                      request.asker.turned_on(Option::esp32) +
                      " fills in with _CRC.elf's: the image would not hold it"};
}

void refuse_esp32_records(const Request& request, const records::Plan& plan,
                          const ElfBuild& build) {
    if (!asked(esp32_file, request)) return;
    // A signed slot's header and TLVs would load as segments of their own.
    if (request.mcuboot)
        throw Refusal{request.asker.turned_on(Option::esp32) + " and " +
                      request.asker.name(Option::mcuboot) +
                      ": an ESP32 app image is made from the build's sections, which an "
                      "MCUboot slot's header and TLVs are not; ask for one or the other"};
    // The image laid out from the build before anything is written, the
    // ELF's SHA-256 as zeros, so that a build esptool could not make an
    // image of is refused before a devices run begins.
    const std::string option = request.asker.turned_on(Option::esp32);
    const esp32::Settings settings = settings_of(request);
    refuse_other_cores(option, build.file.header, *settings.chip);
    const auto [sections, appdesc] = loaded_of(
        build.file, build.file_bytes().size(),
        [&build](const elf::SectionHeader& s, const char* name) {
            return section_name(build, s) == name;
        },
        [&build](uint64_t offset, uint64_t size) {
            return std::vector<esp32::Part>{{build.bytes() + offset, size_t(size)}};
        },
        option);
    auto image = esp32::make_image(settings, uint32_t(build.file.header.entry), sections,
                                   appdesc, std::vector<uint8_t>(esp32::sha256_size, 0));
    if (auto* why = std::get_if<std::string>(&image)) throw Refusal{option + ": " + *why};
    const auto field = sha256_field(build);
    if (!field) return;
    const auto [from, to] = *field;
    for (const records::Planned& p : plan.records) {
        const records::Record& r = p.record;
        const bool holds = r.slot < to && from < r.slot_end();
        const bool reads = r.reads_bytes() && r.range.overlaps(from, to);
        if (holds || reads)
            throw Refusal{r.label + (holds ? " is stored in" : " covers") + " " +
                          text::address(from) + "-" + text::address(to) +
                          ", the app descriptor's ELF SHA-256, which " +
                          request.asker.turned_on(Option::esp32) +
                          " fills in with _CRC.elf's after every record: leave it out "
                          "of its range (--exclude " +
                          text::address(from) + "-" + text::address(to) + ")"};
    }
}

// Columns: name, a_file, word, ext, endings; the traits; recognise, read,
// unwrap, write, can_write, check, option, start_of, refuse_asked:
// formats.h says each.
const Format esp32_file = {
    "ESP32 app image",
    "an ESP32 app image",
    "esp",
    ".esp.bin",
    esp_endings,
    /* needs_base */ false,
    /* family */ false,
    /* build */ false,
    /* text */ false,
    /* container */ true,
    /* every_run */ false,
    /* merged */ false,
    /* page */ 0,
    nullptr,
    read_esp,
    nullptr,
    write_esp,
    always,
    check_esp,
    "--esp32",
    esp_start,
    refuse_esp32,
    /* self_checked */ true,
};

}  // namespace velk::formats
