#include "infrastructure/keeper_task_scheduler/schedule_task.h"

#include <cstring>

#include "infrastructure/keeper_adapter_os/keeper_log.h"
#include "infrastructure/keeper_adapter_os/keeper_os.h"
#include "infrastructure/keeper_securec/securec.h"

namespace {

constexpr const char *kTag = "UTIL";

struct TaskNode {
    TaskNode *next;
    uint8_t cancelled;
    ScheduleTaskInfo *info;  // the utility's own copy; info->name is its own copy too
};

struct ScheduleTaskState {
    KeeperSpinLockT *lock;
    TaskNode *head;
};

ScheduleTaskState g_scheduleTask = {nullptr, nullptr};

bool InfoValid(const ScheduleTaskInfo *info)
{
    if (info == nullptr || info->name == nullptr || info->entry == nullptr ||
        info->name[0] == '\0') {
        return false;
    }
    return info->repeatForever == 1 || info->runTimes != 0;
}

// Caller holds the lock. A cancelled task no longer holds its name: it only
// finishes its pause, so turning a feature off and on again within one period
// starts the task anew instead of being refused and leaving none running.
TaskNode *FindLocked(const char *name)
{
    for (TaskNode *n = g_scheduleTask.head; n != nullptr; n = n->next) {
        if (n->cancelled == 0 && strcmp(n->info->name, name) == 0) {
            return n;
        }
    }
    return nullptr;
}

void FreeNode(TaskNode *node)
{
    if (node->info != nullptr) {
        KeeperFree(const_cast<char *>(node->info->name));
        KeeperFree(node->info);
    }
    KeeperFree(node);
}

TaskNode *MakeNode(const ScheduleTaskInfo *info)
{
    auto *node = static_cast<TaskNode *>(KeeperAlloc(sizeof(TaskNode)));
    if (node == nullptr) {
        return nullptr;
    }
    *node = TaskNode{nullptr, 0, nullptr};
    node->info = static_cast<ScheduleTaskInfo *>(KeeperAlloc(sizeof(ScheduleTaskInfo)));
    size_t nameLen = strlen(info->name) + 1;
    char *name = static_cast<char *>(KeeperAlloc(nameLen));
    if (node->info == nullptr || name == nullptr ||
        memcpy_s(node->info, sizeof(ScheduleTaskInfo), info, sizeof(ScheduleTaskInfo)) != EOK ||
        strcpy_s(name, nameLen, info->name) != EOK) {
        KeeperFree(name);
        if (node->info != nullptr) {
            node->info->name = nullptr;
        }
        FreeNode(node);
        return nullptr;
    }
    node->info->name = name;
    return node;
}

int RemoveByName(const char *name, TaskNode *self)
{
    KeeperSpinLock(g_scheduleTask.lock);
    TaskNode **link = &g_scheduleTask.head;
    while (*link != nullptr && !(*link == self && strcmp((*link)->info->name, name) == 0)) {
        link = &(*link)->next;
    }
    if (*link == nullptr) {
        KeeperSpinUnlock(g_scheduleTask.lock);
        return SCHEDULE_TASK_NOT_FOUND;
    }
    *link = self->next;
    KeeperSpinUnlock(g_scheduleTask.lock);
    return SCHEDULE_TASK_OK;
}

bool IsCancelled(TaskNode *node)
{
    KeeperSpinLock(g_scheduleTask.lock);
    bool c = node->cancelled != 0;
    KeeperSpinUnlock(g_scheduleTask.lock);
    return c;
}

void MarkCancelled(TaskNode *node)
{
    KeeperSpinLock(g_scheduleTask.lock);
    node->cancelled = 1;
    KeeperSpinUnlock(g_scheduleTask.lock);
}

void WarpedEntryFunc(void *arg)
{
    auto *node = static_cast<TaskNode *>(arg);
    ScheduleTaskInfo *info = node->info;
    if (info->firstDelayMs != 0) {
        KeeperSleepMs(info->firstDelayMs);
    }
    KLOG_DEBUG(kTag, "Task %s Start.", info->name);
    for (;;) {
        info->entry(info->entryArg);
        if (info->repeatForever != 1 && --info->runTimes == 0) {
            MarkCancelled(node);
        }
        if (IsCancelled(node)) {
            break;
        }
        KeeperSleepMs(info->periodMs);
    }
    int ret = RemoveByName(info->name, node);
    if (ret != SCHEDULE_TASK_OK) {
        KLOG_ERR(kTag, "Remove Task Node from list Failed, ret = (%d).", ret);
    }
}

void warpedCallBackFunc(void *arg)
{
    auto *node = static_cast<TaskNode *>(arg);
    ScheduleTaskInfo *info = node->info;
    if (info->endCallback != nullptr) {
        info->endCallback(info->endArg);
    }
    KLOG_DEBUG(kTag, "Task %s end.", info->name);
    FreeNode(node);
}

}  // namespace

int InitScheduleTask()
{
    if (g_scheduleTask.lock != nullptr) {
        KLOG_WARN(kTag, "Schedule Task Util Already Initiated.");
        return SCHEDULE_TASK_OK;
    }
    g_scheduleTask.lock = KeeperSpinLockCreate();
    if (g_scheduleTask.lock == nullptr) {
        KLOG_ERR(kTag, "g_scheduleTaskSpinLock SpinLock Create Failed.");
        return SCHEDULE_TASK_NO_MEMORY;
    }
    return SCHEDULE_TASK_OK;
}

int SubmitScheduleTask(const ScheduleTaskInfo *info)
{
    if (!InfoValid(info)) {
        return SCHEDULE_TASK_INVALID;
    }
    if (g_scheduleTask.lock == nullptr) {
        return SCHEDULE_TASK_NOT_INIT;
    }
    KeeperSpinLock(g_scheduleTask.lock);
    if (FindLocked(info->name) != nullptr) {
        KeeperSpinUnlock(g_scheduleTask.lock);
        return SCHEDULE_TASK_ALREADY_RUNNING;
    }
    TaskNode *node = MakeNode(info);
    if (node == nullptr) {
        KeeperSpinUnlock(g_scheduleTask.lock);
        return SCHEDULE_TASK_NO_MEMORY;
    }
    // The node joins the list before its thread can look for it, and the lock
    // keeps the new thread from removing it before that.
    TaskNode **tail = &g_scheduleTask.head;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = node;
    KeeperThreadAttr attr = {0, 0, node, node};
    if (KeeperThreadCreate(WarpedEntryFunc, warpedCallBackFunc, &attr) == 0) {
        *tail = nullptr;
        KeeperSpinUnlock(g_scheduleTask.lock);
        FreeNode(node);
        return SCHEDULE_TASK_NO_MEMORY;
    }
    KLOG_DEBUG(kTag, "Task %s submit success.", info->name);
    KeeperSpinUnlock(g_scheduleTask.lock);
    return SCHEDULE_TASK_OK;
}

int CancelScheduleTask(const char *name)
{
    if (g_scheduleTask.lock == nullptr) {
        return SCHEDULE_TASK_NOT_INIT;
    }
    if (name == nullptr) {
        return SCHEDULE_TASK_NOT_FOUND;
    }
    KeeperSpinLock(g_scheduleTask.lock);
    TaskNode *node = FindLocked(name);
    if (node != nullptr) {
        node->cancelled = 1;
    }
    KeeperSpinUnlock(g_scheduleTask.lock);
    return node != nullptr ? SCHEDULE_TASK_OK : SCHEDULE_TASK_NOT_FOUND;
}

void CancelAllScheduleTask()
{
    if (g_scheduleTask.lock == nullptr) {
        return;
    }
    KeeperSpinLock(g_scheduleTask.lock);
    for (TaskNode *n = g_scheduleTask.head; n != nullptr; n = n->next) {
        n->cancelled = 1;
    }
    KeeperSpinUnlock(g_scheduleTask.lock);
}

int FiniScheduleTask()
{
    CancelAllScheduleTask();
    return 0;
}

bool ScheduleTaskRunning(const char *name)
{
    if (g_scheduleTask.lock == nullptr || name == nullptr) {
        return false;
    }
    KeeperSpinLock(g_scheduleTask.lock);
    bool found = FindLocked(name) != nullptr;
    KeeperSpinUnlock(g_scheduleTask.lock);
    return found;
}
