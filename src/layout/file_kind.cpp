#include "file_kind.h"

namespace velk::layout {

size_t byte_order_mark(const uint8_t* text, size_t size) {
    return size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF ? 3 : 0;
}

FileKind kind_of(const uint8_t* head, size_t size) {
    if (size >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' &&
        head[3] == 'F')
        return FileKind::elf;
    // "UF2\n", then 0x9E5D5157 little-endian.
    static const uint8_t uf2[] = {'U', 'F', '2', '\n', 0x57, 0x51, 0x5D, 0x9E};
    if (size >= 512) {
        bool is_uf2 = true;
        for (size_t i = 0; i < sizeof uf2; ++i) is_uf2 = is_uf2 && head[i] == uf2[i];
        if (is_uf2) return FileKind::uf2;
    }
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
