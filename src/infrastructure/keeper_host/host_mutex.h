// Scoped hold of a pthread mutex, for the host services' internal locks.
#pragma once

#include <pthread.h>

class HostLocked {
public:
    explicit HostLocked(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~HostLocked() { pthread_mutex_unlock(m_); }
    HostLocked(const HostLocked &) = delete;
    HostLocked &operator=(const HostLocked &) = delete;

private:
    pthread_mutex_t *m_;
};
