#pragma once
// The shared fixture of the loader's tests: one throwaway server and one small
// finished data set (10 channels, 0.1 %, 10 users) for the whole test binary,
// written whole by qemgen and in 3 parts by qempart, removed at its end
// whether the tests passed or not.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ScratchServer.h"
#include "pg/PgSession.h"

namespace qemload {

using namespace qemdata;
using namespace qempg;

class LoadEnvironment : public ::testing::Environment {
public:
    static LoadEnvironment& get();

    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<scratch::ScratchServer> server;
    std::unique_ptr<scratch::TempFolder> data;
    std::unique_ptr<scratch::TempFolder> parts;  // the same data set in parts
    std::string error;  // why the fixture could not be set up
    std::string plainLoad;  // the schema once loaded (LoadTest::plainSchema), else why not
    std::unique_ptr<scratch::TempFolder> compressedParts;  // made by LoadTest::compressedSet
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
    // its schema ("whole_files"). Fails the test when the load fails.
    std::string plainSchema() {
        const std::string schema = "whole_files";
        if (env.plainLoad.empty()) {
            const scratch::Outcome o = qemload({"--schema", schema, conninfo(), dataSet()});
            env.plainLoad = o.status == 0 ? schema : "failed: " + o.err;
        }
        if (env.plainLoad != schema) ADD_FAILURE() << "loading the data set into schema " << schema << " " << env.plainLoad;
        return schema;
    }
    // The data set in 3 parts written compressed (qempart --compress zstd),
    // made when first asked for.
    const std::string& compressedSet() {
        if (!env.compressedParts) {
            auto folder = std::make_unique<scratch::TempFolder>("qemload-zst");
            scratch::makePartSet(folder->path(), dataSet(), "0.1", 3, "zstd");
            env.compressedParts = std::move(folder);
        }
        return env.compressedParts->path();
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
