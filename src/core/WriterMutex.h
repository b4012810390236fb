#pragma once
#include <mutex>

namespace qem {

// A process-wide lock that serialises whole buffers of one shared output file.
class WriterMutex {
public:
    WriterMutex() = default;
    WriterMutex(const WriterMutex&) = delete;
    WriterMutex& operator=(const WriterMutex&) = delete;

    void lock() { mutex.lock(); }
    void unlock() { mutex.unlock(); }

private:
    std::mutex mutex;
};

// Scoped guard: locks on construction, unlocks on destruction (also when an
// exception passes).
class WriterMutexLock {
public:
    explicit WriterMutexLock(WriterMutex& m) : held(m) { held.lock(); }
    ~WriterMutexLock() { held.unlock(); }
    WriterMutexLock(const WriterMutexLock&) = delete;
    WriterMutexLock& operator=(const WriterMutexLock&) = delete;

private:
    WriterMutex& held;
};

}  // namespace qem
