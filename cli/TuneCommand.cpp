// SPDX-License-Identifier: Apache-2.0
#include "TuneCommand.h"

#include "veilcast/movie/MovieFiles.h"
#include "veilcast/tune/TuneServer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace veilcast {

namespace {

// Starts xdg-open on the address without a shell, so nothing in it is
// interpreted; a missing xdg-open only means the user opens it by hand.
void openBrowser(const std::string& url)
{
    const pid_t child = fork();
    if (child == 0) {
        execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child < 0)
        std::fprintf(stderr, "veilcast: could not start xdg-open; open the address by hand\n");
}

}  // namespace

void addTuneCommand(CLI::App& app, TuneCommandLine& line)
{
    line.tune = app.add_subcommand("tune",
                                   "Tune the key by eye in a browser page that keys live, then save the settings.\n"
                                   "Also takes --settings FILE (read if it exists, written on Save; default: beside\n"
                                   "the input), --plugin-path, --threads, --raw, --max-pixels, --part and --layer.");
    line.tune->add_option("input", line.input, "Image file or sequence pattern (plate.####.exr) to tune on")->required();
    line.tune->add_option("--port", line.port, "Port on 127.0.0.1; default: a free one")->check(CLI::Range(0, 65535));
    line.tune->add_flag("--open", line.open, "Open the page in the browser (xdg-open)");
    line.tune->fallthrough();
}

int runTune(const Arguments& args, const TuneCommandLine& line, const CancellationToken& cancellation)
{
    ReadOptions read;
    read.raw = args.raw;
    read.maxPixels = args.maxPixels;
    read.part = args.part;
    read.layer = args.layer;
    tune::TuneOptions options;
    options.input = line.input;
    options.settingsFile = args.settingsFile;
    options.pluginDirectories = pluginDirectories(args);
    options.threads = args.threads;
    tune::TuneSession session(options, isMovieFile(line.input) ? tune::openMovie(line.input, args.raw)
                                                               : tune::openImageFiles(line.input, read));
    tune::ServerOptions serverOptions;
    serverOptions.port = line.port;
    tune::TuneServer server(session, serverOptions);
    server.start();
    // Also with --quiet: the address is the one thing the user needs.
    std::printf("tuning %s; settings file %s\nopen %s\n(Ctrl-C stops)\n", line.input.c_str(),
                session.settingsFile().c_str(), server.url().c_str());
    std::fflush(stdout);
    if (line.open)
        openBrowser(server.url());
    while (!cancellation.cancelled()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        while (waitpid(-1, nullptr, WNOHANG) > 0) {  // reap xdg-open
        }
    }
    server.stop();
    if (!args.quiet)
        std::printf("stopped\n");
    return 0;
}

}  // namespace veilcast
