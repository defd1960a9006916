#include "kit/head/flame_model_file.hpp"
#include "kit/head/flame_model_files.hpp"
#include "kit/model/flame_version.hpp"
#include "tests/kit/head/head_fixtures.hpp"

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <cstring>

using namespace MivoKit;

using google::protobuf::util::MessageDifferencer;

namespace {

std::string fixed32(float v) {
    std::string out(4, '\0');
    std::memcpy(out.data(), &v, 4);
    return out;
}

// A length-delimited record of field `field`.
std::string record(int field, const std::string& payload) {
    return std::string(1, char((field << 3) | 2)) + char(payload.size()) + payload;
}

FlameModelErrorCode decodeFailure(const std::string& bytes) {
    try {
        decodeFlameData(bytes);
    } catch (const FlameModelError& e) {
        return e.code();
    }
    ADD_FAILURE() << "decoded";
    return FlameModelErrorCode::resourceNotFound;
}

} // namespace

TEST(FlameModelFile, EmptyBytesDecodeToAnEmptyModel) {
    const auto data = decodeFlameData("");
    EXPECT_EQ(data.vtemplate_size() + data.kintreetable_size() + data.weights_size() + data.shapedirs_size() +
                  data.posedirs_size() + data.jregressor_size(),
              0);
    EXPECT_TRUE(MessageDifferencer::Equals(data, FlameData()));
}

TEST(FlameModelFile, UnpackedAndPackedFloatsMakeTheSameRowAndReencodePacked) {
    // Field 1 of FloatArray as two separate fixed32 records, then as one packed run.
    const std::string unpacked = std::string(1, char(0x0D)) + fixed32(1.5f) + char(0x0D) + fixed32(-2.0f);
    const std::string packed = record(1, fixed32(1.5f) + fixed32(-2.0f));
    const auto a = decodeFlameData(record(1, unpacked));
    const auto b = decodeFlameData(record(1, packed));
    ASSERT_EQ(a.vtemplate_size(), 1);
    EXPECT_EQ(a.vtemplate(0).values_size(), 2);
    EXPECT_EQ(a.vtemplate(0).values(1), -2.0f);
    EXPECT_TRUE(MessageDifferencer::Equals(a, b));
    EXPECT_EQ(a.SerializeAsString(), record(1, packed));
}

TEST(FlameModelFile, UnknownFieldsSurviveAndMakeTheMessageDiffer) {
    const std::string bytes = "\x38\x05"; // field 7, varint 5
    const auto data = decodeFlameData(bytes);
    EXPECT_EQ(data.SerializeAsString(), bytes);
    EXPECT_FALSE(MessageDifferencer::Equals(data, FlameData()));
}

TEST(FlameModelFile, MalformedBytesFailToDecode) {
    EXPECT_EQ(decodeFailure("\x0A\x05\x01"), FlameModelErrorCode::malformed);             // truncated length
    EXPECT_EQ(decodeFailure("\x0F"), FlameModelErrorCode::malformed);                     // wire type 7
    EXPECT_EQ(decodeFailure(record(1, "\x08\x01")), FlameModelErrorCode::malformed);     // FloatArray values as varint
    EXPECT_EQ(decodeFailure(std::string("\x15") + fixed32(1)), FlameModelErrorCode::malformed); // kintreeTable as fixed32
    EXPECT_EQ(decodeFailure(record(4, record(1, "\x08\x01"))), FlameModelErrorCode::malformed); // inside a 2D row
}

TEST(FlameModelFile, ATemplateRowMapsToItsFirstThreeValues) {
    FlameData data;
    auto* row = data.add_vtemplate();
    for (float v : {1.0f, 2.0f, 3.0f, 4.0f}) row->add_values(v);
    const auto arrays = FlameModelArrays::map(data);
    ASSERT_EQ(arrays.v_template.size(), 1u);
    EXPECT_EQ(arrays.v_template[0], (simd::float3{1, 2, 3}));
}

TEST(FlameModelFile, ValidationRejectsArraysThatDoNotFormAHead) {
    headtest::TinyModel tiny{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}}, {}, 4};
    const auto good = tiny.data();
    EXPECT_NO_THROW(FlameModelArrays::map(good).validate(4));
    EXPECT_THROW(FlameModelArrays::map(good).validate(5), FlameModelError); // rows of the wrong length

    auto noTree = good;
    noTree.clear_kintreetable();
    EXPECT_THROW(FlameModelArrays::map(noTree).validate(4), FlameModelError);

    auto badParent = good;
    badParent.mutable_kintreetable(0)->set_values(2, 3); // joint 2 after its parent
    EXPECT_THROW(FlameModelArrays::map(badParent).validate(4), FlameModelError);

    auto shortWeights = good;
    shortWeights.mutable_weights(1)->mutable_values()->RemoveLast();
    EXPECT_THROW(FlameModelArrays::map(shortWeights).validate(4), FlameModelError);

    auto shortTemplateRow = good;
    shortTemplateRow.mutable_vtemplate(0)->mutable_values()->RemoveLast();
    EXPECT_THROW(FlameModelArrays::map(shortTemplateRow), FlameModelError);
}

TEST(FlameModelFile, MixTakesShapeFromTheFirstAndExpressionFromColumn300OfTheSecond) {
    headtest::TinyModel a{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}}, {}, 400, 0.001f};
    headtest::TinyModel b = a;
    b.shapeStep = -0.002f;
    const auto mixed = FlameModelArrays::mix(a.data(), b.data(), 300, 100);
    ASSERT_NO_THROW(mixed.validate(400));
    EXPECT_FLOAT_EQ(mixed.shapedirs[2][0][299], 300 * 0.001f);
    EXPECT_FLOAT_EQ(mixed.shapedirs[2][0][300], 301 * -0.002f);
    EXPECT_FLOAT_EQ(mixed.shapedirs[2][0][399], 400 * -0.002f);

    const auto expressionOnly = FlameModelArrays::mix(a.data(), b.data(), 0, 100);
    EXPECT_NO_THROW(expressionOnly.validate(100));
    EXPECT_FLOAT_EQ(expressionOnly.shapedirs[0][0][0], 301 * -0.002f);

    // A second model whose rows end before 300 + the expression count does not make a head.
    headtest::TinyModel shortRows = b;
    shortRows.coefficients = 350;
    EXPECT_THROW(FlameModelArrays::mix(a.data(), shortRows.data(), 300, 100).validate(400), FlameModelError);
}

TEST(FlameModelFile, EachFileIsDecodedOncePerLoadingPass) {
    headtest::ResourceDirectory resources;
    headtest::TinyModel tiny{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}}, {}, 4};
    headtest::writeModel(resources.path(), "flame_model", tiny.data());
    FlameModelFiles files;
    const auto first = files.get("flame_model");
    std::filesystem::remove(resources / "flame_model.pb");
    EXPECT_EQ(files.get("flame_model"), first);
    // A failure is remembered too.
    EXPECT_THROW(files.get("flame_model_2020"), FlameModelError);
    headtest::writeModel(resources.path(), "flame_model_2020", tiny.data());
    EXPECT_THROW(files.get("flame_model_2020"), FlameModelError);
    EXPECT_NO_THROW(FlameModelFiles().get("flame_model_2020"));
}

TEST(FlameVersion, RawValuesMatchExactly) {
    EXPECT_EQ(fromRaw<FlameVersion>("mix"), FlameVersion::Mix);
    EXPECT_EQ(fromRaw<FlameVersion>("2020"), FlameVersion::V_2020);
    EXPECT_EQ(fromRaw<FlameVersion>("Mix"), std::nullopt);
    EXPECT_EQ(fromRaw<FlameVersion>(" mix"), std::nullopt);
}
