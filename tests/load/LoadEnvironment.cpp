#include "LoadEnvironment.h"

namespace qemload {

LoadEnvironment& LoadEnvironment::get() {
    static LoadEnvironment* const instance =
        static_cast<LoadEnvironment*>(::testing::AddGlobalTestEnvironment(new LoadEnvironment));
    return *instance;
}

// Registered before main() runs the tests.
[[maybe_unused]] static LoadEnvironment& registered = LoadEnvironment::get();

void LoadEnvironment::SetUp() {
    try {
        // A throwaway server need not survive a crash of the machine.
        server = std::make_unique<scratch::ScratchServer>(
            std::vector<std::string>{"fsync=off", "full_page_writes=off", "synchronous_commit=off"});
        data = std::make_unique<scratch::TempFolder>("qemload-data");
        scratch::makeDataSet(data->path(), 10, "0.1", 10);
        parts = std::make_unique<scratch::TempFolder>("qemload-parts");
        scratch::makePartSet(parts->path(), data->path(), "0.1", 3);
    } catch (const std::exception& e) {
        error = e.what();
    }
}

void LoadEnvironment::TearDown() {
    server.reset();
    data.reset();
    parts.reset();
    compressedParts.reset();
}

}  // namespace qemload
