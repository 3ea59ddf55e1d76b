// SPDX-License-Identifier: Apache-2.0
#include "Command.h"

#include "veilcast/farm/Submit.h"
#include "veilcast/media/ColourSpaces.h"
#include "veilcast/session/PathText.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace veilcast::farm {

std::vector<std::string> taskArguments(const KeyJobOptions& job, const std::vector<std::string>& pluginDirectories)
{
    const WriteOptions& write = job.write;
    const ReadOptions& read = job.read;
    std::vector<std::string> args = {"--date-time", write.dateTime.empty() ? "source" : write.dateTime};
    const auto add = [&](const char* option, const std::string& value) {
        if (!value.empty())
            args.insert(args.end(), {option, value});
    };
    for (const std::string& d : pluginDirectories)
        add("--plugin-path", d);
    if (read.raw)
        args.push_back("--raw");
    add("-d", write.dataType == OIIO::TypeDesc::UNKNOWN ? "" : write.dataType.c_str());
    add("--part", read.part);
    add("--layer", read.layer);
    // Each task makes its own frames' maps; a clean plate is found wherever the task starts.
    if (job.screenMap.kind == ScreenMapChoice::Kind::Auto || job.screenMap.kind == ScreenMapChoice::Kind::Shot)
        add("--screen-map", job.screenMap.kind == ScreenMapChoice::Kind::Auto ? "auto" : "shot");
    else if (job.screenMap.kind == ScreenMapChoice::Kind::CleanPlate)
        add("--screen-map", std::filesystem::absolute(job.screenMap.cleanPlate).lexically_normal().string());
    if (read.maxPixels != defaultMaxPixels())
        add("--max-pixels", std::to_string(read.maxPixels));
    if (read.colour) {
        add("--ocio", read.colour->path());
        add("--in-colorspace", read.colour->askedInput());
        add("--out-colorspace", read.colour->askedOutput());
    }
    for (std::size_t i = 1; i < args.size(); ++i)
        if (args[i - 1].rfind("--", 0) == 0)
            refuseControlCharacters(args[i], "submit: " + args[i - 1]);
    return args;
}

CommandResult runCommand(const std::vector<std::string>& argv)
{
    if (argv.empty())
        throw std::invalid_argument("runCommand: no program");
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(argv[0] + ": cannot start: " + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (error != 0) {
        close(pipeFds[0]);
        throw std::runtime_error(argv[0] + ": cannot start: " + std::strerror(error) +
                                 (error == ENOENT ? " (not on PATH: is this a submit host of the farm?)" : ""));
    }
    CommandResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace veilcast::farm
