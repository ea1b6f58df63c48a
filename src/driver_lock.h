// A scoped lock on one of the driver's mutexes.
#ifndef DRIVER_LOCK_H
#define DRIVER_LOCK_H

#include <QMutex>

#if defined(__SANITIZE_THREAD__)
#define PLC_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLC_TSAN 1
#endif
#endif
#ifdef PLC_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// QtCore is not instrumented, so in a ThreadSanitizer build each lock is
// announced to the sanitizer by hand; elsewhere this is a plain QMutexLocker.
class DriverLock {
public:
    explicit DriverLock(QMutex &mutex) : mutex_(mutex) {
        mutex_.lock();
#ifdef PLC_TSAN
        __tsan_acquire(&mutex_);
#endif
    }
    ~DriverLock() {
#ifdef PLC_TSAN
        __tsan_release(&mutex_);
#endif
        mutex_.unlock();
    }
    DriverLock(const DriverLock &) = delete;
    DriverLock &operator=(const DriverLock &) = delete;

private:
    QMutex &mutex_;
};

#endif // DRIVER_LOCK_H
