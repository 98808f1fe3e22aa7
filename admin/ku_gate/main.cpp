// ku_gate: the login gate, run by PAM's pam_exec. In the account stage it
// refuses an expired account, a login that the monitor would end at its
// next cycle, and a user without an account where the site requires one;
// in the session stage it tells the user where they stand. It never holds
// a login up for long: what it cannot judge within 2 seconds it lets pass.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "monitor.h"

namespace
{

constexpr auto judgementBound = std::chrono::seconds(2);

enum class Stage { account, session, other };

// What the judging child answered: its last line, or why it gave none.
struct Answer {
    bool given = false;
    std::string text; // "admit", "refuse <rule>", "word <text>"; else the reason
};

// The child's report of each step, so that a step that never ends can be
// named; the last line is the answer.
void say(const char *prefix, const std::string &text)
{
    std::printf("%s%s\n", prefix, text.c_str());
    std::fflush(stdout);
}

PassFacts factsNow()
{
    ProcessTable processes;
    // Only modem lines make the lines busy, and only processes fill them.
    if (Settings.Devices.lines > 0) {
        say("step ", "process table");
        scanProcesses(processes);
    }
    return factsAt(std::time(nullptr), Settings, linesBusyOf(processes, Settings));
}

// The judgement, made in a child whose standard output and error are the
// pipe to the gate: the library's error exits report there, too.
[[noreturn]] void judge(const std::string &login, Stage stage)
{
    say("step ", "configuration file");
    readConfig();
    say("step ", "password database");
    std::optional<uid_t> uid = loginUid(login.c_str());
    if (!uid) {
        // Not this gate's to refuse: the password database's modules are.
        say("", "admit");
        std::exit(0);
    }
    Applicant applicant;
    applicant.uid = *uid;
    applicant.guest = isGuest(*uid, nameToUid("guest"));
    say("step ", "account file");
    applicant.account = readAccountOf(*uid);
    PassFacts facts = factsNow();
    if (stage == Stage::session) {
        say("word ", loginWord(applicant, Settings, facts));
    } else {
        Admission admission = admitLogin(applicant, Settings, facts);
        say("", admission.admitted ? "admit" : "refuse " + admission.rule);
    }
    std::exit(0);
}

// Reads what the child says until it ends or the bound is reached.
std::string readUntil(int fd, std::chrono::steady_clock::time_point deadline, bool &ended)
{
    std::string received;
    ended = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return received;
        pollfd ready{fd, POLLIN, 0};
        int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            return received;
        char buffer[512];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ended = true;
            return received;
        }
        received.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string lastLine(const std::string &text)
{
    std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
    std::size_t start = trimmed.rfind('\n');
    return start == std::string::npos ? trimmed : trimmed.substr(start + 1);
}

// The answer of the last line, or the reason there is none: the step left
// unfinished at the bound, or the error the child ended with.
Answer answerOf(const std::string &said, bool ended, int status)
{
    std::string last = lastLine(said);
    if (!ended) {
        std::string step = last.starts_with("step ") ? last.substr(5) : "judgement";
        return {false, step + " not read within 2 s"};
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !last.starts_with("step "))
        return {true, last};
    if (last.empty() || last.starts_with("step "))
        return {false, "judgement failed"};
    return {false, last};
}

Answer judgeWithin(const std::string &login, Stage stage)
{
    auto deadline = std::chrono::steady_clock::now() + judgementBound;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return {false, std::string("pipe: ") + std::strerror(errno)};
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return {false, std::string("fork: ") + std::strerror(errno)};
    }
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        judge(login, stage);
    }
    close(pipeFds[1]);
    bool ended = false;
    std::string said = readUntil(pipeFds[0], deadline, ended);
    close(pipeFds[0]);
    if (!ended)
        kill(child, SIGKILL);
    return answerOf(said, ended, waitForChild(child));
}

int account(const std::string &login)
{
    Answer answer = judgeWithin(login, Stage::account);
    if (!answer.given) {
        syslog(LOG_WARNING, "admitted %s unchecked: %s", login.c_str(), answer.text.c_str());
        return 0;
    }
    if (!answer.text.starts_with("refuse "))
        return 0;
    std::string rule = answer.text.substr(7);
    syslog(LOG_NOTICE, "refused %s: %s", login.c_str(), rule.c_str());
    std::fprintf(stderr, "refused %s: %s\n", login.c_str(), rule.c_str());
    return 1;
}

int session(const std::string &login)
{
    Answer answer = judgeWithin(login, Stage::session);
    if (!answer.given) {
        syslog(LOG_WARNING, "no word for %s: %s", login.c_str(), answer.text.c_str());
        return 0;
    }
    if (answer.text.size() > 5)
        std::printf("%s\n", answer.text.substr(5).c_str());
    return 0;
}

Stage stageNamed(const std::string &type)
{
    if (type == "account")
        return Stage::account;
    if (type == "open_session")
        return Stage::session;
    return Stage::other;
}

// A login as a password database can hold it: no control characters, which
// would also forge lines in the system log.
bool plausibleLogin(const std::string &login)
{
    return !login.empty() && login.size() < loginNameSize &&
           std::none_of(login.begin(), login.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string environmentValue(const char *name)
{
    const char *value = std::getenv(name);
    return value == nullptr ? std::string() : value;
}

} // namespace

int main()
{
    std::string login = environmentValue("PAM_USER");
    std::string type = environmentValue("PAM_TYPE");
    // Nothing else of the caller's is trusted: no locale, no PATH, no TZ.
    clearenv();
    if (type.empty() || !plausibleLogin(login))
        errorExit("usage: PAM_TYPE=account|open_session PAM_USER=<login> ku_gate");
    openlog("ku_gate", LOG_PID, LOG_AUTHPRIV);
    switch (stageNamed(type)) {
    case Stage::account:
        return account(login);
    case Stage::session:
        return session(login);
    case Stage::other:
        break;
    }
    return 0;
}
