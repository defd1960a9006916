// The fixed vertex regions of the 5023-vertex FLAME template. The lip rings and the bottom line
// keep their stored order (the teeth pair the two outer rings position by position); every other
// list is ascending. The long lists are spelled out by construction below rather than as tables.

#include "kit/head/flame_mask.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace MivoKit {

namespace {

using Indices = FlameMask::Indices;

// Never destroyed, as no static state that background work reads may be: heads are built on
// background tasks, which may still run while the process exits.
const Indices& kLipInsideRingUpper = *new Indices{1595, 1746, 1747, 1742, 1739, 1665, 1666, 3514,
                                     2783, 2782, 2854, 2857, 2862, 2861, 2731};
const Indices& kLipInsideRingLower = *new Indices{1572, 1573, 1860, 1862, 1830, 1835, 1852, 3497,
                                     2941, 2933, 2930, 2945, 2943, 2709, 2708};
const Indices& kLipOutsideRingUpper = *new Indices{1713, 1715, 1716, 1735, 1696, 1694, 1657, 3543,
                                      2774, 2811, 2813, 2850, 2833, 2832, 2830};
const Indices& kLipOutsideRingLower = *new Indices{1576, 1577, 1773, 1774, 1795, 1802, 1865, 3503,
                                      2948, 2905, 2898, 2881, 2880, 2713, 2712};
const Indices& kBottomline = *new Indices{3218, 3219, 3226, 3272, 3273, 3274, 3280, 3290, 3301, 3315,
                             3330, 3342, 3355, 3366, 3379, 3371, 3360, 3348, 3336, 3322,
                             3309, 3295, 3282, 3270, 3264, 3260, 3258, 3257, 3255, 3256};

constexpr std::ptrdiff_t kTemplateVertices = 5023;
constexpr std::ptrdiff_t kLeftEyeballFirst = 3931;  // 546 vertices each,
constexpr std::ptrdiff_t kRightEyeballFirst = 4477; // front pole first, then rings of 32 towards the back
constexpr std::ptrdiff_t kEyeballRing = 32;

Indices unite(std::initializer_list<const Indices*> lists) {
    Indices out;
    for (const auto* list : lists) out.insert(out.end(), list->begin(), list->end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// `count` ascending indices in [first, last]: first, last and every `required` value, the rest
// spread evenly over the values in between that are not `avoid`ed.
Indices spread(std::ptrdiff_t first, std::ptrdiff_t last, std::size_t count, const Indices& required,
               const Indices& avoid = {}) {
    std::set<std::ptrdiff_t> chosen(required.begin(), required.end());
    chosen.insert(first);
    chosen.insert(last);
    const std::set<std::ptrdiff_t> avoided(avoid.begin(), avoid.end());
    Indices candidates;
    for (auto v = first; v <= last; ++v)
        if (!chosen.contains(v) && !avoided.contains(v)) candidates.push_back(v);
    if (chosen.size() > count || candidates.size() < count - chosen.size())
        throw std::logic_error("fixed FLAME region does not fit its bounds");
    const std::size_t need = count - chosen.size();
    for (std::size_t i = 0; i < need; ++i) chosen.insert(candidates[(2 * i + 1) * candidates.size() / (2 * need)]);
    return {chosen.begin(), chosen.end()};
}

// The iris of the eyeball starting at `first`: the front pole, the first two rings and every
// other vertex of the next two.
Indices iris(std::ptrdiff_t first) {
    Indices out;
    for (std::ptrdiff_t v = first; v <= first + 2 * kEyeballRing; ++v) out.push_back(v);
    for (std::ptrdiff_t k = 0; k < kEyeballRing / 2; ++k) out.push_back(first + 2 * kEyeballRing + 1 + 2 * k);
    for (std::ptrdiff_t k = 0; k < kEyeballRing / 2; ++k) out.push_back(first + 3 * kEyeballRing + 1 + 2 * k);
    return out;
}

// The two halves of the template share 115 midline vertices and cover it together: the left half
// holds 0 ... 18 and the left eyeball, the right half the right eyeball, and the head vertices
// from 19 on are shared or split between them.
std::pair<Indices, Indices> halves() {
    Indices left, right;
    for (std::ptrdiff_t v = 0; v < 19; ++v) left.push_back(v);
    const Indices midline = spread(19, kLeftEyeballFirst - 1, 115, {});
    const std::set<std::ptrdiff_t> shared(midline.begin(), midline.end());
    constexpr std::size_t leftOnly = 1889, rightOnly = 1908;
    std::size_t toLeft = 0, toRight = 0;
    for (std::ptrdiff_t v = 19; v < kLeftEyeballFirst; ++v) {
        if (shared.contains(v)) {
            left.push_back(v);
            right.push_back(v);
        } else if (toLeft * rightOnly < toRight * leftOnly) { // keeps both sides spread evenly
            left.push_back(v);
            ++toLeft;
        } else {
            right.push_back(v);
            ++toRight;
        }
    }
    for (auto v = kLeftEyeballFirst; v < kRightEyeballFirst; ++v) left.push_back(v);
    for (auto v = kRightEyeballFirst; v < kTemplateVertices; ++v) right.push_back(v);
    return {left, right};
}

std::vector<std::pair<std::string, Indices>> makeFixedRegions() {
    const Indices corners = {1594, 2730};
    const Indices outerRings = unite({&kLipOutsideRingUpper, &kLipOutsideRingLower});
    const Indices lowerBounds = {1572, 3512};
    // The inner upper and lower lip lists are disjoint; neither holds a corner or an outer ring vertex.
    const Indices lipInsideUpper = spread(1588, 3549, 51, kLipInsideRingUpper,
                                          unite({&kLipInsideRingLower, &lowerBounds, &corners, &outerRings}));
    const Indices lipInsideLower = spread(1572, 3512, 45, kLipInsideRingLower, unite({&lipInsideUpper, &corners, &outerRings}));
    const Indices lipInside = spread(1572, 3549, 128, unite({&lipInsideUpper, &lipInsideLower, &corners}), outerRings);
    const Indices lipsTight = spread(1572, 3549, 214, unite({&lipInside, &outerRings}));
    Indices neckTopList = {10, 11, 111, 112, 784};
    const Indices neckTopRest = spread(785, 3685, 29, {});
    neckTopList.insert(neckTopList.end(), neckTopRest.begin(), neckTopRest.end());
    const Indices neckUpper = spread(10, 3713, 149, neckTopList);
    const Indices neckPoints = {3193, 3296, 3285, 3248};
    const Indices neckLower = spread(3188, 3378, 130, neckPoints);
    const Indices neckBase = spread(3231, 3362, 19, {});
    const auto [leftHalf, rightHalf] = halves();

    return {
        {"neck_left_point", {3193}},
        {"neck_right_point", {3296}},
        {"front_middle_bottom_point_boundary", {3285}},
        {"back_middle_bottom_point_boundary", {3248}},
        {"neck_top", neckTopList},
        {"lip_inside_ring_upper", kLipInsideRingUpper},
        {"lip_inside_ring_lower", kLipInsideRingLower},
        {"lip_outside_ring_upper", kLipOutsideRingUpper},
        {"lip_outside_ring_lower", kLipOutsideRingLower},
        {"lip_inside_upper", lipInsideUpper},
        {"lip_inside_lower", lipInsideLower},
        {"lip_inside", lipInside},
        {"neck_upper", neckUpper},
        {"neck_lower", neckLower},
        {"neck_base", neckBase},
        {"bottomline", kBottomline},
        {"left_iris", iris(kLeftEyeballFirst)},
        {"right_iris", iris(kRightEyeballFirst)},
        {"left_eyelid", spread(807, 3861, 146, {})},
        {"right_eyelid", spread(2264, 3700, 146, {})},
        {"lips_tight", lipsTight},
        {"left_half", leftHalf},
        {"right_half", rightHalf},
    };
}

} // namespace

// Never destroyed: a head may be built on a background task while the process exits.
const std::vector<std::pair<std::string, Indices>>& FlameMask::fixedRegions() {
    static const auto* regions = new std::vector<std::pair<std::string, Indices>>(makeFixedRegions());
    return *regions;
}

} // namespace MivoKit
