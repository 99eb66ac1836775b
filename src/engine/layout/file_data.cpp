#include "file_data.h"

#include <algorithm>

namespace velk::layout {

bool Records::data(size_t line, uint64_t address, const uint8_t* bytes, size_t size) {
    may_end_ = false;
    if (size == 0) return true;
    if (watch_) {
        if (watched_ >= address && watched_ - address < size && ++seen_ == 2) {
            fail(ReadFault::overlap, line);
            fault_.address = watched_;
            return false;
        }
        return true;
    }
    std::vector<Span>& runs = out_.runs;
    if (!runs.empty() && runs.back().end() == address &&
        runs.back().offset + runs.back().size == out_.data.size())
        runs.back().size += size;
    else
        runs.push_back({address, size, 0, out_.data.size()});
    out_.data.insert(out_.data.end(), bytes, bytes + size);
    return true;
}

bool Records::windowed(size_t line, uint64_t start, uint64_t window, uint64_t address,
                       const uint8_t* bytes, size_t size) {
    if (address - start + size > window) {
        fail(ReadFault::past_window, line);
        fault_.address = start;
        fault_.window = window;
        return false;
    }
    return data(line, address, bytes, size);
}

bool Records::entry(size_t line, uint64_t address) {
    if (out_.has_entry) return fail(ReadFault::entry_twice, line);
    out_.has_entry = true;
    out_.entry = address;
    return true;
}

bool Records::end(const char* record) {
    ended_ = true;
    ended_by_ = record;
    return true;
}

void Records::may_end() {
    may_end_ = true;
}

bool Records::fail(ReadFault::Kind kind, size_t line) {
    return fail(ReadFault{kind, line});
}

bool Records::fail(const ReadFault& fault) {
    fault_ = fault;
    failed_ = true;
    return false;
}

bool Records::finish(uint64_t& overlap) {
    std::vector<Span>& runs = out_.runs;
    std::stable_sort(runs.begin(), runs.end(),
                     [](const Span& a, const Span& b) { return a.address < b.address; });
    bool ok = true;
    for (size_t i = 0; i < runs.size(); ++i) {
        runs[i].source = i;
        if (i > 0 && runs[i].address < runs[i - 1].end()) {
            uint64_t at = runs[i].address;
            if (ok || at < overlap) overlap = at;
            ok = false;
        }
    }
    return ok;
}

}  // namespace velk::layout
