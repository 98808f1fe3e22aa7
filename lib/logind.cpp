// systemd-logind's sessions, asked over the system bus with sd-bus: the list
// of sessions, then each session's properties, and ending a session.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include <systemd/sd-bus.h>

#include "common.h"

namespace
{

constexpr const char *logindService = "org.freedesktop.login1";
constexpr const char *logindPath = "/org/freedesktop/login1";
constexpr const char *managerInterface = "org.freedesktop.login1.Manager";
constexpr const char *sessionInterface = "org.freedesktop.login1.Session";
constexpr const char *noSuchSession = "org.freedesktop.login1.NoSuchSession";

// The system bus lets a connection wait on 128 replies at most; the rest
// would be refused. Asking this many sessions at a time keeps the round
// trips overlapping and well under that limit.
constexpr std::size_t sessionsAskedAtOnce = 64;

// A logind that does not answer within this time is taken as not running.
constexpr std::uint64_t replyTimeoutUsec = 5 * 1000 * 1000;

struct BusDeleter {
    void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

// An error set by a failed call, freed on every path.
struct BusError {
    sd_bus_error error{}; // SD_BUS_ERROR_NULL, which is a C compound literal
    ~BusError() { sd_bus_error_free(&error); }
};

int openSystemBus(Bus &bus)
{
    sd_bus *opened = nullptr;
    int result = sd_bus_open_system(&opened);
    if (result < 0)
        return result;
    bus.reset(opened);
    return sd_bus_set_method_call_timeout(opened, replyTimeoutUsec);
}

struct ListedSession {
    std::string id;
    std::string path;
};

int listSessions(sd_bus *bus, std::vector<ListedSession> &sessions)
{
    BusError error;
    sd_bus_message *reply = nullptr;
    int result = sd_bus_call_method(bus, logindService, logindPath, managerInterface,
                                    "ListSessions", &error.error, &reply, "");
    if (result < 0)
        return result;
    Message owned(reply);
    result = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "(susso)");
    if (result < 0)
        return result;
    const char *id = nullptr;
    std::uint32_t uid = 0;
    const char *user = nullptr;
    const char *seat = nullptr;
    const char *path = nullptr;
    while ((result = sd_bus_message_read(reply, "(susso)", &id, &uid, &user, &seat, &path)) > 0)
        sessions.push_back(ListedSession{id, path});
    return result;
}

// What the login table takes of a session, and what decides whether it
// goes in.
struct SessionProperties {
    LoginEntry entry;
    std::string sessionClass;
    std::string state;
    bool hasUser = false;
};

int readString(sd_bus_message *message, std::string &value)
{
    const char *text = nullptr;
    int result = sd_bus_message_read(message, "v", "s", &text);
    if (result >= 0)
        value = text;
    return result;
}

int readProperty(sd_bus_message *message, const char *name, SessionProperties &session)
{
    LoginEntry &entry = session.entry;
    if (std::strcmp(name, "User") == 0) {
        std::uint32_t uid = 0;
        const char *path = nullptr;
        int result = sd_bus_message_read(message, "v", "(uo)", &uid, &path);
        session.hasUser = result >= 0;
        entry.uid = static_cast<uid_t>(uid);
        return result;
    }
    if (std::strcmp(name, "TTY") == 0) {
        std::string tty;
        int result = readString(message, tty);
        std::string_view line(tty);
        if (line.starts_with("/dev/"))
            line.remove_prefix(5);
        copyText(entry.line, line);
        return result;
    }
    if (std::strcmp(name, "Class") == 0)
        return readString(message, session.sessionClass);
    if (std::strcmp(name, "State") == 0)
        return readString(message, session.state);
    if (std::strcmp(name, "Leader") == 0) {
        std::uint32_t leader = 0;
        int result = sd_bus_message_read(message, "v", "u", &leader);
        entry.leader = static_cast<pid_t>(leader);
        return result;
    }
    if (std::strcmp(name, "Timestamp") == 0) {
        std::uint64_t usec = 0;
        int result = sd_bus_message_read(message, "v", "t", &usec);
        // Login times are signed 32-bit seconds, as in the login records.
        entry.loginTime = static_cast<std::int32_t>(usec / 1000000);
        return result;
    }
    return sd_bus_message_skip(message, "v");
}

int readProperties(sd_bus_message *reply, SessionProperties &session)
{
    int result = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{sv}");
    if (result < 0)
        return result;
    while ((result = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
        const char *name = nullptr;
        result = sd_bus_message_read(reply, "s", &name);
        if (result >= 0)
            result = readProperty(reply, name, session);
        if (result >= 0)
            result = sd_bus_message_exit_container(reply);
        if (result < 0)
            return result;
    }
    return result;
}

bool closedSinceListed(sd_bus_message *reply)
{
    return sd_bus_message_is_method_error(reply, "org.freedesktop.DBus.Error.UnknownObject") ||
           sd_bus_message_is_method_error(reply, noSuchSession);
}

int failureOf(sd_bus_message *reply)
{
    int error = sd_bus_message_get_errno(reply);
    return error > 0 ? -error : -EIO;
}

// The properties of many sessions, asked with overlapping round trips: one
// at a time, 2,000 sessions would cost 2,000 waits for logind.
class PropertyRequests
{
  public:
    PropertyRequests(sd_bus *bus, const std::vector<ListedSession> &sessions)
        : bus_(bus), sessions_(sessions), answers_(sessions.size())
    {
    }

    int run()
    {
        while (failure_ == 0 && (next_ < sessions_.size() || pending_ > 0)) {
            while (failure_ == 0 && next_ < sessions_.size() && pending_ < sessionsAskedAtOnce)
                ask(next_++);
            if (failure_ == 0)
                process();
        }
        return failure_;
    }

    std::vector<SessionProperties> &answers() { return answers_; }

  private:
    struct Request {
        PropertyRequests *requests;
        std::size_t index;
    };

    void ask(std::size_t index)
    {
        requests_.push_back(std::make_unique<Request>(Request{this, index}));
        int result =
            sd_bus_call_method_async(bus_, nullptr, logindService, sessions_[index].path.c_str(),
                                     "org.freedesktop.DBus.Properties", "GetAll", answered,
                                     requests_.back().get(), "s", sessionInterface);
        if (result < 0)
            failure_ = result;
        else
            ++pending_;
    }

    void process()
    {
        int result = sd_bus_process(bus_, nullptr);
        if (result == 0)
            result = sd_bus_wait(bus_, UINT64_MAX);
        if (result < 0)
            failure_ = result;
    }

    static int answered(sd_bus_message *reply, void *userdata, sd_bus_error *)
    {
        auto *request = static_cast<Request *>(userdata);
        PropertyRequests &self = *request->requests;
        --self.pending_;
        SessionProperties &session = self.answers_[request->index];
        session.entry.session = self.sessions_[request->index].id;
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            // A session that closed since it was listed is simply left out;
            // any other failure fails the whole reading, as a user left out
            // would count as logged out.
            if (!closedSinceListed(reply))
                self.failure_ = failureOf(reply);
            return 0;
        }
        int result = readProperties(reply, session);
        if (result < 0)
            self.failure_ = result;
        return 0;
    }

    sd_bus *bus_;
    const std::vector<ListedSession> &sessions_;
    std::vector<SessionProperties> answers_;
    std::vector<std::unique_ptr<Request>> requests_;
    std::size_t next_ = 0;
    std::size_t pending_ = 0;
    int failure_ = 0;
};

// Sessions of other classes (greeters, lock screens, background units) log
// nobody in; a closing session has been logged out and lingers only for
// processes the user left behind.
bool countsAsLogin(const SessionProperties &session)
{
    return session.hasUser && session.sessionClass == "user" && session.state != "closing";
}

} // namespace

int readLogindSessions(LoginTable &logins)
{
    logins.clear();
    Bus bus;
    int result = openSystemBus(bus);
    std::vector<ListedSession> sessions;
    if (result >= 0)
        result = listSessions(bus.get(), sessions);
    if (result < 0)
        return result;
    PropertyRequests requests(bus.get(), sessions);
    result = requests.run();
    if (result < 0)
        return result;
    for (SessionProperties &session : requests.answers()) {
        if (countsAsLogin(session))
            logins.push_back(std::move(session.entry));
    }
    // In login order, as the records are kept, so that a user's first
    // login is the earliest; ties by id, so that the order is one.
    std::stable_sort(logins.begin(), logins.end(), [](const LoginEntry &a, const LoginEntry &b) {
        return a.loginTime != b.loginTime ? a.loginTime < b.loginTime : a.session < b.session;
    });
    return 0;
}

int endLogindSession(const std::string &session)
{
    Bus bus;
    int result = openSystemBus(bus);
    if (result < 0)
        return result;
    // The session's scope holds every process it started, under any id and
    // however recently forked: killing "all" of it leaves nothing behind.
    BusError killError;
    result =
        sd_bus_call_method(bus.get(), logindService, logindPath, managerInterface, "KillSession",
                           &killError.error, nullptr, "ssi", session.c_str(), "all", SIGKILL);
    // A session that closed as its processes ended is what was asked for.
    if (sd_bus_error_has_name(&killError.error, noSuchSession))
        return 0;
    BusError terminateError;
    int terminated = sd_bus_call_method(bus.get(), logindService, logindPath, managerInterface,
                                        "TerminateSession", &terminateError.error, nullptr, "s",
                                        session.c_str());
    if (sd_bus_error_has_name(&terminateError.error, noSuchSession))
        terminated = 0;
    return result < 0 ? result : terminated;
}
