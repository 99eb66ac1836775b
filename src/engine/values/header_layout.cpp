#include "header_layout.h"

#include "../base/split.h"
#include "../numbers/numbers.h"
#include "../report/refusal.h"
#include "../request/option_table.h"
#include "values.h"

namespace velk::values {

namespace {

using numbers::hex_prefixed;
using numbers::read_hex_address;
using numbers::read_number;

bool is_field_name(const std::string& name) {
    return name == "size" || name == "crc" || name == "hcrc";
}

// The items of a field list: split at commas, except that a CRC given by
// its parameters after a field's '=' keeps its own ("crc@8=width=16,
// poly=0x1021,..."): an item with an '=' and no '@' before it goes on
// the algorithm before it.
std::vector<std::string> items_of(const std::string& list) {
    std::vector<std::string> items;
    for (const std::string& item : base::split(list, ',')) {
        const size_t equals = item.find('='), sign = item.find('@');
        const bool parameter = equals != std::string::npos && sign > equals &&
                               !is_field_name(item.substr(0, equals));
        if (parameter && !items.empty() && items.back().find('=') != std::string::npos)
            items.back() += "," + item;
        else
            items.push_back(item);
    }
    return items;
}

// `header` names the option for refusals: "--header <layout>".
std::vector<HeaderField> fields_of(const std::string& list, const std::string& header) {
    std::vector<HeaderField> fields;
    for (const std::string& item : items_of(list)) {
        size_t equals = item.find('=');
        std::string placed = item.substr(0, equals);
        size_t sign = placed.find('@');
        std::string name = placed.substr(0, sign);
        if (!is_field_name(name))
            throw Refusal{
                header + ": " + quoted(item) +
                " is no field: the fields are size@<offset>, crc@<offset> and "
                "hcrc@<offset>, a checksum's with =<algorithm> when it is not " +
                spelled(Option::crc) + "'s"};
        std::string offset = sign == std::string::npos ? "" : placed.substr(sign + 1);
        HeaderField f{name, 0, std::nullopt};
        if (offset.empty() ||
            !read_number(offset, hex_prefixed(offset) ? 16 : 10, f.offset))
            throw Refusal{
                header + ": the " + name +
                " field needs its offset from the header's start, in decimal or "
                "0x hex, as in " +
                name + "@8"};
        if (equals != std::string::npos) {
            if (name == "size")
                throw Refusal{header +
                              ": the size field is the body's length, which no "
                              "algorithm computes: " +
                              quoted(item)};
            f.algorithm = values::algorithm_of_text(item.substr(equals + 1));
        }
        for (const HeaderField& other : fields)
            if (other.name == name)
                throw Refusal{header + ": the " + name + " field is given twice"};
        fields.push_back(f);
    }
    return fields;
}

// "0x08004000+16": the header's address and size given in place of its
// symbol.
bool read_placed(const std::string& where, HeaderLayout& header) {
    size_t plus = where.find('+');
    if (plus == std::string::npos ||
        !read_hex_address(where.substr(0, plus), header.address))
        return false;
    const std::string size = where.substr(plus + 1);
    return read_number(size, hex_prefixed(size) ? 16 : 10, header.size) &&
           header.size != 0;
}

}  // namespace

HeaderLayout header_of_text(const std::string& text, const Asker& asker) {
    HeaderLayout layout;
    layout.text = text;
    const std::string given_as = asker.given(Option::header, text);
    try {
        const size_t colon = text.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
            throw Refusal{
                given_as + ": give the header's symbol and its fields, as in " +
                asker.given(Option::header, "app_header:size@8,crc@12,hcrc@16")};
        layout.where = text.substr(0, colon);
        layout.fields = fields_of(text.substr(colon + 1), given_as);
        if (!hex_prefixed(layout.where)) {
            layout.symbol = layout.where;
        } else if (!read_placed(layout.where, layout)) {
            throw Refusal{given_as + ": " + quoted(layout.where) +
                          " is no header: give its address and size, as in "
                          "0x08004000+16, or its symbol"};
        }
    } catch (const Refusal& refusal) {
        layout.refusal = refusal.text;
    }
    return layout;
}

}  // namespace velk::values
