#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/OrderByKey.h"
#include "core/RandomGenerator.h"
#include "core/RecordWriter.h"

namespace {

// Generates `count` records (productIndex = generation number) by the buffer
// protocol and records what the base hands to writeRecord and endOfBuffer.
class ProbeWriter : public RecordWriter {
public:
    struct Written {
        int32_t slot, product, key, generatedBefore;
    };
    std::vector<Written> written;
    std::vector<size_t> bufferEnds;  // size of `written` at each endOfBuffer()

    // Records at most `limit` records when limit is not 0 (the walk stops when the base says so).
    ProbeWriter(int32_t capacity, int32_t count, WriterMutex* lock = nullptr, size_t throwAt = SIZE_MAX,
                int32_t limit = 0)
        : RecordWriter(nowhere(), capacity, limit, lock), count(count), throwAt(throwAt) {}
    int32_t generated = 0;

protected:
    void walk() override {
        while (generated < count) {
            slot().productIndex = generated++;
            if (!emit()) return;
        }
    }
    void writeRecord(const WriterRecord& r) override {
        if (written.size() == throwAt) throw "write failed";
        written.push_back({slotIndex(r), r.productIndex, r.shuffleKey, generated});
    }
    void endOfBuffer() override { bufferEnds.push_back(written.size()); }

private:
    static OutputFile& nowhere() {
        static OutputFile file("/dev/null");
        return file;
    }
    int32_t count;
    size_t throwAt;
};

// The keys a stream seeded with s yields for draws [skip, skip + n).
std::vector<int32_t> draws(int32_t s, int skip, int n) {
    RandomGenerator g(s);
    std::vector<int32_t> out;
    for (int i = 0; i < skip + n; ++i) out.push_back(g.nextInt());
    return std::vector<int32_t>(out.begin() + skip, out.end());
}

// Checks that `written` lists slots 0..k-1 (holding records first..first+k-1)
// in the order the ordering procedure gives the slot keys `keys`.
void expectShuffledWrite(const ProbeWriter::Written* written, const std::vector<int32_t>& keys, int32_t first) {
    std::vector<const int32_t*> order;
    for (const int32_t& key : keys) order.push_back(&key);
    orderByKey(order.data(), order.data() + order.size(), [](const int32_t* p) { return *p; });
    for (size_t i = 0; i < order.size(); ++i) {
        const int32_t slot = static_cast<int32_t>(order[i] - keys.data());
        ASSERT_EQ(written[i].slot, slot) << i;
        ASSERT_EQ(written[i].product, first + slot) << "slot written with its own record";
        ASSERT_EQ(written[i].key, keys[static_cast<size_t>(slot)]);
    }
}

}  // namespace

// Construction draws one key per slot, in slot order, whether or not the writer
// runs; full buffers draw nothing, the final partial flush of k records draws k.
// With 16333 slots many keys repeat, and every record is still written once.
// 50/100 is a run of exactly two buffers: both in the construction permutation,
// then an empty final flush that still calls endOfBuffer().
TEST(RecordWriter, KeysAreDrawnAtConstructionAndFinalPartialFlushOnly) {
    for (auto [capacity, count] : {std::pair{16333, 16333}, {50, 100}, {50, 101}, {50, 117}, {50, 149}}) {
        SCOPED_TRACE(count);
        seedRandom(555);
        ProbeWriter writer(capacity, count);
        EXPECT_EQ(randomInt(), draws(555, capacity, 1)[0]);
        seedRandom(555);
        ProbeWriter drawn(capacity, count);
        drawn.run();
        const int partial = count % capacity;
        EXPECT_EQ(randomInt(), draws(555, capacity + partial, 1)[0]);
        const std::vector<int32_t> keys = draws(555, 0, capacity);
        for (int32_t first = 0; first + capacity <= count; first += capacity)
            expectShuffledWrite(&drawn.written[static_cast<size_t>(first)], keys, first);
        expectShuffledWrite(&drawn.written[static_cast<size_t>(count - partial)], draws(555, capacity, partial),
                            count - partial);
        std::vector<size_t> ends;
        for (int32_t end = capacity; end <= count; end += capacity) ends.push_back(static_cast<size_t>(end));
        ends.push_back(static_cast<size_t>(count));
        EXPECT_EQ(drawn.bufferEnds, ends);
    }
}

TEST(RecordWriter, CapacityOneWritesEachRecordAtOnceWithItsConstructionKey) {
    seedRandom(8);
    ProbeWriter writer(1, 5);
    writer.run();
    EXPECT_EQ(randomInt(), draws(8, 1, 1)[0]);
    ASSERT_EQ(writer.written.size(), 5u);
    for (int32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(writer.written[static_cast<size_t>(i)].generatedBefore, i + 1);
        EXPECT_EQ(writer.written[static_cast<size_t>(i)].key, draws(8, 0, 1)[0]);
    }
    EXPECT_EQ(writer.bufferEnds, (std::vector<size_t>{1, 2, 3, 4, 5, 5}));
}

// A record limit ends the walk at the record that reaches it; the buffer is
// written then (in the construction order when it is full, else in a fresh
// order) and nothing follows.
TEST(RecordWriter, RecordLimitWritesTheBufferAndEndsTheWalk) {
    for (auto [limit, partial] : {std::pair{5, 2}, {6, 0}}) {
        seedRandom(77);
        ProbeWriter writer(3, 100, nullptr, SIZE_MAX, limit);
        writer.run();
        EXPECT_EQ(writer.generated, limit);
        EXPECT_EQ(writer.bufferEnds, limit == 5 ? (std::vector<size_t>{3, 5}) : (std::vector<size_t>{3, 6}));
        EXPECT_EQ(randomInt(), draws(77, 3 + partial, 1)[0]) << "keys drawn for the limit's partial buffer only";
        if (partial) expectShuffledWrite(&writer.written[3], draws(77, 3, partial), 3);
    }
}

TEST(RecordWriter, FailedRecordReleasesTheLockAndStopsTheBuffer) {
    static WriterMutex lock;  // outlives the helper thread even if it stays stuck
    ProbeWriter writer(30, 30, &lock, 7);
    EXPECT_THROW(writer.run(), const char*);
    EXPECT_EQ(writer.written.size(), 7u);
    EXPECT_TRUE(writer.bufferEnds.empty());
    auto taken = std::make_shared<std::promise<void>>();
    std::future<void> done = taken->get_future();
    std::thread([taken] {
        lock.lock();
        lock.unlock();
        taken->set_value();
    }).detach();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "lock still held";
}

namespace {

// Writes one text larger than any stdio buffer, so the failure shows at once.
class FullDeviceWriter : public RecordWriter {
public:
    FullDeviceWriter(OutputFile& f, bool asLine) : RecordWriter(f, 1), asLine(asLine) {}

protected:
    void walk() override { emit(); }
    void writeRecord(const WriterRecord&) override {
        const std::string big(4 * BUFSIZ + 100000, 'x');
        asLine ? writeLine(big.c_str()) : writeText(big.data(), big.size());
    }

private:
    bool asLine;
};

}  // namespace

TEST(RecordWriter, WriteFailureIsReportedAndThrowsOops) {
    for (bool asLine : {false, true}) {
        OutputFile file("/dev/full");
        FullDeviceWriter writer(file, asLine);
        testing::internal::CaptureStderr();
        const char* caught = nullptr;
        try {
            writer.run();
        } catch (const char* text) {
            caught = text;
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_STREQ(caught, "Oops");
        EXPECT_EQ(err, std::string("error writing '/dev/full'\n") + strerror(ENOSPC) + "\n");
    }
}
