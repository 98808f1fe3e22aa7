// The fixed texts of the assertion diagnostics ("common: userFileOpen:
// assertion "userFileFD >= 0" failed: ..."). They are part of the programs'
// interface, matched by administrators' scripts and by the tests, and fixed
// to the byte: their look of C code and their uneven spacing are as they
// must be and must not be "fixed".
#pragma once

namespace fixedText
{

// Who a diagnostic names: the library, or a command's main.
inline constexpr const char *library = "common";
inline constexpr const char *commandMain = "main";

// The operations.
inline constexpr const char *userFileOpen = "userFileOpen";
inline constexpr const char *banFileOpen = "banFileOpen";
inline constexpr const char *fCopy = "fCopy";

// The conditions quoted.
inline constexpr const char *userFileOpened = "userFileFD >= 0";
inline constexpr const char *banFileOpened = "banFileFD >= 0";
inline constexpr const char *fileLocked = "flock succeeded";
inline constexpr const char *streamOpened = "fdopen succeeded";
inline constexpr const char *copySourceOpened = "s != ((void *)0)";
inline constexpr const char *copyDestinationOpened = "d != ((void *)0)";
inline constexpr const char *userFileCopyCreated = "tUserFile != ((void *) 0)";
inline constexpr const char *banFileCopyCreated = "tBanFile != ((void *)0)";
inline constexpr const char *reconciledCopyCreated = "tmp_user != ((void *) 0)";

} // namespace fixedText
