// The ring that carries the libraries' signals to every process of a shared TV, as a unit: in
// one process, on an area of its own, with writers that stop halfway and areas that were damaged.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "SimFixture.h"
#include "Ring.h"
#include "SimState.h"

namespace {

using namespace gxsim::internal;
using namespace std::chrono_literals;

class RingTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Area = mmap(nullptr, RingAreaBytes(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                      -1, 0);
        ASSERT_NE(m_Area, MAP_FAILED);
        ring = std::make_unique<SignalRing>(m_Area);
    }
    void TearDown() override { munmap(m_Area, RingAreaBytes()); }

    static RingSignal Motion(const std::string& text) {
        return RingSignal{false, 1005, text, std::nullopt};
    }
    // The texts the reader returns: up to `expected`, each waited for up to `wait`, and any
    // more that are there already.
    static std::vector<std::string> ReadAll(RingReader& reader, size_t expected = 0,
                                            std::chrono::milliseconds wait = 0ms) {
        std::vector<std::string> out;
        RingSignal s;
        while (reader.Next(&s, out.size() < expected ? wait : 0ms))
            out.push_back(s.text.value_or("(none)"));
        return out;
    }

    std::unique_ptr<SignalRing> ring;

private:
    void* m_Area = MAP_FAILED;
};

TEST_F(RingTest, WrapsAroundInOrderWithLargeRecordsAcrossTheEnd) {
    RingReader reader(ring.get(), 0, 1s);
    const std::string large(3000, 'x');  // 14 slots
    std::vector<std::string> sent, got;
    for (int round = 0; round < 3 * static_cast<int>(kRingSlots) / 100; ++round) {
        for (int i = 0; i < 100; ++i) {
            std::string text = i == 50 ? large + std::to_string(round) : std::to_string(i);
            ASSERT_TRUE(ring->Write(Motion(text)));
            sent.push_back(text);
        }
        for (const std::string& t : ReadAll(reader)) got.push_back(t);
    }
    EXPECT_GT(ring->Head(), 3u * kRingSlots);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(reader.counters().overrun + reader.counters().skipped + reader.counters().torn, 0u);
    EXPECT_EQ(reader.position(), ring->Head());
}

TEST_F(RingTest, EveryKindOfSignalComesBackAsWritten) {
    gxsim::FaceRecord withPath{7, std::string("/tmp/f.png"), 1, 2, 3, 4};
    gxsim::FaceRecord withoutPath{8, std::nullopt, -1, -2, -3, -4};
    const size_t kSlot = sizeof(SignalRing::Slot::data);
    const RingSignal kinds[] = {
        Motion(""),
        Motion(std::string(kSlot - 1, 'e')),  // the flags byte and this fill one slot
        Motion(std::string(kSlot, 'f')),      // one byte into a second
        RingSignal{false, 1000, std::nullopt, std::nullopt},
        RingSignal{true, 0, std::nullopt, withoutPath},
        RingSignal{true, 3, std::nullopt, withPath},
        RingSignal{true, 4, std::nullopt, std::nullopt},
    };
    auto fields = [](const RingSignal& s) {  // every field, a record's "none" where there is none
        const gxsim::FaceRecord r = s.record.value_or(gxsim::FaceRecord{-9, "none", 0, 0, 0, 0});
        return std::make_tuple(s.face, s.signal, s.text.value_or("none"), s.record.has_value(),
                               r.id, r.imagePath.value_or("null"), r.x, r.y, r.w, r.h);
    };
    RingReader reader(ring.get(), 0, 1s);
    for (const RingSignal& k : kinds) {
        ASSERT_TRUE(ring->Write(k));
        RingSignal s;
        ASSERT_TRUE(reader.Next(&s, 0ms));
        EXPECT_EQ(fields(s), fields(k));
    }
    reader.Restart(0);  // read again from the start: nothing counts as lost
    EXPECT_EQ(ReadAll(reader).size(), std::size(kinds));
    EXPECT_EQ(reader.counters().torn, 0u);
    // The largest text a client may emit fits a record.
    EXPECT_GT(SignalRing::SlotsFor(Motion(std::string(gxsim::kMaxSignalTextBytes, 'a'))), 0u);
}

TEST_F(RingTest, ALappedReaderCountsWhatItLostAndGoesOnFromTheOldest) {
    RingReader reader(ring.get(), 0, 1s);
    for (uint32_t i = 0; i < kRingSlots + 10; ++i)
        ASSERT_TRUE(ring->Write(Motion(std::to_string(i))));
    std::vector<std::string> got = ReadAll(reader);
    EXPECT_EQ(reader.counters().overrun, 10u);
    ASSERT_EQ(got.size(), kRingSlots);
    EXPECT_EQ(got.front(), "10");
    EXPECT_EQ(got.back(), std::to_string(kRingSlots + 9));
}

// A writer stopped between reserving and committing holds a reader up once, for the bounded
// wait, however many slots it reserved; later signals come through after it.
TEST_F(RingTest, UncommittedSlotsAreSkippedAfterOneBoundedWait) {
    for (uint32_t stuck : {1u, 400u}) {
        SCOPED_TRACE(stuck);
        RingReader reader(ring.get(), ring->Head(), 50ms);
        ring->Reserve(stuck);
        ASSERT_TRUE(ring->Write(Motion("after")));
        // Waiting 50 ms for each slot would take 20 s.
        EXPECT_EQ(ReadAll(reader, 1, 5s), std::vector<std::string>{"after"});
        EXPECT_EQ(reader.counters().skipped, stuck);
    }
}

TEST_F(RingTest, AWriterThatCommitsWithinTheWaitLosesNothing) {
    RingReader reader(ring.get(), 0, 5s);
    uint64_t pos = ring->Reserve(1);
    std::thread late([&] { ring->Fill(pos, Motion("late")); });
    RingSignal s;
    EXPECT_TRUE(reader.Next(&s, 5s));
    late.join();
    EXPECT_EQ(s.text, "late");
    EXPECT_EQ(reader.counters().skipped, 0u);
}

// A reader told to stop does not sleep out its wait, whether the stop came before it looked or
// while it sleeps.
TEST_F(RingTest, AReaderToldToStopReturnsAtOnce) {
    RingReader reader(ring.get(), 0, 1s);
    std::atomic<bool> stop{true};
    RingSignal s;
    EXPECT_FALSE(reader.Next(&s, 1h, &stop));
    stop = false;
    std::thread sleeper([&] { EXPECT_FALSE(reader.Next(&s, 1h, &stop)); });
    stop = true;
    ring->Poke();
    sleeper.join();
}

TEST_F(RingTest, WritersAtOnceLoseNothingAndKeepEachOnesOrder) {
    constexpr int kWriters = 4, kEach = 1500;
    RingReader reader(ring.get(), 0, 5s);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i)
                ring->Write(Motion(std::to_string(w) + ":" + std::to_string(i)));
        });
    std::vector<int> next(kWriters, 0);
    int total = 0;
    RingSignal s;
    while (total < kWriters * kEach && reader.Next(&s, 5s)) {
        int w = std::stoi(*s.text);
        ASSERT_EQ(*s.text, std::to_string(w) + ":" + std::to_string(next[w])) << "out of order";
        ++next[w];
        ++total;
    }
    for (std::thread& t : writers) t.join();
    EXPECT_EQ(total, kWriters * kEach);
    EXPECT_EQ(reader.counters().overrun + reader.counters().skipped + reader.counters().torn, 0u);
}

// ---- Damage ------------------------------------------------------------------------------------

struct DamageRow {
    const char* name;
    void (*damage)(SignalRing::Slot*);  // to slot 0, which holds "a"; "b" is at 1
    bool reseal;                        // the checksum is made to match the damage
    uint64_t RingCounters::*counter;    // what counts it
};

using Slot = SignalRing::Slot;
// clang-format off
const DamageRow kDamage[] = {
    {"DataChangedAfterTheChecksum", [](Slot* s) { s->data[1] ^= 1; }, false, &RingCounters::torn},
    {"UsedBeyondTheSlot", [](Slot* s) { s->used = 100000; }, true, &RingCounters::torn},
    {"NoSlotsInARecord", [](Slot* s) { s->count = 0; }, true, &RingCounters::torn},
    {"MoreSlotsThanARecordMayTake", [](Slot* s) { s->count = kRingSlots; }, true, &RingCounters::torn},
    {"ARecordCutShortByTheNext", [](Slot* s) { s->count = 2, s->used = sizeof s->data; }, true, &RingCounters::torn},
    {"AnUnknownKind", [](Slot* s) { s->info = 7; }, true, &RingCounters::torn},
    {"DataThatIsNoSignal", [](Slot* s) { s->data[0] = 0x40; }, true, &RingCounters::torn},
    {"AFaceRecordTooShort", [](Slot* s) { s->info |= 4, s->data[0] = 2; }, true, &RingCounters::torn},
    {"AFaceRecordTooLong", [](Slot* s) { s->info |= 4, s->data[0] = 2, s->used = 22; }, true, &RingCounters::torn},
    {"ASequenceFromALaterLap", [](Slot* s) { s->seq = kRingSlots + 1; }, false, &RingCounters::overrun},
    {"ASequenceNeverCommitted", [](Slot* s) { s->seq = 0; }, false, &RingCounters::skipped},
};
// clang-format on

class RingDamageTest : public RingTest, public ::testing::WithParamInterface<DamageRow> {};

TEST_P(RingDamageTest, IsCountedAndTheNextSignalStillComes) {
    ASSERT_TRUE(ring->Write(Motion("a")));
    ASSERT_TRUE(ring->Write(Motion("b")));
    GetParam().damage(ring->slot(0));
    if (GetParam().reseal) SignalRing::Seal(0, ring->slot(0));
    RingReader reader(ring.get(), 0, 10ms);
    EXPECT_EQ(ReadAll(reader, 1, 5s), std::vector<std::string>{"b"});
    EXPECT_EQ(reader.counters().*GetParam().counter, 1u);
}

INSTANTIATE_TEST_SUITE_P(Ring, RingDamageTest, ::testing::ValuesIn(kDamage),
                         [](const auto& info) { return std::string(info.param.name); });

// A head moved far ahead or back (damage) costs what was in between, never a reader that waits
// forever: the next signal written reaches it.
TEST_F(RingTest, AHeadMovedAheadOrBackIsFollowed) {
    for (uint64_t head : {uint64_t{1} << 62, uint64_t{0}}) {
        SCOPED_TRACE(head);
        RingReader reader(ring.get(), ring->Head(), 10ms);
        ASSERT_TRUE(ring->Write(Motion("before")));
        EXPECT_EQ(ReadAll(reader), std::vector<std::string>{"before"});
        ring->header()->head = head;
        RingSignal s;
        EXPECT_FALSE(reader.Next(&s, 100ms));  // what is in between is no signal
        ASSERT_TRUE(ring->Write(Motion("after")));
        EXPECT_EQ(ReadAll(reader, 1, 5s), std::vector<std::string>{"after"});
    }
}

// ---- The table of readers ----------------------------------------------------------------------

TEST_F(RingTest, SubscriptionsAreSummedOverTheEntriesInUse) {
    int a = ring->Register(100), b = ring->Register(200);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_NE(a, b);
    RingCounts ca, cb;
    ca.motion[5] = 2;  // signal 1005
    cb.motion[5] = 1;
    cb.face[3] = 4;
    ring->PublishCounts(a, ca);
    ring->PublishCounts(b, cb);
    EXPECT_EQ(ring->Subscribed(false, 1005), 3);
    EXPECT_EQ(ring->Subscribed(true, 3), 4);
    for (int outside : {999, 1035, -1, 6}) EXPECT_EQ(ring->Subscribed(outside < 999, outside), 0);
    // A count no process can have (damage) is capped, not let to overflow the answer.
    cb.motion[5] = 0xffffffff;
    ring->PublishCounts(b, cb);
    EXPECT_EQ(ring->Subscribed(false, 1005), 2 + (1 << 20));
    cb.motion[5] = 1;
    ring->PublishCounts(b, cb);
    // A damaged count of the entries in use: read within the table, and repaired by the next
    // publication.
    ring->header()->entries = 0xffffffff;
    EXPECT_EQ(ring->Subscribed(false, 1005), 3);
    ring->header()->entries = 0;
    ring->PublishCounts(std::max(a, b), cb);
    EXPECT_EQ(ring->Subscribed(false, 1005), 3);
    ring->Release(200);
    EXPECT_EQ(ring->Subscribed(false, 1005), 2);
    EXPECT_EQ(ring->Readers().size(), 1u);
    EXPECT_EQ(ring->Readers()[0].first, 100);
}

TEST_F(RingTest, AFullTableGivesUpTheEntryOfAProcessThatEnded) {
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    for (uint32_t i = 0; i + 1 < kRingEntries; ++i) ASSERT_GE(ring->Register(getpid()), 0);
    int last = ring->Register(gone);
    ASSERT_GE(last, 0);
    RingCounts c;
    c.face[0] = 9;
    ring->PublishCounts(last, c);
    EXPECT_EQ(ring->Register(getpid()), last);
    EXPECT_EQ(ring->Subscribed(true, 0), 0) << "the new owner starts with no subscriptions";
    EXPECT_EQ(ring->Register(getpid()), -1);
}

// ---- The ring's reader and the delivery thread --------------------------------------------------

// In a process joined to a shared TV: the delivery thread is held in a callback while two signals
// come through the ring. The reader must queue them behind it, not run them beside it.
int HeldDeliveryWhileTheRingDelivers() {
    Recorder rec;
    int h = rec.Instance(dlopen(GXSIM_GESTURE_BRIDGE_PATH, RTLD_LAZY));
    if (h == 0) return 2;  // the motion library did not load, or made no instance
    if (!gxsim::InvokeMotionCallback(h, 1005, std::string("held"))) return 3;
    if (!gxtest::WaitUntil([&] { return rec.Count() == 1; })) return 4;
    gxsim::EmitMotionSignal(1005, std::string("ring1"));
    gxsim::EmitMotionSignal(1005, std::string("ring2"));
    // Until both are queued behind the held callback, or one came in beside it.
    State& s = SimState();
    gxtest::WaitUntil([&] {
        std::lock_guard<std::mutex> lk(s.mu);
        return s.queue.size() == 2 || rec.Count() > 1;
    });
    rec.Release();
    gxsim::Drain();
    std::lock_guard<std::mutex> lk(rec.mu);
    std::string order;
    for (const std::string& t : rec.texts) order += " " + t;
    std::fprintf(stderr, "callbacks:%s; at most %d at once\n", order.c_str(), rec.most);
    return rec.most == 1 && order == " held ring1 ring2" ? 0 : 1;
}

}  // namespace

// The joined process's link to the owner, for its changes to the TV (handles).
int gEditLink = -1;

bool SendEdit(const std::string& request, std::string* answer, std::string* error) {
    static std::mutex oneAtATime;  // a request and its answer, whichever thread edits
    std::lock_guard<std::mutex> lk(oneAtATime);
    char buf[65536];
    ssize_t n = -1;
    if (send(gEditLink, request.data(), request.size(), MSG_NOSIGNAL) >= 0)
        n = recv(gEditLink, buf, sizeof buf, 0);
    if (n < 0) *error = std::strerror(errno);
    if (n > 0) answer->assign(buf, static_cast<size_t>(n));
    return n > 0;
}

// This binary's "--ring-delivery": the owner of a shared TV, which runs this binary again
// ("--ring-join FD LINK") as a process that joins it, and applies its changes until it ends.
int RingDeliveryHelper(int argc, char** argv) {
    gxsim::SetLogQuiet(true);
    std::string error;
    if (argc == 4) {
        gEditLink = atoi(argv[3]);
        gxsim::SetEditTransport(&SendEdit);
        return gxsim::JoinSharedState(atoi(argv[2]), &error) ? HeldDeliveryWhileTheRingDelivers()
                                                             : 6;
    }
    int link[2];
    int fd = gxsim::ShareState(&error);
    if (fd < 0 || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, link) < 0) return 5;
    // Copies without close-on-exec, for the joined process.
    int tv = fcntl(fd, F_DUPFD, 3), theirs = fcntl(link[1], F_DUPFD, 3);
    pid_t joined = gxtest::Spawn(
        {"/proc/self/exe", "--ring-join", std::to_string(tv), std::to_string(theirs)});
    close(theirs);
    close(link[1]);
    char buf[65536];
    for (ssize_t n; (n = recv(link[0], buf, sizeof buf, 0)) > 0;) {
        std::string answer = gxsim::ApplyEdit(std::string(buf, static_cast<size_t>(n)));
        send(link[0], answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    return gxtest::WaitExit(joined);
}

namespace {

TEST(RingDeliveryTest, TheReaderQueuesBehindACallbackThatRuns) {
    gxtest::ProcessResult r = gxtest::RunProgram({"/proc/self/exe", "--ring-delivery"});
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
