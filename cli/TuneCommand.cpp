// SPDX-License-Identifier: Apache-2.0
#include "TuneCommand.h"

#include "Interrupt.h"
#include "KeyOptions.h"

#include "veilcast/movie/MovieFiles.h"
#include "veilcast/session/PathText.h"
#include "veilcast/tune/TuneServer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

namespace veilcast {

namespace fs = std::filesystem;

namespace {

// A private page that sends the browser to the tuner's address. xdg-open is
// given this file's name, not the address: a command line is visible to
// every user (ps, /proc), the token in it would hand the tuner to them. The
// file is 0600 in a fresh 0700 folder, and removed once the browser has had
// time to read it, or at exit.
class OpenerPage {
public:
    explicit OpenerPage(const std::string& url)
    {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // per user, private
        std::error_code ec;
        const fs::path base = runtime && *runtime == '/' && fs::is_directory(runtime, ec) ? fs::path(runtime)
                                                                                          : fs::temp_directory_path();
        std::string pattern = (base / "veilcast-tune-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a private folder in " + base.string() + ": " + std::strerror(errno));
        folder_ = pattern;
        file_ = folder_ + "/open-tuner.html";
        const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        std::string escaped;
        for (const char c : url)
            escaped += c == '&' ? "&amp;" : c == '"' ? "&quot;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
        const std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                                 "<meta name=\"referrer\" content=\"no-referrer\">"
                                 "<meta http-equiv=\"refresh\" content=\"0; url=" + escaped + "\">"
                                 "<title>veilcast tune</title></head>\n<body><a href=\"" + escaped +
                                 "\">Open the tuner</a></body></html>\n";
        const bool written = fd >= 0 && ::write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
        if (fd >= 0)
            ::close(fd);
        if (!written) {
            remove();
            throw std::runtime_error("cannot write " + file_);
        }
    }
    ~OpenerPage() { remove(); }
    OpenerPage(const OpenerPage&) = delete;
    OpenerPage& operator=(const OpenerPage&) = delete;

    const std::string& path() const { return file_; }
    void remove()
    {
        if (folder_.empty())
            return;
        std::error_code ec;
        fs::remove(file_, ec);
        fs::remove(folder_, ec);
        folder_.clear();
    }

private:
    std::string folder_, file_;
};

// Starts xdg-open on the file without a shell, so nothing in its name is
// interpreted. A missing or failing xdg-open only means the user opens the
// address by hand, but they are told so rather than left waiting for a
// browser. Returns the child to watch, or -1.
pid_t openBrowser(const std::string& file)
{
    pid_t child = -1;
    std::string argument = file;
    char* argv[] = {const_cast<char*>("xdg-open"), argument.data(), nullptr};
    const int error = posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv, environ);
    if (error != 0) {
        std::fprintf(stderr, "veilcast: could not open a browser (xdg-open: %s); open the address above by hand\n",
                     std::strerror(error));
        return -1;
    }
    return child;
}

// Once xdg-open has ended: says so if it failed.
void reportBrowser(int status)
{
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : "killed by signal " + std::to_string(WTERMSIG(status));
    std::fprintf(stderr, "veilcast: could not open a browser (xdg-open: %s); open the address above by hand\n",
                 how.c_str());
}

}  // namespace

void addTuneCommand(CLI::App& app, TuneCommandLine& line)
{
    line.tune = app.add_subcommand("tune",
                                   "Tune the key by eye in a browser page that keys live, then save the settings.\n"
                                   "Also takes --settings FILE (read if it exists, written on Save; default: beside\n"
                                   "the input), and reads and keys as keying does: --set, --pick-screen, --screen-map,\n"
                                   "--clip, --plugin-path, --threads, --raw, --max-pixels, --part, --layer, --ocio and\n"
                                   "the colour spaces.");
    line.tune->add_option("input", line.input,
                          "Image file, sequence pattern (plate.####.exr) or movie (clip.mov, .mp4, .mkv, ...) to tune on")
        ->required();
    line.tune->add_option("--port", line.port, "Port on 127.0.0.1; default: a free one")->check(CLI::Range(0, 65535));
    line.tune->add_flag("--open", line.open,
                        "Open the page in the browser (xdg-open, through a private file: the address holds the token)");
    line.tune->fallthrough();
}

int runTune(const Arguments& args, const TuneCommandLine& line, const CancellationToken& cancellation)
{
    // Closing the terminal stops it as Ctrl-C does: --open's file, which
    // holds the token, is removed, and no request is cut off mid-answer.
    catchHangUp();
    // Both paths end up in lines of the settings file Save writes.
    refuseControlCharacters(line.input, "the input");
    refuseControlCharacters(args.request.settingsFile, "the settings file");
    // The settings file is the tuner's own to read, if it exists yet, and to write.
    KeyRequest keyed = args.request;
    keyed.input = line.input;
    keyed.settingsFile.clear();
    tune::TuneOptions options;
    options.input = line.input;
    options.settingsFile = args.request.settingsFile;
    options.pluginDirectories = pluginDirectories(args);
    options.job = checkRequest(keyed, flagFor, &cancellation);
    const ReadOptions& read = options.job.read;
    tune::TuneSession session(options, isMovieFile(line.input) ? tune::openMovie(line.input, read)
                                                               : tune::openImageFiles(line.input, read));
    tune::ServerOptions serverOptions;
    serverOptions.port = line.port;
    tune::TuneServer server(session, serverOptions);
    // Also with --quiet: the address is the one thing the user needs.
    std::printf("tuning %s; settings file %s\nopen %s\n(Ctrl-C stops)\n", line.input.c_str(),
                session.settingsFile().c_str(), server.url().c_str());
    std::fflush(stdout);
    std::unique_ptr<OpenerPage> opener;
    pid_t browser = -1;
    if (line.open) {
        opener = std::make_unique<OpenerPage>(server.url());
        browser = openBrowser(opener->path());
    }
    const auto started = std::chrono::steady_clock::now();
    while (!cancellation.cancelled()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int status = 0;
        if (browser > 0 && waitpid(browser, &status, WNOHANG) == browser) {
            reportBrowser(status);
            browser = -1;
        }
        if (opener && std::chrono::steady_clock::now() - started > std::chrono::seconds(60))
            opener.reset();
    }
    server.stop();
    if (!args.quiet)
        std::printf("stopped\n");
    return 0;
}

}  // namespace veilcast
