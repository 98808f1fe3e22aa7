// Where the shared files of every program live on the host.
#pragma once

inline constexpr const char *productDir = "/usr/lib/Kestrune";
inline constexpr const char *userFilePath = "/usr/lib/Kestrune/kestrune_users";
inline constexpr const char *banFilePath = "/usr/lib/Kestrune/banned_users";
inline constexpr const char *configPath = "/usr/lib/Kestrune/kestrune.config";
inline constexpr const char *utmpPath = "/var/run/utmp";
