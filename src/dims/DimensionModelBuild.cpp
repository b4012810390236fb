#include <cstdio>
#include <cstring>
#include <new>

#include "core/RandomGenerator.h"
#include "core/Report.h"
#include "dims/DimensionModel.h"

namespace qem {

namespace {

constexpr char firstAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr char restAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr int32_t quarterCount = 8, yearCount = 2;

// A table of memberCount members, each knowing its position; reports a
// failed allocation with the table's name and size.
std::unique_ptr<DimensionTable> sizedTable(int64_t memberCount, const char* name) {
    std::unique_ptr<DimensionTable> table;
    try {
        table = std::make_unique<DimensionTable>();
        table->members.resize(static_cast<size_t>(memberCount));
    } catch (const std::bad_alloc&) {
        failOutOfMemory("the %s table: %lld members, %llu bytes", name, static_cast<long long>(memberCount),
                        static_cast<unsigned long long>(memberCount) * sizeof(Member));
    }
    for (int32_t i = 0; i < static_cast<int32_t>(memberCount); ++i) table->members[static_cast<size_t>(i)].index = i;
    return table;
}

}  // namespace

void generateCodes(DimensionTable& table) {
    table.packedCodes.resize(12 * table.members.size());
    char* packed = table.packedCodes.data();
    for (Member& m : table.members) {
        int32_t draws[12];  // one per character, in order
        randomInts(draws, 12);
        m.code[0] = firstAlphabet[(draws[0] >> 4) % 26];
        for (int c = 1; c < 12; ++c) m.code[c] = restAlphabet[(draws[c] >> 4) % 36];
        m.code[12] = '\0';
        memcpy(packed, m.code, 12);
        packed += 12;
    }
}

void distributeChildren(DimensionTable& table, int32_t firstParent, int32_t parentCount, int32_t firstChild,
                        int32_t base, int32_t remainder, int8_t childLevel) {
    Member* parents = table.members.data() + firstParent;
    for (int32_t p = 0; p < parentCount; ++p) parents[p].childCount = base;
    while (remainder > 0) {
        for (int32_t p = 0; p < parentCount && remainder > 0; ++p) {
            if (randomInt() & 0x100) {
                ++parents[p].childCount;
                --remainder;
            }
        }
    }
    Member* child = table.members.data() + firstChild;
    for (int32_t p = 0; p < parentCount; ++p) {
        for (int32_t k = 0; k < parents[p].childCount; ++k, ++child) {
            child->parent = &parents[p];
            child->level = childLevel;
        }
    }
}

void DimensionModel::build(int32_t channelCount) {
    // All four tables are allocated before the first member is drawn, the largest first,
    // so that a model too large for the memory fails at once (allocating draws nothing).
    productTable = sizedTable(1000 * int64_t{channelCount}, "product");
    customerTable = sizedTable(100 * int64_t{channelCount}, "customer");
    channelTable = sizedTable(channelCount, "channel");
    timeTable = sizedTable(monthCount + quarterCount + yearCount, "time");
    buildChannels(channelCount);
    buildCustomers(channelCount);
    buildProducts(channelCount);
    buildTimes();
}

void DimensionModel::buildChannels(int32_t n) {
    DimensionTable& t = *channelTable;
    generateCodes(t);
    t.leafCount = n - 1;
    Member& top = t.members[static_cast<size_t>(n - 1)];
    for (int32_t i = 0; i < n - 1; ++i) {
        t.members[static_cast<size_t>(i)].level = 0;
        t.members[static_cast<size_t>(i)].parent = &top;
    }
    top.level = 1;
    top.parent = nullptr;
}

void DimensionModel::buildCustomers(int32_t channelCount) {
    const int64_t s = 100 * static_cast<int64_t>(channelCount);
    DimensionTable& t = *customerTable;
    generateCodes(t);
    const int32_t nStore = static_cast<int32_t>(s * 9 / 10);
    const int32_t nRetailer = static_cast<int32_t>(s - nStore - 1);
    t.leafCount = nStore;
    distributeChildren(t, nStore, nRetailer, 0, nStore / nRetailer, nStore % nRetailer, 0);
    distributeChildren(t, nStore + nRetailer, 1, nStore, nRetailer, 0, 1);
    t.members[static_cast<size_t>(s - 1)].level = 2;
}

void DimensionModel::buildProducts(int32_t channelCount) {
    const int64_t s = 1000 * static_cast<int64_t>(channelCount);
    DimensionTable& t = *productTable;
    generateCodes(t);
    const int32_t nCode = static_cast<int32_t>(s * 9000 / 10000);
    const int32_t nGroup = static_cast<int32_t>(s * 300 / 10000);
    const int32_t nFamily = static_cast<int32_t>(s * 75 / 10000);
    const int32_t nLine = static_cast<int32_t>(s * 15 / 10000);
    const int32_t nDivision = static_cast<int32_t>(s * 5 / 10000 - 1);
    const int32_t nClass = static_cast<int32_t>(s - 1 - (int64_t{nCode} + nGroup + nFamily + nLine + nDivision));
    t.leafCount = nCode;

    const int32_t classStart = nCode;
    const int32_t groupStart = classStart + nClass;
    const int32_t familyStart = groupStart + nGroup;
    const int32_t lineStart = familyStart + nFamily;
    const int32_t divisionStart = lineStart + nLine;
    const int32_t top = divisionStart + nDivision;

    distributeChildren(t, classStart, nClass, 0, nCode / nClass, nCode % nClass, 0);
    distributeChildren(t, groupStart, nGroup, classStart, nClass / nGroup, nClass % nGroup, 1);
    distributeChildren(t, familyStart, nFamily, groupStart, nGroup / nFamily, nGroup % nFamily, 2);
    distributeChildren(t, lineStart, nLine, familyStart, nFamily / nLine, nFamily % nLine, 3);
    distributeChildren(t, divisionStart, nDivision, lineStart, nLine / nDivision, nLine % nDivision, 4);
    distributeChildren(t, top, 1, divisionStart, nDivision, 0, 5);
    t.members[static_cast<size_t>(top)].level = 6;

    // Marks: the upper 28% of the codes, then every Class, Group and Family
    // whose first child is marked (so exactly those whose codes all are).
    const int64_t firstMarked = int64_t{nCode} * dataRegionPercent / 100;
    for (int64_t i = firstMarked; i < nCode; ++i) t.members[static_cast<size_t>(i)].mark = 1;
    const int32_t firstChildOf[] = {0, classStart, groupStart};
    const int32_t levelStart[] = {classStart, groupStart, familyStart};
    const int32_t levelCount[] = {nClass, nGroup, nFamily};
    for (int level = 0; level < 3; ++level) {
        int32_t child = firstChildOf[level];
        for (int32_t i = 0; i < levelCount[level]; ++i) {
            Member& m = t.members[static_cast<size_t>(levelStart[level] + i)];
            m.mark = t.members[static_cast<size_t>(child)].mark;
            child += m.childCount;
        }
    }
}

void DimensionModel::buildTimes() {
    DimensionTable& t = *timeTable;
    t.leafCount = monthCount;
    for (int j = 0; j < monthCount; ++j) {
        Member& m = t.members[static_cast<size_t>(j)];
        snprintf(m.code, sizeof m.code, "%d%02d", 1995 + j / 12, j % 12 + 1);
        m.level = 0;
        m.parent = &t.members[static_cast<size_t>(firstQuarter + j / 3)];
    }
    for (int q = firstQuarter; q < firstYear; ++q) {
        Member& m = t.members[static_cast<size_t>(q)];
        snprintf(m.code, sizeof m.code, "%dQ%d", 1995 + (q - firstQuarter) / 4, (q - firstQuarter) % 4 + 1);
        m.level = 1;
        m.parent = &t.members[static_cast<size_t>(firstYear + (q - firstQuarter) / 4)];
    }
    for (int y = firstYear; y < firstYear + yearCount; ++y) {
        Member& m = t.members[static_cast<size_t>(y)];
        snprintf(m.code, sizeof m.code, "%d", 1995 + (y - firstYear));
        m.level = 2;
        m.parent = nullptr;
    }
}

}  // namespace qem
