// FLASH's driver: its four stages in order. The reporter hears that the
// files are in place before the report stage runs: a failure from then on
// says that they were written.
#include "../cli/modes.h"
#include "../devices/devices_run.h"
#include "flash_verify.h"

namespace velk {

int run_flash(const Request& request, Reporter& report, Host& host) {
    devices::refuse_misplaced(request);
    if (!request.stamps.empty()) return devices::run_devices(request, report, host);
    flash::FlashRun run(request);
    flash::plan(run, host);
    // A key the build never holds: the first step writes what its holder
    // signs, and no image.
    if (run.signing.exports()) return flash::run_to_sign(run, report, host);
    flash::compute(run, host);
    flash::plant_test_fault(run);
    // With --mcuboot, the manifest's digests are taken as the files are
    // written; only the object holds them.
    std::optional<flash::FileDigests> digests;
    if (run.signing && report.keeps_object()) digests.emplace(host.crypto());
    // What CHECK would say of each file, known before any is put in place.
    flash::SelfCheck self_check(run, host, digests ? &*digests : nullptr);
    flash::write_files(run, report, host,
                       [&report](const std::string& line) { report.error(line); },
                       &self_check);
    report.commit();
    if (digests) flash::digest_files(run, *digests);
    flash::report(run, report);
    report.finish("written");
    return 0;
}

}  // namespace velk
