#pragma once

// The first-run introduction's steps and the way through them: welcome,
// destination, watch, then a summary that depends on what was chosen.
// Choices take effect when made, through InitialSetup (as `tavik setup`).

#include "Tavik/configuration/InitialSetup.hpp"
#include "Tavik/intro/IntroStep.hpp"
#include "platform/publisher/Publisher.hpp"

#include <memory>
#include <vector>

namespace tavik {

// Makes the steps. (A namespace of the step factories.)
class IntroState {
public:
    struct Defaults {
        std::optional<URL> applicationsFolder; // where the destination dialog starts
        std::optional<URL> downloadsFolder; // where the watch dialog starts
    };
    // The machine's applications folder when it exists, else the user's;
    // the user's download folder (XDG), else ~/Downloads.
    static Defaults standardDefaults();

    IntroState(std::shared_ptr<InitialSetup> setup, std::shared_ptr<FileSourceConfigurationsManager> configurationsManager,
        Defaults defaults = standardDefaults());

    IntroStepPtr welcome() const;
    IntroStepPtr destination() const;
    IntroStepPtr watch() const;
    IntroStepPtr complete() const;
    IntroStepPtr skipped() const;
    IntroStepPtr notWatching() const;

private:
    std::shared_ptr<InitialSetup> setup_;
    std::shared_ptr<FileSourceConfigurationsManager> configurationsManager_;
    Defaults defaults_;
};

class IntroStepProvider {
public:
    // The buttons below the step.
    enum class PrimaryButton {
        next,
        skip,
        done
    };

    // Starts at the welcome step.
    explicit IntroStepProvider(IntroState state);

    IntroStepPtr currentStep() const { return currentStep_.value(); }
    publisher::Publisher<IntroStepPtr> currentStepPublisher() const { return currentStep_.publisher(); }
    bool hasNextStep() const { return hasNextStep_.value(); }
    publisher::Publisher<bool> hasNextStepPublisher() const { return hasNextStep_.publisher(); }
    const std::vector<IntroStepPtr>& previousSteps() const { return previousSteps_; }

    // "Previous" while there is a step to go back to.
    bool showsPreviousButton() const { return !previousSteps_.empty(); }
    // "Done" at the end, else "Next" for a complete step and "Skip" for one that is not.
    PrimaryButton primaryButton() const;

    void goToNextStep();
    void goBack();

private:
    IntroState state_;
    publisher::CurrentValueSubject<IntroStepPtr> currentStep_;
    publisher::CurrentValueSubject<bool> hasNextStep_ {true};
    std::vector<IntroStepPtr> previousSteps_;
};

} // namespace tavik
