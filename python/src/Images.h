// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/core/ScreenMap.h"
#include "veilcast/host/PlanarImage.h"

#include <pybind11/numpy.h>

namespace py = pybind11;

#include <cstddef>
#include <string>

namespace veilcast::python {

// A float32 array H x W x 3 or H x W x 4, channels last, as numpy holds it:
// any strides, negative ones included. Row 0 is the top row, as a file
// stores it, so boxes and picks mean what they mean on the command line.
struct ArrayView {
    const char* data = nullptr;
    py::ssize_t height = 0, width = 0, channels = 0;
    py::ssize_t strides[3] = {};
};

// Checks the array's type and shape; throws ValueError saying what it
// takes, naming it `what`.
ArrayView viewOf(const pybind11::array& image, const std::string& what = "the image");

// The pixels as the session's planes (R, G, B and A when there are four
// channels), read through the view's strides. Call with the interpreter
// lock held: another thread could otherwise resize the array (numpy allows
// it without a reference check) and free the memory being read.
PlanarImage planesOf(const ArrayView& view);

// Fills `out`, C-contiguous H x W x 4 floats with alpha (else H x W, the
// matte alone, as Check Alpha shows it), with `keyed`; pixels outside the
// result's box are zero.
void copyResult(const PlanarImage& keyed, float* out, py::ssize_t height, py::ssize_t width);

// A new C-contiguous float32 array H x W x 3 of the map's screen colour at
// every pixel.
pybind11::array arrayOf(const zav::ScreenMap& map);

}  // namespace veilcast::python
