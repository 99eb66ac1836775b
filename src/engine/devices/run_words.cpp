// The words of a devices run: where they do not fit, and which of them
// shape its files.
#include "run_words.h"

#include "../report/refusal.h"
#include "../report/text.h"
#include "../request/option_table.h"
#include "devices_run.h"

namespace velk::devices {

std::string shaping_words(const Request& request) {
    std::string words;
    auto add = [&words](const std::string& word) {
        words += (words.empty() ? "" : " ") + word;
    };
    // Each as the same words would read from either front, so that a run
    // the command line began resumes from the API, and the other way.
    for (const Selector& s : request.selectors) {
        std::string word(1, s.letter);
        word += s.number ? text::number(*s.number) : s.value;
        if (s.from_address.value) word += "@" + text::number(*s.from_address.value);
        else if (s.from) word += "@" + *s.from;
        if (s.algorithm) word += "=" + s.algorithm->name;
        add(word);
    }
    for (const Exclusion& e : request.excludes) {
        std::string word = e.bytes == Exclusion::Bytes::range
                               ? text::number(e.from) + "-" + text::number(e.to)
                               : e.symbol;
        if (e.records)
            for (const std::string& r : *e.records) word += ":" + r;
        add("exclude:" + word);
    }
    for (const std::string& o : request.outputs) add("output:" + o);
    for (const MergeFile& m : request.merge)
        add("merge:" + m.path +
            (m.base && m.base->value ? "@" + text::number(*m.base->value) : std::string()));
    if (request.header) {
        const HeaderLayout& h = *request.header;
        std::string word = "header:" + (h.symbol ? *h.symbol
                                                 : text::number(h.address) + "+" +
                                                       text::number(h.size));
        for (const HeaderField& f : h.fields)
            word += ":" + f.name + "@" + text::number(f.offset) +
                    (f.algorithm ? "=" + f.algorithm->name : std::string());
        add(word);
    }
    if (request.uf2 && request.uf2->value) add("uf2:" + text::number(*request.uf2->value));
    if (request.dfu) {
        std::string word = "dfu";
        for (const std::optional<uint64_t>& n : request.dfu->numbers)
            word += ":" + (n ? text::number(*n) : std::string("?"));
        add(word);
    }
    if (request.dfuse) {
        std::string word = "dfuse";
        for (const std::optional<uint64_t>& n : request.dfuse->numbers)
            word += ":" + (n ? text::number(*n) : std::string("?"));
        add(word);
    }
    // As typed, from either front: both take the same text.
    if (request.esp32) add("esp32:" + *request.esp32);
    if (request.nrf_settings) add("nrf-settings:" + *request.nrf_settings);
    if (request.entry) {
        const StartAddress& e = *request.entry;
        add("entry:" + (e.file              ? *e.file
                        : e.address.value ? text::number(*e.address.value)
                                          : e.text));
    }
    if (request.crc) add("crc:" + request.crc->name);
    if (request.fill && request.fill->value)
        add("fill:" + text::number(*request.fill->value));
    if (request.mcuboot) add("mcuboot:" + request.mcuboot->typed);
    if (request.big_endian) add("be");
    if (request.words) add("words");
    if (request.lpc_vectors) add("lpc");
    return words;
}

void refuse_misplaced(const Request& request) {
    const Asker& asker = request.asker;
    if (request.stamps.empty()) {
        for (auto [given, option] :
             {std::pair<bool, Option>{request.out.has_value(), Option::out},
              {request.count.has_value(), Option::count},
              {request.resume, Option::resume}})
            if (given)
                throw Refusal{std::string(asker.name(option)) + " is for a devices run: give " +
                              asker.asking(Option::stamp) + " too"};
        return;
    }
    if (!request.out)
        throw Refusal{std::string(asker.name(Option::stamp)) +
                      " writes a set of files per device: give " +
                      asker.asking(Option::out) + " for them"};
    if (request.mcuboot)
        for (const McubootSetting& s : request.mcuboot->settings)
            if (s.name == "sign" || s.name == "signature")
                throw Refusal{asker.setting(Option::mcuboot, s.name.c_str()) +
                              " signs one image in two steps; a devices run (" +
                              asker.name(Option::stamp) + ") signs each device's image " +
                              "with its key"};
}

}  // namespace velk::devices
