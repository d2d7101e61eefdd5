#include "config/config_prefix.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr size_t kExePathMax = 4096;

struct PrefixState {
    const char *prefix;
};

constexpr const char *kDefaultPrefix = "/opt/spindlekeep";

PrefixState g_prefix = {kDefaultPrefix};

void PrefixMsg(const char *msg)
{
    printf("[DISK_CONFIG_PREFIX] ERROR : %s\n", msg);
    fflush(stdout);
}

}  // namespace

const char *GetConfigPrefix() { return g_prefix.prefix; }

int SetConfigPrefix(const char *path)
{
    size_t len = strlen(path) + 1;
    char *copy = static_cast<char *>(malloc(len));
    if (copy == nullptr) {
        PrefixMsg("malloc failed.");
        return 1;
    }
    if (strcpy_s(copy, len, path) != EOK) {
        free(copy);
        printf("[DISK_CONFIG_PREFIX] ERROR : concatenate prefix:%s with config failed.\n", path);
        fflush(stdout);
        return 1;
    }
    // Set on the main thread before any reader exists, so the previous copy
    // can go (the daemon sets it once; tests point it elsewhere repeatedly).
    if (g_prefix.prefix != kDefaultPrefix) {
        free(const_cast<char *>(g_prefix.prefix));
    }
    g_prefix.prefix = copy;
    return 0;
}

void StripLastPathComponent(char *path)
{
    char *slash = strrchr(path, '/');
    if (slash != nullptr) {
        *slash = '\0';
    }
}

int ConfigPrefixFromExePath(const char *exePath)
{
    char *real = realpath(exePath, nullptr);
    if (real == nullptr) {
        PrefixMsg("get real executable file path failed.");
        return 1;
    }
    StripLastPathComponent(real);
    StripLastPathComponent(real);
    int ret = SetConfigPrefix(real);
    free(real);
    if (ret != 0) {
        PrefixMsg("set prefix path failed.");
        return 1;
    }
    return 0;
}

int InitConfigPrefix()
{
    char exe[kExePathMax];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe));
    if (n < 0) {
        printf("[DISK_CONFIG_PREFIX] ERROR : readlink fail, ret(%ld)\n", static_cast<long>(n));
        fflush(stdout);
        return 1;
    }
    if (static_cast<size_t>(n) == kExePathMax) {
        printf("[DISK_CONFIG_PREFIX] ERROR : truncation occurred, spindlekeep exe file path is "
               "great than %d\n", static_cast<int>(kExePathMax));
        fflush(stdout);
        return 1;
    }
    exe[n] = '\0';
    return ConfigPrefixFromExePath(exe);
}
