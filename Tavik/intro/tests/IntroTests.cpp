// The introduction's steps walked through every path, with real folders and
// real user defaults; the choices go through the same setup as `tavik setup`.

#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "Tavik/intro/IntroStepProvider.hpp"
#include "platform/strings/LocalizedString.hpp"

using namespace tavik;
using Kind = IntroStep::Kind;
using Button = IntroStepProvider::PrimaryButton;
namespace fs = std::filesystem;

namespace {

class IntroTest : public tavik::testing::SourcesTest {
protected:
    void SetUp() override
    {
        SourcesTest::SetUp();
        setup = std::make_shared<InitialSetup>(userDefaults, sources, destinations);
        provider.emplace(IntroState(setup, sources, {URL::fileURL(makeFolder("Applications"), true), URL::fileURL(makeFolder("Downloads"), true)}));
    }

    // Hands the folder to the current step's directory choice; gives its error.
    ErrorPtr choose(const fs::path& folder)
    {
        ErrorPtr answer = GenericError::make("test", 1, "no answer");
        provider->currentStep()->directoryChoice().value().handler(URL::fileURL(folder, true), [&](ErrorPtr error) { answer = error; });
        return answer;
    }

    // Where the provider stands: the step, "Previous" shown, the primary button.
    struct Position {
        Kind step;
        bool previous;
        Button primary;
        bool operator==(const Position&) const = default;
    };
    Position position() const { return {provider->currentStep()->kind(), provider->showsPreviousButton(), provider->primaryButton()}; }

    std::shared_ptr<InitialSetup> setup;
    std::optional<IntroStepProvider> provider;
};

TEST_F(IntroTest, SkippingTheDestinationEndsOnSetupSkippedAndPreviousReturnsToIt)
{
    EXPECT_EQ(position(), (Position {Kind::welcome, false, Button::next}));
    EXPECT_NE(provider->currentStep()->title(), "intro_welcome_title") << "the key has an English text";
    EXPECT_FALSE(provider->currentStep()->directoryChoice());
    provider->goToNextStep();
    EXPECT_EQ(position(), (Position {Kind::destination, true, Button::skip}));
    // The existing default folder is offered and named.
    EXPECT_EQ(provider->currentStep()->directoryChoice()->defaultURL->path(), root / "Applications");
    EXPECT_NE(provider->currentStep()->caption().find((root / "Applications").string()), std::string::npos);
    provider->goToNextStep();
    EXPECT_EQ(position(), (Position {Kind::skipped, true, Button::done}));
    EXPECT_EQ(provider->currentStep()->title(), "Setup Skipped");
    EXPECT_FALSE(provider->hasNextStep());
    provider->goToNextStep(); // a summary is the end
    EXPECT_EQ(position(), (Position {Kind::skipped, true, Button::done}));
    EXPECT_EQ(provider->previousSteps().size(), 2u);

    provider->goBack();
    EXPECT_EQ(position(), (Position {Kind::destination, true, Button::skip}));
    provider->goBack();
    provider->goBack();
    EXPECT_EQ(position(), (Position {Kind::welcome, false, Button::next}));

    // Without a default folder the caption is the plain one; steps compare by
    // their texts, completion and folder dialog, not by identity.
    IntroState withoutFolder(setup, sources, {URL::fileURL(root / "missing", true), std::nullopt});
    EXPECT_EQ(withoutFolder.destination()->caption(), strings::localizedString("intro_destination_caption"));
    EXPECT_EQ(*withoutFolder.skipped(), *IntroState(setup, sources).skipped());
    EXPECT_FALSE(*withoutFolder.complete() == *withoutFolder.notWatching());
}

TEST_F(IntroTest, ADestinationWithoutAWatchedFolderEndsOnTheNotWatchingSummary)
{
    provider->goToNextStep();
    auto destinationStep = provider->currentStep();
    EXPECT_EQ(choose(root / "Applications"), nullptr);
    EXPECT_TRUE(destinationStep->isComplete()) << "the stored choice completes the step";
    EXPECT_TRUE(setup->introApplicationDestination().currentValue());
    EXPECT_EQ(position(), (Position {Kind::destination, true, Button::next}));

    provider->goToNextStep();
    EXPECT_EQ(position(), (Position {Kind::watch, true, Button::skip}));
    EXPECT_EQ(provider->currentStep()->title(), "Setup Watch Directory");
    provider->goToNextStep();
    EXPECT_EQ(position(), (Position {Kind::notWatching, true, Button::done}));
    EXPECT_TRUE(provider->currentStep()->caption().starts_with("Tavik has been setup, but is not watching any folders."));

    // Back from the summary, choose a folder after all; a file is refused.
    provider->goBack();
    std::ofstream(root / "file.txt") << "x";
    auto error = choose(root / "file.txt");
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->description().find("file.txt"), std::string::npos) << error->description();
    EXPECT_EQ(choose(root / "Downloads"), nullptr);
    EXPECT_EQ(position(), (Position {Kind::watch, true, Button::next}));
    provider->goToNextStep();
    EXPECT_EQ(position(), (Position {Kind::complete, true, Button::done}));
    EXPECT_EQ(provider->currentStep()->title(), "Setup Complete");
    EXPECT_EQ(sources->fileSourceConfigurations().size(), 3u);
}

} // namespace
