// The online/offline refresh and the vendor whitelist.
//
// Every 5 seconds data collection hands the serial numbers of all disks its
// agents list to DiskSerialNumberRefresh. Registered disks missing from that
// list are taken offline; listed disks that are not registered are fetched
// from their agent and registered when vendor, model and disk type pass the
// built-in whitelist. Serial numbers that failed the whitelist are kept in a
// small cache (64 entries, serial numbers under 30 characters, never emptied
// while the process runs) so that they cost one fetch and one match per run.
//
// Threads and locks: DiskSerialNumberRefresh takes the data-manager lock
// itself and holds it for the whole refresh, agent fetches included. The
// "...Locked" functions, IsInWhiteList and the cache functions expect the
// caller to hold that lock; the cache is touched under no other lock.
// DiskWhiteListMatch uses no state and runs anywhere.
//
// Messages carry the module tag "DATA_MGR_MASTER".
#pragma once

#include <cstdint>

#include "disk_mgr/disk_mgr.h"

// Results of DiskWhiteListMatch.
enum WhiteListMatchResult : int32_t {
    WHITELIST_MATCH = 0,
    WHITELIST_NO_MATCH = 1,
    WHITELIST_PATTERN_ERROR = 2,
};

inline constexpr uint32_t NON_WHITELIST_CACHE_MAX = 64;
inline constexpr uint32_t NON_WHITELIST_SN_LEN = 30;  // field size, terminator included

// Follows the store and the registry to `snList[0..count)` (each entry
// {40, serial number}). 0, -1 when the store is not initialised, or the
// failing phase's status. `snList` may be null only when count is 0.
[[nodiscard]] int32_t DiskSerialNumberRefresh(const KeeperStr *snList, uint32_t count);

// The two phases, with the data-manager lock held.
[[nodiscard]] int32_t OfflineDiskNotInSNList(const KeeperStr *snList, uint32_t count);
[[nodiscard]] int32_t OnLineDiskInSNList(const KeeperStr *snList, uint32_t count);

// True when the unregistered disk `sn` may be registered. `data` is the
// record of `infoType` given to the set (a DiskBaseInfo for type 0; for any
// other type the base information is fetched from the agent). Installed into
// the store with DataMgrSetWhiteListFunc; lock held by the caller.
[[nodiscard]] bool IsInWhiteList(uint32_t snLen, const char *sn, const void *data,
                                 uint32_t infoType);

// Matches vendor and model (whole NUL-terminated strings, POSIX extended
// expressions, case-sensitive) against the rows of `diskType`.
[[nodiscard]] int32_t DiskWhiteListMatch(const char *vendor, const char *model, uint32_t diskType);

// The non-whitelist cache.
[[nodiscard]] bool IsInNonWhiteListSn(uint32_t snLen, const char *sn);
[[nodiscard]] int32_t AddSnToNonWhiteList(const char *sn);
void ProcessNonWhitelist(const char *sn, const char *vendor, const char *model, int32_t match);
[[nodiscard]] uint32_t NonWhiteListCount();

// Installs IsInWhiteList into the store; called by the "DCM" start-up step
// before any collection thread exists.
void DataMgrOnlineInstallWhiteList();
