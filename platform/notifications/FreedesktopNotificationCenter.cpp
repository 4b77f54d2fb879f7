#include "platform/notifications/FreedesktopNotificationCenter.hpp"

#include "platform/log/Logger.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <type_traits>
#include <utility>

namespace tavik::notifications {

namespace {

constexpr const char* serverName = "org.freedesktop.Notifications";
constexpr const char* serverPath = "/org/freedesktop/Notifications";
constexpr const char* serverInterface = "org.freedesktop.Notifications";
constexpr const char* serverOwnerChanges = "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                           "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                                           "arg0='org.freedesktop.Notifications'";

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

// A reply handler that lets go of what it holds once it has run. The bus
// library can keep a handler past its reply (when the reply comes before
// the call is registered, it stays until the proxy goes), and what our
// handlers hold, the callers' completions, keeps their work alive: a file
// under way would never count as finished.
template <class... Arguments>
std::function<void(Arguments...)> releasedAfterUse(std::type_identity_t<std::function<void(Arguments...)>> handler)
{
    auto held = std::make_shared<std::function<void(Arguments...)>>(std::move(handler));
    return [held](Arguments... arguments) {
        auto once = std::exchange(*held, nullptr);
        if (once)
            once(std::forward<Arguments>(arguments)...);
    };
}

// Lets go of our handle to an asynchronous call. The bus library frees the
// call's record on its own thread, with reference counts compiled into that
// library, which the thread checker cannot see; every release of a handle
// happens here, in one frame its suppressions can name.
[[gnu::noinline]] void letGoOfCall(sdbus::PendingAsyncCall&& call)
{
    sdbus::PendingAsyncCall released(std::move(call));
}

ErrorPtr noSessionBus()
{
    return std::make_shared<const NotificationCenterError>(
        NotificationCenterError::notificationsNotAllowed, "The session bus cannot be reached");
}

// The center's own connection to the session bus and the thread that runs
// its event loop (replies and the server's signals arrive there). A bus error
// ends that loop, never the process. Letting go of it waits for the loop,
// except on the loop thread itself, where release() leaves that wait to a
// thread of its own.
struct Link {
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> server;
    sdbus::Slot serverOwnerWatch;
    std::thread loop;
    std::atomic<bool> leaving {false};

    ~Link()
    {
        leaving = true;
        if (!loop.joinable())
            return; // never connected, or connected without a loop yet
        try {
            connection->leaveEventLoop();
        } catch (const sdbus::Error&) {
        }
        loop.join();
    }

    bool onLoopThread() const { return std::this_thread::get_id() == loop.get_id(); }

    static void release(Link* link)
    {
        if (link->onLoopThread())
            std::thread([link] { delete link; }).detach();
        else
            delete link;
    }
};

using LinkPtr = std::shared_ptr<Link>;

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

    // Stops talking to the server: no connection is made after this.
    // Waits for a callback under way unless called from one.
    void shutDown()
    {
        LinkPtr doomed; // let go of outside the lock
        {
            std::lock_guard lock(connectionMutex);
            shutdown = true;
            doomed = std::move(link);
        }
    }

    // The connection to the session bus, made on first use and again after
    // the bus was lost; null while the bus cannot be reached.
    LinkPtr connected()
    {
        {
            std::lock_guard lock(connectionMutex);
            if (link || shutdown)
                return link;
        }
        // Connect without holding the lock: the bus takes locks of its own,
        // and its loop thread calls back into us holding them.
        LinkPtr created(new Link, &Link::release);
        std::weak_ptr<State> weak = weak_from_this();
        try {
            created->connection = sdbus::createSessionBusConnection();
            created->server = sdbus::createProxy(*created->connection, serverName, serverPath);
            created->server->uponSignal("ActionInvoked").onInterface(serverInterface).call([weak](uint32_t id, const std::string& key) {
                if (auto self = weak.lock())
                    self->actionInvoked(id, key);
            });
            created->server->uponSignal("NotificationClosed").onInterface(serverInterface).call([weak](uint32_t id, uint32_t reason) {
                if (auto self = weak.lock())
                    self->notificationClosed(id, reason);
            });
            created->server->finishRegistration();
            created->serverOwnerWatch = created->connection->addMatch(serverOwnerChanges, [weak](sdbus::Message& signal) {
                std::string name, oldOwner, newOwner;
                signal >> name >> oldOwner >> newOwner;
                auto self = weak.lock();
                if (self && name == serverName && !oldOwner.empty())
                    self->forgetServer("The notification server left the bus");
            });
        } catch (const sdbus::Error& error) {
            log.defaultLevel("Cannot connect to the session bus: {}", error.getMessage());
            return nullptr;
        }
        created->loop = std::thread([link = created.get(), weak] {
            std::string failure = "its event loop ended";
            try {
                link->connection->enterEventLoop();
            } catch (const std::exception& error) {
                failure = error.what();
            }
            if (link->leaving)
                return;
            if (auto self = weak.lock())
                self->lostBus(link, failure);
        });

        std::unique_lock lock(connectionMutex);
        if (!link && !shutdown)
            link = created;
        return link; // another thread's link if it connected first
    }

    // The bus went away under the connection: every open question is
    // answered as dismissed, and the next use connects again.
    void lostBus(Link* lost, const std::string& failure)
    {
        LinkPtr doomed; // let go of outside the lock
        {
            std::lock_guard lock(connectionMutex);
            if (link.get() != lost)
                return;
            doomed = std::move(link);
        }
        log.error("Lost the session bus: {}", failure);
        forgetServer("The session bus went away");
    }

    // The server that showed our notifications is gone, and with it every
    // notification it showed: their questions are answered as dismissed.
    void forgetServer(const std::string& why)
    {
        std::map<uint32_t, Delivered> gone;
        {
            std::lock_guard lock(mutex);
            ++serverGeneration;
            gone.swap(delivered);
        }
        if (!gone.empty())
            log.info("{}; {} notification(s) went with it", why, gone.size());
        for (const auto& [id, notification] : gone)
            if (notification.reportsDismissal)
                report(notification.request, dismissActionIdentifier);
    }

    // Asks the server what it can do: nothing when there is none.
    void capabilities(std::function<void(std::optional<std::vector<std::string>>, ErrorPtr)> completion)
    {
        auto link = connected();
        if (!link) {
            completion(std::nullopt, nullptr);
            return;
        }
        std::weak_ptr<State> weak = weak_from_this();
        auto handler = releasedAfterUse<const sdbus::Error*, std::vector<std::string>>([weak, completion](const sdbus::Error* error, std::vector<std::string> capabilities) {
            auto self = weak.lock();
            if (!self)
                return;
            if (!error) {
                completion(std::move(capabilities), nullptr);
            } else if (meansNoServer(*error)) {
                completion(std::nullopt, nullptr);
            } else {
                self->log.error("The notification server did not tell its capabilities: {}", error->getMessage());
                completion(std::nullopt, serverError(*error));
            }
        });
        try {
            letGoOfCall(link->server->callMethodAsync("GetCapabilities").onInterface(serverInterface).uponReplyInvoke(std::move(handler)));
        } catch (const sdbus::Error& error) {
            completion(std::nullopt, serverError(error));
        }
    }

    void post(const NotificationRequest& request, std::function<void(ErrorPtr)> completion)
    {
        auto link = connected();
        if (!link) {
            completion(noSessionBus());
            return;
        }
        std::vector<std::string> actions;
        bool reportsDismissal = false;
        uint64_t generation;
        {
            std::lock_guard lock(mutex);
            generation = serverGeneration;
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
        std::map<std::string, sdbus::Variant> hints {{"desktop-entry", sdbus::Variant(options.desktopEntry)}};
        std::weak_ptr<State> weak = weak_from_this();
        auto handler = releasedAfterUse<const sdbus::Error*, uint32_t>([weak, request, reportsDismissal, generation, completion](const sdbus::Error* error, uint32_t id) {
            auto self = weak.lock();
            if (!self)
                return;
            ErrorPtr failure = error ? serverError(*error) : nullptr;
            self->posted(request, reportsDismissal, failure, id, generation);
            completion(failure);
        });
        try {
            letGoOfCall(link->server->callMethodAsync("Notify")
                            .onInterface(serverInterface)
                            .withArguments(options.applicationName, uint32_t {0}, std::string(), request.content.title,
                                request.content.body, actions, hints, expireTimeout)
                            .uponReplyInvoke(std::move(handler)));
        } catch (const sdbus::Error& error) {
            {
                std::lock_guard lock(mutex);
                inFlight.erase(request.identifier);
                cancelled.erase(request.identifier);
            }
            completion(serverError(error));
        }
    }

    // The server's answer to a post. A server that left the bus before its
    // answer arrived took the notification with it: a question is dismissed,
    // as those it showed before were.
    void posted(const NotificationRequest& request, bool reportsDismissal, const ErrorPtr& error, uint32_t id, uint64_t generation)
    {
        bool removedMeanwhile;
        bool serverLeft;
        {
            std::lock_guard lock(mutex);
            inFlight.erase(request.identifier);
            removedMeanwhile = cancelled.erase(request.identifier) > 0;
            serverLeft = generation != serverGeneration;
            if (!error && !removedMeanwhile && !serverLeft)
                delivered[id] = Delivered {request, reportsDismissal};
        }
        if (error) {
            log.error("The notification server refused notification {}: {}", request.identifier, error->description());
        } else if (serverLeft) {
            log.info("The notification server left the bus before it answered the post of notification {}", request.identifier);
            if (reportsDismissal && !removedMeanwhile)
                report(request, dismissActionIdentifier);
        } else if (removedMeanwhile) {
            close({id});
        }
    }

    void close(const std::vector<uint32_t>& ids)
    {
        auto link = connected();
        if (!link)
            return;
        for (auto id : ids) {
            try {
                link->server->callMethod("CloseNotification").onInterface(serverInterface).withArguments(id).dontExpectReply();
            } catch (const sdbus::Error& error) {
                log.error("Cannot close notification {}: {}", id, error.getMessage());
            }
        }
    }

    void actionInvoked(uint32_t id, const std::string& key)
    {
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

    // However it was closed (expired, dismissed, closed by a call, or for no
    // stated reason), a question nobody answered is dismissed. Closes Tavik
    // asks for itself concern notifications it has forgotten already.
    void notificationClosed(uint32_t id, uint32_t)
    {
        Delivered found;
        {
            std::lock_guard lock(mutex);
            auto entry = delivered.find(id);
            if (entry == delivered.end())
                return;
            found = entry->second;
            delivered.erase(entry);
        }
        if (found.reportsDismissal)
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
        receiver->didReceiveNotificationResponse(NotificationResponse {Notification {request}, actionIdentifier}, [] {});
    }

    Options options;
    log::Logger log {"app.tavik.Tavik", "Notification Center"};

    std::mutex connectionMutex;
    LinkPtr link;
    bool shutdown = false;

    std::mutex mutex;
    std::weak_ptr<NotificationCenterDelegate> delegate;
    std::map<std::string, NotificationCategory> categories;
    std::map<uint32_t, Delivered> delivered;
    std::set<std::string> inFlight;
    std::set<std::string> cancelled;
    // Counts the servers forgotten: a post answered after the server it
    // went to was forgotten was shown by a server that is gone.
    uint64_t serverGeneration = 0;
};

FreedesktopNotificationCenter::FreedesktopNotificationCenter()
    : FreedesktopNotificationCenter(Options {})
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
    receiver->willPresentNotification(Notification {request}, [weak, request, completion](unsigned presentation) {
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
