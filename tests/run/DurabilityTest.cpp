// The order in which a phase puts its files on stable storage and records itself, seen through the calls it
// makes, and what a failed sync does to the phase.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "core/Failure.h"
#include "core/StableStorage.h"
#include "run/Phases.h"

using namespace qem;

namespace {

// Records the calls (name and file) and passes them on; fails the one named `failing` with EIO.
class RecordingStorage : public StableStorage {
public:
    explicit RecordingStorage(std::string failing = "") : failing(std::move(failing)) { useStableStorage(this); }
    ~RecordingStorage() override { useStableStorage(nullptr); }

    int syncData(int fd, const char* name) override { return note("syncData ", name, [&] { return StableStorage::syncData(fd, name); }); }
    int syncAll(int fd, const char* name) override { return note("syncAll ", name, [&] { return StableStorage::syncAll(fd, name); }); }
    int renameFile(const char* from, const char* to) override {
        return note("rename ", std::string(from) + " " + to, [&] { return StableStorage::renameFile(from, to); });
    }
    int removeFile(const char* name) override { return note("remove ", name, [&] { return StableStorage::removeFile(name); }); }

    std::vector<std::string> calls;

private:
    template <typename Call>
    int note(const char* kind, const std::string& what, Call call) {
        calls.push_back(kind + what);
        return calls.back() == failing ? EIO : call();
    }
    std::string failing;
};

void setUpPhase(int32_t phase) {
    context.state = GeneratorState{10, 10, 2, 1, 12345, phase};
    initContext();
}

std::vector<std::string> synced(const std::vector<std::string>& names) {
    std::vector<std::string> calls;
    for (const std::string& name : names) calls.push_back("syncData " + name);
    return calls;
}

std::vector<std::string> queryFiles() {
    std::vector<std::string> names;
    for (int u = 1; u <= 10; ++u) names.push_back(qemtest::formatted("qry%03d.qem", u));
    return names;
}

// A phase first removes the manifests it makes stale (the first phase those of all three), then after its
// files stores its own manifest through a side file.
std::vector<std::string> removeManifests(int32_t phase) {
    std::vector<std::string> calls;
    for (int32_t p = phase; p <= (phase == 1 ? 3 : phase); ++p) calls.push_back(qemtest::formatted("remove phase%d.manifest", p));
    calls.push_back("syncAll .");
    return calls;
}
std::vector<std::string> storeManifest(int32_t phase) {
    const std::string name = qemtest::formatted("phase%d.manifest", phase);
    return {"syncAll .", "remove " + name + ".new", "syncAll " + name + ".new", "rename " + name + ".new " + name,
            "syncAll ."};
}

const std::vector<std::string> recordState = {"syncAll .", "remove qem1r2genstate.new", "syncAll qem1r2genstate.new",
                                              "rename qem1r2genstate.new qem1r2genstate", "syncAll ."};
const std::vector<std::string> deleteState = {"syncAll .", "remove qem1r2genstate", "syncAll ."};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

// Every output file is synchronised at its close; then the phase's manifest is stored; then the folder, then
// the state's side file, which replaces the state, then the folder again. The third phase deletes the state
// between two folder syncs.
TEST(Durability, EveryFileIsSafeBeforeThePhaseIsRecorded) {
    const struct {
        int32_t phase;  // the phase run
        void (*body)();
        std::vector<std::string> calls;
    } cases[] = {
        {1, [] { writePhase(1); saveState(); },
         removeManifests(1) +
             synced({"prodhier.qem", "prodtree.qem", "custhier.qem", "custtree.qem", "chanhier.qem", "chantree.qem",
                     "timehier.qem", "timetree.qem", "histsale.qem", "histinv.qem", "custship.qem", "prodcos.qem"}) +
             storeManifest(1) + recordState},
        {2, runSecondPhase, removeManifests(2) + synced({"budget.qem", "currsale.qem", "currinv.qem"}) + storeManifest(2) + recordState},
        {3, runThirdPhase, removeManifests(3) + synced(queryFiles()) + storeManifest(3) + deleteState},
    };
    qemtest::TempDir folder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.phase);
        setUpPhase(c.phase == 1 ? 1 : c.phase - 1);
        RecordingStorage storage;
        c.body();
        EXPECT_EQ(storage.calls, c.calls);
    }
    EXPECT_FALSE(std::filesystem::exists(stateFileName));
}

// A failed sync is a failed write: the phase fails with status 1 (carried up to main) and the state keeps the
// previous phase.
TEST(Durability, AFailedSyncFailsThePhase) {
    const std::string ioError = strerror(EIO);
    const struct {
        const char* failing;
        int32_t phase;  // the phase run
        std::string err;
    } cases[] = {
        {"syncData currsale.qem", 2, "error writing 'currsale.qem'\n" + ioError + "\nexception 'Oops' caught, exiting"},
        {"syncAll .", 2, "error writing '.'\n" + ioError + "\n"},
        {"syncAll qem1r2genstate.new", 2, "error writing to 'qem1r2genstate.new'\n" + ioError + "\n"},
        {"rename qem1r2genstate.new qem1r2genstate", 2, "error writing to 'qem1r2genstate'\n" + ioError + "\n"},
        {"syncData qry003.qem", 3, "error writing 'qry003.qem'\n" + ioError + "\nexception 'Oops' caught, exiting"},
        {"syncAll .", 3, "error writing '.'\n" + ioError + "\n"},
        {"rename phase3.manifest.new phase3.manifest", 3, "error writing 'phase3.manifest'\n" + ioError + "\n"},
        // A state left behind would make the next run repeat the phase: a failed deletion fails it.
        {"remove qem1r2genstate", 3, "error writing 'qem1r2genstate'\n" + ioError + "\n"},
    };
    qemtest::TempDir folder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        setUpPhase(c.phase - 1);
        // The state file of the previous phase (six little-endian integers).
        const int32_t fields[6] = {10, 10, 2, 1, 12345, c.phase - 1};
        const std::string state(reinterpret_cast<const char*>(fields), sizeof fields);
        std::ofstream(stateFileName, std::ios::binary) << state;
        int status = 0;
        ::testing::internal::CaptureStderr();
        try {
            RecordingStorage storage(c.failing);
            c.phase == 2 ? runSecondPhase() : runThirdPhase();
        } catch (const ReportedFailure& failure) {
            status = failure.status();
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(qemtest::readFile(stateFileName), state);
        EXPECT_FALSE(std::filesystem::exists(stateSideFileName));
        // A third phase that fails leaves no manifest: the state still says phase 2.
        if (c.phase == 3) {
            EXPECT_FALSE(std::filesystem::exists("phase3.manifest"));
        }
    }
}
