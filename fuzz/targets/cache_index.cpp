// The character cache index: a property list in a file any process of the user may have written.

#include "fuzz/fuzz_support.hpp"
#include "kit/loader/cached_character.hpp"
#include "platform/files/property_list.hpp"

#include <chrono>
#include <cmath>
#include <optional>

using namespace MivoKit;

using character_loader::CachedCharacter;
using platform::files::PropertyList;
using platform::files::PropertyListError;

std::vector<FuzzBytes> fuzzSeeds() {
    Mivo::CharacterMeta meta;
    meta.id = "synthetic";
    meta.version = "3";
    meta.updatedAt = "2026-12-01T00:00:00Z";
    meta.characterSettings = Mivo::CharacterMeta::CharacterSettings{{true, true, 0.4f, {0.1f, 0.2f}}};
    const auto created = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    PropertyList::Array records;
    records.push_back(CachedCharacter::make(meta, "file:///tmp/characters/synthetic/", created).encode());
    meta.id = "其他";
    meta.characterSettings.reset();
    records.push_back(CachedCharacter::make(meta, "file:///tmp/characters/other/", created).encode());

    std::vector<FuzzBytes> seeds;
    seeds.push_back(platform::files::encodeBinaryPropertyList(PropertyList(records)));
    seeds.push_back(platform::files::encodeBinaryPropertyList(PropertyList(PropertyList::Array{records[0]})));
    seeds.push_back(platform::files::encodeBinaryPropertyList(PropertyList(PropertyList::Array{})));
    seeds.push_back(fuzz::bytesOf(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><array><dict><key>id</key><string>x</string><key>n</key><integer>-3</integer>
<key>d</key><date>2026-01-01T00:00:00Z</date><key>b</key><data>AAEC</data><key>r</key><real>0.5</real>
</dict></array></plist>)"));
    return seeds;
}

namespace {

// Equality as a round trip can keep it: libplist holds dates as whole microseconds and rounds on
// the way through, and NaN equals nothing.
bool sameValue(const PropertyList& a, const PropertyList& b) {
    if (const auto* x = a.as<double>(), *y = b.as<double>(); x && y) return *x == *y || (*x != *x && *y != *y);
    if (const auto* x = a.as<platform::files::PropertyListDate>(), *y = b.as<platform::files::PropertyListDate>(); x && y)
        return std::abs(x->secondsSinceReferenceDate - y->secondsSinceReferenceDate) <= 2e-6;
    if (const auto* x = a.as<PropertyList::Array>(), *y = b.as<PropertyList::Array>(); x && y) {
        if (x->size() != y->size()) return false;
        for (std::size_t i = 0; i < x->size(); ++i)
            if (!sameValue((*x)[i], (*y)[i])) return false;
        return true;
    }
    if (const auto* x = a.as<PropertyList::Dictionary>(), *y = b.as<PropertyList::Dictionary>(); x && y) {
        if (x->size() != y->size()) return false;
        for (std::size_t i = 0; i < x->size(); ++i)
            if ((*x)[i].first != (*y)[i].first || !sameValue((*x)[i].second, (*y)[i].second)) return false;
        return true;
    }
    return a == b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    std::optional<PropertyList> root;
    fuzz::endsWithOnly<PropertyListError>("decodePropertyList", [&] { root = platform::files::decodePropertyList({data, size}); });
    if (!root) return 0;

    // What decodes encodes again and reads back the same.
    std::optional<PropertyList> again;
    fuzz::endsWithOnly<PropertyListError>("encodeBinaryPropertyList", [&] {
        again = platform::files::decodePropertyList(platform::files::encodeBinaryPropertyList(*root));
    });
    if (again && !sameValue(*again, *root)) fuzz::fail("a decoded property list does not survive its own encoding");

    // The records, as the cache reads them.
    if (const auto* array = root->as<PropertyList::Array>())
        for (const auto& item : *array)
            fuzz::endsWithOnly<PropertyListError>("CachedCharacter::decode", [&] { (void)CachedCharacter::decode(item); });
    return 0;
}
