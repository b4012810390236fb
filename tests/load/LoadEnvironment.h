#pragma once
// The shared fixture of the loader's tests: one throwaway server and one small
// finished data set (10 channels, 0.1 %, 10 users) for the whole test binary,
// written whole by qemgen and in 3 parts by qempart, removed at its end
// whether the tests passed or not.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ScratchServer.h"
#include "load/PgSession.h"

namespace qemload {

class LoadEnvironment : public ::testing::Environment {
public:
    static LoadEnvironment& get();

    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<scratch::ScratchServer> server;
    std::unique_ptr<scratch::TempFolder> data;
    std::unique_ptr<scratch::TempFolder> parts;  // the same data set in parts
    std::string error;  // why the fixture could not be set up
    std::string plainLoad;  // "plain" once loaded (LoadTest::plainSchema), else why not
};

// Base of the tests that need the server and the data set.
class LoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!env.error.empty()) FAIL() << env.error;
    }

    std::string conninfo() const { return env.server->conninfo(); }
    const std::string& dataSet() const { return env.data->path(); }
    const std::string& partSet() const { return env.parts->path(); }
    PgSession& db() {
        if (!session) session = std::make_unique<PgSession>(conninfo());
        return *session;
    }
    // The whole-file data set loaded once for the tests that only read it:
    // its schema ("plain"). Fails the test when the load fails.
    std::string plainSchema() {
        if (env.plainLoad.empty()) {
            const scratch::Outcome o = qemload({"--schema", "plain", conninfo(), dataSet()});
            env.plainLoad = o.status == 0 ? "plain" : "failed: " + o.err;
        }
        if (env.plainLoad != "plain") ADD_FAILURE() << "loading the data set into schema plain " << env.plainLoad;
        return "plain";
    }
    // qemload with these arguments, as a child process.
    static scratch::Outcome qemload(std::vector<std::string> args) {
        args.insert(args.begin(), QEMLOAD_PATH);
        return scratch::run(args);
    }

    LoadEnvironment& env = LoadEnvironment::get();
    std::unique_ptr<PgSession> session;
};

}  // namespace qemload
