#include "input_file.h"

#include "../platform/platform.h"

namespace velk {

InputFile read_input(const std::string& path) {
    // A name no file can have: open() would refuse it too.
    if (path.find('\0') != std::string::npos)
        throw Refusal{"cannot open it: embedded null byte"};
    switch (platform::kind_of(path)) {
        case platform::Kind::directory:
            throw Refusal{"it is a directory, not a file"};
        case platform::Kind::fifo:
            throw Refusal{"not a regular file but a FIFO"};
        case platform::Kind::socket:
            throw Refusal{"not a regular file but a socket"};
        case platform::Kind::character_device:
            throw Refusal{"not a regular file but a character device"};
        case platform::Kind::block_device:
            throw Refusal{"not a regular file but a block device"};
        default:
            break;
    }
    InputFile input;
    if (int error = platform::read_file(path, input.bytes))
        throw Refusal{"cannot open it: " + platform::error_text(error)};
    input.format = formats::by_name(path);
    input.named = input.format != nullptr;
    // dfu-util's tools name a DfuSe file .dfu as they do a plain DFU file:
    // a file its name calls a container without addresses is what its
    // first bytes say when they name a binary format that holds them and
    // whose own name ends as the container's (.dfuse.dfu, .dfu). A DfuSe
    // or UF2 file named .mbi.bin is no master boot image.
    if (input.format && input.format->unwrap) {
        const formats::Format* inside =
            formats::by_content(input.bytes.data(), input.bytes.size());
        const std::string own = inside ? inside->ext : "", named = input.format->ext;
        if (inside && inside->read && !inside->text && own.size() > named.size() &&
            own.compare(own.size() - named.size(), named.size(), named) == 0)
            input.format = inside;
    }
    if (!input.named) input.format = formats::by_content(input.bytes.data(), input.bytes.size());
    return input;
}

void placed_as_raw(InputFile& input) {
    const formats::Format* format = input.format;
    if (!input.named && format && format->text) input.format = &formats::unnamed();
}

ElfBuild read_build(InputFile input) {
    if (!is_elf(input.bytes.data(), input.bytes.size()))
        throw Refusal{formats::not_elf(input.format)};
    return read_elf(std::move(input.bytes));
}

}  // namespace velk
