#include "platform/files/property_list.hpp"

#include <plist/plist.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

namespace MivoKit {

namespace platform::files {
namespace {

using namespace std::chrono;

// 1 January 2001, 00:00:00 UTC, in seconds since the Unix epoch.
constexpr double kReferenceDateUnixSeconds = 978307200.0;

struct NodeDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// libplist hands out strings allocated with malloc.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// libplist 2.2 reports failures by leaving a NULL behind, so every constructor is checked.
Node checked(plist_t node) {
    if (node == nullptr) throw PropertyListError("property list: out of memory");
    return Node(node);
}

Node makeDate(const PropertyListDate& date) {
    const double seconds = date.secondsSinceReferenceDate;
    if (!std::isfinite(seconds)) throw PropertyListError("property list: date is not finite");
    double whole = std::floor(seconds);
    if (whole <= std::numeric_limits<std::int32_t>::min() || whole > std::numeric_limits<std::int32_t>::max())
        throw PropertyListError("property list: date out of range");
    auto usec = static_cast<std::int32_t>(std::llround((seconds - whole) * 1e6));
    if (usec >= 1000000) {
        usec -= 1000000;
        whole += 1;
        if (whole > std::numeric_limits<std::int32_t>::max())
            throw PropertyListError("property list: date out of range");
    }
    return checked(plist_new_date(static_cast<std::int32_t>(whole), usec));
}

Node toNode(const PropertyList& value) {
    struct Visitor {
        Node operator()(bool v) const { return checked(plist_new_bool(v ? 1 : 0)); }
        // Stored as the two's complement bit pattern, which the binary form writes as a signed
        // 64-bit integer.
        Node operator()(std::int64_t v) const { return checked(plist_new_uint(static_cast<std::uint64_t>(v))); }
        Node operator()(double v) const { return checked(plist_new_real(v)); }
        Node operator()(const std::string& v) const {
            if (v.find('\0') != std::string::npos)
                throw PropertyListError("property list: string contains a NUL character");
            return checked(plist_new_string(v.c_str()));
        }
        Node operator()(const PropertyListDate& v) const { return makeDate(v); }
        Node operator()(const PropertyList::Data& v) const {
            return checked(plist_new_data(reinterpret_cast<const char*>(v.data()), v.size()));
        }
        Node operator()(const PropertyList::Array& v) const {
            Node array = checked(plist_new_array());
            for (const auto& item : v) plist_array_append_item(array.get(), toNode(item).release());
            return array;
        }
        Node operator()(const PropertyList::Dictionary& v) const {
            Node dict = checked(plist_new_dict());
            for (const auto& [key, item] : v) {
                if (key.find('\0') != std::string::npos)
                    throw PropertyListError("property list: key contains a NUL character");
                plist_dict_set_item(dict.get(), key.c_str(), toNode(item).release());
            }
            return dict;
        }
    };
    return std::visit(Visitor{}, value.value());
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool isUTF8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t code = 0, min = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            extra = 1, code = c & 0x1f, min = 0x80;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2, code = c & 0x0f, min = 0x800;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3, code = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (extra > text.size() - i - 1) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3f);
        }
        if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
        i += extra + 1;
    }
    return true;
}

// Text as the caller gets it: whole, and UTF-8 (the XML form passes bytes through unchecked).
std::string checkedText(std::string text) {
    if (text.find('\0') != std::string::npos) throw PropertyListError("property list: text holds a NUL character");
    if (!isUTF8(text)) throw PropertyListError("property list: text is not UTF-8");
    return text;
}

std::string takeString(char* raw) {
    CString owned(raw);
    if (!owned) throw PropertyListError("property list: unreadable string");
    return checkedText(std::string(owned.get()));
}

std::uint64_t bigEndian(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
    return value;
}

// libplist hands text out as C strings and asserts (aborting the process) when one holds a NUL,
// and it silently drops what it cannot convert (an unpaired UTF-16 surrogate, a byte beyond
// ASCII in an ASCII string comes back as invalid UTF-8). Text it cannot give back whole is refused
// here, in the bytes, before it parses them: keys have no getter that reports their length.
void refuseTextLibplistCannotReturn(std::span<const std::uint8_t> bytes) {
    const std::string_view magic = "bplist00";
    if (bytes.size() < magic.size() || !std::equal(magic.begin(), magic.end(), bytes.begin())) {
        // XML: a document never holds a NUL character.
        if (std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) != bytes.end())
            throw PropertyListError("property list: text holds a NUL character");
        return;
    }
    constexpr std::size_t trailerSize = 32;
    if (bytes.size() < magic.size() + trailerSize) return; // libplist refuses it
    const std::uint8_t* trailer = bytes.data() + bytes.size() - trailerSize;
    const std::size_t offsetSize = trailer[6];
    const std::uint64_t objectCount = bigEndian(trailer + 8, 8);
    const std::uint64_t tableOffset = bigEndian(trailer + 24, 8);
    const std::size_t end = bytes.size() - trailerSize;
    if (offsetSize < 1 || offsetSize > 8 || tableOffset > end || objectCount > (end - tableOffset) / offsetSize)
        return; // a broken trailer: libplist refuses it
    auto malformed = [] { throw PropertyListError("property list: malformed text object"); };
    for (std::uint64_t i = 0; i < objectCount; ++i) {
        const std::uint64_t offset = bigEndian(bytes.data() + tableOffset + i * offsetSize, offsetSize);
        if (offset >= end) continue; // refused by libplist if it is ever used
        const std::uint8_t marker = bytes[offset];
        const unsigned type = marker >> 4;
        if (marker == 0x33) {
            // A date, a big-endian double: libplist converts it to 32-bit seconds, and one beyond
            // their range would come back as another date.
            if (offset + 8 >= end) malformed();
            const double seconds = std::bit_cast<double>(bigEndian(bytes.data() + offset + 1, 8));
            if (!std::isfinite(seconds) || std::floor(seconds) <= std::numeric_limits<std::int32_t>::min() ||
                std::floor(seconds) > std::numeric_limits<std::int32_t>::max())
                throw PropertyListError("property list: date out of range");
            // Within the last second before 2001 the sign is lost on the way through libplist.
            if (seconds > -1 && seconds < 0) throw PropertyListError("property list: date out of range");
            continue;
        }
        if (type != 0x5 && type != 0x6) continue; // only ASCII and UTF-16 strings
        std::uint64_t count = marker & 0x0f;
        std::uint64_t at = offset + 1;
        if (count == 0x0f) {
            // The length follows as an integer object: marker 0x1n, then 2^n big-endian bytes.
            if (at >= end || (bytes[at] >> 4) != 0x1 || (bytes[at] & 0x0f) > 3) malformed();
            const std::size_t size = std::size_t{1} << (bytes[at] & 0x0f);
            if (size > end - at - 1) malformed();
            count = bigEndian(bytes.data() + at + 1, size);
            at += 1 + size;
        }
        const std::uint64_t unit = type == 0x6 ? 2 : 1;
        if (count > (end - at) / unit) malformed();
        const std::uint8_t* text = bytes.data() + at;
        if (type == 0x5) {
            for (std::uint64_t k = 0; k < count; ++k)
                if (text[k] == 0 || text[k] >= 0x80)
                    throw PropertyListError("property list: ASCII text holds a NUL or a non-ASCII byte");
            continue;
        }
        for (std::uint64_t k = 0; k < count; ++k) {
            const unsigned u = (unsigned(text[2 * k]) << 8) | text[2 * k + 1];
            if (u == 0) throw PropertyListError("property list: text holds a NUL character");
            if (u >= 0xdc00 && u <= 0xdfff) throw PropertyListError("property list: unpaired UTF-16 surrogate");
            if (u >= 0xd800 && u <= 0xdbff) {
                const unsigned next = k + 1 < count ? (unsigned(text[2 * k + 2]) << 8) | text[2 * k + 3] : 0;
                if (next < 0xdc00 || next > 0xdfff)
                    throw PropertyListError("property list: unpaired UTF-16 surrogate");
                ++k;
            }
        }
    }
}

PropertyList fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return PropertyList(v != 0);
    }
    case PLIST_UINT: {
        std::uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return PropertyList(static_cast<std::int64_t>(v));
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        return PropertyList(v);
    }
    case PLIST_STRING: {
        // Read with its length: a C string would end at an embedded NUL.
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (text == nullptr) throw PropertyListError("property list: unreadable string");
        return PropertyList(checkedText(std::string(text, length)));
    }
    case PLIST_DATE: {
        std::int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // libplist holds 32-bit seconds and gives a date of the XML form beyond them as their
        // lowest value (the binary form is checked before parsing).
        if (sec == std::numeric_limits<std::int32_t>::min()) throw PropertyListError("property list: date out of range");
        // Seconds are cut toward zero and the microseconds kept without their sign: before 2001 the
        // fraction counts back from the whole seconds.
        const double fraction = std::abs(static_cast<double>(usec)) / 1e6;
        return PropertyList(PropertyListDate{sec < 0 ? sec - fraction : sec + fraction});
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        std::uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        CString owned(raw);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(owned.get());
        return PropertyList(PropertyList::Data(bytes, bytes + (owned ? length : 0)));
    }
    case PLIST_ARRAY: {
        PropertyList::Array items;
        const std::uint32_t n = plist_array_get_size(node);
        items.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) items.push_back(fromNode(plist_array_get_item(node, i)));
        return PropertyList(std::move(items));
    }
    case PLIST_DICT: {
        PropertyList::Dictionary entries;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        std::unique_ptr<void, FreeDeleter> iterator(it);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (item == nullptr) {
                std::free(key);
                break;
            }
            entries.emplace_back(takeString(key), fromNode(item));
        }
        // Keys are unique: a key written twice keeps its last value, as other readers do.
        PropertyList dictionary;
        for (auto& [key, value] : entries) dictionary.set(std::move(key), std::move(value));
        return dictionary;
    }
    default: throw PropertyListError("property list: unsupported value type");
    }
}

} // namespace

PropertyListDate PropertyListDate::fromTimePoint(system_clock::time_point time) {
    const double unixSeconds = duration<double>(time.time_since_epoch()).count();
    return PropertyListDate{unixSeconds - kReferenceDateUnixSeconds};
}

system_clock::time_point PropertyListDate::timePoint() const {
    const duration<double> sinceEpoch(secondsSinceReferenceDate + kReferenceDateUnixSeconds);
    return system_clock::time_point(duration_cast<system_clock::duration>(sinceEpoch));
}

const PropertyList* PropertyList::find(std::string_view key) const {
    const auto* dict = as<Dictionary>();
    if (dict == nullptr) return nullptr;
    for (const auto& [k, v] : *dict)
        if (k == key) return &v;
    return nullptr;
}

void PropertyList::set(std::string key, PropertyList value) {
    auto* dict = std::get_if<Dictionary>(&value_);
    if (dict == nullptr) throw PropertyListError("property list: not a dictionary");
    for (auto& [k, v] : *dict) {
        if (k == key) {
            v = std::move(value);
            return;
        }
    }
    dict->emplace_back(std::move(key), std::move(value));
}

std::vector<std::uint8_t> encodeBinaryPropertyList(const PropertyList& root) {
    Node node = toNode(root);
    char* raw = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node.get(), &raw, &length);
    CString owned(raw);
    if (!owned || length == 0) throw PropertyListError("property list: binary encoding failed");
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(owned.get());
    return std::vector<std::uint8_t>(bytes, bytes + length);
}

PropertyList decodePropertyList(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) throw PropertyListError("property list: no data");
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) throw PropertyListError("property list: too large");
    refuseTextLibplistCannotReturn(bytes);
    plist_t raw = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &raw);
    if (raw == nullptr) throw PropertyListError("property list: not a binary or XML property list");
    Node node(raw);
    return fromNode(node.get());
}

} // namespace platform::files

} // namespace MivoKit
