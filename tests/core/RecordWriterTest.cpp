#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "core/OrderByKey.h"
#include "core/RandomGenerator.h"
#include "core/RecordWriter.h"

using namespace qem;

namespace {

// Generates `count` records (productIndex = generation number) by the buffer
// protocol and records what the base hands to writeRecord and endOfBuffer;
// formats nothing.
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
        : RecordWriter(nowhere(), capacity, 1, limit, lock), count(count), throwAt(throwAt) {}
    int32_t generated = 0;

protected:
    void walk() override {
        while (generated < count) {
            slot().productIndex = generated++;
            if (!emit()) return;
        }
    }
    char* writeRecord(const WriterRecord& r, char* text) override {
        if (written.size() == throwAt) throw TextException("write failed");
        written.push_back({slotIndex(r), r.productIndex, r.shuffleKey, generated});
        return text;
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

namespace {

// Writes record i (productIndex = generation number) as a line of lineLength
// characters, or one more for the record numbered overrunAt.
class LineWriter : public RecordWriter {
public:
    LineWriter(OutputFile& f, int32_t capacity, int32_t count, int32_t lineLength, WriterMutex* lock,
               int32_t overrunAt = -1)
        : RecordWriter(f, capacity, lineLength, 0, lock), count(count), overrunAt(overrunAt) {}

protected:
    void walk() override {
        for (int32_t i = 0; i < count; ++i) {
            slot().productIndex = i;
            emit();
        }
    }
    char* writeRecord(const WriterRecord& r, char* out) override {
        const int32_t width = lineLength() + (r.productIndex == overrunAt ? 1 : 0);
        memset(out, 'x', static_cast<size_t>(width - 1));
        out[width - 1] = '\n';
        return out + width;
    }

private:
    int32_t count, overrunAt;
};

// True when another thread can take the lock within 30 seconds.
bool lockIsFree(WriterMutex& lock) {
    auto taken = std::make_shared<std::promise<void>>();
    std::future<void> done = taken->get_future();
    std::thread([taken, &lock] {
        lock.lock();
        lock.unlock();
        taken->set_value();
    }).detach();
    return done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

// Runs the writer with standard error captured: the text it threw and what it reported.
std::pair<std::string, std::string> failureOf(RecordWriter& writer) {
    testing::internal::CaptureStderr();
    std::string thrown;
    try {
        writer.run();
    } catch (const TextException& e) {
        thrown = e.what();
    }
    return {thrown, testing::internal::GetCapturedStderr()};
}

}  // namespace

// A buffer's lines are all formatted before the lock is taken: a record that
// fails, or a line longer than the writer's line length (one of exactly that
// length passes), stops its buffer with nothing of it in the file. A failed
// write is reported and thrown with the writer's failure text. The lock is
// free afterwards in every case.
TEST(RecordWriter, FailuresLeaveNoPartOfTheirBufferAndTheLockFree) {
    static WriterMutex lock;  // outlives the helper threads even if one stays stuck
    qemtest::TempDir directory;
    ProbeWriter failing(30, 30, &lock, 7);
    EXPECT_EQ(failureOf(failing).first, "write failed");
    EXPECT_EQ(failing.written.size(), 7u);
    EXPECT_TRUE(failing.bufferEnds.empty());
    EXPECT_TRUE(lockIsFree(lock));

    {
        OutputFile file("overrun.qem");
        LineWriter overrun(file, 10, 25, 40, &lock, 13);
        EXPECT_EQ(failureOf(overrun).first, "Assert 002 failed");
        file.close();
    }
    EXPECT_EQ(std::filesystem::file_size("overrun.qem"), 10u * 40) << "the first buffer only";
    EXPECT_TRUE(lockIsFree(lock));

    // A block larger than any stdio buffer reaches the device at once.
    const std::string report = std::string("error writing '/dev/full'\n") + strerror(ENOSPC) + "\n";
    OutputFile full("/dev/full");
    LineWriter big(full, 3, 3, 4 * BUFSIZ + 100000, &lock);
    EXPECT_EQ(failureOf(big), std::pair(std::string("Oops"), report));
    EXPECT_TRUE(lockIsFree(lock));
}
