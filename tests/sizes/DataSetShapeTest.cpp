#include <gtest/gtest.h>

#include "sizes/DataSetShape.h"

using qem::DataSetShape;

// Answers whose counts the program keeps exactly are accepted; beyond, the
// refusal names the file and the limit.
TEST(DataSetShape, AnswersBeyondExactCountsAreRefusedNamingTheLimit) {
    const struct {
        int64_t channels, code;
        const char* refusal;  // "" where accepted
    } cases[] = {
        {10, 2, ""},
        {159, 800, ""},
        {3179, 2, ""},
        {160, 800, "a writer of histsale.qem would need a record limit of 2161982950; at most 2147483647"},
        {3180, 2, "a writer of histsale.qem would need a record limit of 2148146702"},
        {9, 2, "from 10 to 2147483"},
        {2147484, 2, "from 10 to 2147483"},
        {10, 3, "not one of 2, 4, ... 800"},
        {10, 802, "not one of 2, 4, ... 800"},
        {16000, 800, "histsale.qem would hold 2255935795200000000 records; at most 2^53 (9007199254740992)"},
        {2147483, 800, "histsale.qem would hold"},
    };
    for (const auto& c : cases) {
        const std::string problem = DataSetShape(c.channels, c.code).problem();
        if (*c.refusal == '\0')
            EXPECT_EQ(problem, "") << c.channels << " channels, code " << c.code;
        else
            EXPECT_NE(problem.find(c.refusal), std::string::npos) << problem;
    }
}

// Every accepted data set gets the sales records it asks for: each file holds
// its cells less at most one record a slice (the remainder of an even share),
// never the far fewer that a capped record limit would leave.
TEST(DataSetShape, AcceptedSalesFilesHoldTheCellsAskedFor) {
    int accepted = 0;
    for (int64_t n = 10; n <= 3200; n += n < 200 ? 1 : 29) {
        for (int64_t code = 2; code <= 800; code += 6) {
            const DataSetShape shape(n, code);
            if (!shape.problem().empty()) continue;
            ++accepted;
            for (const int64_t months : {DataSetShape::historicalMonths, int64_t{1}}) {
                const int64_t cells = months == 1 ? shape.currentCells() : shape.historicalCells();
                const qem::SalesBatches batches = shape.salesBatches(months);
                ASSERT_LE(batches.records(), static_cast<uint64_t>(cells)) << n << " channels, code " << code;
                ASSERT_GT(batches.records() + static_cast<uint64_t>(batches.slices()), static_cast<uint64_t>(cells))
                    << n << " channels, code " << code << ", " << months << " months";
            }
        }
    }
    EXPECT_GT(accepted, 10000);
}
