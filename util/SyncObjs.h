#pragma once

#include <pthread.h>

namespace tarvex {

class TSynchroObject {
public:
    virtual ~TSynchroObject() = default;
    virtual void Lock() {}
    virtual void Unlock() {}
};

// A recursive POSIX mutex. Construction raises when the mutex cannot be initialised.
class TCriticalSection : public TSynchroObject {
public:
    TCriticalSection();
    ~TCriticalSection() override;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    void Lock() override;
    void Unlock() override;

private:
    pthread_mutex_t FMutex;
};

// Holds a Lock until the end of the scope, so an exception never leaves it held.
class TLockGuard {
public:
    explicit TLockGuard(TSynchroObject& AObject) : FObject(AObject) { FObject.Lock(); }
    ~TLockGuard() { FObject.Unlock(); }
    TLockGuard(const TLockGuard&) = delete;
    TLockGuard& operator=(const TLockGuard&) = delete;

private:
    TSynchroObject& FObject;
};

}  // namespace tarvex
