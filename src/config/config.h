// The operator configuration: "<prefix>/config/spindlekeep_config.json", one
// JSON object with the feature switches and the per-disk-type parameters.
//
// InitConfig (start-up step "CONFIG") loads the file into an in-memory tree,
// recovers a missing file from the newest backup, falls back to built-in
// defaults when there is no backup either, and merges in keys delivered by a
// package upgrade ("<file>.rpmnew"). Afterwards the tree is the single source
// of the settings: getters read it, setters change it, save the whole file and
// then back it up.
//
// Keys are matched without regard to letter case. Values are JSON numbers read
// and written as signed 32-bit integers; getters hand them out as u32 and
// leave `value` unchanged when they fail, so callers pre-set it.
//
// Threads and locks: every tree access holds the configuration read-write
// lock (readers shared, writers exclusive). Setters release it before the
// backup that follows them; the backup takes it again itself.
//
// Results: 0 on success, 1 on failure.
#pragma once

#include <cstdint>

#include <cjson/cJSON.h>

#include "infrastructure/keeper_adapter_os/keeper_os.h"

inline constexpr const char *CONFIG_FILE_NAME = "config/spindlekeep_config.json";
inline constexpr const char *CONFIG_UPGRADE_SUFFIX = ".rpmnew";

// The disk-type keys, indexed by the analysis features' disk type.
inline constexpr uint32_t CONFIG_DISK_TYPE_NUM = 4;
extern const char *const g_configDiskTypeKeys[CONFIG_DISK_TYPE_NUM];

// Init of the "CONFIG" step. Fails when the file exists but does not hold a
// JSON object (start-up must stop; no file is touched), and when called a
// second time.
[[nodiscard]] int InitConfig();

[[nodiscard]] int GetConfigInt(const char *key, uint32_t *value);
[[nodiscard]] int SetConfigInt(const char *key, int32_t value);
[[nodiscard]] int GetChildNodeConfigInt(const char *parent, const char *child, uint32_t *value);
[[nodiscard]] int SetChildNodeConfigInt(const char *parent, const char *child, int32_t value);
// True when parent.child exists (any JSON type); no message when it does not.
// For optional keys, whose absence means their default.
bool ChildNodeConfigExists(const char *parent, const char *child);
// SetChildNodeConfigInt that adds the number when the child is missing from
// an existing parent object (an optional key set for the first time).
[[nodiscard]] int SetOrAddChildNodeConfigInt(const char *parent, const char *child,
                                             int32_t value);

// 0 when value is 0 or 1; else logs "invalid switch val: %d" and returns 1.
[[nodiscard]] int CheckSwitchConfig(int32_t value);
// GetConfigInt, then CheckSwitchConfig on the value read.
[[nodiscard]] int GetSwitchConfig(const char *key, uint32_t *value);
// CheckSwitchConfig first (the tree is not touched on a bad value), then SetConfigInt.
[[nodiscard]] int SetSwitchConfig(const char *key, int32_t value);

// Merges the upgrade tree into the configuration tree: keys missing from
// `config` are added as deep copies, existing values always win, objects
// present on both sides are merged recursively. Refused from depth 5 on.
// 0, or 1 (the tree may then be partly merged).
[[nodiscard]] int ConfigUpgradeNode(cJSON *config, const cJSON *upgrade,
                                    uint32_t depth);

// The configuration lock, for the backup module (null before InitConfig).
KeeperRwLockT *ConfigLockHandle();

// Forgets the loaded tree so that InitConfig can run again. Tests only; no
// other thread may use the configuration meanwhile.
void ConfigUnload();
