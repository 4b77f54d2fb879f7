#pragma once

// One step of the first-run introduction: its texts, whether it is
// complete (kept up to date while the step lives), and the folder the user
// is asked to choose, if any.

#include "platform/foundation/Error.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/publisher/Publisher.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavik {

class IntroStep {
public:
    enum class Kind {
        welcome,
        destination,
        watch,
        complete,
        skipped,
        notWatching
    };

    struct DirectoryChoice {
        // Takes the chosen folder and a completion with the error, if any.
        using Handler = std::function<void(const URL& folder, std::function<void(ErrorPtr)> completion)>;

        std::optional<std::string> prompt; // the folder dialog's button title
        std::optional<std::string> message; // the folder dialog's message
        std::optional<URL> defaultURL; // the folder the dialog starts in
        Handler handler;

        // The handler does not take part.
        bool operator==(const DirectoryChoice& other) const
        {
            return prompt == other.prompt && message == other.message && defaultURL == other.defaultURL;
        }
    };

    // A step whose completion follows `isComplete` from now on.
    IntroStep(Kind kind, std::string title, std::string caption, publisher::Publisher<bool> isComplete,
        std::optional<DirectoryChoice> directoryChoice = std::nullopt);
    // A step that is always complete.
    IntroStep(Kind kind, std::string title, std::string caption);
    IntroStep(const IntroStep&) = delete;
    IntroStep& operator=(const IntroStep&) = delete;

    Kind kind() const { return kind_; }
    const std::string& title() const { return title_; }
    const std::string& caption() const { return caption_; }
    bool isComplete() const { return isComplete_.value(); }
    publisher::Publisher<bool> isCompletePublisher() const { return isComplete_.publisher(); }
    const std::optional<DirectoryChoice>& directoryChoice() const { return directoryChoice_; }

    // Title, caption, completion and directory choice.
    bool operator==(const IntroStep& other) const;

private:
    Kind kind_;
    std::string title_;
    std::string caption_;
    publisher::CurrentValueSubject<bool> isComplete_ {true};
    std::optional<DirectoryChoice> directoryChoice_;
    std::vector<publisher::AnyCancellable> cancellables_;
};

using IntroStepPtr = std::shared_ptr<IntroStep>;

} // namespace tavik
