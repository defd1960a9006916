// Handing a loaded head's blend shapes and pose correctives over to bases shared between heads.

#include "kit/head/flame_head.hpp"

#include <algorithm>

namespace MivoKit {

namespace {

// Frees the storage, not only the elements.
template <class T>
void release(std::vector<T>& v) {
    std::vector<T>().swap(v);
}

} // namespace

void FlameHead::shareModelArrays(SharedFlameBases& bases) {
    const std::size_t V = v_template.size();
    const std::size_t S = shapeCount(), E = expressionCount(), K = S + E;
    // Only arrays the forward pass poses from; anything else stays for the pass to refuse.
    if (V == 0 || !(shapedirsFlat.empty() || shapedirsFlat.size() == V * 3 * K)) return;

    release(shapedirs);
    release(posedirs);
    SharedBases shared;
    shared.hasBlendShapes = !shapedirsFlat.empty();
    std::shared_ptr<const std::vector<float>> expression;
    if (shared.hasBlendShapes) {
        std::vector<float> shape(3 * V * S);
        for (std::size_t r = 0; r < 3 * V; ++r)
            std::copy_n(shapedirsFlat.begin() + std::ptrdiff_t(r * K), S, shape.begin() + std::ptrdiff_t(r * S));
        shared.shape = bases.intern(std::move(shape));
        if (E > 0) expression = bases.intern(expressionColumns(shapedirsFlat, V, S, E));
    }
    release(shapedirsFlat);
    shared.pose = bases.intern(std::move(posedirsFlat));
    release(posedirsFlat);

    modelDataChanged();
    exprBasis_ = std::move(expression);
    shared_ = std::move(shared);
}

} // namespace MivoKit
