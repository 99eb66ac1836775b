// FLASH's files: a file of every table row that writes, for the application
// and (with --merge) merged; the asked ones written, the others removed (an
// earlier run's would not match), then all put in place together. The
// first of two signing steps writes what the key's holder signs alone.
#include "../outfile/names.h"
#include "../outfile/outputs.h"
#include "../platform/platform.h"
#include "../report/refusal.h"
#include "flash_run.h"

namespace velk::flash {

namespace {

// The output stage's questions while it writes.
class Writing final : public outfile::Writing {
public:
    Writing(Warnings& warnings, Host& host, const LastWords& last_words)
        : warnings_(warnings), host_(host), last_words_(last_words) {}

    void between_chunks() override { host_.stop_if_asked(); }
    void waiting_long(const std::string& lock_file) override {
        warnings_.note("waiting for " + lock_file +
                       ": another velk-crc run is writing these files");
    }
    void terminated_while_waiting(const std::string& lock_file) override {
        last_words_("terminated while waiting for " + lock_file + "; nothing was written");
    }

private:
    Warnings& warnings_;
    Host& host_;
    const LastWords& last_words_;
};

// "cannot write fw_CRC.hex: Permission denied"
[[noreturn]] void refuse_os_failure(const outfile::OsFailure& failure) {
    std::string why = platform::error_text(failure.error);
    if (!failure.kept.empty()) why += "; the earlier file is kept as " + failure.kept;
    throw Refusal{"cannot write " + failure.path + ": " + why};
}

}  // namespace

void write_files(FlashRun& run, Warnings& warnings, Host& host, const LastWords& last_words,
                 outfile::Tap* tap) {
    Writing writing(warnings, host, last_words);
    outfile::Outputs outputs(outfile::Claim::locked, writing);
    if (tap) outputs.tap(*tap);
    const std::string root = outfile::path_root(run.request.input);
    const formats::Contents own = run.contents(false), joined = run.contents(true);
    for (const formats::Format* f = formats::begin(); f != formats::end(); ++f)
        for (bool merged : {false, true}) {
            if (!f->write || (merged && !f->merged)) continue;
            const formats::Contents& contents = merged ? joined : own;
            run.files.push_back({f, merged, formats::file_name(root, *f, merged),
                                 run.asked(*f) && (!merged || run.merged) &&
                                     f->can_write(contents)});
        }
    // Each file written by its format's row, from the image it holds.
    auto write = [&outputs, &own, &joined](const File& file) {
        const formats::Contents& contents = file.merged ? joined : own;
        outputs.write(file.name, [&file, &contents](outfile::Sink& sink) {
            file.format->write(contents, file.name, sink);
        });
    };
    const File& primary = run.primary();
    try {
        // The application's HEX, the file every run writes, and the merged
        // files on a second thread while this one writes the others. The
        // HEX is made, and put in place, first.
        outputs.defer(true);
        write(primary);
        for (const File& file : run.files)
            if (file.written && file.merged) write(file);
        outputs.write_deferred();
        for (const File& file : run.files) {
            if (&file == &primary || (file.written && file.merged)) continue;
            if (file.written)
                write(file);
            else
                outputs.remove(file.name);
        }
        // What an earlier first step of two-step signing wrote is not this
        // image's to sign.
        outputs.remove(root + mcuboot::external::ending);
        outputs.commit();
    } catch (const outfile::OsFailure& failure) {
        refuse_os_failure(failure);
    }
    run.removed = outputs.removed();
}

void write_to_sign(FlashRun& run, const std::string& file, Warnings& warnings, Host& host,
                   const LastWords& last_words) {
    Writing writing(warnings, host, last_words);
    outfile::Outputs outputs(outfile::Claim::locked, writing);
    const std::string root = outfile::path_root(run.request.input);
    const mcuboot::Bytes& bytes = run.signing.made().to_sign->bytes;
    try {
        outputs.write(file, [&bytes](outfile::Sink& sink) {
            sink.put(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        });
        // No file an earlier run wrote stays beside it: a flashing step
        // would take an earlier signed image for this build's.
        for (const std::string& ending : formats::flash_endings()) outputs.remove(root + ending);
        outputs.commit();
    } catch (const outfile::OsFailure& failure) {
        refuse_os_failure(failure);
    }
    run.removed = outputs.removed();
}

}  // namespace velk::flash
