// Fault injection for the persistence code's file-call table (file_sys.h),
// in the manner of SQLite's test_syscall: count the calls of each slot, fail
// the Nth one with a chosen errno (once or from then on); a failed user or
// group lookup reads as a missing name.
//
// While a FileFault exists the table holds counting wrappers around the
// system's calls; the destructor restores the system's table. One at a time,
// single-threaded use.
#pragma once

#include <cstdint>

#include "disk_mgr/file_sys.h"

class FileFault {
public:
    FileFault();
    ~FileFault();
    FileFault(const FileFault &) = delete;
    FileFault &operator=(const FileFault &) = delete;

    // The nth call of `id` from now on (1 = the next one) fails with `err`;
    // with `sticky` every later call of `id` fails too.
    void FailNth(FileSysId id, int n, int err, bool sticky = false);
    // Calls of `id` since construction or the last Reset.
    int Calls(FileSysId id) const;
    // Calls of all slots since construction or the last Reset.
    int TotalCalls() const;
};
