#pragma once
#include <cstddef>

namespace qem {

// The calls that put written data on stable storage, and the renames and
// removals whose order relative to them decides whether a recorded phase can
// be trusted after a power loss. The program uses the system's calls; a test
// installs its own (one that records the order, or fails on purpose) with
// useStableStorage(). Every call returns 0 or an error number.
class StableStorage {
public:
    virtual ~StableStorage() = default;

    // fdatasync: the file's data and what is needed to read it back.
    virtual int syncData(int fd, const char* name);
    // fsync: the data and all the file's metadata (the state's side file, the
    // folder's entries).
    virtual int syncAll(int fd, const char* name);
    virtual int renameFile(const char* from, const char* to);
    virtual int removeFile(const char* name);
};

// The calls in use.
StableStorage& stableStorage();
// Replaces them (nullptr: the system's again); for tests.
void useStableStorage(StableStorage* calls);

// Puts an open file on stable storage: its data (fsync instead when all is
// true). What is not a regular file (a named pipe, a terminal, /dev/null, on
// some file systems a folder) may not support synchronisation: its "not
// supported" answers (EINVAL, EROFS) count as success. Returns 0 or an error
// number.
int syncOpenFile(int fd, const char* name, bool all = false);

// Puts the entries of the current folder (files created, renamed, removed)
// on stable storage. Returns 0 or an error number.
int syncFolder();

// Reports a failed file operation (a format with the file's name and the
// system's text for the error, e.g. "error writing '%s'\n%s\n") and throws
// ReportedFailure(1), which ends the program with status 1.
[[noreturn]] void failFile(const char* format, const char* name, int error);

// syncFolder(), a failure reported as a failed write of "." (status 1).
void syncFolderOrFail();

// Replaces file `name` of the current folder with one that holds the bytes,
// so that it never holds anything but the old or the new whole: the folder
// synchronised first; a side file of an earlier run removed (a symbolic link
// removed, never followed) and the new one created afresh, so nothing but a
// file of this run's making takes the name; written, synchronised, renamed
// over `name`; the folder synchronised. A failure is a failFile (status 1):
// "error opening '%s'\n%s\n" for the side file, writeFormat (with the side
// file's or the file's name) for a failed write, sync or rename.
void replaceFile(const char* name, const char* sideName, const void* bytes, size_t length, const char* writeFormat);

}  // namespace qem
