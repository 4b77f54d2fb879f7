#include "Tavik/prompts/UserInputRequestPerformer.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/strings/LocalizedString.hpp"

#include <fmt/format.h>

#include <cstdio>

namespace tavik {

using namespace notifications;

std::string AlertError::description() const
{
    return fmt::format("The alert ended with the unknown response {}", response_);
}

namespace {

void printToStandardOutput(std::string_view line)
{
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

struct CategoryEntry {
    UserInputRequestPerformer::Category category;
    const char* identifier;
    std::vector<std::pair<const char*, const char*>> actions; // identifier, title key
    bool customDismissAction;
};

const std::vector<CategoryEntry>& categoryTable()
{
    using P = UserInputRequestPerformer;
    static const std::vector<CategoryEntry> table {
        {P::Category::actionlessMessage, P::actionlessMessageIdentifier, {}, false},
        {P::Category::errorOccurred, P::errorOccurredIdentifier, {}, false},
        {P::Category::foundFile, P::foundFileIdentifier,
            {{P::findApplicationsAction, "Find Applications"}, {P::ignoreFileAction, "Ignore"}}, true},
        {P::Category::foundFileWithoutIgnore, P::foundFileWithoutIgnoreIdentifier,
            {{P::findApplicationsAction, "Find Applications"}}, true},
        {P::Category::foundApplication, P::foundApplicationIdentifier,
            {{P::copyApplicationAction, "Copy"}, {P::ignoreFileAction, "Ignore"}}, true},
        {P::Category::applicationExistsAtDestination, P::applicationExistsAtDestinationIdentifier,
            {{P::overwriteApplicationAction, "Overwrite"}, {P::renameAndMoveApplicationAction, "Rename and Copy"},
                {P::ignoreFileAction, "Ignore"}},
            true},
        {P::Category::applicationCopied, P::applicationCopiedIdentifier,
            {{P::openApplicationAction, "Open"}, {P::ignoreFileAction, "Ignore"}}, true},
    };
    return table;
}

const CategoryEntry& entry(UserInputRequestPerformer::Category category)
{
    return categoryTable().at(static_cast<size_t>(category));
}

} // namespace

const std::shared_ptr<UserInputRequestPerformer>& UserInputRequestPerformer::shared()
{
    static const std::shared_ptr<UserInputRequestPerformer> instance
        = std::make_shared<UserInputRequestPerformer>(FreedesktopNotificationCenter::current());
    return instance;
}

UserInputRequestPerformer::UserInputRequestPerformer(
    std::shared_ptr<NotificationCenter> userNotificationCenter, std::shared_ptr<alerts::AlertPresenter> alertPresenter, LinePrinter printLine)
    : userNotificationCenter_(std::move(userNotificationCenter))
    , alertPresenter_(std::move(alertPresenter))
    , printLine_(printLine ? std::move(printLine) : LinePrinter(printToStandardOutput))
{
}

std::string_view UserInputRequestPerformer::identifier(Category category)
{
    return entry(category).identifier;
}

std::optional<UserInputRequestPerformer::Category> UserInputRequestPerformer::category(std::string_view identifier)
{
    for (const auto& e : categoryTable())
        if (identifier == e.identifier)
            return e.category;
    return std::nullopt;
}

NotificationCategory UserInputRequestPerformer::notificationCategory(Category category)
{
    const auto& e = entry(category);
    NotificationCategory result {e.identifier, {}, e.customDismissAction ? CategoryOption::customDismissAction : 0u};
    for (const auto& [actionIdentifier, titleKey] : e.actions)
        result.actions.push_back({actionIdentifier, strings::localizedString(titleKey), 0});
    return result;
}

const std::vector<UserInputRequestPerformer::Category>& UserInputRequestPerformer::allCategories()
{
    static const std::vector<Category> all {Category::actionlessMessage, Category::errorOccurred, Category::foundFile,
        Category::foundFileWithoutIgnore, Category::foundApplication, Category::applicationExistsAtDestination,
        Category::applicationCopied};
    return all;
}

void UserInputRequestPerformer::registerCategories()
{
    userNotificationCenter_->setDelegate(weak_from_this());
    std::vector<NotificationCategory> categories;
    for (auto category : allCategories())
        categories.push_back(notificationCategory(category));
    userNotificationCenter_->setNotificationCategories(std::move(categories));
}

NotificationRequest UserInputRequestPerformer::makeRequest(std::string title, std::string body, std::string_view category)
{
    return NotificationRequest {UUID().uuidString(), NotificationContent {std::move(title), std::move(body), std::string(category)}};
}

void UserInputRequestPerformer::deliver(Step post, FallbackStep fallBack)
{
    std::weak_ptr<UserInputRequestPerformer> weak = weak_from_this();
    userNotificationCenter_->getNotificationSettings([weak, post, fallBack](NotificationSettings settings) {
        auto self = weak.lock();
        if (!self)
            return;
        switch (settings.authorizationStatus) {
        case AuthorizationStatus::notDetermined:
        case AuthorizationStatus::provisional:
            self->userNotificationCenter_->requestAuthorization(
                AuthorizationOption::alert, [weak, post, fallBack](bool granted, ErrorPtr error) {
                    auto me = weak.lock();
                    if (!me)
                        return;
                    if (error)
                        me->print("Error requesting user notification permissions: " + error->description());
                    if (granted)
                        post(*me);
                    else
                        fallBack(*me, Fallback::notGranted);
                });
            return;
        case AuthorizationStatus::denied:
            self->print("Notification permissions have been denied");
            fallBack(*self, Fallback::denied);
            return;
        case AuthorizationStatus::authorized:
            if (settings.alertSetting == NotificationSetting::enabled)
                post(*self);
            else
                fallBack(*self, Fallback::alertsDisabled);
            return;
        }
        self->print(fmt::format("Unknown authorization status: {}", static_cast<int>(settings.authorizationStatus)));
        fallBack(*self, Fallback::unknownStatus);
    });
}

void UserInputRequestPerformer::requestUserInput(std::string title, std::string body, Category category, ResponseHandler completion)
{
    auto request = makeRequest(std::move(title), std::move(body), identifier(category));
    deliver(
        [request, completion](UserInputRequestPerformer& self) {
            self.storeHandler(request.identifier, completion);
            std::weak_ptr<UserInputRequestPerformer> weak = self.weak_from_this();
            auto identifier = request.identifier;
            self.userNotificationCenter_->addNotificationRequest(request, [weak, identifier](ErrorPtr error) {
                if (!error)
                    return;
                auto me = weak.lock();
                if (!me)
                    return;
                if (auto handler = me->takeHandler(identifier))
                    handler(error);
            });
        },
        [request, category, completion](UserInputRequestPerformer& self, Fallback) {
            self.showAlertFallback(request.content.title, request.content.body, category, completion);
        });
}

void UserInputRequestPerformer::showMessage(std::string title, std::string body, bool fallBackToAlert)
{
    auto request = makeRequest(std::move(title), std::move(body), actionlessMessageIdentifier);
    deliver(
        [request](UserInputRequestPerformer& self) { self.userNotificationCenter_->addNotificationRequest(request, [](ErrorPtr) {}); },
        [request, fallBackToAlert](UserInputRequestPerformer& self, Fallback reason) {
            if (fallBackToAlert || reason == Fallback::alertsDisabled)
                self.showPlainAlert(request.content.title, request.content.body);
        });
}

void UserInputRequestPerformer::showError(const ErrorPtr& error)
{
    auto request = makeRequest(strings::localizedString("Error Occurred"),
        error ? error->description() : std::string(), errorOccurredIdentifier);
    deliver(
        [request](UserInputRequestPerformer& self) { self.userNotificationCenter_->addNotificationRequest(request, [](ErrorPtr) {}); },
        [error](UserInputRequestPerformer& self, Fallback) { self.showErrorAlert(error); });
}

void UserInputRequestPerformer::showAlertFallback(std::string title, std::string body, Category category, ResponseHandler completion)
{
    std::weak_ptr<UserInputRequestPerformer> weak = weak_from_this();
    dispatch::DispatchQueue::main()->async([weak, title, body, category, completion] {
        auto self = weak.lock();
        if (!self)
            return;
        const auto& actions = entry(category).actions;
        alerts::Alert alert {title, body, {}};
        for (const auto& action : actions)
            alert.buttons.push_back(strings::localizedString(action.second));
        auto response = self->presenter()->runModal(alert);
        auto index = response - alerts::alertFirstButtonReturn;
        if (index >= 0 && index < 3 && static_cast<size_t>(index) < actions.size()) {
            completion(UserResponse::action(actions[static_cast<size_t>(index)].first));
        } else if (response == alerts::modalResponseCancel) {
            completion(UserResponse::dismissed());
        } else {
            self->print(fmt::format("Unknown modal response: {}", response));
            completion(AlertError::makeUnknownResponse(response));
        }
    });
}

void UserInputRequestPerformer::showPlainAlert(std::string title, std::string body)
{
    std::weak_ptr<UserInputRequestPerformer> weak = weak_from_this();
    dispatch::DispatchQueue::main()->async([weak, title, body] {
        if (auto self = weak.lock())
            self->presenter()->runModal(alerts::Alert {title, body, {}});
    });
}

void UserInputRequestPerformer::showErrorAlert(ErrorPtr error)
{
    std::weak_ptr<UserInputRequestPerformer> weak = weak_from_this();
    dispatch::DispatchQueue::main()->async([weak, error] {
        if (auto self = weak.lock())
            self->presenter()->runModal(alerts::Alert::withError(error));
    });
}

void UserInputRequestPerformer::willPresentNotification(const Notification&, std::function<void(unsigned)> completion)
{
    // Shown even while the application is in front.
    completion(PresentationOption::banner | PresentationOption::list);
}

void UserInputRequestPerformer::didReceiveNotificationResponse(const NotificationResponse& response, std::function<void()> completion)
{
    const auto& request = response.notification.request;
    if (response.actionIdentifier == defaultActionIdentifier) {
        // A click on the body: ask again by alert. The handler is taken out
        // so that a later action or dismissal of the same notification cannot
        // answer the question a second time.
        if (auto category = this->category(request.content.categoryIdentifier)) {
            if (auto handler = takeHandler(request.identifier))
                showAlertFallback(request.content.title, request.content.body, *category, std::move(handler));
        }
    } else {
        auto handler = takeHandler(request.identifier);
        if (!handler)
            print("Not handler for identifier " + request.identifier);
        else if (response.actionIdentifier == dismissActionIdentifier)
            handler(UserResponse::dismissed());
        else
            handler(UserResponse::action(response.actionIdentifier));
    }
    completion();
}

size_t UserInputRequestPerformer::outstandingRequestCount() const
{
    std::lock_guard lock(requestActionsMutex_);
    return requestActions_.size();
}

std::shared_ptr<alerts::AlertPresenter> UserInputRequestPerformer::presenter() const
{
    return alertPresenter_ ? alertPresenter_ : alerts::AlertPresenter::current();
}

void UserInputRequestPerformer::print(std::string_view line) const
{
    printLine_(line);
}

void UserInputRequestPerformer::storeHandler(const std::string& identifier, ResponseHandler handler)
{
    std::lock_guard lock(requestActionsMutex_);
    requestActions_[identifier] = std::move(handler);
}

UserInputRequestPerformer::ResponseHandler UserInputRequestPerformer::takeHandler(const std::string& identifier)
{
    std::lock_guard lock(requestActionsMutex_);
    auto found = requestActions_.find(identifier);
    if (found == requestActions_.end())
        return {};
    auto handler = std::move(found->second);
    requestActions_.erase(found);
    return handler;
}

} // namespace tavik
