#include "core/StableStorage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    exit(1);
}

void syncFolderOrFail() {
    if (const int error = syncFolder()) failFile("error writing '%s'\n%s\n", ".", error);
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
