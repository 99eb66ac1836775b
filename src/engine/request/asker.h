// Who asked for a run, and how it names the options in what the run says:
// the command line by their spellings, the Python API by its keywords. The
// stages word a refusal through the asker; the option table holds the
// forms.
#pragma once

#include <cstdint>
#include <string>

namespace velk {

enum class Option;

enum class Front { command_line, api };

class Asker {
public:
    constexpr Asker() = default;
    constexpr explicit Asker(Front front) : front_(front) {}

    // "--fill" / "fill".
    const char* name(Option option) const;
    // "--force" / "force=True".
    std::string turned_on(Option option) const;
    // "--uf2 rp9" / "uf2=\"rp9\""; a record's glued to its letter.
    std::string given(Option option, const std::string& value) const;
    // A record's offset or block size: "--a1FC" / "offset=0x1FC".
    std::string given(Option option, uint64_t number) const;
    // "--merge <file>" / "merge=".
    std::string asking(Option option) const;
    // "--mcuboot key=<file>" / "mcuboot={\"key\": ...}".
    std::string setting(Option option, const char* name) const;
    // "--mcuboot" / "mcuboot={...}".
    std::string settings(Option option) const;
    // Whether it names the options by the API's keywords, for the few
    // lines each asker words whole.
    bool by_keyword() const { return front_ == Front::api; }

private:
    Front front_ = Front::command_line;
};

constexpr Asker command_line_asker{Front::command_line};
constexpr Asker api_asker{Front::api};

}  // namespace velk
