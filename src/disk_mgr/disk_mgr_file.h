// Crash-safe JSON files and the registry file format.
//
// SaveCJsonToFile / LoadCJsonFromFile keep one JSON document per file by way
// of a write-ahead copy "<path>.wal": a save writes the copy completely, then
// removes the old file and renames the copy over it; a load prefers a copy
// that parses (it is the newer document) and moves it into place. At every
// instant the disk holds the old or the new document, never neither and never
// a mix, provided saves of the same file do not overlap: callers serialise
// them (the registry under the data manager's lock, the configuration under
// its own lock). Nothing is flushed to the device: the protocol protects
// against the process dying, not against the machine losing power.
//
// All file access goes through g_fileSysOps (file_sys.h). Messages carry the
// module tag "DISK_MGR". Documents passed in stay owned by the caller;
// documents returned are owned by the caller (release with cJSON_Delete).
#pragma once

#include <sys/types.h>

#include <cstdint>

#include <cjson/cJSON.h>

#include "disk_mgr/disk_mgr.h"

inline constexpr mode_t DISK_MGR_FILE_MODE = 0640;
inline constexpr const char *SPK_SERVICE_USER = "spindlekeep_user";
inline constexpr const char *SPK_SERVICE_GROUP = "spindlekeep_group";

// Saves `doc` to `path` through "<path>.wal"; the file gets `mode` and the
// owner user:group. 0 or -1; on -1 the old file is untouched unless the
// failure came at the final rename, in which case the WAL file holds the new
// document and the next load recovers it.
[[nodiscard]] int SaveCJsonToFile(const char *path, const cJSON *doc, mode_t mode,
                                  const char *user, const char *group);

// Loads the document of `path`, recovering it from a parsable "<path>.wal"
// (which then replaces `path`). Null when neither parses.
[[nodiscard]] cJSON *LoadCJsonFromFile(const char *path);

// Writes `doc`, formatted, to exactly `path` (created anew, see FileSysCreateFresh), with
// `mode` and owner user:group set before any byte is written. A failure to set
// them deletes the file again. 0 or -1.
[[nodiscard]] int TrySaveCJsonToFile(const char *path, const cJSON *doc, mode_t mode,
                                     const char *user, const char *group);

// Reads and parses exactly `path`; the whole file must be one JSON value
// (trailing whitespace allowed). Null on any failure.
[[nodiscard]] cJSON *TryLoadCJsonFromFile(const char *path);

// "<path>.wal" in memory from KeeperAlloc (release with KeeperFree); null on
// failure.
[[nodiscard]] char *GetWalFileName(const char *path);

// chmod, then look up user and group, then chown, all on the open descriptor
// `fd` (`path` only names the file in messages). 0 or -1 at the first failure.
[[nodiscard]] int SetFilePermission(int fd, const char *path, mode_t mode, const char *user,
                                    const char *group);

// The registry document: an array with one object per occupied slot of
// `objs[0..num)`, in slot order. 0 and *out (caller owns), or -1.
[[nodiscard]] int ConvertDiskMgrObjs2cJSON(DiskMgrObj *const *objs, uint32_t num, cJSON **out);
// One element, members in file order; null on failure.
[[nodiscard]] cJSON *ConvertSingleDiskMgrObj2cJSON(const DiskMgrObj *obj);

// Validates one element (CheckCJsonIsValidDiskInfo: 0 or -1) and fills the
// zero-filled `out` from it (ParseCJson2DiskInfo: 0 or non-zero). Keys are
// matched without regard to case. `deviceName` becomes "unknown".
[[nodiscard]] int CheckCJsonIsValidDiskInfo(const cJSON *elem);
[[nodiscard]] int ParseCJson2DiskInfo(const cJSON *elem, DiskBaseInfo *out);

// Checks of the validation table, exposed for their tests.
// Accepts low <= value < high; low >= high is a caller error and fails.
[[nodiscard]] int CheckUIntInRange(uint32_t value, uint32_t low, uint32_t high);
// 0 when `item` is a number within the limits of check id `checkId`, else -1.
[[nodiscard]] int CheckCJsonNumValue(const cJSON *item, uint32_t checkId);
// 0 when strlen(str) < limit, else -1.
[[nodiscard]] int CheckStrInLimitLength(const char *str, size_t limit);
// 0 when `item` is a string within the limits of check id `checkId`, else -1.
[[nodiscard]] int CheckCJsonStrValue(const cJSON *item, uint32_t checkId);
// The sentinel row's check: always -1.
[[nodiscard]] int CheckCJsonError(const cJSON *item, uint32_t checkId);

// Adds a number or string member; the string add fails unless the stored text
// equals `value`. 0 or -1.
[[nodiscard]] int DiskMgrAddNumToCJson(cJSON *obj, const char *name, uint32_t value);
[[nodiscard]] int DiskMgrAddStringToCJson(cJSON *obj, const char *name, const char *value);

// The u32 a JSON number stands for, truncated toward zero and wrapped modulo
// 2^32 (NaN and infinities give 0). Well defined for every double, unlike a
// plain cast.
[[nodiscard]] uint32_t JsonNumberToU32(double value);
