#include "core/StableStorage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/Failure.h"
#include "core/Report.h"

namespace qem {

namespace {

StableStorage systemCalls;
StableStorage* current = &systemCalls;

int result(int rc) { return rc == 0 ? 0 : errno; }

}  // namespace

int StableStorage::syncData(int fd, const char*) { return result(fdatasync(fd)); }

int StableStorage::syncAll(int fd, const char*) { return result(fsync(fd)); }

int StableStorage::renameFile(const char* from, const char* to) { return result(rename(from, to)); }

int StableStorage::removeFile(const char* name) { return result(unlink(name)); }

StableStorage& stableStorage() { return *current; }

void failFile(const char* format, const char* name, int error) {
    reportError(format, name, strerror(error));
    throw ReportedFailure(1);
}

void syncFolderOrFail() {
    if (const int error = syncFolder()) failFile("error writing '%s'\n%s\n", ".", error);
}

void replaceFile(const char* name, const char* sideName, const void* bytes, size_t length, const char* writeFormat) {
    StableStorage& storage = stableStorage();
    syncFolderOrFail();
    const int stale = storage.removeFile(sideName);
    if (stale != 0 && stale != ENOENT) failFile("error opening '%s'\n%s\n", sideName, stale);
    const int fd = open(sideName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) failFile("error opening '%s'\n%s\n", sideName, errno);
    int error = 0;
    for (const char* from = static_cast<const char*>(bytes); error == 0 && length > 0;) {
        const ssize_t n = ::write(fd, from, length);
        if (n < 0 && errno != EINTR) error = errno;
        if (n > 0) {
            from += n;
            length -= static_cast<size_t>(n);
        }
    }
    if (error == 0) error = syncOpenFile(fd, sideName, true);
    if (close(fd) != 0 && error == 0) error = errno;
    const char* failed = sideName;
    if (error == 0) {
        error = storage.renameFile(sideName, name);
        failed = name;
    }
    if (error != 0) {
        storage.removeFile(sideName);
        failFile(writeFormat, failed, error);
    }
    syncFolderOrFail();
}

void useStableStorage(StableStorage* calls) { current = calls ? calls : &systemCalls; }

int syncOpenFile(int fd, const char* name, bool all) {
    const int error = all ? current->syncAll(fd, name) : current->syncData(fd, name);
    if (error != EINVAL && error != EROFS) return error;
    struct stat status;
    if (fstat(fd, &status) != 0) return errno;
    return S_ISREG(status.st_mode) ? error : 0;
}

int syncFolder() {
    const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int error = syncOpenFile(fd, ".", true);
    close(fd);
    return error;
}

}  // namespace qem
