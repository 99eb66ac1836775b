#include "file_kind.h"

#include "../uf2/uf2.h"

namespace velk::layout {

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
