// The one reporter: every warning and fatal message is composed whole and
// handed to the output in force; the fatal ones then close the record files
// and end the process.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "common.h"
#include "internal.h"

namespace
{

ReportOutput reportOutput = nullptr; // null: the default channels

// Where a message goes by default: errorExit answers the command's user on
// standard output, everything else is said on standard error.
enum class Channel { standardOutput, standardError };

void deliver(Severity severity, Channel channel, const std::string &message)
{
    if (reportOutput != nullptr) {
        reportOutput(severity, message.c_str());
        return;
    }
    if (channel == Channel::standardOutput) {
        // After what the command printed before, and out before it ends.
        std::fputs(message.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        return;
    }
    // Standard error is unbuffered: what stdout still holds follows at exit,
    // as with perror.
    std::fprintf(stderr, "%s\n", message.c_str());
}

std::string composed(const char *format, std::va_list args)
{
    std::va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (length <= 0)
        return {};
    std::string message(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(message.data(), message.size(), format, args);
    message.pop_back();
    return message;
}

// "label: reason", or the reason alone without a label, as perror writes.
std::string withReason(const char *label, int reason)
{
    std::string message;
    if (label != nullptr && *label != '\0')
        message = std::string(label) + ": ";
    return message + std::strerror(reason);
}

[[noreturn]] void endAfter(Channel channel, const std::string &message)
{
    deliver(Severity::fatal, channel, message);
    closeRecordFiles();
    std::exit(1);
}

// A command whose output was lost has not done what it says it did.
void closeStandardOutput()
{
    bool failedBefore = std::ferror(stdout) != 0;
    errno = 0;
    bool closed = std::fclose(stdout) == 0;
    if (closed && !failedBefore)
        return;
    // The reason went with the write that failed.
    deliver(Severity::fatal, Channel::standardError, withReason("stdout", closed ? EIO : errno));
    _exit(1);
}

} // namespace

void setReportOutput(ReportOutput output)
{
    reportOutput = output;
}

void closeRecordFiles()
{
    if (userFile != nullptr)
        userFileClose();
    if (banFile != nullptr)
        banFileClose();
}

void errorExit(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::string message = composed(format, args);
    va_end(args);
    endAfter(Channel::standardOutput, message);
}

void perrorExit(const char *label)
{
    endAfter(Channel::standardError, withReason(label, errno));
}

void checkFailed(const char *source, const char *operation, const char *condition)
{
    int reason = errno;
    std::string message =
        std::string(source) + ": " + operation + ": assertion \"" + condition + "\" failed";
    if (reason != 0)
        message += std::string(": ") + std::strerror(reason);
    endAfter(Channel::standardError, message);
}

void warning(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::string message = composed(format, args);
    va_end(args);
    deliver(Severity::warning, Channel::standardError, message);
}

void checkOutputAtExit()
{
    std::atexit(closeStandardOutput);
}
