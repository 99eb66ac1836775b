#include "image_bytes.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "../report/text.h"

namespace velk::formats {

int64_t first_unlike(const layout::MemoryMap& memory, uint64_t address, const uint8_t* data,
                     uint64_t size) {
    uint64_t at = 0;
    int64_t found = -1;
    // Erased flash is compared a block at a time, as the bytes are: a .bin
    // may hold megabytes of it.
    std::array<uint8_t, 4096> erased;
    erased.fill(memory.fill());
    auto compare = [&](const uint8_t* wanted, uint64_t n) {
        if (std::memcmp(wanted, data + at, n) != 0)
            for (uint64_t i = 0; i < n; ++i)
                if (wanted[i] != data[at + i]) {
                    found = static_cast<int64_t>(at + i);
                    break;
                }
        at += n;
    };
    memory.walk(address, address + size, [&](const uint8_t* bytes, uint64_t n) {
        if (found >= 0) return;
        if (bytes) return compare(bytes, n);
        while (n && found < 0) {
            const uint64_t k = std::min<uint64_t>(n, erased.size());
            compare(erased.data(), k);
            n -= k;
        }
    });
    return found;
}

std::string unlike_text(const layout::MemoryMap& memory, uint64_t address, uint8_t held) {
    uint8_t wanted = 0;
    memory.read(address, &wanted, 1);
    return text::format("holds 0x%02X at %s where the image has 0x%02X", held,
                        text::address(address).c_str(), wanted);
}

}  // namespace velk::formats
