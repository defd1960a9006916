#pragma once
// The FLAME model files: decoding a FlameData message and mapping it onto the head model's arrays.

#include "kit/head/flame_model.pb.h"
#include "kit/model/typed_error.hpp"
#include "platform/simd/simd.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace MivoKit {

enum class FlameModelErrorCode {
    resourceNotFound, // the model file is not among the kit's resources
    unreadable,       // the file exists but cannot be read
    malformed,        // the bytes are not a FlameData message
    invalidSizes,     // the message decodes but its arrays do not form a head model
};
using FlameModelError = TypedError<FlameModelErrorCode>;

// Decodes a whole model file. A known field that arrives with the wrong wire type is malformed
// (the protobuf runtime would keep it as an unknown field). Throws FlameModelError.
FlameData decodeFlameData(std::string_view bytes);

// Reads and decodes the resource `name`.pb. Throws FlameModelError.
std::shared_ptr<const FlameData> loadFlameData(std::string_view resourceName);

// The arrays of a head model, as the model files hold them.
struct FlameModelArrays {
    std::vector<simd::float3> v_template;
    std::vector<std::vector<std::int32_t>> kintree_table;
    std::vector<std::vector<float>> lbs_weights;
    std::vector<std::vector<std::vector<float>>> shapedirs; // vertex -> x, y, z -> coefficient
    std::vector<std::vector<float>> posedirs;               // feature -> x, y, z of every vertex
    std::vector<std::vector<float>> J_regressor;            // joint -> weight per vertex
    std::vector<std::ptrdiff_t> parents;                    // row 0 of kintree_table

    // Every array of one model file, as stored.
    static FlameModelArrays map(const FlameData& data);

    // The combined model: the template and the first `shapeParams` shape coefficients of `shapeSource`,
    // everything else from `expressionSource`, whose coefficients 300 ..< 300 + exprParams become the
    // expression coefficients.
    static FlameModelArrays mix(const FlameData& shapeSource, const FlameData& expressionSource,
                                std::size_t shapeParams, std::size_t exprParams);

    // Throws FlameModelError(invalidSizes) unless the arrays form a head model of V vertices and J
    // joints: a template, a kinematic tree whose every joint after the first has an earlier
    // parent, V rows of J weights, V blend-shape matrices of 3 rows of `coefficients` values,
    // 9 (J - 1) pose-corrective rows of 3V values and J regressor rows of V values.
    void validate(std::size_t coefficients) const;
};

// Where the blend-shape coefficients of the expression block begin in the model files.
inline constexpr std::size_t kFlameExpressionColumn = 300;

} // namespace MivoKit
