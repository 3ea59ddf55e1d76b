// SPDX-License-Identifier: Apache-2.0
#include "veilcast/session/DenoisedView.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace veilcast {

using namespace DD::Image;

PlanarImage denoisedRows(const PlanarImage& rows, int y0, int y1)
{
    const Box& b = rows.box();
    const Box out{b.x, y0, b.r, y1};
    PlanarImage view(out, rows.format(), rows.channels());
    const int w = b.w();
    for (const Channel z : rows.channels())
        for (int y = y0; y < y1; ++y)
            std::memcpy(view.row(z, y) + b.x, rows.row(z, y) + b.x, static_cast<std::size_t>(w) * sizeof(float));
    static constexpr float kWeight[3] = {1.0f, 2.0f, 1.0f};
    for (const Channel z : {Chan_Red, Chan_Green, Chan_Blue}) {
        if (!rows.has(z))
            continue;
        for (int y = y0; y < y1; ++y) {
            const float* line[3] = {rows.row(z, std::max(y - 1, b.y)) + b.x, rows.row(z, y) + b.x,
                                    rows.row(z, std::min(y + 1, b.t - 1)) + b.x};
            float* o = view.row(z, y) + b.x;
            for (int i = 0; i < w; ++i) {
                if (!std::isfinite(line[1][i]))
                    continue;
                float sum = 0.0f, weight = 0.0f;
                for (int dy = 0; dy < 3; ++dy)
                    for (int dx = 0; dx < 3; ++dx) {
                        const float v = line[dy][std::clamp(i + dx - 1, 0, w - 1)];
                        if (std::isfinite(v)) {
                            const float k = kWeight[dy] * kWeight[dx];
                            sum += k * v;
                            weight += k;
                        }
                    }
                o[i] = sum / weight;
            }
        }
    }
    return view;
}

PlanarImage withNeighbours(const PlanarImage* above, const PlanarImage& strip, const PlanarImage* below)
{
    const Box& s = strip.box();
    const Box box{s.x, above ? s.y - 1 : s.y, s.r, below ? s.t + 1 : s.t};
    PlanarImage joined(box, strip.format(), strip.channels());
    const std::size_t bytes = static_cast<std::size_t>(s.w()) * sizeof(float);
    for (const Channel z : strip.channels()) {
        if (above && above->has(z))
            std::memcpy(joined.row(z, box.y) + s.x, above->row(z, above->box().t - 1) + s.x, bytes);
        for (int y = s.y; y < s.t; ++y)
            std::memcpy(joined.row(z, y) + s.x, strip.row(z, y) + s.x, bytes);
        if (below && below->has(z))
            std::memcpy(joined.row(z, box.t - 1) + s.x, below->row(z, below->box().y) + s.x, bytes);
    }
    return joined;
}

PlanarImage lastRow(const PlanarImage& strip)
{
    const Box& s = strip.box();
    PlanarImage row(Box{s.x, s.t - 1, s.r, s.t}, strip.format(), strip.channels());
    for (const Channel z : strip.channels())
        std::memcpy(row.row(z, s.t - 1) + s.x, strip.row(z, s.t - 1) + s.x, static_cast<std::size_t>(s.w()) * sizeof(float));
    return row;
}

void restoreDetail(PlanarImage& keyed, const PlanarImage& plate, const PlanarImage& view)
{
    if (!keyed.has(Chan_Alpha))
        return;
    const Box& b = keyed.box();
    for (int y = b.y; y < b.t; ++y) {
        const float* alpha = keyed.row(Chan_Alpha, y);
        for (const Channel z : {Chan_Red, Chan_Green, Chan_Blue}) {
            float* out = keyed.row(z, y);
            const float* p = plate.row(z, y);
            const float* v = view.row(z, y);
            if (!out || !p || !v)
                continue;
            for (int x = b.x; x < b.r; ++x) {
                const float detail = p[x] - v[x];
                if (std::isfinite(detail) && std::isfinite(out[x]) && alpha[x] > 0.0f)
                    out[x] += alpha[x] * detail;
            }
        }
    }
}

}  // namespace veilcast
