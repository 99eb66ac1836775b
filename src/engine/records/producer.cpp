#include "producer.h"

#include "../base/byte_order.h"
#include "../report/text.h"
#include "plan.h"

namespace velk::records {

bool Producer::big_endian(const Plan& plan) const {
    return plan.big_endian;
}

std::optional<uint64_t> Producer::number(const Plan& plan, const Bytes& bytes) const {
    if (bytes.size() > 8) return std::nullopt;
    return bytes::load(bytes.data(), static_cast<unsigned>(bytes.size()),
                       big_endian(plan) ? bytes::Order::big : bytes::Order::little);
}

std::string Producer::shown(const Plan& plan, const Bytes& bytes) const {
    if (std::optional<uint64_t> value = number(plan, bytes))
        return hex_value(*value, static_cast<unsigned>(bytes.size()));
    std::string out = "0x";
    for (uint8_t b : bytes) out += text::format("%02X", b);
    return out;
}

std::string Producer::ok_line(const Plan& plan, const Planned& planned,
                              const Found& found) const {
    const Record& r = planned.record;
    return r.label + " ok: [" + shown(plan, found.held) + "] at " + text::address(r.slot);
}

std::string Producer::computed(const Plan& plan, const Found& found, bool brackets) const {
    auto told = [&](const Bytes& value) {
        std::string hex = shown(plan, value);
        return brackets ? "[" + hex + "]" : hex;
    };
    if (!found.built || *found.built == found.own) return told(found.own);
    return told(found.own) + " from the file's bytes, " + told(*found.built) + " from " +
           found.build + "'s";
}

void describe_record(json::Value& out, const Plan& plan, const Planned& planned,
                     const Bytes& value) {
    const Record& r = planned.record;
    const Producer& producer = *r.producer;
    out.set("kind", producer.kind());
    out.set("name", r.label);
    out.set("slot", r.slot);
    out.set("width", static_cast<uint64_t>(r.width));
    const std::string algorithm = producer.algorithm_name();
    out.set("algorithm", algorithm.empty() ? json::Value() : json::Value(algorithm));
    out.set("start", r.start());
    out.set("end", r.end());
    json::Value& ranges = out.set("ranges", json::Value::array());
    for (const Interval& part : r.range.ranges()) {
        json::Value& range = ranges.push(json::Value::object());
        range.set("start", part.from);
        range.set("end", part.to);
    }
    std::optional<uint64_t> number = producer.number(plan, value);
    out.set("value", number ? json::Value(*number) : json::Value());
    out.set("bytes", text::hex(value));
}

std::string ranges_text(const Intervals& range, uint64_t end) {
    // A range cut where it ends (a hole up to the slot) is told by its
    // pieces like any other: the bytes covered, not where the range began
    // and ended.
    if (range.empty()) return text::address(range.start()) + "~" + text::address(end);
    std::string out;
    for (const Interval& part : range.ranges())
        out += (out.empty() ? "" : ", ") + text::address(part.from) + "~" +
               text::address(part.to);
    return out;
}

std::string hex_value(uint64_t value, unsigned width) {
    return text::format("0x%0*llX", static_cast<int>(2 * width),
                        static_cast<unsigned long long>(value));
}

}  // namespace velk::records
