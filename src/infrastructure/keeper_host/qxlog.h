// Host log service.
//
// Records go to "<dir>/spindlekeep.log" in the directory set with
// qxlog_set_file_path_ext, one line per record. Thread safe. Until
// qxlog_init succeeded, records are written to standard error.
#pragma once

#include <cstdint>

void qxlog(uint32_t module, uint32_t level, const char *file, uint32_t line, const char *func,
           uint32_t flags, const char *fmt, ...) __attribute__((format(printf, 7, 8)));
int qxlog_set_file_path_ext(const char *dir, const char *dir2);
int qxlog_init();
int qxlog_set_backup_num(uint32_t num);
void qxlog_destroy();
// Current level for a module (default 6, INFO).
uint32_t qxlog_loglevel_get(uint32_t module);
// Writes out buffered records. Async-signal-safe: no locks, no allocation.
void qxlog_flush_signal_safe();
