// The install prefix: the directory two levels above the running executable
// (P for P/bin/spindlekeepd). Every daemon file is addressed as "%s/%s" of the
// prefix and a relative name; the prefix never ends with a slash.
//
// Resolved once on the main thread before any other thread exists; read-only
// afterwards, so readers need no lock.
#pragma once

// Resolves the prefix from /proc/self/exe. 0 on success, 1 on any failure
// (the messages go straight to standard output: logging does not exist yet).
[[nodiscard]] int InitConfigPrefix();

// The current prefix; "/opt/spindlekeep" until resolved. Never null.
const char *GetConfigPrefix();

// Stores a heap copy of `path` as the prefix (freeing an earlier copy, so
// call it only while no other thread reads the prefix). 0, or 1 with the old
// prefix kept.
[[nodiscard]] int SetConfigPrefix(const char *path);

// Cuts `path` at its last '/'; leaves it alone when there is none.
void StripLastPathComponent(char *path);

// Resolves a prefix from an executable path as InitConfigPrefix does with the
// one read from /proc/self/exe (split out so the rules can be tested).
[[nodiscard]] int ConfigPrefixFromExePath(const char *exePath);
