#include "kit/render/shaders/splat_projection.hpp"

namespace MivoKit {

namespace shaders {

const Uniforms& viewUniforms(const UniformsArray& uniforms, std::uint32_t view) {
    return view == 0 ? uniforms.uniforms0 : uniforms.uniforms1;
}

SplatFootprint projectSplat(const Uniforms& u, const Splat& s) {
    const lanes::Footprint<float> l = lanes::project(u, lanes::load(s));
    SplatFootprint f;
    if (!l.visible) return f;
    f.visible = true;
    f.clipCentre = {l.clipX, l.clipY, l.clipZ, l.clipW};
    f.axis1x = l.axis1x;
    f.axis1y = l.axis1y;
    f.axis2x = l.axis2x;
    f.axis2y = l.axis2y;
    f.red = l.red;
    f.green = l.green;
    f.blue = l.blue;
    f.opacity = l.opacity;
    return f;
}

} // namespace shaders

} // namespace MivoKit
