#include "kit/loader/character_cache.hpp"
#include "tests/kit/loader/loader_environment.hpp"
#include "tests/support/python/python_script.hpp"

#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include <thread>

using namespace MivoKit;

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using namespace character_loader;
using namespace loadertest;

namespace {

class CacheTest : public LoaderEnvironment {
protected:
    std::vector<std::string> ids() const {
        std::vector<std::string> out;
        for (const auto& record : cache_.load().value_or(std::vector<CachedCharacter>{})) out.push_back(record.id());
        return out;
    }

    fs::path index() const { return documents() / "MvCharacterCache.plist"; }

    Cache cache_;
};

// Prints the index as plistlib reads it: every record with its value types and the date as
// seconds since 2001.
constexpr const char* kReadIndex = R"(
import datetime, json, plistlib, sys
with open(sys.argv[1], 'rb') as f:
    data = f.read()
assert data.startswith(b'bplist00'), 'not the binary form'
records = plistlib.loads(data)
out = []
for r in records:
    types = {k: type(v).__name__ for k, v in r.items()}
    r['createdData'] = (r['createdData'] - datetime.datetime(2001, 1, 1)).total_seconds()
    out.append({'record': r, 'types': types})
print(json.dumps(out))
)";

TEST_F(CacheTest, FirstSaveWritesOneRecord) {
    const fs::path directory = charactersRoot() / "first";
    const auto record = cache_.save(meta("first"), directory);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->id(), "first");
    EXPECT_EQ(record->resourcePath(), "file://" + directory.string() + "/");
    EXPECT_TRUE(printed("数字人缓存已保存: first, url: file://" + directory.string() + "/"));
    EXPECT_THAT(ids(), ElementsAre("first"));
    EXPECT_THAT(printedLines(), ElementsAre(::testing::StartsWith("数字人缓存已保存: ")))
        << "a missing index is no error";
}

TEST_F(CacheTest, SavingAgainMovesTheRecordToTheEnd) {
    cache_.save(meta("a"), charactersRoot() / "a");
    cache_.save(meta("b"), charactersRoot() / "b");
    const auto firstDate = cache_.load()->at(0).createdData();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cache_.save(meta("a", "newer"), charactersRoot() / "a");

    const auto records = cache_.load();
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ((*records)[0].id(), "b");
    EXPECT_EQ((*records)[1].id(), "a");
    EXPECT_EQ((*records)[1].updatedAt(), "newer");
    EXPECT_GT((*records)[1].createdData(), firstDate);
}

TEST_F(CacheTest, RecordKeepsTheDescriptionsValues) {
    auto description = meta("values", "stamp", true, false);
    description.characterSettings.reset();
    const auto saved = cache_.save(description, charactersRoot() / "values");
    ASSERT_TRUE(saved.has_value());

    const auto loaded = cache_.load();
    ASSERT_TRUE(loaded.has_value());
    const auto& record = loaded->at(0);
    EXPECT_EQ(record.version(), "0.1");
    EXPECT_EQ(record.cameraSettings(), description.modelSettings.camera);
    EXPECT_FALSE(record.eyelid().has_value());
    EXPECT_EQ(record.animationZipUrl(), archiveUrl("values", "animation"));
    EXPECT_EQ(record.modelZipUrl(), "");
    EXPECT_EQ(record.updatedAt(), "stamp");
    EXPECT_LT(std::chrono::abs(record.createdData() - saved->createdData()), std::chrono::milliseconds(1));

    cache_.save(meta("eyes"), charactersRoot() / "eyes");
    const auto eyes = cache_.load()->back();
    ASSERT_TRUE(eyes.eyelid().has_value());
    EXPECT_EQ(*eyes.eyelid(), meta("eyes").characterSettings->eyelid);
}

TEST_F(CacheTest, RemovalRewritesTheIndexEvenWhenNothingMatches) {
    cache_.remove("nobody");
    EXPECT_TRUE(printed("数字人缓存已清除: nobody"));
    const auto empty = cache_.load();
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());

    cache_.save(meta("a"), charactersRoot() / "a");
    cache_.save(meta("b"), charactersRoot() / "b");
    cache_.save(meta("c"), charactersRoot() / "c");
    cache_.remove("b");
    EXPECT_THAT(ids(), ElementsAre("a", "c"));
}

TEST_F(CacheTest, UnreadableIndexIsAbsentAndReplacedByTheNextSave) {
    testsupport::writeFile(index(), "garbage");
    EXPECT_FALSE(cache_.load().has_value());
    EXPECT_TRUE(printed("加载缓存失败: property list: not a binary or XML property list"));

    cache_.save(meta("fresh"), charactersRoot() / "fresh");
    EXPECT_THAT(ids(), ElementsAre("fresh"));
}

TEST_F(CacheTest, AnIndexWithANulInAKeyIsUnreadableNotACrash) {
    // A binary list with one dictionary whose key is "a", NUL, "b" in UTF-16.
    const std::string bytes("bplist00"
                            "\xd1\x01\x02"
                            "\x63\x00\x61\x00\x00\x00\x62"
                            "\x09"
                            "\x08\x0b\x12"
                            "\x00\x00\x00\x00\x00\x00\x01\x01"
                            "\x00\x00\x00\x00\x00\x00\x00\x03"
                            "\x00\x00\x00\x00\x00\x00\x00\x00"
                            "\x00\x00\x00\x00\x00\x00\x00\x13",
                            54);
    testsupport::writeFile(index(), bytes);
    EXPECT_FALSE(cache_.load().has_value());
    EXPECT_TRUE(printed("加载缓存失败: property list: text holds a NUL character"));
    cache_.save(meta("fresh"), charactersRoot() / "fresh");
    EXPECT_THAT(ids(), ElementsAre("fresh"));
}

TEST_F(CacheTest, FailedWriteKeepsTheIndexAndLeavesNoTemporaryFile) {
    cache_.save(meta("kept"), charactersRoot() / "kept");
    const std::string before = testsupport::readFile(index());

    // A directory where the index belongs: the replacement cannot land.
    fs::rename(index(), documents() / "saved.plist");
    fs::create_directories(index() / "blocker");
    capture_.clear();
    EXPECT_FALSE(cache_.save(meta("lost"), charactersRoot() / "lost").has_value());
    cache_.remove("kept");
    const auto lines = printedLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](auto& l) { return l.starts_with("保存缓存失败: "); }));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](auto& l) { return l.starts_with("清除缓存失败: "); }));
    EXPECT_FALSE(printed("数字人缓存已清除: kept"));

    fs::remove_all(index());
    fs::rename(documents() / "saved.plist", index());
    EXPECT_EQ(testsupport::readFile(index()), before);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(documents())) names.push_back(entry.path().filename().string());
    EXPECT_THAT(names, ElementsAre("MvCharacterCache.plist"));
}

TEST_F(CacheTest, ConcurrentSavesAndRemovalsLoseNothing) {
    cache_.save(meta("doomed"), charactersRoot() / "doomed");
    std::vector<std::jthread> writers;
    for (int i = 0; i < 8; ++i) {
        writers.emplace_back([this, i] {
            const std::string id = "c" + std::to_string(i);
            cache_.save(meta(id), charactersRoot() / id);
        });
    }
    writers.emplace_back([this] { cache_.remove("doomed"); });
    writers.clear();

    auto stored = ids();
    std::sort(stored.begin(), stored.end());
    EXPECT_THAT(stored, ElementsAre("c0", "c1", "c2", "c3", "c4", "c5", "c6", "c7"));
}

TEST_F(CacheTest, PythonReadsTheIndex) {
    cache_.save(meta("py/v1"), charactersRoot() / "py" / "v1");
    auto noEyelid = meta("plain", "2024-06-01", true, false);
    noEyelid.characterSettings.reset();
    cache_.save(noEyelid, charactersRoot() / "plain");
    const auto saved = cache_.load();
    ASSERT_TRUE(saved.has_value());

    const auto read = nlohmann::json::parse(testsupport::runPython(kReadIndex, {index().string()}));
    ASSERT_EQ(read.size(), 2u);
    const auto& first = read[0]["record"];
    EXPECT_EQ(first["id"], "py/v1");
    EXPECT_EQ(first["version"], "0.1");
    EXPECT_EQ(first["updatedAt"], "2024-01-01");
    EXPECT_EQ(first["animationZipUrl"], archiveUrl("py/v1", "animation"));
    EXPECT_EQ(first["modelZipUrl"], archiveUrl("py/v1", "model"));
    EXPECT_EQ(first["resourcePath"], "file://" + (charactersRoot() / "py" / "v1").string() + "/");
    EXPECT_FLOAT_EQ(first["cameraSettings"]["translationZ"].get<float>(), 1.5f);
    EXPECT_FLOAT_EQ(first["cameraSettings"]["fovyRadians"].get<float>(), 0.5f);
    EXPECT_EQ(first["eyelid"]["auto_eyelid_adjustment"], true);
    EXPECT_FLOAT_EQ(first["eyelid"]["eyelid_threshold"].get<float>(), 0.25f);
    EXPECT_EQ(first["eyelid"]["targets"].size(), 2u);
    const double seconds =
        std::chrono::duration<double>(saved->at(0).createdData().time_since_epoch()).count() - 978307200.0;
    EXPECT_NEAR(first["createdData"].get<double>(), seconds, 1e-3);

    const auto& types = read[0]["types"];
    EXPECT_EQ(types["createdData"], "datetime");
    EXPECT_EQ(types["cameraSettings"], "dict");
    EXPECT_EQ(types["eyelid"], "dict");
    EXPECT_EQ(types.size(), 9u);
    EXPECT_FALSE(read[1]["record"].contains("eyelid"));
    EXPECT_EQ(read[1]["record"]["modelZipUrl"], "");
}

TEST_F(CacheTest, KitReadsAnIndexWrittenByPython) {
    testsupport::runPython(R"(
import datetime, plistlib, sys
camera = {'rotation': 0.0, 'fovyRadians': 0.6, 'translationX': 0.1, 'translationY': -0.2, 'translationZ': 2}
records = [
    {'createdData': datetime.datetime(2024, 5, 6, 7, 8, 9), 'id': 'from/v1', 'version': '0.9',
     'cameraSettings': camera,
     'eyelid': {'auto_eyelid_adjustment': False, 'eyelid_threshold': 0.3, 'enabled': True, 'targets': [0.1, 0.2]},
     'animationZipUrl': 'https://files.example/a.zip', 'modelZipUrl': 'https://files.example/m.zip',
     'updatedAt': 'u1', 'resourcePath': 'file:///somewhere/from/v1/'},
    {'createdData': datetime.datetime(2024, 5, 6), 'id': 'second', 'version': '0.1', 'cameraSettings': camera,
     'animationZipUrl': '', 'modelZipUrl': '', 'updatedAt': 'u2', 'resourcePath': 'file:///x/second/'},
]
with open(sys.argv[1], 'wb') as f:
    plistlib.dump(records, f, fmt=plistlib.FMT_XML if sys.argv[2] == 'xml' else plistlib.FMT_BINARY)
)",
                           {index().string(), "binary"});

    const auto records = cache_.load();
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 2u);
    const auto& first = (*records)[0];
    EXPECT_EQ(first.id(), "from/v1");
    EXPECT_EQ(first.version(), "0.9");
    EXPECT_EQ(first.cameraSettings(), Mivo::CameraSettings(0.0f, 0.6f, 0.1f, -0.2f, 2.0f));
    ASSERT_TRUE(first.eyelid().has_value());
    EXPECT_FALSE(first.eyelid()->autoEyelidAdjustment);
    EXPECT_TRUE(first.eyelid()->enabled);
    EXPECT_EQ(first.eyelid()->targets, (std::vector<float>{0.1f, 0.2f}));
    using namespace std::chrono;
    EXPECT_EQ(first.createdData(), sys_days{year{2024} / May / 6} + hours(7) + minutes(8) + seconds(9));
    EXPECT_EQ(first.resourcePath(), "file:///somewhere/from/v1/");
    EXPECT_FALSE((*records)[1].eyelid().has_value());

    // Saving keeps Python's records and adds the kit's.
    cache_.save(meta("added"), charactersRoot() / "added");
    EXPECT_THAT(ids(), ElementsAre("from/v1", "second", "added"));
}

TEST_F(CacheTest, RecordsWithAMissingOrMistypedKeyMakeTheIndexUnreadable) {
    const char* script = R"(
import datetime, plistlib, sys
camera = {'rotation': 0.0, 'fovyRadians': 0.6, 'translationX': 0.1, 'translationY': -0.2, 'translationZ': 2.0}
r = {'createdData': datetime.datetime(2024, 5, 6), 'id': 'x', 'version': '0.1', 'cameraSettings': camera,
     'animationZipUrl': '', 'modelZipUrl': '', 'updatedAt': 'u', 'resourcePath': 'file:///x/'}
change = sys.argv[2]
if change == 'no-resourcePath': del r['resourcePath']
if change == 'number-id': r['id'] = 7
if change == 'no-camera-key': del camera['translationZ']
if change == 'int-flag': r['eyelid'] = {'auto_eyelid_adjustment': 1, 'eyelid_threshold': 0.3, 'enabled': True, 'targets': []}
if change == 'not-a-list': r = {'records': [r]}
with open(sys.argv[1], 'wb') as f:
    plistlib.dump([r] if change != 'not-a-list' else r, f, fmt=plistlib.FMT_BINARY)
)";
    for (const char* change : {"no-resourcePath", "number-id", "no-camera-key", "int-flag", "not-a-list"}) {
        testsupport::runPython(script, {index().string(), change});
        capture_.clear();
        EXPECT_FALSE(cache_.load().has_value()) << change;
        const auto lines = printedLines();
        ASSERT_EQ(lines.size(), 1u) << change;
        EXPECT_TRUE(lines[0].starts_with("加载缓存失败: ")) << change;
    }
    EXPECT_TRUE(printed("加载缓存失败: cache index: the top level is not an array"));
    testsupport::runPython(script, {index().string(), "no-resourcePath"});
    capture_.clear();
    cache_.load();
    EXPECT_TRUE(printed("加载缓存失败: cached character: \"resourcePath\" is missing"));
}

} // namespace
