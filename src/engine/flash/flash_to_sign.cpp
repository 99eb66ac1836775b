// FLASH's first step with a key the build never holds (--mcuboot
// sign=digest|payload, the key's public half): the records stored and the
// image hashed as a one-step run does, then what the key's holder signs
// written as <root>_CRC.tosign, and no image. The second step, the same
// words with signature=<file>, is a one-step run with the holder's
// signature in place of the key's.
#include "../outfile/names.h"
#include "../report/text.h"
#include "flash_run.h"

namespace velk::flash {

int run_to_sign(FlashRun& run, Reporter& report, Host& host) {
    records::store_all(run.plan, run.memory, run.stored);
    // The records are in the payload: the digest covers them.
    run.signing.sign(run.memory, host);
    const std::string file =
        outfile::path_root(run.request.input) + mcuboot::external::ending;
    write_to_sign(run, file, report, host,
                  [&report](const std::string& line) { report.error(line); });
    report.commit();
    if (report.keeps_object()) {
        const mcuboot::Bytes& bytes = run.signing.made().to_sign->bytes;
        std::unique_ptr<crypto::Digest> digest = host.crypto().sha256();
        digest->update(bytes.data(), bytes.size());
        run.digests.emplace_back(file, text::hex(digest->finish()));
    }
    report_to_sign(run, file, report);
    report.finish("written");
    return 0;
}

}  // namespace velk::flash
