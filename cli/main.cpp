// SPDX-License-Identifier: Apache-2.0
// veilcast: keys image files shot against a green or blue screen with the
// ZAVVeilcast operator, loaded as a plugin into a small host.

#include "Commands.h"
#include "ExitStatus.h"
#include "Interrupt.h"
#include "KeyOptions.h"
#include "SubmitCommand.h"
#include "Text.h"
#include "TuneCommand.h"
#include "veilcast/common/UsageError.h"
#include "veilcast/common/Version.h"
#include "veilcast/session/KeyPolicy.h"
#include "veilcast/session/KeyRun.h"

#include <CLI/CLI.hpp>

#include <OpenImageIO/imageio.h>

#include <iostream>

namespace {

using namespace veilcast;

const char* const kDescription = R"(Keys footage shot against a green or blue backing screen: subtracts the
screen colour from the foreground and writes the matte into alpha.

Examples:
  veilcast plate.exr -o keyed.exr --pick-screen auto
  veilcast plate.exr -o keyed.exr --screen-map auto --clip auto
  veilcast plate.exr -o keyed.exr --set "Screen Color=0.05,0.33,0.08" --set "Clip Black=0.02"
  veilcast plate.####.exr -o keyed.####.exr --frames 1001-1100 --pick-screen 40,40,120,90
  veilcast plate.exr -o matte.exr --set CheckAlphaKnob=on --preview sheet.png
  veilcast clip.mp4 -o keyed.mov             (ProRes 4444 with alpha; .webm VP9, .mkv FFV1)
  veilcast clip.mov -o keyed.####.exr --frames 1-48
  veilcast --list-knobs
  veilcast submit --farm slurm plate.####.exr -o keyed.####.exr --frames 1001-1100 --chunk 10
  veilcast demo out/        (generate, key and preview a synthetic plate)
  veilcast tune plate.exr   (tune the key by eye in a browser page, then save the settings)
)";

// An empty value is most often a shell variable that was never set: taken as
// absent it would key without the clean plate, settings or preview the user
// meant, so every option that takes a value refuses one.
void refuseEmptyValues(CLI::App& app)
{
    for (CLI::Option* option : app.get_options())
        if (option->get_type_size_max() > 0)
            option->check(CLI::Validator(
                [](std::string& value) {
                    return value.empty() ? std::string("takes a value, not an empty one (is a shell variable unset?)")
                                         : std::string();
                },
                ""));
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        refuseEmptyValues(*sub);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app(kDescription, "veilcast");
    app.footer("Controls are set by name or label, ignoring case; --list-knobs shows them with their defaults.\n"
               "Interrupting (Ctrl-C) stops cleanly and leaves no partial output (a sequence's finished frames stay,\n"
               "and are named); a second Ctrl-C stops at once.\n\n"
               "Exit status: 0 success; 1 a failure while reading, keying or writing; 2 a usage error (options,\n"
               "settings, output paths); 3 --skip-missing left out missing frames; 130 or 143 interrupted.");
    Arguments args;
    addKeyOptions(app, args);
    addFileOptions(app, args);
    app.set_version_flag("--version", std::string("veilcast ") + kVersion);
    CLI::App* demo = app.add_subcommand("demo", "Generate a synthetic green-screen plate, key it, write a preview");
    demo->add_option("dir", args.demoDir, "Output directory")->capture_default_str();
    demo->fallthrough();
    FarmCommandLine farmLine;
    addFarmCommands(app, farmLine);
    TuneCommandLine tuneLine;
    addTuneCommand(app, tuneLine);

    refuseEmptyValues(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? kExitSuccess : kExitUsage;
    }

    CancellationToken cancellation;
    installInterruptHandlers(cancellation);
    OIIO::attribute("threads", static_cast<int>(args.request.threads));
    try {
        if (demo->parsed())
            return runDemo(args, cancellation);
        if (farmLine.submit->parsed())
            return runSubmit(args, farmLine);
        if (tuneLine.tune->parsed())
            return runTune(args, tuneLine, cancellation);
        if (farmLine.verify->parsed())
            return runVerify(farmLine.verifyPattern, args.request.frames, farmLine.verifySummary);
        if (args.listKnobs)
            return listKnobs(args);
        if (args.listColourSpaces)
            return listColourSpaces(args);
        if (args.request.input.empty() || args.request.output.empty()) {
            std::cerr << "veilcast: give an input file and -o OUTPUT (see --help)\n";
            return kExitUsage;
        }
        return runKey(args, cancellation);
    } catch (const SequenceInterrupted& e) {
        std::cerr << "\nveilcast: " << printable(e.describe()) << "\n";
        return 128 + interruptSignal();
    } catch (const Cancelled&) {
        std::cerr << "\nveilcast: interrupted; no partial output was left\n";
        return 128 + interruptSignal();
    } catch (const UsageError& e) {
        std::cerr << "veilcast: " << printable(commandLineText(e)) << "\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "veilcast: " << printable(commandLineText(e)) << "\n";
        return kExitFailure;
    }
}
