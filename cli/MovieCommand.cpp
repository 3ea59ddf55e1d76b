// SPDX-License-Identifier: Apache-2.0
#include "Commands.h"

#include "ExitStatus.h"
#include "Progress.h"
#include "Text.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/movie/MovieFiles.h"
#include "veilcast/session/MovieKeying.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

namespace veilcast {

bool involvesMovie(const Arguments& args)
{
    return isMovieFile(args.input) || isMovieFile(args.output);
}

int runKeyMovie(const Arguments& args, const CancellationToken& cancellation, std::string* settingsUsed)
{
    const KeyJobOptions job = jobOptions(args, &cancellation);
    MovieJob movie;
    movie.input = args.input;
    movie.output = args.output;
    if (!args.frames.empty())
        movie.frames = parseFrameRange(args.frames);
    if (!args.fps.empty()) {
        if (isMovieFile(args.input))
            throw UsageError("--fps is for a movie made from an image sequence; a movie keeps its own rate");
        parseFrameRate(args.fps, movie.rateNum, movie.rateDen);
    }
    if (isMovieFile(args.input) && !args.inColourSpace.empty())
        throw UsageError("--in-colorspace is for images; a movie's colour comes from its stream's tags");
    if (isMovieFile(args.output) && !args.outColourSpace.empty())
        throw UsageError("--out-colorspace is for images; a movie is written with its source's colour tags, or BT.709");
    KeySession keyer(pluginDirectories(args), job);
    checkMovieJob(movie, keyer.keysAlpha());
    for (const std::string& w : settingWarnings(keyer.controls()))
        std::cerr << "veilcast: warning: " << printable(w) << "\n";
    Progress progress(args.quiet                   ? Progress::Style::None
                      : isatty(STDERR_FILENO) != 0 ? Progress::Style::Bar
                                                   : Progress::Style::Log);
    const auto start = std::chrono::steady_clock::now();
    const auto notice = [&](const std::string& text) {
        if (args.quiet)
            return;
        progress.finish();
        std::cerr << "veilcast: note: " << printable(text) << "\n";
    };
    const KeyedMovie keyed = keyMovie(keyer, job, movie, progress, notice);
    progress.finish();
    if (keyed.pickedScreen) {
        const std::string colour =
            formatControlValue(*keyer.controls().find("ScreenColorKnob"), ControlValue(*keyed.pickedScreen));
        std::printf("picked screen colour %s (--set \"Screen Color=%s\")\n", colour.c_str(), colour.c_str());
    }
    if (settingsUsed)
        *settingsUsed = settingsAsOptions(keyer.controls());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!args.quiet)
        std::printf("keyed %ld frame%s, %.2f Mpixel in %.2f s (%.1f frames/s)\n", keyed.frames,
                    keyed.frames == 1 ? "" : "s", static_cast<double>(keyed.pixels) / 1e6, seconds,
                    seconds > 0 ? static_cast<double>(keyed.frames) / seconds : 0.0);
    return kExitSuccess;
}

}  // namespace veilcast
