// tavik-ask: puts one question to the user the way Tavik does, as a
// notification with buttons (or, without a notification server that can show
// buttons, as an alert on the terminal), and prints the answer.
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "platform/dispatch/MainRunLoop.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <mutex>

using tavik::UserInputRequestPerformer;
using tavik::UserResponse;

int main(int argc, char** argv)
{
    CLI::App app("Asks a question as Tavik does and prints the answer: the chosen action's identifier, or \"dismissed\".",
        "tavik-ask");
    std::string category = UserInputRequestPerformer::foundFileIdentifier;
    std::string title = "Found Example.dmg";
    std::string body = "Choose how to handle Example.dmg at ~/Downloads";
    app.add_option("--category", category, "FOUND_FILE, FOUND_FILE_WITHOUT_IGNORE, FOUND_APPLICATION, "
                                           "APPLICATION_EXISTS_AT_DESTINATION or APPLICATION_COPIED")
        ->capture_default_str();
    app.add_option("title", title, "The question's title")->capture_default_str();
    app.add_option("body", body, "The question's body")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    auto chosen = UserInputRequestPerformer::category(category);
    if (!chosen || UserInputRequestPerformer::notificationCategory(*chosen).actions.empty()) {
        fmt::print(stderr, "tavik-ask: \"{}\" is not a category that asks a question\n", category);
        return 2;
    }

    auto performer = UserInputRequestPerformer::shared();
    performer->registerCategories();

    std::atomic<bool> answered = false;
    std::atomic<int> status = 0;
    std::mutex printing;
    performer->requestUserInput(title, body, *chosen, [&](tavik::Result<UserResponse> result) {
        {
            std::lock_guard lock(printing);
            if (!result) {
                fmt::print(stderr, "tavik-ask: {}\n", result.error()->description());
                status = 1;
            } else if (result->isDismissed()) {
                fmt::print("dismissed\n");
            } else {
                fmt::print("{}\n", result->identifier());
            }
            std::fflush(stdout);
        }
        answered = true;
    });
    tavik::dispatch::MainRunLoop::runUntil([&] { return answered.load(); }, std::chrono::hours(24));
    return status;
}
