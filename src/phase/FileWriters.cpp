#include "phase/FileWriters.h"

#include <memory>
#include <vector>

#include "core/RecordWriter.h"

namespace qem {

bool runFileWriters(const PhaseFile& f, OutputFile& out, const RunOptions& options) {
    const size_t writers = f.split.writerRecords.size();
    for (size_t group = 0; group < writers; group += f.groupSize) {
        std::vector<std::unique_ptr<RecordWriter>> owned;
        for (size_t w = group; w < group + f.groupSize && w < writers; ++w) owned.push_back(f.make(out, w));
        bool finished = true;
        if (owned.size() == workerCount) {
            finished = runBatchWriters(Batch{owned[0].get(), owned[1].get(), owned[2].get(), owned[3].get()},
                                       options.writersInOrder);
        } else {
            for (const auto& writer : owned) writer->run();
        }
        while (!owned.empty()) owned.pop_back();
        if (!finished) return false;
    }
    return true;
}

}  // namespace qem
