// ku_why's layouts. The text is two columns, a label and what it says;
// the limits are a small table of their own.
#include "report.h"

#include <cstdio>
#include <ctime>

namespace
{

constexpr int labelWidth = 14;

std::string localTime(std::int32_t when)
{
    std::time_t time = when;
    std::tm local{};
    char text[32] = "?";
    if (localtime_r(&time, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

void row(const std::string &label, const std::string &text)
{
    std::printf("%-*s%s\n", labelWidth, label.c_str(), text.c_str());
}

std::string connectionText(const Connection &connection)
{
    std::string where = connection.line.empty() ? "session " + connection.session + " (no terminal)"
                                                : connection.line;
    return where + " since " + localTime(connection.since);
}

std::string limitLabel(const Limit &limit, const Outlook &outlook)
{
    if (limit.rule == Cause::timeClass)
        return "time class " + std::to_string(outlook.facts.timeClass);
    if (limit.rule == Cause::idle)
        return std::string("idle on ") + outlook.terminal.data();
    return causeText(limit.rule);
}

std::string appliesText(const Limit &limit)
{
    return limit.applies ? "yes" : "no, a line is free";
}

void printLimitRow(const std::string &label, int minutes, const std::string &applies)
{
    std::printf("%-*s%5d  %s\n", labelWidth, label.c_str(), minutes, applies.c_str());
}

void printLimits(const WhyReport &report)
{
    const Outlook &outlook = report.outlook;
    std::printf("%-*s%5s  %s\n", labelWidth, "limit", "left", "applies");
    if (outlook.verdict.limits.count == 0 && report.idle.empty())
        std::printf("none\n");
    for (const Limit &limit : outlook.verdict.limits)
        printLimitRow(limitLabel(limit, outlook), limit.minutesLeft, appliesText(limit));
    // The monitor measures one terminal; the others are shown for the user.
    for (const TerminalIdle &idle : report.idle) {
        if (!idle.judged)
            printLimitRow("idle on " + idle.line, idle.minutesLeft, "no, not the one measured");
    }
}

std::string bindingText(const Verdict &verdict)
{
    if (verdict.minutesLeft == unlimitedMinutes)
        return limitHeldBack(verdict) ? "none while a line is free" : "none";
    return limitName(verdict.cause) + ", " + minutesText(verdict.minutesLeft) + " left";
}

bool charges(const WhyReport &report)
{
    const UserRecord &before = report.record;
    const UserRecord &after = report.outlook.charged;
    return before.tLeft != after.tLeft || before.sLeft != after.sLeft ||
           before.cLeft != after.cLeft;
}

std::string nextCycleText(const WhyReport &report)
{
    const Outlook &outlook = report.outlook;
    if (!outlook.connected)
        return "nothing, not connected";
    std::string text = charges(report) ? "charges a minute" : "charges nothing";
    if (!outlook.warning.empty())
        text += "; warns \"" + outlook.warning + "\"";
    if (outlook.disconnect)
        text += std::string("; disconnects: ") + causeText(outlook.verdict.cause);
    else if (outlook.verdict.disconnect)
        text += "; never disconnects root";
    return text;
}

std::string linesText(const PassFacts &facts)
{
    return facts.linesBusy ? "all busy" : "a line is free";
}

std::string expiryText(std::int32_t expire)
{
    return expire == 0 ? "never" : localTime(expire);
}

// ------------------------------------------------------------------ JSON

std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

const char *boolean(bool value)
{
    return value ? "true" : "false";
}

// Minutes as a number, or null for no limit.
std::string minutesJson(int minutes)
{
    return minutes == unlimitedMinutes ? "null" : std::to_string(minutes);
}

template <typename T, typename F> std::string jsonList(const T &items, const F &format)
{
    std::string out = "[";
    for (const auto &item : items)
        out += (out.size() > 1 ? "," : "") + format(item);
    return out + "]";
}

} // namespace

void printText(const WhyReport &report)
{
    const Outlook &outlook = report.outlook;
    row("login", report.login + " (uid " + std::to_string(report.uid) + ")");
    row("time class",
        outlook.facts.timeClass < 0 ? "none" : std::to_string(outlook.facts.timeClass));
    row("lines", linesText(outlook.facts));
    if (report.connections.empty())
        row("connected", "no");
    for (std::size_t i = 0; i < report.connections.size(); ++i)
        row(i == 0 ? "connected" : "", connectionText(report.connections[i]));
    row("expires", expiryText(report.record.expire));
    std::printf("\n");
    printLimits(report);
    std::printf("\n");
    row("binding", bindingText(outlook.verdict));
    row("next cycle", nextCycleText(report));
    row("login now", report.loginNow.admitted ? "admitted" : "refused: " + report.loginNow.rule);
}

void printJson(const WhyReport &report)
{
    const Outlook &outlook = report.outlook;
    const Verdict &verdict = outlook.verdict;
    std::string connections = jsonList(report.connections, [](const Connection &c) {
        return "{\"line\":" + quoted(c.line) + ",\"session\":" + quoted(c.session) +
               ",\"since\":" + std::to_string(c.since) + "}";
    });
    std::string limits = jsonList(verdict.limits, [](const Limit &limit) {
        return "{\"rule\":" + quoted(causeText(limit.rule)) +
               ",\"minutesLeft\":" + std::to_string(limit.minutesLeft) +
               ",\"applies\":" + boolean(limit.applies) + "}";
    });
    std::string idle = jsonList(report.idle, [](const TerminalIdle &terminal) {
        return "{\"line\":" + quoted(terminal.line) +
               ",\"minutesLeft\":" + std::to_string(terminal.minutesLeft) +
               ",\"judged\":" + boolean(terminal.judged) + "}";
    });
    std::string binding = verdict.minutesLeft == unlimitedMinutes
                              ? "null"
                              : "{\"rule\":" + quoted(causeText(verdict.cause)) +
                                    ",\"minutesLeft\":" + minutesJson(verdict.minutesLeft) + "}";
    std::printf("{\"login\":%s,\"uid\":%u,\"timeClass\":%s,\"linesBusy\":%s,\"expire\":%d,"
                "\"connected\":%s,\"limits\":%s,\"idle\":%s,\"binding\":%s,"
                "\"nextCycle\":{\"judged\":%s,\"charges\":%s,\"warning\":%s,\"disconnects\":%s},"
                "\"loginNow\":{\"admitted\":%s,\"rule\":%s}}\n",
                quoted(report.login).c_str(), static_cast<unsigned>(report.uid),
                outlook.facts.timeClass < 0 ? "null"
                                            : std::to_string(outlook.facts.timeClass).c_str(),
                boolean(outlook.facts.linesBusy), report.record.expire, connections.c_str(),
                limits.c_str(), idle.c_str(), binding.c_str(), boolean(outlook.connected),
                boolean(outlook.connected && charges(report)),
                outlook.warning.empty() ? "null" : quoted(outlook.warning).c_str(),
                boolean(outlook.disconnect), boolean(report.loginNow.admitted),
                report.loginNow.admitted ? "null" : quoted(report.loginNow.rule).c_str());
}
