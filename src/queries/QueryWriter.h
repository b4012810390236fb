#pragma once
#include <array>

#include "core/RecordWriter.h"
#include "queries/QueryKinds.h"

namespace qem {

// The order in which query kinds follow one another, cycled (100 entries).
extern const std::array<int32_t, 100> querySchedule;
// The 26 scenario-and-measure templates of kind 10, cycled from a random one.
extern const std::array<QueryTemplate, 26> queryTemplates;

// One user's query file: 250 rounds of one query per channel, kinds in
// schedule order, each line seven 24-character fields.
class QueryWriter : public RecordWriter {
public:
    static constexpr int32_t lineLength = 169;  // "%24s%-24s%-24s%-24s%-24s%-24s%-24s\n"

    QueryWriter(OutputFile& file, int32_t capacity);

protected:
    void walk() override;
    char* writeRecord(const WriterRecord& record, char* text) override;
};

}  // namespace qem
