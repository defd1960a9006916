#include "kit/head/flame_model_file.hpp"

#include "kit/head/resource_file.hpp"
#include "platform/files/directories.hpp"

#include <google/protobuf/unknown_field_set.h>

#include <algorithm>
#include <limits>

namespace MivoKit {

namespace {

[[noreturn]] void malformed(const std::string& detail) {
    throw FlameModelError(FlameModelErrorCode::malformed, "The FLAME model data is malformed: " + detail);
}

[[noreturn]] void invalid(const std::string& detail) {
    throw FlameModelError(FlameModelErrorCode::invalidSizes, "The FLAME model data is incomplete: " + detail);
}

// The runtime files a known field with the wrong wire type among the unknown fields.
template <class Message>
void requireNoMisfiledFields(const Message& message, int highestKnownField) {
    const auto& unknown = message.GetReflection()->GetUnknownFields(message);
    for (int i = 0; i < unknown.field_count(); ++i) {
        const int number = unknown.field(i).number();
        if (number >= 1 && number <= highestKnownField)
            malformed("field " + std::to_string(number) + " of " + Message::descriptor()->name() +
                      " has the wrong wire type");
    }
}

template <class Rows>
void requireRowsWellFormed(const Rows& rows) {
    for (const auto& row : rows) requireNoMisfiledFields(row, 1);
}

std::string count(std::size_t n) { return std::to_string(n); }

} // namespace

FlameData decodeFlameData(std::string_view bytes) {
    if (bytes.size() > std::size_t(std::numeric_limits<int>::max())) malformed("the file is too large");
    FlameData data;
    if (!data.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) malformed("the bytes do not decode");
    requireNoMisfiledFields(data, 6);
    requireRowsWellFormed(data.vtemplate());
    requireRowsWellFormed(data.kintreetable());
    requireRowsWellFormed(data.weights());
    requireRowsWellFormed(data.posedirs());
    requireRowsWellFormed(data.jregressor());
    for (const auto& matrix : data.shapedirs()) {
        requireNoMisfiledFields(matrix, 1);
        requireRowsWellFormed(matrix.values());
    }
    return data;
}

std::shared_ptr<const FlameData> loadFlameData(std::string_view resourceName) {
    const auto path = platform::files::resourcePath(resourceName, "pb");
    if (!path)
        throw FlameModelError(FlameModelErrorCode::resourceNotFound,
                              "The FLAME model resource \"" + std::string(resourceName) + ".pb\" was not found.");
    std::string error;
    const auto bytes = head_resources::readWholeFile(*path, error);
    if (!bytes) throw FlameModelError(FlameModelErrorCode::unreadable, error);
    return std::make_shared<const FlameData>(decodeFlameData(*bytes));
}

namespace {

// Through the field's contiguous storage: one copy, not a loop over protobuf's iterator.
std::vector<float> rowValues(const FloatArray& row) {
    return {row.values().data(), row.values().data() + row.values_size()};
}

template <class Rows>
std::vector<std::vector<float>> floatRows(const Rows& rows) {
    std::vector<std::vector<float>> out;
    out.reserve(rows.size());
    for (const auto& row : rows) out.push_back(rowValues(row));
    return out;
}

std::vector<std::vector<std::int32_t>> intRows(const FlameData& data) {
    std::vector<std::vector<std::int32_t>> out;
    out.reserve(data.kintreetable_size());
    for (const auto& row : data.kintreetable()) out.emplace_back(row.values().begin(), row.values().end());
    return out;
}

std::vector<simd::float3> templateVertices(const FlameData& data) {
    std::vector<simd::float3> out;
    out.reserve(data.vtemplate_size());
    for (const auto& row : data.vtemplate()) {
        if (row.values_size() < 3) invalid("a template vertex has fewer than 3 coordinates");
        out.push_back({row.values(0), row.values(1), row.values(2)});
    }
    return out;
}

std::vector<std::ptrdiff_t> parentsOf(const std::vector<std::vector<std::int32_t>>& kintree) {
    if (kintree.empty()) return {};
    return {kintree.front().begin(), kintree.front().end()};
}

// `count` values of `row` from `first` on, fewer when the row ends sooner.
void appendColumns(std::vector<float>& out, const FloatArray& row, std::size_t first, std::size_t count) {
    const std::size_t size = std::size_t(row.values_size());
    if (first >= size) return;
    const std::size_t end = std::min(size, first + count);
    out.insert(out.end(), row.values().data() + first, row.values().data() + end);
}

} // namespace

FlameModelArrays FlameModelArrays::map(const FlameData& data) {
    FlameModelArrays a;
    a.v_template = templateVertices(data);
    a.kintree_table = intRows(data);
    a.lbs_weights = floatRows(data.weights());
    a.shapedirs.reserve(data.shapedirs_size());
    for (const auto& matrix : data.shapedirs()) a.shapedirs.push_back(floatRows(matrix.values()));
    a.posedirs = floatRows(data.posedirs());
    a.J_regressor = floatRows(data.jregressor());
    a.parents = parentsOf(a.kintree_table);
    return a;
}

FlameModelArrays FlameModelArrays::mix(const FlameData& shapeSource, const FlameData& expressionSource,
                                       std::size_t shapeParams, std::size_t exprParams) {
    FlameModelArrays a;
    a.v_template = templateVertices(shapeSource);
    a.kintree_table = intRows(expressionSource);
    a.lbs_weights = floatRows(expressionSource.weights());
    a.posedirs = floatRows(expressionSource.posedirs());
    a.J_regressor = floatRows(expressionSource.jregressor());
    a.parents = parentsOf(a.kintree_table);

    // Vertex by vertex and row by row, as far as both sources go.
    const int vertices = std::min(shapeSource.shapedirs_size(), expressionSource.shapedirs_size());
    a.shapedirs.reserve(std::size_t(vertices));
    for (int v = 0; v < vertices; ++v) {
        const auto& shapeRows = shapeSource.shapedirs(v).values();
        const auto& exprRows = expressionSource.shapedirs(v).values();
        const int coordinates = std::min(shapeRows.size(), exprRows.size());
        std::vector<std::vector<float>> matrix(static_cast<std::size_t>(coordinates));
        for (int c = 0; c < coordinates; ++c) {
            auto& row = matrix[std::size_t(c)];
            row.reserve(shapeParams + exprParams);
            appendColumns(row, shapeRows[c], 0, shapeParams);
            appendColumns(row, exprRows[c], kFlameExpressionColumn, exprParams);
        }
        a.shapedirs.push_back(std::move(matrix));
    }
    return a;
}

void FlameModelArrays::validate(std::size_t coefficients) const {
    const std::size_t V = v_template.size();
    if (V == 0) invalid("no template vertices");
    if (parents.empty()) invalid("no kinematic tree");
    const std::size_t J = parents.size();
    for (std::size_t i = 1; i < J; ++i)
        if (parents[i] < 0 || std::size_t(parents[i]) >= i)
            invalid("joint " + count(i) + " has parent " + std::to_string(parents[i]) + ", not an earlier joint");

    if (lbs_weights.size() != V) invalid(count(lbs_weights.size()) + " weight rows for " + count(V) + " vertices");
    for (const auto& row : lbs_weights)
        if (row.size() != J) invalid("a weight row holds " + count(row.size()) + " values for " + count(J) + " joints");

    if (shapedirs.size() != V) invalid(count(shapedirs.size()) + " blend-shape entries for " + count(V) + " vertices");
    for (const auto& matrix : shapedirs) {
        if (matrix.size() != 3) invalid("a blend-shape entry holds " + count(matrix.size()) + " rows, not 3");
        for (const auto& row : matrix)
            if (row.size() != coefficients)
                invalid("a blend-shape row holds " + count(row.size()) + " coefficients, not " + count(coefficients));
    }

    const std::size_t features = 9 * (J - 1);
    if (posedirs.size() != features)
        invalid(count(posedirs.size()) + " pose-corrective rows for " + count(features) + " pose features");
    for (const auto& row : posedirs)
        if (row.size() != 3 * V) invalid("a pose-corrective row holds " + count(row.size()) + " values, not " + count(3 * V));

    if (J_regressor.size() != J) invalid(count(J_regressor.size()) + " regressor rows for " + count(J) + " joints");
    for (const auto& row : J_regressor)
        if (row.size() != V) invalid("a regressor row holds " + count(row.size()) + " weights for " + count(V) + " vertices");
}

} // namespace MivoKit
