#include "file_kind.h"

#include "../uf2/uf2.h"

namespace velk::layout {

namespace {

struct Ending {
    const char* ext;
    FileKind kind;
};

const Ending endings[] = {
    {".hex", FileKind::intel_hex}, {".ihex", FileKind::intel_hex},
    {".srec", FileKind::srecord},  {".s19", FileKind::srecord},
    {".s28", FileKind::srecord},   {".s37", FileKind::srecord},
    {".mot", FileKind::srecord},   {".uf2", FileKind::uf2},
    {".bin", FileKind::other},     {".elf", FileKind::elf},
    {".axf", FileKind::elf},       {".out", FileKind::elf},
};

bool ends_with_folded(const std::string& name, const char* ext) {
    const size_t n = std::char_traits<char>::length(ext);
    if (name.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = name[name.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != ext[i]) return false;
    }
    return true;
}

}  // namespace

bool kind_of_name(const std::string& name, FileKind& kind) {
    for (const Ending& e : endings)
        if (ends_with_folded(name, e.ext)) {
            kind = e.kind;
            return true;
        }
    return false;
}

size_t byte_order_mark(const uint8_t* text, size_t size) {
    return size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF ? 3 : 0;
}

FileKind kind_of(const uint8_t* head, size_t size) {
    if (size >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' &&
        head[3] == 'F')
        return FileKind::elf;
    if (uf2::looks_like_uf2(head, size)) return FileKind::uf2;
    for (size_t i = byte_order_mark(head, size); i < size; ++i) {
        uint8_t c = head[i];
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        if (c == ':') return FileKind::intel_hex;
        if ((c == 'S' || c == 's') && i + 1 < size && head[i + 1] >= '0' &&
            head[i + 1] <= '9')
            return FileKind::srecord;
        break;
    }
    return FileKind::other;
}

}  // namespace velk::layout
