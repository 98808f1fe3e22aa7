// ku_gate as PAM runs it for the real sshd: the account check that keeps
// out a user the monitor would disconnect at once, the line a session
// opens with, and a login that a held account file must not keep waiting.
// (gate_stages_test.cpp runs the program alone, without sshd.)
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "sandbox.h"
#include "ssh.h"

using namespace sandbox;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

namespace
{

// The stack a site puts in /etc/pam.d/sshd: keys are the only way in, so
// nothing asks for a password; pam_unix and pam_systemd are left out, as
// the sandbox's users have no shadow entries and no logind answers.
const char *gateStack = "auth      required pam_permit.so\n"
                        "account   required pam_exec.so quiet /usr/sbin/ku_gate\n"
                        "account   required pam_permit.so\n"
                        "session   optional pam_exec.so stdout /usr/sbin/ku_gate\n"
                        "session   required pam_permit.so\n"
                        "password  required pam_deny.so\n";

constexpr int authNotice = 80 + 5;  // LOG_AUTHPRIV | LOG_NOTICE
constexpr int authWarning = 80 + 4; // LOG_AUTHPRIV | LOG_WARNING

// What a login that gets in prints, and the command that prints it.
const std::string loggedIn = "logged-in";
const std::string loginCommand = "echo " + loggedIn;
// sshd's own word for a login its PAM account stack refused.
const std::string pamRefusal = "by PAM account configuration";

// How many lines ku_gate logged at `priority` whose message is `message`,
// whole: "<priority>timestamp ku_gate[pid]: message".
int gateLogged(const std::vector<std::string> &lines, int priority, const std::string &message)
{
    int count = 0;
    std::string start = "<" + std::to_string(priority) + ">";
    for (std::string line : lines) {
        if (line.ends_with("\n"))
            line.pop_back();
        std::size_t at = line.find(" ku_gate");
        if (!line.starts_with(start) || at == std::string::npos)
            continue;
        at += 8;
        if (at < line.size() && line[at] == '[')
            at = line.find(']', at) + 1;
        if (at != 0 && line.compare(at, std::string::npos, ": " + message) == 0)
            ++count;
    }
    return count;
}

// Every line ku_gate logged, for the failure messages.
std::string gateLines(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines) {
        if (line.find(" ku_gate") != std::string::npos)
            text += line + "\n";
    }
    return text.empty() ? "(none)\n" : text;
}

std::int32_t now()
{
    return static_cast<std::int32_t>(std::time(nullptr));
}

UserRecord totalLeft(uid_t uid, std::int32_t limit, std::int32_t left)
{
    UserRecord record = accountFor(uid);
    record.tLimit = limit;
    record.tLeft = left;
    return record;
}

UserRecord expiringIn(uid_t uid, std::int32_t seconds)
{
    UserRecord record = accountFor(uid);
    record.expire = now() + seconds;
    return record;
}

struct LoginCase {
    const char *name;
    std::string config;
    std::vector<UserRecord> (*accounts)(); // made when the test runs: expiries move
    User user;
    std::string rule; // the rule that refuses the login; empty when it passes
};

void PrintTo(const LoginCase &given, std::ostream *out)
{
    *out << given.name;
}

class GateLogins : public SystemTest, public ::testing::WithParamInterface<LoginCase>
{
};

TEST_P(GateLogins, TheAccountCheckDecidesTheLogin)
{
    const LoginCase &given = GetParam();
    writeConfig(given.config);
    writeAccounts(given.accounts());
    SshServer server(gateStack);
    syslogLines();

    SshAttempt attempt = attemptLogin(server, given.user, loginCommand);
    std::vector<std::string> lines = syslogLines();
    std::string context = "client: " + attempt.result.err + attempt.result.out +
                          "\nku_gate logged:\n" + gateLines(lines) + "sshd:\n" + server.log();
    if (given.rule.empty()) {
        EXPECT_EQ(attempt.result.status, 0) << context;
        EXPECT_THAT(attempt.result.out, HasSubstr(loggedIn)) << context;
        EXPECT_THAT(gateLines(lines), Not(HasSubstr("refused"))) << context;
    } else {
        EXPECT_EQ(attempt.result.status, 255) << "the client got in\n" << context;
        EXPECT_THAT(attempt.result.out, Not(HasSubstr(loggedIn))) << context;
        EXPECT_THAT(server.log(), HasSubstr(pamRefusal)) << context;
        EXPECT_EQ(gateLogged(lines, authNotice,
                             "refused " + std::string(given.user.name) + ": " + given.rule),
                  1)
            << context;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Gate, GateLogins,
    ::testing::Values(
        LoginCase{"spent", "", [] { return std::vector{totalLeft(alice.uid, 120, 0)}; }, alice,
                  "total"},
        // The minute the monitor charges first would spend it.
        LoginCase{"lastMinute", "", [] { return std::vector{totalLeft(alice.uid, 120, 1)}; }, alice,
                  "total"},
        LoginCase{"twoMinutesLeft", "", [] { return std::vector{totalLeft(alice.uid, 120, 2)}; },
                  alice, ""},
        LoginCase{"sessionSpent", "",
                  [] {
                      UserRecord record = accountFor(alice.uid);
                      record.sLeft = 1;
                      return std::vector{record};
                  },
                  alice, "session"},
        LoginCase{"expired", "",
                  [] {
                      return std::vector{accountFor(alice.uid), expiringIn(bob.uid, -3600)};
                  },
                  bob, "expired"},
        LoginCase{"expiresTomorrow", "", [] { return std::vector{expiringIn(bob.uid, 24 * 3600)}; },
                  bob, ""},
        LoginCase{"noAccount", "", [] { return std::vector{accountFor(alice.uid)}; }, bob, ""},
        LoginCase{"noAccountRequired", "RequireAccount\n",
                  [] { return std::vector{accountFor(alice.uid)}; }, bob, "no account"},
        LoginCase{"accountRequiredAndHeld", "RequireAccount\n",
                  [] { return std::vector{accountFor(alice.uid)}; }, alice, ""},
        // The logins after the key are exempt, and only they.
        LoginCase{"noAccountNotExempt", "RequireAccount carol\n",
                  [] { return std::vector{accountFor(alice.uid)}; }, bob, "no account"},
        LoginCase{"noAccountExempt", "RequireAccount carol\n",
                  [] { return std::vector{accountFor(alice.uid)}; }, carol, ""}),
    [](const ::testing::TestParamInfo<LoginCase> &param) { return std::string(param.param.name); });

struct SessionCase {
    const char *name;
    std::string config;
    UserRecord (*account)();
    User user;
    std::string line; // what the terminal shows; empty for none
};

void PrintTo(const SessionCase &given, std::ostream *out)
{
    *out << given.name;
}

class GateSessions : public SystemTest, public ::testing::WithParamInterface<SessionCase>
{
};

TEST_P(GateSessions, ASessionOpensWithTheTimeLeft)
{
    const SessionCase &given = GetParam();
    writeConfig(given.config);
    writeAccounts({given.account()});
    SshServer server(gateStack);
    // No command: sshd shows the login's messages before the shell only.
    SshLogin login(server, given.user, "");
    ASSERT_FALSE(login.line().empty());
    if (given.line.empty()) {
        // The shell's prompt comes after any message.
        std::string shown = login.output("$ ", 10s);
        EXPECT_THAT(shown, HasSubstr("$ ")) << "no prompt\n" << server.log();
        EXPECT_THAT(shown, Not(HasSubstr("Kestrune:")));
    } else {
        // Through the terminal the newline arrives as "\r\n".
        std::string expected = given.line + "\r\n";
        EXPECT_THAT(login.output(expected, 10s), HasSubstr(expected)) << server.log();
    }
    EXPECT_FALSE(login.ended()) << "the session did not go on";
}

INSTANTIATE_TEST_SUITE_P(
    Gate, GateSessions,
    ::testing::Values(
        // What is left after the minute the next cycle charges.
        SessionCase{"total", "", [] { return totalLeft(alice.uid, 600, 50); }, alice,
                    "Kestrune: 49 minutes left (total limit)"},
        SessionCase{"sessionAndIdle", "IdleBoot 10\n",
                    [] {
                        UserRecord record = accountFor(alice.uid);
                        record.sLimit = record.sLeft = 43;
                        record.flags |= flagIdleBoot; // the account's own switch for the rule
                        return record;
                    },
                    alice,
                    "Kestrune: 42 minutes left (session limit); idle logout after 10 minutes"},
        SessionCase{"noAccount", "", [] { return accountFor(alice.uid); }, bob, ""}),
    [](const ::testing::TestParamInfo<SessionCase> &param) {
        return std::string(param.param.name);
    });

using Gate = SystemTest;

TEST_F(Gate, AHeldAccountFileKeepsNoLoginWaiting)
{
    writeConfig("");
    writeAccounts({totalLeft(alice.uid, 600, 50)});
    ASSERT_EQ(run({"ku_stamp", "alice"}).status, 0); // lays out the writers' lock
    SshServer server(gateStack);
    syslogLines();

    // A root writer at work, as long as the login takes and longer.
    int writers = open("/run/kestrune/kestrune_users.lock", O_RDWR | O_CLOEXEC);
    ASSERT_GE(writers, 0);
    ASSERT_EQ(flock(writers, LOCK_EX), 0);
    SshAttempt held = attemptLogin(server, alice, loginCommand, 60s);
    std::vector<std::string> lines = syslogLines();
    // The account check alone, as pam_exec runs it.
    auto begun = std::chrono::steady_clock::now();
    Running alone = start({"ku_gate"}, 0, {"PAM_USER=alice", "PAM_TYPE=account"});
    Result gate = finish(alone);
    auto gateTook = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - begun);
    std::vector<std::string> gateAloneLines = syslogLines();
    close(writers);

    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(held.took);
    std::string context = "client: " + held.result.err + held.result.out + "\nku_gate logged:\n" +
                          gateLines(lines) + "sshd:\n" + server.log();
    EXPECT_EQ(held.result.status, 0) << context;
    EXPECT_THAT(held.result.out, HasSubstr(loggedIn)) << context;
    // At most two seconds for the account check, two for the session's
    // line, and the login itself: far below sshd's two minutes of grace.
    EXPECT_LT(took, 6s) << "the login took " << took.count() << " ms\n" << context;
    EXPECT_EQ(gateLogged(lines, authWarning,
                         "admitted alice unchecked: account file not read within 2 s"),
              1)
        << context;
    EXPECT_EQ(gate.status, 0);
    EXPECT_EQ(gate.out + gate.err, "");
    EXPECT_LT(gateTook, 3s) << "the account check alone took " << gateTook.count() << " ms";
    EXPECT_EQ(gateLogged(gateAloneLines, authWarning,
                         "admitted alice unchecked: account file not read within 2 s"),
              1)
        << gateLines(gateAloneLines);

    // With the writer done, the record is read again and decides.
    writeAccounts({totalLeft(alice.uid, 600, 0)});
    SshAttempt after = attemptLogin(server, alice, loginCommand);
    lines = syslogLines();
    EXPECT_EQ(after.result.status, 255) << gateLines(lines);
    EXPECT_EQ(gateLogged(lines, authNotice, "refused alice: total"), 1) << gateLines(lines);
}

} // namespace
