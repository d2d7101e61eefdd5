// Diagnose agent core: the group registry, handler output and the execution
// of one request. The socket side lives in dbg_agent_server.cpp.
#include <pthread.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "infrastructure/keeper_host/dbg_agent.h"
#include "infrastructure/keeper_host/host_mutex.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr size_t kDescriptionLen = 128;
constexpr size_t kPrintChunk = 1024;
constexpr const char kTruncatedNote[] = "\n[output truncated]\n";

struct DbgGroup {
    bool used;
    char name[DBG_GROUP_NAME_MAX + 1];
    char description[kDescriptionLen];
    DBG_ExecFunc exec;
    DBG_HelpFunc help;
};

struct DbgRegistry {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;      // guards groups
    pthread_mutex_t execLock = PTHREAD_MUTEX_INITIALIZER;  // one request at a time
    DbgGroup groups[DBG_MAX_GROUPS] = {};
};

DbgRegistry g_dbg;

// Where handler output goes while a request runs on this thread.
struct DbgOutput {
    char *buf;
    uint32_t cap;  // characters that may be stored, note excluded
    uint32_t len;
    bool truncated;
    bool failed;
    const DbgGroup *group;  // the group being run, for the usage display
};

thread_local DbgOutput *t_out = nullptr;

// Caller holds the registry lock.
DbgGroup *FindLocked(const char *name)
{
    for (DbgGroup &g : g_dbg.groups) {
        if (g.used && strncmp(g.name, name, sizeof(g.name)) == 0) {
            return &g;
        }
    }
    return nullptr;
}

void Append(const char *text, size_t len)
{
    if (t_out == nullptr) {
        fwrite(text, 1, len, stdout);
        return;
    }
    size_t room = t_out->cap - t_out->len;
    if (len > room) {
        len = room;
        t_out->truncated = true;
    }
    memcpy(t_out->buf + t_out->len, text, len);
    t_out->len += static_cast<uint32_t>(len);
}

int VPrint(const char *fmt, va_list ap)
{
    char chunk[kPrintChunk];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(chunk, sizeof(chunk), fmt, copy);
    va_end(copy);
    if (n < 0) {
        return -1;
    }
    if (static_cast<size_t>(n) < sizeof(chunk)) {
        Append(chunk, static_cast<size_t>(n));
        return n;
    }
    // Long text (a table, a history dump): format straight into the output.
    if (t_out == nullptr) {
        return vprintf(fmt, ap);
    }
    size_t room = t_out->cap - t_out->len;
    if (static_cast<size_t>(n) > room) {
        Append(chunk, sizeof(chunk) - 1);  // the output is cut anyway
        return n;
    }
    (void)vsnprintf(t_out->buf + t_out->len, room + 1, fmt, ap);
    t_out->len += static_cast<uint32_t>(n);
    return n;
}

void PrintGroupUsage(const DbgGroup &g, int verbose)
{
    if (g.help != nullptr) {
        g.help(g.name, verbose);
    } else {
        DBG_Print("  %s COMMAND [ARGS...]\n", g.name);
    }
}

void ListGroups(const char *const *names, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        DbgGroup g;
        {
            HostLocked reg(&g_dbg.lock);
            const DbgGroup *found = FindLocked(names[i]);
            if (found == nullptr) {
                continue;  // unregistered meanwhile
            }
            g = *found;
        }
        DBG_Print("%s: %s\n", g.name, g.description);
        const DbgGroup *saved = t_out->group;
        t_out->group = &g;
        PrintGroupUsage(g, 0);
        t_out->group = saved;
    }
}

int32_t RunListing()
{
    char names[DBG_MAX_GROUPS][DBG_GROUP_NAME_MAX + 1];
    const char *ptrs[DBG_MAX_GROUPS];
    size_t count = 0;
    {
        HostLocked reg(&g_dbg.lock);
        for (const DbgGroup &g : g_dbg.groups) {
            if (g.used && strcpy_s(names[count], sizeof(names[count]), g.name) == EOK) {
                ptrs[count] = names[count];
                ++count;
            }
        }
    }
    if (count == 0) {
        DBG_Print("no diagnose groups registered\n");
    }
    ListGroups(ptrs, count);
    return DBG_STATUS_OK;
}

int32_t RunGroup(int argc, char **argv)
{
    DbgGroup g;
    {
        HostLocked reg(&g_dbg.lock);
        const DbgGroup *found = FindLocked(argv[0]);
        if (found == nullptr) {
            return DBG_STATUS_UNKNOWN_GROUP;
        }
        g = *found;  // a copy: the group may be unregistered while it runs
    }
    t_out->group = &g;
    int ret = g.exec(argc, argv);
    t_out->group = nullptr;
    return (ret != 0 || t_out->failed) ? DBG_STATUS_FAILED : DBG_STATUS_OK;
}

}  // namespace

int DBG_RegCmd(const DBG_CmdGroup *group)
{
    if (group == nullptr || group->exec == nullptr || group->name == nullptr ||
        group->name[0] == '\0' || strlen(group->name) > DBG_GROUP_NAME_MAX) {
        return -EINVAL;
    }
    HostLocked reg(&g_dbg.lock);
    if (FindLocked(group->name) != nullptr) {
        return -EEXIST;
    }
    for (DbgGroup &g : g_dbg.groups) {
        if (g.used) {
            continue;
        }
        g = DbgGroup{};
        if (strcpy_s(g.name, sizeof(g.name), group->name) != EOK) {
            return -EINVAL;
        }
        const char *desc = group->description != nullptr ? group->description : "";
        (void)strncpy_s(g.description, sizeof(g.description), desc, sizeof(g.description) - 1);
        g.exec = group->exec;
        g.help = group->help;
        g.used = true;
        return 0;
    }
    return -ENOSPC;
}

int DBG_UnRegCmd(const char *name)
{
    if (name == nullptr) {
        return -ENOENT;
    }
    HostLocked reg(&g_dbg.lock);
    DbgGroup *g = FindLocked(name);
    if (g == nullptr) {
        return -ENOENT;
    }
    *g = DbgGroup{};
    return 0;
}

int DBG_UnRegCmdToCLI(const char *name, uint32_t flags)
{
    (void)flags;
    return DBG_UnRegCmd(name);
}

int DBG_Print(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = VPrint(fmt, ap);
    va_end(ap);
    return n;
}

int DBG_PrintBuf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = VPrint(fmt, ap);
    va_end(ap);
    return n;
}

void DBG_ShowUsageAndErrMsg(const char *msg, int verbose)
{
    if (msg != nullptr && msg[0] != '\0') {
        DBG_Print("%s\n", msg);
        if (t_out != nullptr) {
            t_out->failed = true;
        }
    }
    if (t_out != nullptr && t_out->group != nullptr) {
        DBG_Print("Usage:\n");
        PrintGroupUsage(*t_out->group, verbose);
    }
}

int32_t DbgAgentRun(int argc, char **argv, char *out, uint32_t outSize, uint32_t *outLen)
{
    constexpr uint32_t kNote = sizeof(kTruncatedNote) - 1;
    if (out == nullptr || outSize <= kNote + 1 || outLen == nullptr || argc < 0 ||
        (argc > 0 && (argv == nullptr || argv[0] == nullptr))) {
        return DBG_STATUS_MALFORMED;
    }
    HostLocked exec(&g_dbg.execLock);
    DbgOutput output{out, outSize - 1 - kNote, 0, false, false, nullptr};
    t_out = &output;
    int32_t status = argc == 0 ? RunListing() : RunGroup(argc, argv);
    t_out = nullptr;
    if (output.truncated) {
        memcpy(out + output.len, kTruncatedNote, kNote);
        output.len += kNote;
    }
    out[output.len] = '\0';
    *outLen = output.len;
    return status;
}
