#include "record.h"

#include "producer.h"

namespace velk::records {

namespace {

bool overlaps(uint64_t a, uint64_t a_end, uint64_t b, uint64_t b_end) {
    return a < b_end && b < a_end;
}

// Whether `reader`'s value reads the bytes of `written`'s slot.
bool reads(const Record& reader, const Record& written) {
    return reader.reads_bytes() && reader.range.overlaps(written.slot, written.slot_end());
}

}  // namespace

bool Record::reads_bytes() const {
    return producer->reads_bytes();
}

std::variant<std::vector<size_t>, OrderFault> store_order(
    const std::vector<Record>& records) {
    const size_t n = records.size();
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (overlaps(records[i].slot, records[i].slot_end(), records[j].slot,
                         records[j].slot_end()))
                return OrderFault{OrderFault::overlap, i, j};
    // Depth-first: a record is placed after every record whose slot it
    // reads. A record met again while its own turn is open closes a cycle.
    enum Mark { unseen, open, done };
    std::vector<Mark> mark(n, unseen);
    std::vector<size_t> order;
    std::variant<std::vector<size_t>, OrderFault> fault = std::vector<size_t>{};
    bool failed = false;
    auto visit = [&](auto&& self, size_t i, size_t from) -> void {
        if (failed || mark[i] == done) return;
        if (mark[i] == open) {
            fault = OrderFault{OrderFault::cycle, from, i};
            failed = true;
            return;
        }
        mark[i] = open;
        for (size_t j = 0; j < n; ++j)
            if (j != i && reads(records[i], records[j])) self(self, j, i);
        mark[i] = done;
        order.push_back(i);
    };
    for (size_t i = 0; i < n && !failed; ++i) visit(visit, i, i);
    if (failed) return fault;
    return order;
}

}  // namespace velk::records
