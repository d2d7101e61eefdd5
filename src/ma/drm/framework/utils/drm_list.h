// A small intrusive doubly linked list for the framework's queues.
// Not thread safe: the owner of the list holds its lock.
#pragma once

#include <cstddef>
#include <cstdint>

struct DrmListHead {
    DrmListHead *next;
    DrmListHead *prev;
};

// Link values of an unlinked node, so a stray use faults recognisably.
inline DrmListHead *const DRM_LIST_POISON1 = reinterpret_cast<DrmListHead *>(0x100100);
inline DrmListHead *const DRM_LIST_POISON2 = reinterpret_cast<DrmListHead *>(0x200200);

inline void DrmListInit(DrmListHead *head)
{
    head->next = head;
    head->prev = head;
}

inline bool DrmListEmpty(const DrmListHead *head) { return head->next == head; }

inline void DrmListInsert(DrmListHead *node, DrmListHead *prev, DrmListHead *next)
{
    next->prev = node;
    node->next = next;
    node->prev = prev;
    prev->next = node;
}

inline void DrmListAddTail(DrmListHead *node, DrmListHead *head)
{
    DrmListInsert(node, head->prev, head);
}
inline void DrmListAddHead(DrmListHead *node, DrmListHead *head)
{
    DrmListInsert(node, head, head->next);
}

inline void DrmListDel(DrmListHead *node)
{
    node->next->prev = node->prev;
    node->prev->next = node->next;
    node->next = DRM_LIST_POISON1;
    node->prev = DRM_LIST_POISON2;
}

// Moves every node of `from` to the empty list `to`; `from` becomes empty.
inline void DrmListMoveAll(DrmListHead *from, DrmListHead *to)
{
    DrmListInit(to);
    if (DrmListEmpty(from)) {
        return;
    }
    to->next = from->next;
    to->prev = from->prev;
    to->next->prev = to;
    to->prev->next = to;
    DrmListInit(from);
}

// The record that holds `node` as its member `field`.
#define DRM_LIST_ENTRY(node, type, field) \
    reinterpret_cast<type *>(reinterpret_cast<uintptr_t>(node) - offsetof(type, field))
