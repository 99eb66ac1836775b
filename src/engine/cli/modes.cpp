#include "modes.h"

#include <new>
#include <stdexcept>

#include "../formats/formats.h"
#include "../outfile/outputs.h"
#include "../report/refusal.h"
#include "../report/reporter.h"
#include "../run/crypto.h"

namespace velk {

namespace {

const Mode modes[] = {
    {"FLASH", mode_bit::flash, run_flash, 255, "out of memory; nothing was written",
     "interrupted; the output files are all new or all as they were",
     "interrupted; each device's files are all in place or none are: the same command "
     "with --resume goes on from the first device not in place"},
    {"CHECK", mode_bit::check, run_check, 2, "out of memory while checking it",
     "interrupted; no verdict"},
};

std::string out_of_memory(const Mode& mode, const Reporter& report) {
    return report.committed() ? "out of memory after the files were written"
                              : mode.out_of_memory;
}

// The rules of a request whatever asked: a record at least (a signed
// image's hash is one), and a block size alone (it closes the image with
// its one record). CHECK of a device's file may name its stamps or its
// manifest alone; an ESP32 app image needs none, it carries its own
// checksum and hash, and FLASH --esp32 or CHECK of such a file asks none.
void check_request(const Request& r, const Mode& mode) {
    const bool api = r.asker.by_keyword();
    const bool device = mode.bit == mode_bit::check && (!r.stamps.empty() || r.manifest);
    const formats::Format* named = formats::by_name(r.input);
    const bool self_checked = mode.bit == mode_bit::check && named && named->self_checked;
    // CHECK may judge an nRF5 settings page alone.
    const bool settings = mode.bit == mode_bit::check && r.nrf_settings;
    if (r.selectors.empty() && !r.header && !r.lpc_vectors && !r.mcuboot && !device &&
        !settings && !r.esp32 && !self_checked)
        throw Refusal{api ? "no record: give symbol=, offset=, block=, header= or "
                            "lpc_vectors=True"
                          : "no selector: give --n<variable>, --a<hex offset>, --s<block "
                            "size>, --header or --lpc-vectors"};
    for (const Selector& s : r.selectors)
        if (s.letter == 's' && (r.selectors.size() > 1 || r.header))
            throw Refusal{api ? s.word + " places the only record of a run: it does not "
                                         "combine with symbol=, offset=, another block= or "
                                         "header="
                              : "\"" + s.word + "\" places the only record of a run: it "
                                                "does not combine with --n, --a, another "
                                                "--s or --header"};
}

}  // namespace

int refused(const Mode& mode, Reporter& report, const std::string& text) {
    report.error(text);
    report.finish("error");
    return mode.refused;
}

const Mode* find_mode(std::string_view word) {
    for (const Mode& mode : modes)
        if (word == mode.word) return &mode;
    return nullptr;
}

const Mode* modes_begin() {
    return std::begin(modes);
}

const Mode* modes_end() {
    return std::end(modes);
}

int run_mode(const Mode& mode, const Request& request, Reporter& report, Host& host) {
    try {
        check_request(request, mode);
        return mode.run(request, report, host);
    } catch (const Refusal& refusal) {
        return refused(mode, report, refusal.text);
    } catch (const InternalError& fault) {
        report.error("internal error: " + fault.text);
        report.finish("error");
        return internal_error_status;
    } catch (const crypto::Failure& failure) {
        return refused(mode, report, failure.why);
    } catch (const std::bad_alloc&) {
        return refused(mode, report, out_of_memory(mode, report));
    } catch (const std::exception& e) {
        return refused(mode, report,
                       std::string("internal error: ") + e.what() +
                           (report.committed() ? " (after the files were written)" : ""));
    }
}

}  // namespace velk
