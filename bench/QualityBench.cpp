// SPDX-License-Identifier: Apache-2.0
// How good the key is with no hands: the shared real plates scored on their
// marked regions, synthetic plates scored against their exact matte, each
// keyed with the previous automatic pick, the current one, and the current
// one with the automatic screen map and clips; on synthetic plates also the
// ffmpeg program's chromakey filter at its best setting per plate.
//
// Usage: veilcast_quality_bench [--samples DIR] [--plates DIR] [--no-real]
//                               [--no-synthetic] [--no-ffmpeg] [--dump DIR] [--smoke]
//   --samples  the shared samples (default: ../shared/samples beside the source)
//   --plates   where generated synthetic plates are cached
//   --dump     write every matte there as an 8-bit PNG (values, not display-encoded)
//   --smoke    one small synthetic plate only, no ffmpeg (a quick check that it runs)

#include "PreviousPick.h"
#include "veilcast/core/ScreenKeyer.h"
#include "veilcast/core/ScreenMap.h"
#include "veilcast/core/ScreenPicking.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Image {
    int w = 0, h = 0;
    std::vector<float> c[3];
    zav::RgbPlanes planes() const { return {c[0].data(), c[1].data(), c[2].data(), w, h, w}; }
};

// Reads an image as the command line does: 8-bit files are sRGB and become
// linear, float files are linear already.
Image readLinear(const fs::path& path, int channels = 3)
{
    OIIO::ImageBuf in(path.string());
    if (!in.read(0, 0, true, OIIO::TypeDesc::FLOAT))
        throw std::runtime_error(path.string() + ": " + in.geterror());
    OIIO::ImageBuf linear = in;
    if (in.spec().format == OIIO::TypeDesc::UINT8 || in.nativespec().format == OIIO::TypeDesc::UINT8)
        linear = OIIO::ImageBufAlgo::colorconvert(in, "sRGB", "linear");
    const OIIO::ROI roi = linear.roi();
    Image img;
    img.w = roi.width();
    img.h = roi.height();
    std::vector<float> all(static_cast<std::size_t>(img.w) * img.h * linear.nchannels());
    linear.get_pixels(roi, OIIO::TypeDesc::FLOAT, all.data());
    const int n = linear.nchannels();
    for (int ch = 0; ch < std::min(channels, 3); ++ch) {
        img.c[ch].resize(static_cast<std::size_t>(img.w) * img.h);
        for (std::size_t i = 0; i < img.c[ch].size(); ++i)
            img.c[ch][i] = all[i * n + static_cast<std::size_t>(std::min(ch, n - 1))];
    }
    return img;
}

// Every `step`-th row and column, as the command line gathers a sample.
Image sampleOf(const Image& img, int step)
{
    Image s;
    s.w = (img.w + step - 1) / step;
    s.h = (img.h + step - 1) / step;
    for (int ch = 0; ch < 3; ++ch) {
        s.c[ch].resize(static_cast<std::size_t>(s.w) * s.h);
        for (int y = 0; y < s.h; ++y)
            for (int x = 0; x < s.w; ++x)
                s.c[ch][static_cast<std::size_t>(y) * s.w + x] = img.c[ch][static_cast<std::size_t>(y) * step * img.w + x * step];
    }
    return s;
}

struct Setting {
    zav::KeyParams params;
    std::optional<zav::ScreenMap> map;
    std::string note;
};

std::string colourText(const float* c)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.4f,%.4f,%.4f", c[0], c[1], c[2]);
    return buf;
}

// The three ways of keying with no hands, plus the map and the clips alone.
std::vector<std::pair<std::string, Setting>> settingsFor(const Image& img, bool all)
{
    std::vector<std::pair<std::string, Setting>> out;
    const auto withPick = [](const zav::Colour& c) {
        Setting s;
        std::copy(c.begin(), c.end(), s.params.screenColor);
        s.note = "screen " + colourText(s.params.screenColor);
        return s;
    };
    try {
        out.emplace_back("previous pick", withPick(zavbench::previousPickScreenAuto(img.planes())));
    } catch (const std::exception& e) {
        std::printf("    previous pick refused: %s\n", e.what());
    }
    const zav::Colour pick = zav::pickScreenAuto(img.planes());
    const Setting picked = withPick(pick);
    out.emplace_back("new pick", picked);

    const int step = zav::autoPickStep(img.w, img.h);
    const Image sample = sampleOf(img, step);
    const auto t0 = std::chrono::steady_clock::now();
    Setting mapped = picked;
    mapped.map = zav::screenMapAuto(sample.planes(), step, img.w, img.h);
    const zav::ClipLevels clips = zav::chooseClips(sample.planes(), step, mapped.params, &*mapped.map);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    mapped.params.clipBlack = clips.clipBlack;
    mapped.params.clipWhite = clips.clipWhite;
    mapped.params.screenBalance = clips.screenBalance;
    char note[160];
    std::snprintf(note, sizeof note, "map %dx%d cells, Clip Black=%.4f Clip White=%.4f Screen Balance=%.2f, map+clips %.1f ms",
                  mapped.map->cellsX(), mapped.map->cellsY(), clips.clipBlack, clips.clipWhite, clips.screenBalance, ms);
    mapped.note = note;
    if (all) {
        Setting mapOnly = picked;
        mapOnly.map = mapped.map;
        mapOnly.note = "";
        out.emplace_back("new pick + map", mapOnly);
        Setting clipOnly = picked;
        const zav::ClipLevels c = zav::chooseClips(sample.planes(), step, picked.params, nullptr);
        clipOnly.params.clipBlack = c.clipBlack;
        clipOnly.params.clipWhite = c.clipWhite;
        clipOnly.params.screenBalance = c.screenBalance;
        std::snprintf(note, sizeof note, "Clip Black=%.4f Clip White=%.4f Screen Balance=%.2f", c.clipBlack, c.clipWhite,
                      c.screenBalance);
        clipOnly.note = note;
        out.emplace_back("new pick + clips", clipOnly);
    }
    out.emplace_back("new pick + map + clips", mapped);
    return out;
}

// A lightly denoised copy: each pixel the 1-2-1 binomial mean of its 3x3
// neighbourhood (edges repeat).
Image denoised(const Image& img)
{
    Image out = img;
    const auto at = [&](const std::vector<float>& p, int x, int y) {
        x = std::clamp(x, 0, img.w - 1);
        y = std::clamp(y, 0, img.h - 1);
        return p[static_cast<std::size_t>(y) * static_cast<std::size_t>(img.w) + static_cast<std::size_t>(x)];
    };
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < img.h; ++y)
            for (int x = 0; x < img.w; ++x) {
                float sum = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        sum += static_cast<float>((2 - std::abs(dx)) * (2 - std::abs(dy))) * at(img.c[c], x + dx, y + dy);
                out.c[c][static_cast<std::size_t>(y) * static_cast<std::size_t>(img.w) + static_cast<std::size_t>(x)] = sum / 16.0f;
            }
    return out;
}

std::vector<float> keyAlpha(const Image& img, const Setting& s)
{
    const std::size_t w = static_cast<std::size_t>(img.w);
    std::vector<float> alpha(w * img.h), r(w), g(w), b(w), sr(w), sg(w), sb(w);
    for (int y = 0; y < img.h; ++y) {
        const std::size_t o = static_cast<std::size_t>(y) * w;
        const auto never = [] { return false; };
        if (s.map) {
            s.map->sampleRow(y, 0, img.w, sr.data(), sg.data(), sb.data());
            const float* const screen[3] = {sr.data(), sg.data(), sb.data()};
            const zav::RowArrays a{{img.c[0].data() + o, img.c[1].data() + o, img.c[2].data() + o},
                                   nullptr,
                                   {r.data(), g.data(), b.data()},
                                   alpha.data() + o};
            zav::keyRowMapped(s.params, 0, img.w, a, screen, never);
        } else {
            zav::keyRow(s.params, 0, img.w, img.c[0].data() + o, img.c[1].data() + o, img.c[2].data() + o, nullptr,
                        r.data(), g.data(), b.data(), alpha.data() + o, never);
        }
    }
    return alpha;
}

// ---- real plates ----

using Box = std::array<int, 4>;

struct RealScore {
    double dirtyBacking = 0, thinSubject = 0;
    long soft = 0;  // fractional alpha pixels outside the marked regions
    bool clean() const { return dirtyBacking <= 0.01 && thinSubject <= 0.01; }
};

RealScore scoreReal(const Image& img, const std::vector<float>& alpha, const std::vector<Box>& backing,
                    const std::vector<Box>& subject)
{
    RealScore s;
    std::vector<char> marked(alpha.size(), 0);
    const auto share = [&](const std::vector<Box>& boxes, const std::function<bool(float)>& bad) {
        long n = 0, badCount = 0;
        for (const Box& b : boxes)
            for (int y = b[1]; y <= b[3]; ++y)
                for (int x = b[0]; x <= b[2]; ++x) {
                    const std::size_t i = static_cast<std::size_t>(y) * img.w + x;
                    marked[i] = 1;
                    ++n;
                    badCount += bad(alpha[i]);
                }
        return n ? static_cast<double>(badCount) / static_cast<double>(n) : 0.0;
    };
    s.dirtyBacking = share(backing, [](float a) { return a > 0.05f; });
    s.thinSubject = share(subject, [](float a) { return a < 0.95f; });
    for (std::size_t i = 0; i < alpha.size(); ++i)
        s.soft += !marked[i] && alpha[i] > 0.05f && alpha[i] < 0.95f;
    return s;
}

fs::path gDump;  // where to write each matte, when asked

void dumpMatte(const std::string& plate, const std::string& label, int w, int h, const std::vector<float>& alpha)
{
    if (gDump.empty())
        return;
    std::string name = plate + "-" + label + ".png";
    std::replace_if(name.begin(), name.end(), [](char c) { return c == ' ' || c == '+'; }, '_');
    OIIO::ImageBuf out(OIIO::ImageSpec(w, h, 1, OIIO::TypeDesc::FLOAT));
    out.set_pixels(out.roi(), OIIO::TypeDesc::FLOAT, alpha.data());
    out.set_write_format(OIIO::TypeDesc::UINT8);
    fs::create_directories(gDump);
    out.write((gDump / name).string());
}

std::map<std::string, int> runReal(const fs::path& samples)
{
    std::map<std::string, int> cleanCount;
    const fs::path dir = samples / "real";
    std::ifstream in(dir / "regions.json");
    if (!in) {
        std::printf("no real plates at %s\n", dir.c_str());
        return cleanCount;
    }
    const nlohmann::json regions = nlohmann::json::parse(in);
    std::printf("\n== Real plates: marked backing with alpha > 0.05 / marked subject with alpha < 0.95 "
                "(clean: both <= 1%%); soft = pixels 0.05 < alpha < 0.95 outside the marks\n");
    for (const auto& [name, plate] : regions.items()) {
        if (name.front() == '_')
            continue;
        const Image img = readLinear(dir / name);
        std::printf("%s (%dx%d)\n", name.c_str(), img.w, img.h);
        const auto boxes = [&](const char* key) {
            std::vector<Box> out;
            for (const auto& b : plate[key])
                out.push_back({b[0].get<int>(), b[1].get<int>(), b[2].get<int>(), b[3].get<int>()});
            return out;
        };
        for (const auto& [label, setting] : settingsFor(img, true)) {
            const std::vector<float> alpha = keyAlpha(img, setting);
            dumpMatte(name, label, img.w, img.h, alpha);
            const RealScore s = scoreReal(img, alpha, boxes("backing"), boxes("subject"));
            cleanCount[label] += s.clean();
            std::printf("  %-24s backing %6.2f%%  subject %6.2f%%  %-5s soft %7ld   %s\n", label.c_str(),
                        100 * s.dirtyBacking, 100 * s.thinSubject, s.clean() ? "clean" : "DIRTY", s.soft,
                        setting.note.c_str());
        }
    }
    return cleanCount;
}

// ---- synthetic plates ----

double meanError(const std::vector<float>& alpha, const std::vector<float>& truth)
{
    double sum = 0;
    for (std::size_t i = 0; i < alpha.size(); ++i)
        sum += std::fabs(static_cast<double>(alpha[i]) - truth[i]);
    return sum / static_cast<double>(alpha.size());
}

fs::path generate(const fs::path& samples, const fs::path& cache, int seed, int w, int h)
{
    const fs::path folder = cache / ("seed" + std::to_string(seed) + "_" + std::to_string(w) + "x" + std::to_string(h));
    if (fs::exists(folder / "synth_truth_alpha.exr") && fs::exists(folder / "synth_bluescreen_plate.exr"))
        return folder;
    const std::string command = "/usr/bin/python3 '" + (samples / "make_synthetic_plate.py").string() +
                                "' --no-png --outdir '" + folder.string() + "' --seed " + std::to_string(seed) +
                                " --width " + std::to_string(w) + " --height " + std::to_string(h) + " > /dev/null";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error(command + " failed");
    return folder;
}

// The ffmpeg program's chromakey at its best per plate: the plate as 8-bit
// sRGB (what the filter is made for), the key colour the mean of the truly
// clean backing, a grid of similarity and blend, scored against the truth.
double bestChromakey(const Image& plate, const std::vector<float>& truth, const fs::path& work, std::string& chosen)
{
    const fs::path png = work / "plate.png";
    {
        OIIO::ImageSpec spec(plate.w, plate.h, 3, OIIO::TypeDesc::FLOAT);
        OIIO::ImageBuf linear(spec);
        std::vector<float> px(static_cast<std::size_t>(plate.w) * plate.h * 3);
        for (std::size_t i = 0; i < truth.size(); ++i)
            for (int c = 0; c < 3; ++c)
                px[i * 3 + c] = plate.c[c][i];
        linear.set_pixels(linear.roi(), OIIO::TypeDesc::FLOAT, px.data());
        OIIO::ImageBuf srgb = OIIO::ImageBufAlgo::colorconvert(linear, "linear", "sRGB");
        srgb.set_write_format(OIIO::TypeDesc::UINT8);
        if (!srgb.write(png.string()))
            throw std::runtime_error(png.string() + ": " + srgb.geterror());
    }
    double mean[3] = {0, 0, 0};
    long n = 0;
    for (std::size_t i = 0; i < truth.size(); ++i)
        if (truth[i] == 0.0f) {
            for (int c = 0; c < 3; ++c)
                mean[c] += plate.c[c][i];
            ++n;
        }
    char hex[8];
    unsigned code[3];
    for (int c = 0; c < 3; ++c) {
        const double l = std::max(0.0, mean[c] / static_cast<double>(std::max(n, 1L)));
        const double v = l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
        code[c] = static_cast<unsigned>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
    }
    std::snprintf(hex, sizeof hex, "%02X%02X%02X", code[0], code[1], code[2]);
    double best = 1e9;
    std::vector<unsigned char> rgba(static_cast<std::size_t>(plate.w) * plate.h * 4);
    for (const double similarity : {0.02, 0.04, 0.06, 0.08, 0.1, 0.13, 0.16, 0.2, 0.25, 0.3})
        for (const double blend : {0.0, 0.02, 0.04, 0.07, 0.1, 0.15, 0.2, 0.3}) {
            char command[512];
            std::snprintf(command, sizeof command,
                          "ffmpeg -v error -i '%s' -vf chromakey=color=0x%s:similarity=%.3f:blend=%.3f,format=rgba "
                          "-f rawvideo -",
                          png.c_str(), hex, similarity, blend);
            FILE* pipe = popen(command, "r");
            if (!pipe)
                throw std::runtime_error("cannot run ffmpeg");
            const std::size_t got = std::fread(rgba.data(), 1, rgba.size(), pipe);
            pclose(pipe);
            if (got != rgba.size())
                throw std::runtime_error(std::string("ffmpeg gave a short picture: ") + command);
            double sum = 0;
            for (std::size_t i = 0; i < truth.size(); ++i)
                sum += std::fabs(rgba[i * 4 + 3] / 255.0 - truth[i]);
            const double error = sum / static_cast<double>(truth.size());
            if (error < best) {
                best = error;
                char text[96];
                std::snprintf(text, sizeof text, "color 0x%s similarity %.2f blend %.2f", hex, similarity, blend);
                chosen = text;
            }
        }
    return best;
}

std::map<std::string, double> runSynthetic(const fs::path& samples, const fs::path& cache, bool smoke, bool ffmpeg)
{
    std::map<std::string, std::vector<double>> errors;
    std::printf("\n== Synthetic plates: mean |alpha - truth| over the frame\n");
    struct Size {
        int w, h;
    };
    const std::vector<int> seeds = smoke ? std::vector<int>{3} : std::vector<int>{3, 8};
    const std::vector<Size> sizes = smoke ? std::vector<Size>{{320, 180}} : std::vector<Size>{{960, 540}, {1280, 720}};
    fs::create_directories(cache);
    for (const int seed : seeds)
        for (const Size size : sizes) {
            const fs::path folder = generate(samples, cache, seed, size.w, size.h);
            const Image truthImage = readLinear(folder / "synth_truth_alpha.exr", 1);
            const std::vector<float>& truth = truthImage.c[0];
            for (const char* screen : {"green", "blue"}) {
                const Image plate = readLinear(folder / (std::string("synth_") + screen + "screen_plate.exr"));
                std::printf("seed %d %dx%d %s\n", seed, size.w, size.h, screen);
                const Image smooth = denoised(plate);
                auto settings = settingsFor(plate, !smoke);
                settings.emplace_back("map + clips, denoised matte", settingsFor(smooth, false).back().second);
                for (const auto& [label, setting] : settings) {
                    const std::vector<float> alpha = keyAlpha(label == "map + clips, denoised matte" ? smooth : plate, setting);
                    dumpMatte(folder.filename().string() + "-" + screen, label, plate.w, plate.h, alpha);
                    const double e = meanError(alpha, truth);
                    errors[label].push_back(e);
                    std::printf("  %-24s %.4f   %s\n", label.c_str(), e, setting.note.c_str());
                }
                if (ffmpeg) {
                    std::string chosen;
                    const double e = bestChromakey(plate, truth, folder, chosen);
                    errors["ffmpeg chromakey, best"].push_back(e);
                    std::printf("  %-24s %.4f   %s\n", "ffmpeg chromakey, best", e, chosen.c_str());
                }
            }
        }
    std::map<std::string, double> means;
    for (const auto& [label, list] : errors) {
        double sum = 0;
        for (const double e : list)
            sum += e;
        means[label] = sum / static_cast<double>(list.size());
    }
    return means;
}

}  // namespace

int main(int argc, char** argv)
{
    fs::path samples = VEILCAST_SAMPLES_DIR;
    fs::path cache = fs::temp_directory_path() / "veilcast-quality-plates";
    bool real = true, synthetic = true, ffmpeg = true, smoke = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--samples" && i + 1 < argc)
            samples = argv[++i];
        else if (a == "--plates" && i + 1 < argc)
            cache = argv[++i];
        else if (a == "--dump" && i + 1 < argc)
            gDump = argv[++i];
        else if (a == "--no-real")
            real = false;
        else if (a == "--no-synthetic")
            synthetic = false;
        else if (a == "--no-ffmpeg")
            ffmpeg = false;
        else if (a == "--smoke")
            smoke = true, real = false, ffmpeg = false;
        else {
            std::fprintf(stderr, "veilcast_quality_bench: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    try {
        std::map<std::string, int> clean;
        std::size_t realPlates = 0;
        if (real) {
            clean = runReal(samples);
            std::ifstream in(samples / "real" / "regions.json");
            if (in)
                realPlates = nlohmann::json::parse(in).size() - 1;
        }
        std::map<std::string, double> means;
        if (synthetic)
            means = runSynthetic(samples, cache, smoke, ffmpeg);
        std::printf("\n== Summary\n");
        for (const auto& [label, n] : clean)
            std::printf("  real plates clean, %-24s %d of %zu\n", label.c_str(), n, realPlates);
        for (const auto& [label, e] : means)
            std::printf("  synthetic mean error, %-24s %.4f\n", label.c_str(), e);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veilcast_quality_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
