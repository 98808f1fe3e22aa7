// Running other programs, copying a file, and small text helpers.
#pragma once

#include <cstdio>
#include <span>
#include <string_view>

// The text after the last "/" of a path, or the whole path without one.
const char *baseName(const char *path);
int runProgram(const char *path, ...) __attribute__((sentinel));
// Runs a program with a ready argument vector and waits for it: by its
// path, or looked up on PATH when `search` is set. A program that cannot
// be started prints `label` and the reason and gives 1.
int runVector(const char *program, const char *const *argv, bool search, const char *label);
// Copies the content of `source` over `destination`, made if missing, cut
// to the new length and synced; ends the process when a step fails. A plain
// copy: not for the record files, which are only ever replaced whole under
// their locks.
void fCopy(const char *source, const char *destination);

// Copies a text into a fixed buffer, cut to its capacity and terminated.
void copyText(std::span<char> out, std::string_view text);
