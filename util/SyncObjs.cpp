#include "util/SyncObjs.h"

#include "util/SysUtils.h"

namespace tarvex {

TCriticalSection::TCriticalSection() : FMutex{} {
    pthread_mutexattr_t attributes;
    int result = pthread_mutexattr_init(&attributes);
    if (result == 0) {
        result = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        if (result == 0) {
            result = pthread_mutex_init(&FMutex, &attributes);
        }
        pthread_mutexattr_destroy(&attributes);
    }
    // Locking a mutex that never came to be is undefined, so refuse the object instead.
    if (result != 0) {
        throw Exception("Cannot create the critical section");
    }
}

TCriticalSection::~TCriticalSection() { pthread_mutex_destroy(&FMutex); }

void TCriticalSection::Lock() { pthread_mutex_lock(&FMutex); }

void TCriticalSection::Unlock() { pthread_mutex_unlock(&FMutex); }

}  // namespace tarvex
