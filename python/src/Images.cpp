// SPDX-License-Identifier: Apache-2.0
#include "Images.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

namespace veilcast::python {

using namespace DD::Image;

namespace {

const Channel kRgba[] = {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha};

std::string gigabytes(double bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3g GB", bytes / 1e9);
    return text;
}

// An array need not own the memory its shape implies (a zero stride
// repeats one pixel everywhere), but the key copies it whole and makes a
// result as large: refused when that could never fit, before anything is
// allocated, rather than failing part way with the allocator's words.
void checkFits(py::ssize_t width, py::ssize_t height, py::ssize_t channels, const std::string& what)
{
    const double pixels = static_cast<double>(width) * static_cast<double>(height);
    const double needed = pixels * static_cast<double>(channels + 4) * sizeof(float);
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const double memory = pages > 0 && pageSize > 0 ? static_cast<double>(pages) * static_cast<double>(pageSize) : 0;
    if (memory > 0 && needed > memory)
        throw py::value_error(what + " is too large to key: " + std::to_string(width) + " x " +
                              std::to_string(height) + " pixels need " + gigabytes(needed) +
                              " for the copy keyed and the result, more than this machine's " +
                              gigabytes(memory) + " of memory");
}

}  // namespace

ArrayView viewOf(const py::array& image, const std::string& what)
{
    // Equivalence, not identity: a float32 carrying metadata, or spelled
    // '<f4', is the same type to numpy and to us.
    if (!py::detail::npy_api::get().PyArray_EquivTypes_(image.dtype().ptr(), py::dtype::of<float>().ptr()))
        throw py::value_error(what + " must be float32 (or float16), not " +
                              std::string(py::str(image.dtype())) + "; convert it with .astype(numpy.float32)");
    if (image.ndim() != 3 || (image.shape(2) != 3 && image.shape(2) != 4) || image.shape(0) < 1 ||
        image.shape(1) < 1) {
        std::string shape;
        for (py::ssize_t i = 0; i < image.ndim(); ++i)
            shape += (i ? ", " : "") + std::to_string(image.shape(i));
        throw py::value_error(what + " must be an array H x W x 3 or H x W x 4 (channels last), not of shape (" +
                              shape + ")");
    }
    constexpr auto kMaxSide = static_cast<py::ssize_t>(std::numeric_limits<int>::max() / 2);
    if (image.shape(0) > kMaxSide || image.shape(1) > kMaxSide)
        throw py::value_error(what + " is too large to key: " + std::to_string(image.shape(1)) + " x " +
                              std::to_string(image.shape(0)));
    checkFits(image.shape(1), image.shape(0), image.shape(2), what);
    ArrayView view;
    view.data = static_cast<const char*>(image.data());
    view.height = image.shape(0);
    view.width = image.shape(1);
    view.channels = image.shape(2);
    for (int i = 0; i < 3; ++i)
        view.strides[i] = image.strides(i);
    return view;
}

PlanarImage planesOf(const ArrayView& view)
{
    const Box box{0, 0, static_cast<int>(view.width), static_cast<int>(view.height)};
    std::vector<Channel> channels(kRgba, kRgba + view.channels);
    PlanarImage planes;
    try {
        planes = PlanarImage(box, box, channels);
    } catch (const std::bad_alloc&) {
        throw py::value_error("the image is too large to key: there is not memory enough to copy its " +
                              std::to_string(view.width) + " x " + std::to_string(view.height) + " pixels");
    }
    for (std::size_t c = 0; c < channels.size(); ++c)
        for (int y = 0; y < box.t; ++y) {
            float* out = planes.row(channels[c], y);
            const char* in = view.data + y * view.strides[0] + static_cast<py::ssize_t>(c) * view.strides[2];
            // Copied bytewise: numpy arrays over a foreign buffer need not be aligned.
            for (int x = 0; x < box.r; ++x)
                std::memcpy(out + x, in + x * view.strides[1], sizeof(float));
        }
    return planes;
}

void copyResult(const PlanarImage& keyed, float* out, py::ssize_t height, py::ssize_t width)
{
    const bool withAlpha = keyed.has(Chan_Alpha);
    const py::ssize_t channels = withAlpha ? 4 : 1;
    const Box& box = keyed.box();
    for (py::ssize_t y = 0; y < height; ++y)
        for (py::ssize_t c = 0; c < channels; ++c) {
            float* row = out + (y * width) * channels + c;
            const bool inside = y >= box.y && y < box.t;
            const float* in = inside ? keyed.row(kRgba[withAlpha ? c : 0], static_cast<int>(y)) : nullptr;
            for (py::ssize_t x = 0; x < width; ++x)
                row[x * channels] = in && x >= box.x && x < box.r ? in[x] : 0.0f;
        }
}

py::array arrayOf(const zav::ScreenMap& map)
{
    const py::ssize_t height = map.height(), width = map.width();
    py::array_t<float> result({height, width, py::ssize_t{3}});
    float* out = result.mutable_data();
    std::vector<float> rgb(static_cast<std::size_t>(width) * 3);
    float* const planes[3] = {rgb.data(), rgb.data() + width, rgb.data() + 2 * width};
    for (int y = 0; y < map.height(); ++y) {
        map.sampleRow(y, 0, map.width(), planes[0], planes[1], planes[2]);
        float* row = out + y * width * 3;
        for (py::ssize_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                row[x * 3 + c] = planes[c][x];
    }
    return result;
}

}  // namespace veilcast::python
