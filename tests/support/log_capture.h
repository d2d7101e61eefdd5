// Captures the daemon's log records in a test.
//
// While a LogCapture exists, every record that passes the level check (before
// or after the OS adapter is installed) is kept, fully formatted. Only one
// LogCapture may exist at a time. Thread safe.
#pragma once

#include <string>

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Number of records whose message contains `text` (and, if given, has that level).
    int Count(const std::string &text, int level = -1) const;
    bool Contains(const std::string &text, int level = -1) const { return Count(text, level) > 0; }
    // Messages in order, for readable failure output.
    std::string Dump() const;
    void Clear();
};
