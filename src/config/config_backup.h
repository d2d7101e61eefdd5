// Backups of the configuration file in "<prefix>/userconfig_bak" (which the
// installation creates; the daemon does not), and recovery of a missing
// configuration file from the newest backup.
//
// A backup file is "spindlekeep_config_bak__<local time %Y-%m-%d-%H-%M-%S>";
// the fixed-width time stamp makes a descending byte sort put the newest
// first. A backup is written only when the configuration file differs from the
// newest backup; afterwards only the five newest remain. Two backups in the
// same second share a name and the later overwrites the earlier.
//
// Threads and locks: BackUpConfigFile runs on the backup task's thread or on
// the thread that changed the configuration, and holds the configuration lock
// exclusive throughout. RecoverConfigFromBak takes no lock: its caller
// (InitConfig) holds it.
//
// Results: 0 on success, 1 on failure, unless stated. Messages carry the tag
// "DISK_CONFIG".
#pragma once

#include <cstdint>
#include <ctime>

inline constexpr const char *CONFIG_BAK_DIR = "userconfig_bak";
inline constexpr const char *CONFIG_BAK_PREFIX = "spindlekeep_config_bak_";
inline constexpr uint32_t CONFIG_BAK_LIST_MAX = 50;
inline constexpr const char *CONFIG_BAK_TASK_NAME = "backup_user_config_task";
inline constexpr uint32_t CONFIG_BAK_PERIOD_MS = 600000;

// Backs the configuration file up if it changed since the newest backup.
[[nodiscard]] int BackUpConfigFile();

// Copies the newest backup into the place of the configuration file.
[[nodiscard]] int RecoverConfigFromBak();

// Submits / cancels the periodic backup task. The submission result is the
// schedule-task code (114 when it already runs), logged when non-zero.
int StartConfigBackUpTask();
int StopConfigBackUpTask();

// The backup names (file names, not paths), newest first, at most 50 taken in
// directory order; *count gets their number. Null on failure. Release with
// FreeBackupConfigNameList.
[[nodiscard]] char **GetALLBackupConfigNameList(int32_t *count);
void FreeBackupConfigNameList(char **list, int32_t count);

// The clock that stamps backup names; null restores time(). Tests only.
void SetConfigBakClock(time_t (*now)());
