"""Writes the stand-in super-resolution networks into the directory given as the only argument.

The kit's real networks cannot ship, so these small ONNX models take their place with the same
interface: input "x_1", 16-bit floats of shape [8, H, W] (the eight feature channels of the splat
rendering, colour r, g, b with premultiplied alpha in channels 0 to 2); output "output_image",
RGB floats in 0 to 1 of shape [1, 3, 2H, 2W]. Each computes, all in weights a few hundred bytes
long:
  colour   a 1x1 convolution: channels 0 to 2 become red, green and blue unchanged, the other five
           are mixed in lightly (the mix differs per model, so they can be told apart);
  upsample nearest-neighbour, twice the size;
  sharpen  a 3x3 convolution per colour over edge-reflected pixels, whose weights sum to 1 so
           flat areas keep their colour;
  clip     to 0..1.
Opset 10 because OpenCV 4.6 reads Clip only with attribute bounds. OpenCV takes the float16
[8, H, W] input as declared once the caller widens it to 32-bit floats: Cast is then an identity
and Unsqueeze adds the batch dimension its convolutions need.
"""

import os
import sys

try:
    import numpy as np
    import onnx
    from onnx import TensorProto, helper, numpy_helper
except ImportError as error:
    sys.exit(f"make_sr_models.py needs Debian's python3-onnx and python3-numpy (scripts/setup-deps): {error}")

# name: (height, width, light mix of channels 3..7 into red, green, blue, sharpening amount)
MODELS = {
    "sr_model_t_2020": (798, 690, [[0.04, 0.00, 0.02, 0.00, 0.01],
                                   [0.00, 0.04, 0.00, 0.02, 0.01],
                                   [0.02, 0.00, 0.04, 0.00, 0.01]], 0.15),
    "sr_model_t_2023": (798, 690, [[0.00, 0.05, 0.00, 0.01, 0.02],
                                   [0.03, 0.00, 0.01, 0.00, 0.02],
                                   [0.00, 0.02, 0.00, 0.05, 0.00]], 0.25),
    "sr_model_qd_2020": (768, 768, [[0.03, 0.01, 0.00, 0.01, 0.00],
                                    [0.01, 0.03, 0.01, 0.00, 0.00],
                                    [0.00, 0.01, 0.03, 0.00, 0.01]], 0.2),
}


def colour_mix(light):
    weight = np.zeros((3, 8, 1, 1), np.float32)
    weight[:, :3, 0, 0] = np.eye(3, dtype=np.float32)
    weight[:, 3:, 0, 0] = np.array(light, np.float32)
    return weight


def sharpen(amount):
    kernel = np.array([[0, -amount, 0], [-amount, 1 + 4 * amount, -amount], [0, -amount, 0]], np.float32)
    return np.repeat(kernel[np.newaxis, np.newaxis], 3, axis=0)  # one 3x3 per colour (grouped)


def build(name, height, width, light, amount):
    nodes = [
        helper.make_node("Cast", ["x_1"], ["features"], name="widen", to=TensorProto.FLOAT),
        helper.make_node("Unsqueeze", ["features"], ["batch"], name="batch", axes=[0]),
        helper.make_node("Conv", ["batch", "colour_mix_weight"], ["colour"], name="colour_mix", kernel_shape=[1, 1]),
        helper.make_node("Resize", ["colour", "upsample_scales"], ["upsampled"], name="upsample", mode="nearest"),
        helper.make_node("Pad", ["upsampled"], ["padded"], name="sharpen_pad", mode="reflect",
                         pads=[0, 0, 1, 1, 0, 0, 1, 1]),
        helper.make_node("Conv", ["padded", "sharpen_weight"], ["sharpened"], name="sharpen", kernel_shape=[3, 3],
                         group=3),
        helper.make_node("Clip", ["sharpened"], ["output_image"], name="clip", min=0.0, max=1.0),
    ]
    initializers = [
        numpy_helper.from_array(colour_mix(light), "colour_mix_weight"),
        numpy_helper.from_array(np.array([1, 1, 2, 2], np.float32), "upsample_scales"),
        numpy_helper.from_array(sharpen(amount), "sharpen_weight"),
    ]
    graph = helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("x_1", TensorProto.FLOAT16, [8, height, width])],
        [helper.make_tensor_value_info("output_image", TensorProto.FLOAT, [1, 3, 2 * height, 2 * width])],
        initializers)
    model = helper.make_model(graph, producer_name="mivokit-sr-models", opset_imports=[helper.make_opsetid("", 10)])
    model.ir_version = 5
    onnx.checker.check_model(model)
    return model


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_sr_models.py <output directory>")
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    for name, (height, width, light, amount) in MODELS.items():
        path = os.path.join(directory, name + ".onnx")
        # Written beside and renamed, so an interrupted build never leaves half a model.
        onnx.save(build(name, height, width, light, amount), path + ".partial")
        os.replace(path + ".partial", path)


if __name__ == "__main__":
    main()
