// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

// Writes a small OpenColorIO configuration into `dir` and returns its path:
// "linear" (the scene_linear role), "sRGB" (the sRGB curve) and
// "wide_matrix" (linear through a 3x3 matrix whose rows are 0.5 0.25 0.25,
// 0.1 0.8 0.1 and 0 0 1).
inline std::string writeColourConfig(const std::filesystem::path& dir)
{
    const std::string path = (dir / "test.ocio").string();
    std::ofstream(path) << R"(ocio_profile_version: 2

roles:
  default: linear
  scene_linear: linear

displays:
  screen:
    - !<View> {name: Raw, colorspace: linear}

colorspaces:
  - !<ColorSpace>
    name: linear
    isdata: false

  - !<ColorSpace>
    name: sRGB
    to_reference: !<ExponentWithLinearTransform> {gamma: [2.4, 2.4, 2.4, 1], offset: [0.055, 0.055, 0.055, 0]}

  - !<ColorSpace>
    name: wide_matrix
    to_reference: !<MatrixTransform> {matrix: [0.5, 0.25, 0.25, 0, 0.1, 0.8, 0.1, 0, 0, 0, 1, 0, 0, 0, 0, 1]}
)";
    return path;
}
