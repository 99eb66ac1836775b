#include "replacing_file.h"

#include <cerrno>
#include <utility>

#include "names.h"

namespace velk::outfile {

ReplacingFile::ReplacingFile(std::string target) : target_(std::move(target)) {
    // What open(target, "w") would refuse, refused before anything is made.
    if (int error = platform::writable(target_)) throw OsFailure{error, target_};
    // Hidden and ending in .tmp: a leftover after a kill is never taken for
    // a finished output.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string name = hidden_sibling(target_, ".tmp");
        int error = file_.create(name);
        if (error == 0) {
            temporary_ = std::move(name);
            return;
        }
        if (error != EEXIST) throw OsFailure{error, target_};
    }
    throw OsFailure{EEXIST, target_};
}

void ReplacingFile::write(const char* data, size_t size) {
    if (int error = file_.write(data, size)) throw OsFailure{error, target_};
    if (tap_) tap_->written(target_, data, size);
}

void ReplacingFile::finish() {
    // On the disk before its name is: after a power cut the name must not
    // hold an empty file.
    if (int error = file_.sync_and_close()) throw OsFailure{error, target_};
}

void ReplacingFile::finish_unsynced() {
    if (int error = file_.close_unsynced()) throw OsFailure{error, target_};
}

}  // namespace velk::outfile
