#pragma once

#include "platform/alerts/AlertPresenter.hpp"
#include "platform/foundation/Result.hpp"
#include "platform/notifications/NotificationCenter.hpp"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

// The user's answer to a question.
class UserResponse {
public:
    enum class Kind {
        action,
        dismissed
    };

    // The user chose the action with this identifier.
    static UserResponse action(std::string identifier) { return UserResponse(Kind::action, std::move(identifier)); }
    // The user dismissed the question without choosing.
    static UserResponse dismissed() { return UserResponse(Kind::dismissed, {}); }

    Kind kind() const { return kind_; }
    bool isDismissed() const { return kind_ == Kind::dismissed; }
    // The chosen action's identifier; empty when dismissed.
    const std::string& identifier() const { return identifier_; }
    bool operator==(const UserResponse&) const = default;

private:
    UserResponse(Kind kind, std::string identifier)
        : kind_(kind)
        , identifier_(std::move(identifier))
    {
    }
    Kind kind_;
    std::string identifier_;
};

// A modal alert ended with a response code that maps to no action.
class AlertError final : public Error {
public:
    enum Case { unknownResponse = 1 };

    static ErrorPtr makeUnknownResponse(alerts::ModalResponse response)
    {
        return std::make_shared<const AlertError>(response);
    }
    explicit AlertError(alerts::ModalResponse response)
        : response_(response)
    {
    }

    Case errorCase() const { return unknownResponse; }
    alerts::ModalResponse response() const { return response_; }
    std::string description() const override;
    std::string domain() const override { return "app.tavik.Tavik.AlertError"; }
    int code() const override { return unknownResponse; }

private:
    alerts::ModalResponse response_;
};

// Puts questions to the user as actionable notifications, or as modal alerts
// where notifications cannot be shown; shows messages and errors; routes
// every answer back to the handler of the question it answers, once.
//
// Every operation may be called from any thread. Alerts run on the main
// queue. Completion handlers run on the main thread or on a thread of the
// notification center: callers must not assume which.
class UserInputRequestPerformer final : public notifications::NotificationCenterDelegate,
                                        public std::enable_shared_from_this<UserInputRequestPerformer> {
public:
    enum class Category {
        actionlessMessage,
        errorOccurred,
        foundFile,
        foundFileWithoutIgnore,
        foundApplication,
        applicationExistsAtDestination,
        applicationCopied,
    };

    // Category identifiers.
    static constexpr const char* actionlessMessageIdentifier = "ACTIONLESS_MESSAGE";
    static constexpr const char* errorOccurredIdentifier = "ERROR_OCCURRED";
    static constexpr const char* foundFileIdentifier = "FOUND_FILE";
    static constexpr const char* foundFileWithoutIgnoreIdentifier = "FOUND_FILE_WITHOUT_IGNORE";
    static constexpr const char* foundApplicationIdentifier = "FOUND_APPLICATION";
    static constexpr const char* applicationExistsAtDestinationIdentifier = "APPLICATION_EXISTS_AT_DESTINATION";
    static constexpr const char* applicationCopiedIdentifier = "APPLICATION_COPIED";

    // Action identifiers.
    static constexpr const char* findApplicationsAction = "FIND_APPLICATIONS_ACTION";
    static constexpr const char* ignoreFileAction = "IGNORE_FILE_ACTION";
    static constexpr const char* copyApplicationAction = "COPY_APPLICATION_ACTION";
    static constexpr const char* overwriteApplicationAction = "OVERWRITE_APPLICATION_ACTION";
    static constexpr const char* renameAndMoveApplicationAction = "RENAME_AND_MOVE_APPLICATION_ACTION";
    static constexpr const char* openApplicationAction = "OPEN_APPLICATION_ACTION";

    using ResponseHandler = std::function<void(Result<UserResponse>)>;
    // Writes one diagnostic line; standard output unless a test says otherwise.
    using LinePrinter = std::function<void(std::string_view line)>;

    // The process's performer, created on first use with the process's
    // notification center and alert presenter.
    static const std::shared_ptr<UserInputRequestPerformer>& shared();

    // Must be owned by a shared_ptr: the closures it hands out hold it weakly.
    // Without a presenter the process's current one is used at each alert.
    explicit UserInputRequestPerformer(std::shared_ptr<notifications::NotificationCenter> userNotificationCenter,
        std::shared_ptr<alerts::AlertPresenter> alertPresenter = nullptr, LinePrinter printLine = {});

    static std::string_view identifier(Category category);
    static std::optional<Category> category(std::string_view identifier);
    // The category's definition as registered with the notification center.
    static notifications::NotificationCategory notificationCategory(Category category);
    static const std::vector<Category>& allCategories();

    // Becomes the center's delegate and registers all seven categories.
    void registerCategories();
    // Asks a question; returns at once. The handler is called at most once.
    void requestUserInput(std::string title, std::string body, Category category, ResponseHandler completion);
    void showMessage(std::string title, std::string body, bool fallBackToAlert);
    void showError(const ErrorPtr& error);

    void willPresentNotification(const notifications::Notification& notification, std::function<void(unsigned)> completion) override;
    void didReceiveNotificationResponse(const notifications::NotificationResponse& response, std::function<void()> completion) override;

    // The number of questions waiting for an answer through a notification.
    size_t outstandingRequestCount() const;
    const std::shared_ptr<notifications::NotificationCenter>& userNotificationCenter() const { return userNotificationCenter_; }

private:
    enum class Fallback {
        denied,
        alertsDisabled,
        unknownStatus,
        notGranted
    };
    using Step = std::function<void(UserInputRequestPerformer&)>;
    using FallbackStep = std::function<void(UserInputRequestPerformer&, Fallback)>;

    static notifications::NotificationRequest makeRequest(std::string title, std::string body, std::string_view category);
    // Asks the center for its settings and either posts or falls back.
    void deliver(Step post, FallbackStep fallBack);
    void showAlertFallback(std::string title, std::string body, Category category, ResponseHandler completion);
    void showPlainAlert(std::string title, std::string body);
    void showErrorAlert(ErrorPtr error);
    std::shared_ptr<alerts::AlertPresenter> presenter() const;
    void print(std::string_view line) const;

    void storeHandler(const std::string& identifier, ResponseHandler handler);
    ResponseHandler takeHandler(const std::string& identifier);

    const std::shared_ptr<notifications::NotificationCenter> userNotificationCenter_;
    const std::shared_ptr<alerts::AlertPresenter> alertPresenter_;
    const LinePrinter printLine_;

    mutable std::mutex requestActionsMutex_;
    std::map<std::string, ResponseHandler> requestActions_;
};

} // namespace tavik
