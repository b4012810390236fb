#include "run/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Failure.h"
#include "core/Report.h"

namespace qem {

void lockFolder() {
    // Kept open until the process ends: closing it would release the lock.
    // Programs this one starts do not inherit it (there are none today).
    const int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        const int err = errno;
        reportError("error opening the current folder\n%s\n", strerror(err));
        throw ReportedFailure(1);
    }
    int rc;
    do rc = flock(folder, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc == 0) return;
    const int err = errno;
    if (err == EWOULDBLOCK)
        reportError("another run of this program is using this folder\n");
    else
        reportError("error locking the current folder against other runs\n%s\n", strerror(err));
    close(folder);
    throw ReportedFailure(1);
}

}  // namespace qem
