// SPDX-License-Identifier: Apache-2.0
#include "veilcast/farm/Submit.h"

#include "veilcast/farm/Chunking.h"
#include "Command.h"
#include "veilcast/host/UsageError.h"
#include "veilcast/session/KeySession.h"
#include "veilcast/media/FrameSequence.h"
#include "veilcast/farm/FrozenSettings.h"
#include "veilcast/farm/JobScript.h"

#include <OpenImageIO/strutil.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace veilcast::farm {

namespace fs = std::filesystem;

namespace {

std::string absolute(const std::string& path)
{
    return fs::absolute(path).lexically_normal().string();
}

std::string executablePath()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        throw std::runtime_error("cannot find the veilcast executable for the tasks: " + ec.message());
    return exe.string();
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string describePick(const SubmitRequest& request, bool screenSet)
{
    if (request.pick == "auto")
        return "auto";
    if (!request.pick.empty()) {
        const auto b = parsePickBox(request.pick);
        return "box " + std::to_string(b[0]) + "," + std::to_string(b[1]) + "," + std::to_string(b[2]) + "," +
               std::to_string(b[3]);
    }
    return screenSet ? "none" : "auto";
}

// The same colour KeySession::keyFile would pick on this frame.
Colour pickOn(const std::string& frame, const std::string& pick, const ReadOptions& read)
{
    ScreenPick how;
    how.kind = pick == "auto" ? ScreenPick::Kind::Auto : ScreenPick::Kind::Box;
    if (how.kind == ScreenPick::Kind::Box)
        how.box = parsePickBox(pick.substr(4));
    return pickScreenInFile(frame, how, read);
}

}  // namespace

void submit(const SubmitRequest& request, std::ostream& out)
{
    if (request.farm != "slurm")
        throw UsageError("--farm: \"" + request.farm + "\" is not a farm veilcast submits to (slurm)");
    if (request.input.empty() || request.output.empty())
        throw UsageError("submit: give the input sequence and -o OUTPUT");
    if (!isSequencePattern(request.input) || !isSequencePattern(request.output))
        throw UsageError("submit: input and output must both be sequences, such as plate.####.exr");
    if (request.frames.empty())
        throw UsageError("submit: give the frames with --frames, e.g. 1001-1100");
    if (request.dateTime == "now")
        throw UsageError("submit: --date-time now would make a task that runs again write different bytes; "
                         "give \"source\" or a fixed time");

    const std::string input = absolute(request.input), output = absolute(request.output);
    const FrameList frames = parseFrameRange(request.frames);
    const std::vector<FrameList> chunks =
        chunkFrames(frames, request.chunk ? request.chunk : defaultChunkSize(frames.size()));
    const FrameCheck check = checkFrames(input, frames);
    if (!check.missing.empty())
        throw std::runtime_error(std::to_string(check.missing.size()) + " of " + std::to_string(frames.size()) +
                                 " frames of " + request.input + " missing: " + check.missing.describe() +
                                 " (nothing was submitted)");

    KeyJobOptions options;
    if (!request.settingsFile.empty())
        options.settings = readSettingsFile(request.settingsFile);
    for (const std::string& s : request.sets)
        options.settings.push_back(parseSetting(s, "--set"));
    options.pick.kind = ScreenPick::Kind::Auto;
    std::vector<std::string> pluginDirs;
    for (const std::string& d : request.pluginPaths)
        pluginDirs.push_back(absolute(d));
    std::vector<std::string> searched = pluginDirs;
    for (const std::string& d : defaultPluginDirectories())
        searched.push_back(d);
    KeySession keyer(searched, options);
    Controls& controls = keyer.controls();
    const Controls::Control* screen = controls.find("ScreenColorKnob");
    const bool screenSet = std::any_of(options.settings.begin(), options.settings.end(),
                                       [&](const Setting& s) { return controls.find(s.name) == screen; });
    const std::string pick = describePick(request, screenSet);
    int firstFrame = 0;
    frames.forEach([&](int f) {
        firstFrame = f;
        return false;
    });
    const OIIO::TypeDesc dataType = request.dataType.empty() ? OIIO::TypeDesc::UNKNOWN : parseDataType(request.dataType);
    checkOutputPath(framePath(output, firstFrame), dataType, keyer.keysAlpha());

    const FarmFiles files = farmFilesFor(output);
    FrozenSettings frozen = freezeSettings(controls, pick, "");
    bool reused = false;
    if (exists(files.settings)) {
        const FrozenSettings earlier = readFrozenSettings(files.settings);
        if (!sameKey(earlier, frozen, pick == "none"))
            throw UsageError(files.settings + " holds other settings for " + request.output +
                             ", frozen by an earlier submit; every frame of a sequence keys with the same "
                             "values. Remove it to key the sequence anew (once no job of it is queued).");
        frozen = earlier;
        reused = true;
    } else if (pick != "none") {
        const std::string frame = framePath(input, firstFrame);
        controls.set("ScreenColorKnob", pickOn(frame, pick, request.read));
        frozen = freezeSettings(controls, pick, frame);
    }
    const std::string settingsText = formatFrozenSettings(frozen, output);

    FarmJob job;
    job.name = "veilcast-" + fs::path(files.settings).filename().string();
    job.name = job.name.substr(0, job.name.size() - std::string(".farm.settings").size());
    job.veilcast = executablePath();
    job.input = input;
    job.output = output;
    job.settings = files.settings;
    job.summary = files.summary;
    job.log = files.log;
    job.checkLog = files.checkLog;
    job.frames = frames;
    job.chunks = chunks;
    job.partition = request.partition;
    job.cpusPerTask = request.cpusPerTask;
    job.keyOptions = {"--date-time", request.dateTime.empty() ? "source" : request.dateTime};
    for (const std::string& d : pluginDirs)
        job.keyOptions.insert(job.keyOptions.end(), {"--plugin-path", d});
    if (request.read.raw)
        job.keyOptions.push_back("--raw");
    if (!request.dataType.empty())
        job.keyOptions.insert(job.keyOptions.end(), {"-d", request.dataType});
    if (!request.read.part.empty())
        job.keyOptions.insert(job.keyOptions.end(), {"--part", request.read.part});
    if (!request.read.layer.empty())
        job.keyOptions.insert(job.keyOptions.end(), {"--layer", request.read.layer});
    if (request.read.maxPixels != defaultMaxPixels())
        job.keyOptions.insert(job.keyOptions.end(), {"--max-pixels", std::to_string(request.read.maxPixels)});
    const std::string script = jobScript(job);
    const std::vector<std::string> arrayCommand = arraySubmitCommand(job, files.script);

    if (request.dryRun) {
        out << "# " << files.settings << (reused ? " (frozen earlier, kept)" : "") << "\n"
            << settingsText << "\n# " << files.script << "\n"
            << script << "\n"
            << commandText(arrayCommand) << "\n"
            << commandText(checkSubmitCommand(job, files.script, "ARRAY_JOB_ID")) << "\n";
        return;
    }

    if (!reused)
        writeFileAtomically(files.settings, settingsText, 0644);
    writeFileAtomically(files.script, script, 0755);
    const CommandResult array = runCommand(arrayCommand);
    if (array.status != 0)
        throw std::runtime_error("sbatch refused the job (exit status " + std::to_string(array.status) +
                                 "): " + commandText(arrayCommand));
    const std::string arrayId = parseJobId(array.output);
    const std::vector<std::string> checkCommand = checkSubmitCommand(job, files.script, arrayId);
    const CommandResult checkJob = runCommand(checkCommand);
    if (checkJob.status != 0)
        throw std::runtime_error("job " + arrayId + " was submitted, but sbatch refused its check (exit status " +
                                 std::to_string(checkJob.status) + "): " + commandText(checkCommand));
    const std::string checkId = parseJobId(checkJob.output);
    if (reused)
        out << "using the settings frozen earlier in " << files.settings
            << " (screen " << (pick == "none" ? "as set" : "picked once, on " + frozen.pickedOn) << ")\n";
    else if (pick != "none")
        out << "picked screen colour "
            << formatControlValue(*screen, controls.get("ScreenColorKnob")) << " on "
            << framePath(input, firstFrame) << "\n";
    out << "submitted job " << arrayId << ": " << chunks.size() << " task" << (chunks.size() == 1 ? "" : "s")
        << " keying frames " << formatFrames(frames) << " with " << files.settings << "\n"
        << "check job " << checkId << " runs after them and writes " << files.summary << "\n"
        << "follow with: squeue -j " << arrayId << "; sacct -j " << arrayId << "\n";
    out.flush();
}

}  // namespace veilcast::farm
