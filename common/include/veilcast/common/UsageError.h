// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace veilcast {

// The choices a user makes that a library message may have to point at.
// Libraries say which one; each front end names it in its own words (the
// command line its option, the tuner's page its button or nothing), so the
// library never speaks one front end's language to another's user.
enum class UserChoice {
    None,
    Frames,          // which frames to key
    SkipMissing,     // keying the frames there are
    FrameRate,       // the rate of a movie made from images
    MaxPixels,       // the largest image read
    DateTime,        // the DateTime written
    ColourConfig,    // the colour configuration
    InColourSpace,   // the input's colour space
    OutColourSpace,  // the colour space written
    Part,            // the part of a multi-part file
    Layer,           // the layer keyed
    Raw,             // values kept as stored
    PickBox,         // a box picked over clean backing instead: advice only a front end can word
    PickScreen,      // how the screen colour is picked
    Controls,        // the list of controls
    ScreenMap,       // where the screen map comes from
    Threads,         // how many worker threads key
    Codec,           // the codec a movie is written with
    Settings,        // the settings file read
    Set,             // one control's value given
    FrozenSettings,  // a farm task's frozen settings file
    SettingsSha256,  // the hash the frozen settings must have
    Clip,            // choosing the clip levels
    DataType,        // the data type written
    Preview,         // the contact sheet written
    ShotFrames,      // the frames a shot's plate is gathered over
};

// How one front end names each choice (its option, keyword or label): one
// such table per front end, so that every message reaches its user in that
// front end's words.
using ChoiceWords = std::string_view (*)(UserChoice);

// Words to use for a choice where no front end has put in its own.
inline std::string_view plainName(UserChoice choice)
{
    switch (choice) {
    case UserChoice::None: return "";
    case UserChoice::Frames: return "the frame list";
    case UserChoice::ShotFrames: return "the shot's frames";
    case UserChoice::SkipMissing: return "leaving missing frames out";
    case UserChoice::FrameRate: return "the frame rate";
    case UserChoice::MaxPixels: return "the pixel limit";
    case UserChoice::DateTime: return "the date and time";
    case UserChoice::ColourConfig: return "a colour configuration";
    case UserChoice::InColourSpace: return "the input colour space";
    case UserChoice::OutColourSpace: return "the output colour space";
    case UserChoice::Part: return "the part";
    case UserChoice::Layer: return "the layer";
    case UserChoice::Raw: return "keeping values as stored";
    case UserChoice::PickBox: return "";
    case UserChoice::PickScreen: return "the screen pick";
    case UserChoice::Controls: return "the list of controls";
    case UserChoice::ScreenMap: return "the screen map";
    case UserChoice::Threads: return "the thread count";
    case UserChoice::Codec: return "the codec";
    case UserChoice::Settings: return "the settings file";
    case UserChoice::Set: return "a setting";
    case UserChoice::FrozenSettings: return "the frozen settings";
    case UserChoice::SettingsSha256: return "the frozen settings' SHA-256";
    case UserChoice::Clip: return "the clip choice";
    case UserChoice::DataType: return "the data type";
    case UserChoice::Preview: return "the preview";
    }
    return "";
}

// A sentence that names one choice: the words before and after the name.
struct Wording {
    Wording() = default;
    Wording(std::string text) : before(std::move(text)) {}  // NOLINT: plain text names no choice
    Wording(std::string words, UserChoice named, std::string rest)
        : before(std::move(words)), choice(named), after(std::move(rest))
    {
    }

    std::string before;
    UserChoice choice = UserChoice::None;
    std::string after;

    bool empty() const { return before.empty() && choice == UserChoice::None && after.empty(); }

    std::string with(std::string_view name) const { return before + std::string(name) + after; }
    std::string plain() const { return with(plainName(choice)); }
};

// An error whose text may name one of the user's choices (see Wording);
// what() uses the plain words.
template <class Base>
class WordedError : public Base {
public:
    explicit WordedError(const std::string& text) : Base(text), wording_{text} {}
    explicit WordedError(const char* text) : WordedError(std::string(text)) {}
    explicit WordedError(Wording wording) : Base(wording.plain()), wording_(std::move(wording)) {}

    const Wording& wording() const { return wording_; }
    // The same error with `prefix` (a file's name, say) in front.
    WordedError prefixed(const std::string& prefix) const
    {
        Wording w = wording_;
        w.before.insert(0, prefix);
        return WordedError(std::move(w));
    }

private:
    Wording wording_;
};

// A mistake in what the user asked for (an option, a setting, a path), as
// opposed to a failure while working; front ends report the two apart.
struct UsageError : WordedError<std::invalid_argument> {
    using WordedError::WordedError;
    UsageError(const WordedError& e) : WordedError(e) {}  // NOLINT: from prefixed()
};

// A failure while working that the user may avoid by another choice.
struct Failure : WordedError<std::runtime_error> {
    using WordedError::WordedError;
    Failure(const WordedError& e) : WordedError(e) {}  // NOLINT: from prefixed()
};

// The wording of `e` when it carries one, else its plain text.
inline Wording wordingOf(const std::exception& e)
{
    if (const auto* usage = dynamic_cast<const WordedError<std::invalid_argument>*>(&e))
        return usage->wording();
    if (const auto* failure = dynamic_cast<const WordedError<std::runtime_error>*>(&e))
        return failure->wording();
    return Wording{e.what()};
}

}  // namespace veilcast
