// The simulator's wire format and the broker's side of the calls that reach every worker: the
// trace's encoding, the method table's promises, and the combination of the workers' answers, on
// messages built and read back in this process.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Combined.h"
#include "MethodTable.h"
#include "StateLink.h"
#include "gxsim/Wire.h"

namespace gxsim {
bool operator==(const TraceEntry& a, const TraceEntry& b) {
    return a.function == b.function && a.args == b.args && a.result == b.result &&
           a.detail == b.detail && a.seq == b.seq && a.pid == b.pid;
}
}  // namespace gxsim

namespace {

using gxsim::TraceEntry;
using gxsimbus::Combine;

gxsim::TraceEntry Call(uint64_t seq, std::string function, std::vector<std::string> args = {}) {
    return TraceEntry{std::move(function), std::move(args), -7, "handle=1001", seq, 4242};
}

class WireTest : public ::testing::Test {
protected:
    void SetUp() override {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        m_Peer = pair[1];
        ASSERT_GE(sd_bus_new(m_Bus.out()), 0);
        ASSERT_GE(sd_bus_set_fd(m_Bus.get(), pair[0], pair[0]), 0);
        ASSERT_GE(sd_bus_start(m_Bus.get()), 0);
    }
    void TearDown() override { close(m_Peer); }

    // A message holding what `fill` appends, sealed and ready to be read from its start.
    gxhost::MessageRef Message(const std::function<int(sd_bus_message*)>& fill) {
        gxhost::MessageRef m;
        EXPECT_GE(sd_bus_message_new_method_call(m_Bus.get(), m.out(), nullptr, "/", "t.T", "M"),
                  0);
        EXPECT_GE(fill(m.get()), 0);
        EXPECT_GE(sd_bus_message_seal(m.get(), ++m_Cookie, 0), 0);
        EXPECT_GE(sd_bus_message_rewind(m.get(), 1), 0);
        return m;
    }

    gxsimbus::ClosingBusRef m_Bus;
    int m_Peer = -1;
    uint64_t m_Cookie = 0;
};

TEST_F(WireTest, TraceReadsBackAsWrittenAndAnOmissionNoteIsKnown) {
    std::vector<TraceEntry> calls = {Call(1, "gx_motion_recog_create", {"0x7ff0"}), Call(2, "f"),
                                     Call(3, "g", {"", "null", "a, b"})};
    auto m = Message([&](sd_bus_message* w) { return gxsim::wire::AppendTrace(w, calls); });
    std::vector<TraceEntry> read;
    ASSERT_GE(gxsim::wire::ReadTrace(m.get(), &read), 0);
    EXPECT_EQ(read, calls);

    std::vector<TraceEntry> many(gxsimbus::kMaxTrace + 2, Call(0, "f"));
    for (size_t i = 0; i < many.size(); ++i) many[i].seq = i + 1;
    gxsimbus::CapTraceReply(&many);
    ASSERT_EQ(many.size(), gxsimbus::kMaxTrace + 1);
    EXPECT_TRUE(gxsim::wire::IsOmissionNote(many[0]));
    EXPECT_EQ(many[0].result, 2);
    EXPECT_EQ(many[1].seq, 3u);  // the newest are kept
    EXPECT_FALSE(gxsim::wire::IsOmissionNote(many[1]));
}

// The broker answers a spread call in the shape its signature promises: the combine rule and the
// out signature of each method must agree, and the broker's link serves exactly what it spreads.
TEST(MethodTableTest, CombineRulesAgreeWithTheSignaturesAndEachNameIsServedOnce) {
    std::set<std::string> names;
    size_t spread = 0;
    for (size_t i = 0; i < gxsimbus::kMethodCount; ++i) {
        const gxsimbus::Method& method = gxsimbus::kMethods[i];
        EXPECT_TRUE(names.insert(method.name).second) << method.name;
        EXPECT_EQ(gxsimbus::FindMethod(method.name), &method);
        const std::map<Combine, std::string> out = {{Combine::Nothing, ""},
                                                    {Combine::Any, "b"},
                                                    {Combine::Concat, gxsim::wire::kMotionStates},
                                                    {Combine::Trace, gxsim::wire::kTraceCalls}};
        if (method.combine == Combine::Here || method.combine == Combine::Ring) continue;
        ++spread;
        EXPECT_EQ(method.out, out.at(method.combine)) << method.name;
    }
    EXPECT_EQ(gxsimbus::FindMethod("Retire"), nullptr);
    auto count = [](const sd_bus_vtable* v) {
        size_t n = 0;
        while (v[n + 1].type != _SD_BUS_VTABLE_END) ++n;
        return n;
    };
    EXPECT_EQ(count(gxsimbus::Vtable(gxsimbus::Attachment::Local)), gxsimbus::kMethodCount);
    EXPECT_EQ(count(gxsimbus::Vtable(gxsimbus::Attachment::Relaying)), gxsimbus::kMethodCount);
    EXPECT_EQ(count(gxsimbus::Vtable(gxsimbus::Attachment::Spreading)), spread + 2);
}

// ---- The combination of the workers' answers ---------------------------------------------------

using Fill = std::function<int(sd_bus_message*)>;

Fill Bool(bool b) {
    return [b](sd_bus_message* m) { return sd_bus_message_append(m, "b", b ? 1 : 0); };
}
// A worker's MotionStates answer: one instance for each handle.
Fill Instances(std::vector<int32_t> handles) {
    return [handles](sd_bus_message* m) {
        int r = sd_bus_message_open_container(m, 'a', gxsim::wire::kMotionState);
        for (int32_t h : handles)
            if (r >= 0)
                r = sd_bus_message_append(m, gxsim::wire::kMotionState, 7u, h, 0, 0, 0, 0, 0, 0, 1,
                                          1005);
        return r < 0 ? r : sd_bus_message_close_container(m);
    };
}
Fill Calls(std::vector<uint64_t> seqs) {
    return [seqs](sd_bus_message* m) {
        std::vector<TraceEntry> calls;
        for (uint64_t s : seqs) calls.push_back(Call(s, "f"));
        return gxsim::wire::AppendTrace(m, calls);
    };
}

// The combined reply as text: its one number, its handles or its sequence numbers.
std::string Render(Combine rule, sd_bus_message* m) {
    std::string out;
    if (rule == Combine::Any) {
        int32_t n = 0;
        EXPECT_GE(sd_bus_message_read_basic(m, 'b', &n), 0);
        out = std::to_string(n);
    } else if (rule == Combine::Concat) {
        EXPECT_GE(sd_bus_message_enter_container(m, 'a', gxsim::wire::kMotionState), 0);
        uint32_t pid;
        int32_t handle, skip, signal;
        while (sd_bus_message_read(m, "(uiiiiiiiai)", &pid, &handle, &skip, &skip, &skip, &skip,
                                   &skip, &skip, 1, &signal) > 0)
            out += std::to_string(handle) + " ";
        EXPECT_GE(sd_bus_message_exit_container(m), 0);
    } else if (rule == Combine::Trace) {
        std::vector<TraceEntry> calls;
        EXPECT_GE(gxsim::wire::ReadTrace(m, &calls), 0);
        for (const TraceEntry& c : calls) out += std::to_string(c.seq) + " ";
    }
    EXPECT_GT(sd_bus_message_at_end(m, 1), 0) << "more than the signature promises";
    return out;
}

struct CombineRow {
    const char* name;
    Combine rule;
    std::vector<Fill> answers;
    std::vector<uint64_t> retired;  // sequence numbers of calls of workers that have ended
    const char* expected;
};

// clang-format off
const CombineRow kCombineRows[] = {
    {"AnyIsTrueWhenOneWorkerCalledBack",            Combine::Any,     {Bool(false), Bool(true), Bool(false)}, {}, "1"},
    {"AnyIsFalseWhenNoneDid",                       Combine::Any,     {Bool(false), Bool(false)}, {}, "0"},
    {"AnyOfNoWorkerIsFalse",                        Combine::Any,     {}, {}, "0"},
    {"ConcatListsEveryWorkersInstancesInTurn",      Combine::Concat,  {Instances({1001}), Instances({}), Instances({1002, 1003})}, {}, "1001 1002 1003 "},
    {"TraceMergesTheWorkersAndTheEndedInCallOrder", Combine::Trace,   {Calls({5, 1}), Calls({4})}, {2, 3}, "1 2 3 4 5 "},
    {"NothingAnswersEmpty",                         Combine::Nothing, {Bool(true)}, {}, ""},
};
// clang-format on

class CombineTable : public WireTest, public ::testing::WithParamInterface<CombineRow> {};

TEST_P(CombineTable, Row) {
    const CombineRow& row = GetParam();
    gxsimbus::Combined combined(row.rule);
    std::vector<gxhost::MessageRef> answers;
    for (const Fill& fill : row.answers) {
        answers.push_back(Message(fill));
        combined.Take(answers.back().get());
    }
    std::deque<TraceEntry> retired;
    for (uint64_t seq : row.retired) retired.push_back(Call(seq, "ended"));
    auto reply = Message([&](sd_bus_message* m) { return combined.AppendTo(m, retired); });
    EXPECT_EQ(Render(row.rule, reply.get()), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Wire, CombineTable, ::testing::ValuesIn(kCombineRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
