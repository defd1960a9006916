// The character file ("character.json" in a character's directory): read leniently when a
// character is created from its directory, and strictly in the character's coded form.

#include "fuzz/fuzz_support.hpp"
#include "kit/model/character.hpp"
#include "platform/files/directories.hpp"

#include <fstream>
#include <optional>

using namespace MivoKit;

using json_values::JsonDecodeError;
using Mivo::Character;

namespace {

constexpr const char* kCharacterPath = "fuzzed";

// A Documents directory of this process's own, with one character directory in it; made once.
const std::filesystem::path& characterFile() {
    static const std::filesystem::path file = [] {
        const auto documents = fuzz::scratchDirectory() / "Documents";
        const auto directory = documents / "MvCharacters" / kCharacterPath;
        std::filesystem::create_directories(directory);
        platform::files::setDocumentsDirectory(documents);
        return directory / "character.json";
    }();
    return file;
}

bool sameIdentity(const Character& a, const Character& b) {
    return a.id() == b.id() && a.version() == b.version() && a.camera() == b.camera();
}

} // namespace

std::vector<FuzzBytes> fuzzSeeds() {
    std::vector<FuzzBytes> seeds;
    seeds.push_back(fuzz::readFile(fuzz::syntheticCharacterDirectory() / "character.json"));
    seeds.push_back(fuzz::bytesOf(R"({"version":"0.1","camera":{"rotation":0.25,"fovyRadians":0.5,"translationX":-0.01,
"translationY":0.02,"translationZ":1.5},"characterID":"hero"})"));
    // The lenient reader's fallbacks: strings, booleans, nulls and missing keys.
    seeds.push_back(fuzz::bytesOf(R"({"version":9,"camera":{"rotation":"1","fovyRadians":true,"translationX":null},
"characterID":["x"]})"));
    seeds.push_back(fuzz::bytesOf(R"({"camera":[0.1,0.2]})"));
    seeds.push_back(fuzz::bytesOf(R"([{"characterID":"x"}])"));
    seeds.push_back(fuzz::bytesOf(R"({"version":"0.9","camera":{"rotation":1e38,"fovyRadians":-3.4e38,
"translationX":1e-45,"translationY":-0.0,"translationZ":18446744073709551615},"characterID":"\u00e9\ud83d\ude00"})"));
    return seeds;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::quietLog();
    const auto& file = characterFile();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
        if (!out) fuzz::fail("cannot write the character file");
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto document = json_values::parse(bytes);

    // The lenient reader gives a character for every JSON document and nothing for anything else.
    std::optional<Character> created;
    fuzz::endsWithOnly<>("Character::createCharacter", [&] { created = Character::createCharacter(kCharacterPath); });
    if (created.has_value() != document.has_value())
        fuzz::fail(created ? "a character from a file that is not JSON" : "no character from a JSON character file");
    if (created) (void)created->aspectRatio();
    if (!document) return 0;

    // The coded form is strict; where it accepts the document, both readers agree.
    std::optional<Character> decoded;
    fuzz::endsWithOnly<JsonDecodeError>("Character::decode", [&] { decoded = Character::decode(*document); });
    if (!decoded) return 0;
    if (!sameIdentity(*created, *decoded)) fuzz::fail("the lenient and the strict reader disagree on a valid file");

    // The coded form reads back the same.
    std::optional<Character> again;
    fuzz::endsWithOnly<JsonDecodeError>("Character::decode of its own encoding", [&] {
        const auto reparsed = json_values::parse(decoded->encode().dump());
        if (!reparsed) fuzz::fail("a character's encoding is not JSON");
        again = Character::decode(*reparsed);
    });
    if (!again) fuzz::fail("a decoded character does not decode from its own encoding");
    if (!sameIdentity(*decoded, *again)) fuzz::fail("a decoded character changes through its own encoding");
    return 0;
}
