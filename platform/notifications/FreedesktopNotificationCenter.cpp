#include "platform/notifications/FreedesktopNotificationCenter.hpp"

#include "platform/log/Logger.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace tavik::notifications {

namespace {

constexpr const char* serverName = "org.freedesktop.Notifications";
constexpr const char* serverPath = "/org/freedesktop/Notifications";
constexpr const char* serverInterface = "org.freedesktop.Notifications";
constexpr uint32_t closedByUser = 2;

bool meansNoServer(const sdbus::Error& error)
{
    return error.getName() == "org.freedesktop.DBus.Error.ServiceUnknown"
        || error.getName() == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

ErrorPtr serverError(const sdbus::Error& error)
{
    if (meansNoServer(error))
        return std::make_shared<const NotificationCenterError>(NotificationCenterError::notificationsNotAllowed,
            "No notification server is running on the session bus", error.getName());
    return std::make_shared<const NotificationCenterError>(
        NotificationCenterError::serverFailed, "The notification server failed: " + error.getMessage(), error.getName());
}

ErrorPtr noSessionBus()
{
    return std::make_shared<const NotificationCenterError>(
        NotificationCenterError::notificationsNotAllowed, "The session bus cannot be reached");
}

} // namespace

struct FreedesktopNotificationCenter::State : std::enable_shared_from_this<State> {
    struct Delivered {
        NotificationRequest request;
        bool reportsDismissal = false;
    };

    explicit State(Options o)
        : options(std::move(o))
    {
    }

    ~State() { shutDown(); }

    // Stops talking to the server: no connection is made after this. The
    // proxy joins its event loop thread when destroyed, which waits for a
    // callback under way; on the loop thread itself (where the last owner
    // may let go of us) that is left to a thread of its own.
    void shutDown()
    {
        std::unique_ptr<sdbus::IProxy> doomed;
        {
            std::lock_guard lock(connectionMutex);
            shutdown = true;
            doomed = std::move(proxy);
        }
        if (!doomed)
            return;
        if (std::this_thread::get_id() == loopThread.load()) {
            std::thread([doomed = std::move(doomed)]() mutable { doomed.reset(); }).detach();
            return;
        }
        // Callbacks under way may still use the proxy: let them finish first.
        doomed->getConnection().leaveEventLoop();
    }

    // The proxy of the server, connecting on first use; null while the
    // session bus cannot be reached.
    sdbus::IProxy* server()
    {
        {
            std::lock_guard lock(connectionMutex);
            if (proxy || shutdown)
                return proxy.get();
        }
        // Connect without holding the lock: the bus takes locks of its own,
        // and its loop thread calls back into us holding them.
        std::unique_ptr<sdbus::IProxy> created;
        try {
            auto connection = sdbus::createSessionBusConnection();
            created = sdbus::createProxy(std::move(connection), serverName, serverPath);
            std::weak_ptr<State> weak = weak_from_this();
            created->uponSignal("ActionInvoked").onInterface(serverInterface).call([weak](uint32_t id, const std::string& key) {
                if (auto self = weak.lock())
                    self->actionInvoked(id, key);
            });
            created->uponSignal("NotificationClosed").onInterface(serverInterface).call([weak](uint32_t id, uint32_t reason) {
                if (auto self = weak.lock())
                    self->notificationClosed(id, reason);
            });
            created->finishRegistration();
        } catch (const sdbus::Error& error) {
            log.defaultLevel("Cannot connect to the session bus: {}", error.getMessage());
            return nullptr;
        }
        std::unique_lock lock(connectionMutex);
        if (!proxy && !shutdown) {
            proxy = std::move(created);
            return proxy.get();
        }
        // Another thread connected first, or we were shut down meanwhile.
        auto* winner = proxy.get();
        lock.unlock();
        created.reset();
        return winner;
    }

    void noteLoopThread() { loopThread.store(std::this_thread::get_id()); }

    // Asks the server what it can do: nothing when there is none.
    void capabilities(std::function<void(std::optional<std::vector<std::string>>, ErrorPtr)> completion)
    {
        auto* proxy = server();
        if (!proxy) {
            completion(std::nullopt, nullptr);
            return;
        }
        std::weak_ptr<State> weak = weak_from_this();
        try {
            proxy->callMethodAsync("GetCapabilities")
                .onInterface(serverInterface)
                .uponReplyInvoke([weak, completion](const sdbus::Error* error, std::vector<std::string> capabilities) {
                    auto self = weak.lock();
                    if (!self)
                        return;
                    self->noteLoopThread();
                    if (!error) {
                        completion(std::move(capabilities), nullptr);
                    } else if (meansNoServer(*error)) {
                        completion(std::nullopt, nullptr);
                    } else {
                        self->log.error("The notification server did not tell its capabilities: {}", error->getMessage());
                        completion(std::nullopt, serverError(*error));
                    }
                });
        } catch (const sdbus::Error& error) {
            completion(std::nullopt, serverError(error));
        }
    }

    void post(const NotificationRequest& request, std::function<void(ErrorPtr)> completion)
    {
        auto* proxy = server();
        if (!proxy) {
            completion(noSessionBus());
            return;
        }
        std::vector<std::string> actions;
        bool reportsDismissal = false;
        {
            std::lock_guard lock(mutex);
            auto category = categories.find(request.content.categoryIdentifier);
            if (category != categories.end()) {
                for (const auto& action : category->second.actions) {
                    actions.push_back(action.identifier);
                    actions.push_back(action.title);
                }
                reportsDismissal = (category->second.options & CategoryOption::customDismissAction) != 0;
            }
            inFlight.insert(request.identifier);
        }
        // A question stays up until it is answered; messages expire as the
        // server likes.
        const int32_t expireTimeout = actions.empty() ? -1 : 0;
        if (!actions.empty()) {
            actions.emplace_back(defaultActionIdentifier);
            actions.emplace_back("");
        }
        std::map<std::string, sdbus::Variant> hints{{"desktop-entry", sdbus::Variant(options.desktopEntry)}};
        std::weak_ptr<State> weak = weak_from_this();
        try {
            proxy->callMethodAsync("Notify")
                .onInterface(serverInterface)
                .withArguments(options.applicationName, uint32_t{0}, std::string(), request.content.title,
                    request.content.body, actions, hints, expireTimeout)
                .uponReplyInvoke([weak, request, reportsDismissal, completion](const sdbus::Error* error, uint32_t id) {
                    auto self = weak.lock();
                    if (!self)
                        return;
                    self->noteLoopThread();
                    ErrorPtr failure = error ? serverError(*error) : nullptr;
                    self->posted(request, reportsDismissal, failure, id);
                    completion(failure);
                });
        } catch (const sdbus::Error& error) {
            {
                std::lock_guard lock(mutex);
                inFlight.erase(request.identifier);
                cancelled.erase(request.identifier);
            }
            completion(serverError(error));
        }
    }

    void posted(const NotificationRequest& request, bool reportsDismissal, const ErrorPtr& error, uint32_t id)
    {
        bool removedMeanwhile;
        {
            std::lock_guard lock(mutex);
            inFlight.erase(request.identifier);
            removedMeanwhile = cancelled.erase(request.identifier) > 0;
            if (!error && !removedMeanwhile)
                delivered[id] = Delivered{request, reportsDismissal};
        }
        if (error)
            log.error("The notification server refused notification {}: {}", request.identifier, error->description());
        else if (removedMeanwhile)
            close({id});
    }

    void close(const std::vector<uint32_t>& ids)
    {
        auto* proxy = server();
        if (!proxy)
            return;
        for (auto id : ids) {
            try {
                proxy->callMethod("CloseNotification").onInterface(serverInterface).withArguments(id).dontExpectReply();
            } catch (const sdbus::Error& error) {
                log.error("Cannot close notification {}: {}", id, error.getMessage());
            }
        }
    }

    void actionInvoked(uint32_t id, const std::string& key)
    {
        noteLoopThread();
        Delivered found;
        {
            std::lock_guard lock(mutex);
            auto entry = delivered.find(id);
            if (entry == delivered.end())
                return; // another application's notification
            found = entry->second;
            // After a click on the body the notification may still be up and
            // answer later; after an action it is done.
            if (key != defaultActionIdentifier)
                delivered.erase(entry);
        }
        report(found.request, key);
    }

    void notificationClosed(uint32_t id, uint32_t reason)
    {
        noteLoopThread();
        Delivered found;
        {
            std::lock_guard lock(mutex);
            auto entry = delivered.find(id);
            if (entry == delivered.end())
                return;
            found = entry->second;
            delivered.erase(entry);
        }
        if (reason == closedByUser && found.reportsDismissal)
            report(found.request, dismissActionIdentifier);
    }

    void report(const NotificationRequest& request, const std::string& actionIdentifier)
    {
        std::shared_ptr<NotificationCenterDelegate> receiver;
        {
            std::lock_guard lock(mutex);
            receiver = delegate.lock();
        }
        if (!receiver) {
            log.info("No delegate for the response {} to notification {}", actionIdentifier, request.identifier);
            return;
        }
        receiver->didReceiveNotificationResponse(NotificationResponse{Notification{request}, actionIdentifier}, [] {});
    }

    Options options;
    log::Logger log{"app.tavik.Tavik", "Notification Center"};

    std::mutex connectionMutex;
    std::unique_ptr<sdbus::IProxy> proxy;
    bool shutdown = false;
    std::atomic<std::thread::id> loopThread{};

    std::mutex mutex;
    std::weak_ptr<NotificationCenterDelegate> delegate;
    std::map<std::string, NotificationCategory> categories;
    std::map<uint32_t, Delivered> delivered;
    std::set<std::string> inFlight;
    std::set<std::string> cancelled;
};

FreedesktopNotificationCenter::FreedesktopNotificationCenter()
    : FreedesktopNotificationCenter(Options{})
{
}

FreedesktopNotificationCenter::FreedesktopNotificationCenter(Options options)
    : state_(std::make_shared<State>(std::move(options)))
{
}

FreedesktopNotificationCenter::~FreedesktopNotificationCenter()
{
    disconnect();
}

void FreedesktopNotificationCenter::disconnect()
{
    state_->shutDown();
}

const std::shared_ptr<NotificationCenter>& FreedesktopNotificationCenter::current()
{
    static const std::shared_ptr<NotificationCenter> center = std::make_shared<FreedesktopNotificationCenter>();
    return center;
}

void FreedesktopNotificationCenter::setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate)
{
    std::lock_guard lock(state_->mutex);
    state_->delegate = std::move(delegate);
}

void FreedesktopNotificationCenter::setNotificationCategories(std::vector<NotificationCategory> categories)
{
    std::lock_guard lock(state_->mutex);
    state_->categories.clear();
    for (auto& category : categories) {
        auto identifier = category.identifier;
        state_->categories[identifier] = std::move(category);
    }
}

void FreedesktopNotificationCenter::getNotificationSettings(std::function<void(NotificationSettings)> completion)
{
    state_->capabilities([completion](std::optional<std::vector<std::string>> capabilities, ErrorPtr) {
        bool takesQuestions = capabilities
            && std::find(capabilities->begin(), capabilities->end(), "actions") != capabilities->end();
        if (takesQuestions)
            completion({AuthorizationStatus::authorized, NotificationSetting::enabled});
        else
            completion({AuthorizationStatus::denied, NotificationSetting::disabled});
    });
}

void FreedesktopNotificationCenter::requestAuthorization(unsigned, std::function<void(bool, ErrorPtr)> completion)
{
    state_->capabilities([completion](std::optional<std::vector<std::string>> capabilities, ErrorPtr error) {
        bool granted = capabilities
            && std::find(capabilities->begin(), capabilities->end(), "actions") != capabilities->end();
        completion(granted, std::move(error));
    });
}

void FreedesktopNotificationCenter::addNotificationRequest(NotificationRequest request, std::function<void(ErrorPtr)> completion)
{
    std::shared_ptr<NotificationCenterDelegate> receiver;
    {
        std::lock_guard lock(state_->mutex);
        receiver = state_->delegate.lock();
    }
    if (!receiver) {
        state_->post(request, std::move(completion));
        return;
    }
    std::weak_ptr<State> weak = state_;
    receiver->willPresentNotification(Notification{request}, [weak, request, completion](unsigned presentation) {
        auto state = weak.lock();
        if (!state)
            return;
        constexpr unsigned shown = PresentationOption::alert | PresentationOption::banner | PresentationOption::list;
        if (presentation & shown)
            state->post(request, completion);
        else
            completion(nullptr); // delivered without being shown
    });
}

void FreedesktopNotificationCenter::removeAllDeliveredNotifications()
{
    std::vector<uint32_t> ids;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& entry : state_->delivered)
            ids.push_back(entry.first);
        state_->delivered.clear();
    }
    state_->close(ids);
}

void FreedesktopNotificationCenter::removeAllPendingNotificationRequests()
{
    std::lock_guard lock(state_->mutex);
    state_->cancelled.insert(state_->inFlight.begin(), state_->inFlight.end());
}

} // namespace tavik::notifications
