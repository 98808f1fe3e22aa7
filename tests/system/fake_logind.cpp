// A stand-in for systemd-logind on the tests' private system bus: it lists
// the sessions a test writes into a file, answers for each session's
// properties as logind does, and records every request to end a session
// without ending anything.
//
//   fake_logind SESSIONS CALLS
//
// SESSIONS holds one session a line, read again at every ListSessions and
// before a session is ended:
//   id uid user class state leader tty seconds [vanished]
// with "-" for no tty; a "vanished" session is listed but has no object, as
// one that closed between the list and the question. Each KillSession and
// TerminateSession is appended to CALLS as a line of its name and
// arguments. "ready" on standard output says the name is taken.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

namespace
{

constexpr const char *managerPath = "/org/freedesktop/login1";
constexpr const char *sessionPrefix = "/org/freedesktop/login1/session";
constexpr const char *noSuchSession = "org.freedesktop.login1.NoSuchSession";

struct Session {
    std::string id;
    std::uint32_t uid = 0;
    std::string user;
    std::string sessionClass;
    std::string state;
    std::uint32_t leader = 0;
    std::string tty;
    std::uint64_t seconds = 0;
    bool vanished = false;
};

struct Service {
    std::string sessionsFile;
    std::string callsFile;
    std::vector<Session> listed;
    std::unordered_map<std::string, const Session *> byId;
};

Service service;

void readSessions()
{
    service.byId.clear();
    service.listed.clear();
    std::ifstream in(service.sessionsFile);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        Session session;
        std::string flag;
        if (!(words >> session.id >> session.uid >> session.user >> session.sessionClass >>
              session.state >> session.leader >> session.tty >> session.seconds))
            continue;
        if (session.tty == "-")
            session.tty.clear();
        session.vanished = words >> flag && flag == "vanished";
        service.listed.push_back(session);
    }
    for (const Session &session : service.listed) {
        if (!session.vanished)
            service.byId.emplace(session.id, &session);
    }
}

std::string sessionPath(const std::string &id)
{
    char *path = nullptr;
    if (sd_bus_path_encode(sessionPrefix, id.c_str(), &path) < 0)
        return sessionPrefix;
    std::string encoded = path;
    std::free(path);
    return encoded;
}

void recordCall(const std::string &line)
{
    int fd = open(service.callsFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::perror("fake_logind: write");
    close(fd);
}

// ---------------------------------------------------------------- the manager

int listSessions(sd_bus_message *call, void *, sd_bus_error *)
{
    readSessions();
    sd_bus_message *reply = nullptr;
    int result = sd_bus_message_new_method_return(call, &reply);
    if (result >= 0)
        result = sd_bus_message_open_container(reply, 'a', "(susso)");
    for (const Session &session : service.listed) {
        if (result < 0)
            break;
        std::string path = sessionPath(session.id);
        result = sd_bus_message_append(reply, "(susso)", session.id.c_str(), session.uid,
                                       session.user.c_str(), "", path.c_str());
    }
    if (result >= 0)
        result = sd_bus_message_close_container(reply);
    if (result >= 0)
        result = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return result;
}

// Unknown sessions are refused as logind refuses them, after the call is
// recorded. The list is read again first: a test takes a session away as
// logind closes one whose processes have all ended.
int knownSession(const char *id, sd_bus_error *error)
{
    readSessions();
    if (service.byId.count(id) == 0)
        return sd_bus_error_setf(error, noSuchSession, "No session '%s' known", id);
    return 0;
}

int killSession(sd_bus_message *call, void *, sd_bus_error *error)
{
    const char *id = nullptr;
    const char *who = nullptr;
    std::int32_t signal = 0;
    int result = sd_bus_message_read(call, "ssi", &id, &who, &signal);
    if (result < 0)
        return result;
    recordCall(std::string("KillSession ") + id + " " + who + " " + std::to_string(signal));
    result = knownSession(id, error);
    return result < 0 ? result : sd_bus_reply_method_return(call, "");
}

int terminateSession(sd_bus_message *call, void *, sd_bus_error *error)
{
    const char *id = nullptr;
    int result = sd_bus_message_read(call, "s", &id);
    if (result < 0)
        return result;
    recordCall(std::string("TerminateSession ") + id);
    result = knownSession(id, error);
    return result < 0 ? result : sd_bus_reply_method_return(call, "");
}

const sd_bus_vtable managerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ListSessions", "", "a(susso)", listSessions, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("KillSession", "ssi", "", killSession, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("TerminateSession", "s", "", terminateSession, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// ---------------------------------------------------------------- the sessions

int findSession(sd_bus *, const char *path, const char *, void *, void **found, sd_bus_error *)
{
    char *id = nullptr;
    if (sd_bus_path_decode(path, sessionPrefix, &id) <= 0)
        return 0;
    auto session = service.byId.find(id);
    std::free(id);
    if (session == service.byId.end())
        return 0;
    *found = const_cast<Session *>(session->second);
    return 1;
}

const Session &sessionOf(void *userdata)
{
    return *static_cast<const Session *>(userdata);
}

using Getter = int (*)(sd_bus_message *reply, const Session &session);

template <Getter get>
int property(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply,
             void *userdata, sd_bus_error *)
{
    return get(reply, sessionOf(userdata));
}

int getId(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "s", session.id.c_str());
}

int getUser(sd_bus_message *reply, const Session &session)
{
    std::string path = "/org/freedesktop/login1/user/_" + std::to_string(session.uid);
    return sd_bus_message_append(reply, "(uo)", session.uid, path.c_str());
}

int getName(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "s", session.user.c_str());
}

int getTimestamp(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "t", session.seconds * 1000000);
}

int getTimestampMonotonic(sd_bus_message *reply, const Session &)
{
    return sd_bus_message_append(reply, "t", std::uint64_t{123456789});
}

int getSeat(sd_bus_message *reply, const Session &)
{
    return sd_bus_message_append(reply, "(so)", "", "/");
}

int getTty(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "s", session.tty.c_str());
}

int getEmptyText(sd_bus_message *reply, const Session &)
{
    return sd_bus_message_append(reply, "s", "");
}

int getRemote(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "b", session.tty.empty());
}

int getService(sd_bus_message *reply, const Session &)
{
    return sd_bus_message_append(reply, "s", "sshd");
}

int getScope(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "s", ("session-" + session.id + ".scope").c_str());
}

int getLeader(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "u", session.leader);
}

int getType(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "s", session.tty.empty() ? "unspecified" : "tty");
}

int getClass(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "s", session.sessionClass.c_str());
}

int getActive(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "b", session.state == "active");
}

int getState(sd_bus_message *reply, const Session &session)
{
    return sd_bus_message_append(reply, "s", session.state.c_str());
}

int getFalse(sd_bus_message *reply, const Session &)
{
    return sd_bus_message_append(reply, "b", 0);
}

int getZeroNumber(sd_bus_message *reply, const Session &)
{
    return sd_bus_message_append(reply, "u", std::uint32_t{0});
}

// logind's own properties, in its order: those the reader takes among
// those it must step over, of every shape.
const sd_bus_vtable sessionVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Id", "s", property<getId>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("User", "(uo)", property<getUser>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Name", "s", property<getName>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Timestamp", "t", property<getTimestamp>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("TimestampMonotonic", "t", property<getTimestampMonotonic>, 0,
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("VTNr", "u", property<getZeroNumber>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Seat", "(so)", property<getSeat>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("TTY", "s", property<getTty>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Display", "s", property<getEmptyText>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Remote", "b", property<getRemote>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("RemoteHost", "s", property<getEmptyText>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Service", "s", property<getService>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Scope", "s", property<getScope>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Leader", "u", property<getLeader>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Audit", "u", property<getZeroNumber>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Type", "s", property<getType>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Class", "s", property<getClass>, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Active", "b", property<getActive>, 0, 0),
    SD_BUS_PROPERTY("State", "s", property<getState>, 0, 0),
    SD_BUS_PROPERTY("IdleHint", "b", property<getFalse>, 0, 0),
    SD_BUS_PROPERTY("LockedHint", "b", property<getFalse>, 0, 0),
    SD_BUS_VTABLE_END,
};

int fail(const char *what, int result)
{
    std::fprintf(stderr, "fake_logind: %s: %s\n", what, std::strerror(-result));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: fake_logind SESSIONS CALLS\n");
        return 2;
    }
    service.sessionsFile = argv[1];
    service.callsFile = argv[2];
    readSessions();

    sd_bus *bus = nullptr;
    int result = sd_bus_open_system(&bus);
    if (result < 0)
        return fail("open the system bus", result);
    result = sd_bus_add_object_vtable(bus, nullptr, managerPath, "org.freedesktop.login1.Manager",
                                      managerVtable, nullptr);
    if (result < 0)
        return fail("add the manager", result);
    result =
        sd_bus_add_fallback_vtable(bus, nullptr, sessionPrefix, "org.freedesktop.login1.Session",
                                   sessionVtable, findSession, nullptr);
    if (result < 0)
        return fail("add the sessions", result);
    result = sd_bus_request_name(bus, "org.freedesktop.login1", 0);
    if (result < 0)
        return fail("take the name", result);
    std::printf("ready\n");
    std::fflush(stdout);

    for (;;) {
        result = sd_bus_process(bus, nullptr);
        if (result > 0)
            continue;
        if (result == 0)
            result = sd_bus_wait(bus, UINT64_MAX);
        // The bus going away ends the service.
        if (result < 0 && result != -EINTR)
            break;
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
