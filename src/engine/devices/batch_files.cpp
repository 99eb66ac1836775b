#include "batch_files.h"

#include "../platform/platform.h"
#include "../report/refusal.h"

namespace velk::devices {

[[noreturn]] void refuse_os_failure(const outfile::OsFailure& failure) {
    std::string why = platform::error_text(failure.error);
    if (!failure.kept.empty()) why += "; the earlier file is kept as " + failure.kept;
    throw Refusal{"cannot write " + failure.path + ": " + why};
}

std::vector<std::pair<const formats::Format*, bool>> asked_files(const flash::FlashRun& run) {
    std::vector<std::pair<const formats::Format*, bool>> out;
    for (const formats::Format* f = formats::begin(); f != formats::end(); ++f)
        for (bool merged : {false, true}) {
            if (!f->write || (merged && !f->merged)) continue;
            if (!run.asked(*f) || (merged && !run.merged)) continue;
            out.push_back({f, merged});
        }
    return out;
}

std::vector<std::string> every_name(const std::string& root) {
    std::vector<std::string> out;
    for (const formats::Format* f = formats::begin(); f != formats::end(); ++f)
        for (bool merged : {false, true})
            if (f->write && (!merged || f->merged))
                out.push_back(formats::file_name(root, *f, merged));
    return out;
}

}  // namespace velk::devices
