// The operators' checker run in-process against the reference falloff
// server: once as it is (nothing to find), and once per defect it must name,
// with the plug-in's waits shortened.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/falloff_check/check.h"
#include "tools/falloff_check/judge.h"
#include "falloff/protocol.h"
#include "testkit/reference_server.h"
#include "testkit/test_os.h"

namespace {
const std::string kA = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";
const std::string kB = "0badc0debeef00112233445566778899aabbccdd";

CheckOptions options(uint16_t port) {
    CheckOptions o;
    o.host = "127.0.0.1";
    o.port = std::to_string(port);
    o.key = "k3y";
    o.run_ms = 300;
    o.greeting_ms = 300;
    return o;
}

std::set<std::string> codes(const CheckResult& r) {
    std::set<std::string> c;
    for (const Finding& f : r.findings) c.insert(f.code);
    return c;
}

// The reference server, answering HELLO as told and then sending bytes.
CheckResult check_against(HelloReply reply, const std::string& bytes, bool close_after, CheckOptions* o = nullptr,
                          FalloffServer* out = nullptr) {
    FalloffServer local;
    FalloffServer& server = out ? *out : local;
    server.set_hello_reply(reply);
    server.set_on_client([&](FalloffServer& s) {
        s.send(bytes);
        if (close_after) s.close_client();
    });
    EXPECT_TRUE(server.start());
    CheckOptions mine = options(server.port());
    if (o) {
        o->host = mine.host;
        o->port = mine.port;
    }
    CheckResult r = run_check(o ? *o : mine);
    server.stop();
    return r;
}

TEST(FalloffCheck, TheReferenceServerHasNoFindings) {
    FalloffServer server;
    CheckOptions o = options(0);
    o.ping_interval_ms = 50;
    const std::string update = "UPDATE2 " + kA + " 0.5 -1, " + kB + " 1 0\n";
    const CheckResult r = check_against(HelloReply::ok, update + "PING\n" + update, false, &o, &server);

    EXPECT_TRUE(r.ran && r.greeted);
    EXPECT_TRUE(r.findings.empty()) << r.findings[0].code << ": " << r.findings[0].message;
    EXPECT_EQ(r.updates, 2u);
    EXPECT_EQ(r.pings_received, 1u);
    ASSERT_EQ(r.last_update.size(), 2u);
    EXPECT_EQ(r.last_update[0].hash, kA);
    EXPECT_FLOAT_EQ(r.last_update[0].left, 0.5f);  // fully left: the gain on the left alone
    EXPECT_FLOAT_EQ(r.last_update[0].right, 0.0f);
    EXPECT_NEAR(r.last_update[1].left, 0.7071f, 1e-4f);
    // It spoke as the plug-in does: its HELLO, an answer to PING, its own PING.
    char hello[kHelloBuffer];
    format_hello(hello, sizeof hello, "k3y", kCheckId);
    ASSERT_EQ(server.hellos().size(), 1u);
    EXPECT_EQ(server.hellos()[0] + "\n", hello);
    EXPECT_GE(server.pings_received(), 1);
    std::vector<std::string> got = server.lines();
    EXPECT_NE(std::find(got.begin(), got.end(), "OK"), got.end());
}

struct Defect {
    const char* name;
    HelloReply reply;
    std::string bytes;
    bool close_after;
    std::set<std::string> expected;
    bool error;  // one of them is an error: the run fails
};

std::string many_speakers(int n) {
    std::string s = "UPDATE";
    for (int i = 0; i < n; ++i) s += (i ? ",h" : " h") + std::to_string(i) + " 1";
    return s + "\n";
}

TEST(FalloffCheck, NamesEachDefect) {
    const std::string a = kA + " 1 0";
    const std::string exact(8191 - 8 - a.size(), ' ');  // a line of exactly 8191 characters is whole
    const std::vector<Defect> defects = {
        {"refusal", HelloReply::error_line, "", false, {"greeting_refused"}, true},
        {"PING before OK", HelloReply::ping_first, "", false, {"greeting_refused"}, true},
        {"silence", HelloReply::silent, "", false, {"greeting_timeout"}, true},
        // Accepted once the greeting's time runs out, as the plug-in does.
        {"OK without line feed", HelloReply::ok_no_newline, "", false, {"greeting_unterminated", "no_updates"}, true},
        {"8191 characters", HelloReply::ok, "UPDATE2 " + a + exact + "\n", false, {}, false},
        {"over 8191", HelloReply::ok, "UPDATE2 " + a + std::string(9000, ' ') + "x\n", false, {"line_too_long"}, true},
        {"513 speakers", HelloReply::ok, many_speakers(513), false, {"too_many_speakers", "not_a_certificate_hash"},
         true},
        {"gain a word", HelloReply::ok, "UPDATE2 " + kA + " loud 0\n", false, {"item_dropped"}, true},
        {"gain nan", HelloReply::ok, "UPDATE2 " + kA + " nan 0\n", false, {"item_dropped"}, true},
        {"pan a word", HelloReply::ok, "UPDATE2 " + kA + " 0.5 left\n", false, {"pan_not_a_number"}, true},
        {"decimal comma", HelloReply::ok, "UPDATE2 " + kA + " 0,5 -1\n", false, {"decimal_comma"}, true},
        {"percent", HelloReply::ok, "UPDATE2 " + kA + " 50 0\n", false, {"gain_above_one"}, true},
        {"out of range", HelloReply::ok, "UPDATE2 " + kA + " 0.5 -3\n", false, {"value_clamped"}, false},
        {"repeated hash", HelloReply::ok, "UPDATE2 " + kB + " 0.2 0, 0BADC0DEBEEF00112233445566778899AABBCCDD 1 1\n",
         false, {"duplicate_speaker"}, false},
        {"short hash", HelloReply::ok, "UPDATE2 alice 1 0\n", false, {"not_a_certificate_hash"}, false},
        {"pan in UPDATE", HelloReply::ok, "UPDATE " + kA + " 0.5 -1\n", false, {"text_ignored"}, false},
        {"lower-case ping", HelloReply::ok, "UPDATE2 " + a + "\nping\n", false, {"line_ignored"}, false},
        {"nobody, ever", HelloReply::ok, "UPDATE2\nUPDATE\n", false, {"no_speakers"}, false},
        {"no updates", HelloReply::ok, "PING\n", false, {"no_updates"}, true},
        {"closed", HelloReply::ok, "UPDATE2 " + a + "\n", true, {"connection_closed"}, true},
    };
    for (const Defect& d : defects) {
        const CheckResult r = check_against(d.reply, d.bytes, d.close_after);
        EXPECT_TRUE(r.ran) << d.name;
        EXPECT_EQ(codes(r), d.expected) << d.name;
        EXPECT_EQ(r.has_error(), d.error) << d.name;
    }
}

// A cause with several effects is told once, first, as what it is: the
// effects (a speaker "5" at gain 0, an item cut in two) are not findings
// of their own.
TEST(FalloffCheck, TellsTheCauseFirst) {
    // The cut falls right after Bob's hash: that item loses its gain, and
    // the rest of the line comes as a line of its own.
    const std::string head = "UPDATE2 " + kA + " 1 0,";
    const std::string line = head + std::string(8191 - head.size() - kB.size(), ' ') + kB + " 0.5 0\n";
    const CheckResult cut = check_against(HelloReply::ok, line + "UPDATE2 " + kA + " 1 0\n", false);
    ASSERT_EQ(cut.findings.size(), 1u) << human_report({}, cut);
    EXPECT_EQ(cut.findings[0].code, "line_too_long");
    EXPECT_EQ(cut.findings[0].line, 2u);
    EXPECT_EQ(cut.updates, 2u);

    const CheckResult comma = check_against(HelloReply::ok, "UPDATE2 " + kA + " 0,5 -1, " + kB + " 1,25 0\n", false);
    ASSERT_EQ(comma.findings.size(), 1u) << human_report({}, comma);
    EXPECT_EQ(comma.findings[0].code, "decimal_comma");
    EXPECT_EQ(comma.findings[0].line, 2u);
}

// A server that only ever names fewer speakers than the operator knows are
// together fails with --min-speakers.
TEST(FalloffCheck, MinSpeakersFailsARunThatNeverNamedThatMany) {
    CheckOptions o = options(0);
    o.min_speakers = 2;
    const std::string one = "UPDATE2 " + kA + " 1 0\n";
    EXPECT_EQ(codes(check_against(HelloReply::ok, one + "UPDATE2\n", false, &o)),
              std::set<std::string>{"too_few_speakers"});
    EXPECT_TRUE(codes(check_against(HelloReply::ok, one + "UPDATE2 " + kA + " 1 0, " + kB + " 1 0\n", false, &o))
                    .empty());
}

// A line whose line feed never comes is the plug-in's only after a silence.
TEST(FalloffCheck, ALineWithoutLineFeedIsTakenAfterTheSilence) {
    CheckOptions o = options(0);
    o.receive_timeout_ms = 100;
    o.run_ms = 600;
    const CheckResult r = check_against(HelloReply::ok, "UPDATE2 " + kA + " 1 0", false, &o);
    EXPECT_EQ(codes(r), std::set<std::string>{"line_unterminated"});
    EXPECT_EQ(r.updates, 1u);
}

// A server trickling its answer byte by byte is cut off at the deadline of
// the whole answer, not held on to while each byte comes in time.
TEST(FalloffCheck, ATricklingAnswerTimesOutAtTheGreetingDeadline) {
    uint16_t port = 0;
    test_os::Sock listener = test_os::listen_loopback(0, 1, &port);
    std::atomic<bool> done{false};
    std::thread peer([&] {
        test_os::Sock c = test_os::accept_for(listener, 3000);
        for (int i = 0; i < 100 && !done; ++i) {
            test_os::send_all(c, "O", 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        test_os::close_sock(c);
    });
    const auto start = std::chrono::steady_clock::now();
    const CheckResult r = run_check(options(port));
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    peer.join();
    test_os::close_sock(listener);
    EXPECT_EQ(codes(r), std::set<std::string>{"greeting_refused"});  // "OOO..." is what had come
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

// Whatever bytes come, what is reported is printable ASCII, so the JSON
// built from it stays valid.
TEST(FalloffCheck, OutsideBytesAreEscaped) {
    std::string hostile;
    for (int c = 1; c < 256; ++c)
        if (c != '\n' && c != '\r') hostile += static_cast<char>(c);
    CheckOptions o = options(0);
    const CheckResult r = check_against(HelloReply::ok, "UPDATE2 " + hostile + " 1\n" + hostile + "\n", false, &o);
    ASSERT_FALSE(r.findings.empty());
    const std::string json = json_report(o, r) + human_report(o, r);
    for (char c : json) EXPECT_TRUE((c >= 0x20 && c < 0x7F) || c == '\n') << static_cast<int>(c);
    EXPECT_NE(json.find("\"code\":\"line_ignored\""), std::string::npos);
    EXPECT_NE(json.find("\\\\x1B"), std::string::npos);  // ESC, escaped and then JSON-escaped
}

// Escaped, a byte takes four characters: neither a long answer nor a long
// hash is cut without saying so, nor does a table row lose its line end.
TEST(FalloffCheck, LongEscapedTextIsCutVisiblyOrNotAtAll) {
    const std::string esc(300, '\x1b');
    const std::string shown = excerpt(esc.data(), esc.size(), 200);
    EXPECT_EQ(shown.size(), 200u * 4 + 3);
    EXPECT_EQ(shown.substr(shown.size() - 3), "...");
    EXPECT_EQ(excerpt(esc.data(), 200, 200).size(), 200u * 4);

    const std::string hash(127, '\x7f');  // the longest hash, every byte escaped: 508 characters
    const CheckResult r = check_against(HelloReply::ok, "UPDATE2 " + hash + " 1 0\n", false);
    const std::string text = human_report(options(1), r);
    const std::string row = "  " + excerpt(hash.data(), hash.size(), 200) + " 1.000  0.000  0.707  0.707\n";
    EXPECT_NE(text.find(row), std::string::npos) << text;
}

// A run that never connected is told as an error, also to a script, and
// only after the connect was tried for its whole time.
TEST(FalloffCheck, NoServerMeansTheCheckDidNotRun) {
    CheckOptions o = options(test_os::unused_port());
    o.connect_ms = 400;
    const auto start = std::chrono::steady_clock::now();
    const CheckResult r = run_check(o);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(350));
    EXPECT_FALSE(r.ran);
    EXPECT_FALSE(r.failure.empty());
    EXPECT_EQ(codes(r), std::set<std::string>{"connection_failed"});
    const std::string json = json_report(o, r);
    EXPECT_NE(json.find("\"errors\":1,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"port\":" + o.port + ","), std::string::npos) << json;
}

// A server that is being started is not a failure: a refused connect is
// tried again.
TEST(FalloffCheck, ARefusedConnectIsTriedAgain) {
    const uint16_t port = test_os::unused_port();
    FalloffServer server;
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.start(port);
    });
    CheckOptions o = options(port);
    o.connect_ms = 3000;
    const CheckResult r = run_check(o);
    later.join();
    EXPECT_TRUE(r.ran && r.greeted) << r.failure;
    server.stop();
}
}  // namespace
