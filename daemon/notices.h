// The users' terminals as the monitor reaches them: by the line a login
// record names, never through a link and never a device that is no
// terminal; and the mail that tells a disconnected link user why.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "common.h"
#include "policy.h"

// "/dev/" and a line name.
using TerminalPath = std::array<char, 5 + lineNameSize>;
TerminalPath terminalPath(const char *line);
// The device number of a terminal line; none if the line does not name a
// terminal under /dev (any more).
std::optional<DeviceNumber> terminalDevice(const char *line);
// When the terminal a line names was last typed on; none if it cannot be
// asked.
std::optional<std::time_t> terminalLastInput(const char *line);
// Opens the terminal a line names; -1 if it cannot.
int openTerminal(const char *line, int flags);
// Writes a notice onto a terminal that accepts messages. `keepTimes`: the
// terminal's times are put back, as the idle rule reads them.
void notifyTerminal(const char *line, const char *notice, bool keepTimes);
// Mails the user the notice file of the reason, to the login, and "@" and
// `mailHost` when that is not empty.
void mailNotice(std::uint16_t uid, NoticeReason reason, const char *mailHost);
