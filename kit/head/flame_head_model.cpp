// Loading the model arrays of a FlameHead from the FLAME model files.

#include "kit/head/flame_head.hpp"

#include "platform/log/log.hpp"

namespace MivoKit {

namespace {

constexpr const char* kModel2023 = "flame_model";
constexpr const char* kModel2020 = "flame_model_2020";

void assign(FlameHead& head, FlameModelArrays&& a) {
    head.v_template = std::move(a.v_template);
    head.kintree_table = std::move(a.kintree_table);
    head.shapedirs = std::move(a.shapedirs);
    head.posedirs = std::move(a.posedirs);
    head.J_regressor = std::move(a.J_regressor);
    head.lbs_weights = std::move(a.lbs_weights);
    head.parents = std::move(a.parents);
}

// Runs `load`, which maps and validates; prints the failure and assigns nothing when it throws.
template <class Load>
bool loadModel(FlameHead& head, Load&& load) {
    try {
        auto arrays = load();
        arrays.validate(head.shapeCount() + head.expressionCount());
        assign(head, std::move(arrays));
        return true;
    } catch (const FlameModelError& error) {
        platform::log::print(error.description());
        return false;
    }
}

} // namespace

std::vector<std::string> FlameHead::modelFileNames(FlameVersion version) {
    switch (version) {
    case FlameVersion::V_2023: return {kModel2023};
    case FlameVersion::V_2020: return {kModel2020};
    case FlameVersion::Mix: return {kModel2023, kModel2020};
    }
    return {};
}

bool FlameHead::loadFlameModel(FlameModelFiles& files) {
    return loadModel(*this, [&] { return FlameModelArrays::map(*files.get(kModel2023)); });
}

bool FlameHead::loadFlameModel2020(FlameModelFiles& files) {
    return loadModel(*this, [&] { return FlameModelArrays::map(*files.get(kModel2020)); });
}

bool FlameHead::loadMixFlameModel(FlameModelFiles& files) {
    return loadModel(*this, [&] {
        const auto shapeSource = files.get(kModel2023);
        const auto expressionSource = files.get(kModel2020);
        return FlameModelArrays::mix(*shapeSource, *expressionSource, shapeCount(), expressionCount());
    });
}

bool FlameHead::loadFlameModel() {
    FlameModelFiles files;
    return loadFlameModel(files);
}

bool FlameHead::loadFlameModel2020() {
    FlameModelFiles files;
    return loadFlameModel2020(files);
}

bool FlameHead::loadMixFlameModel() {
    FlameModelFiles files;
    return loadMixFlameModel(files);
}

} // namespace MivoKit
