#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "common/log.h"
#include "common/process_state.h"
#include "engine/status.h"

namespace kvd {
namespace {

std::string capture(const std::function<void(std::FILE*)>& write) {
    std::FILE* f = std::tmpfile();
    write(f);
    std::rewind(f);
    std::string s;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

TEST(StatusLines, ExactBytes) {
    EXPECT_EQ(capture([](std::FILE* f) { writeReadyLine("abc-1", f); }),
              "KELVANDRUM_READY session_id=abc-1\n");
    int code = 0;
    EXPECT_EQ(
        capture([&](std::FILE* f) { code = writeErrorLine(3, "signaling connect failed", f); }),
        "KELVANDRUM_ERROR code=3 msg=signaling%20connect%20failed\n");
    EXPECT_EQ(code, 3);
    EXPECT_EQ(percentEncode("a-Z.0_~ /\xc3\xa9%\n"), "a-Z.0_~%20%2F%C3%A9%25%0A");
    EXPECT_EQ(capture([](std::FILE* f) { writePermissionRecord(f); }),
              "{\"accessibility\":false,\"screenRecording\":false}\n");
    EXPECT_EQ(encoderErrorMessage("hw \"dead\""),
              R"({"type":"encoder_error","v":1,"reason":"hw \"dead\""})");
    EXPECT_EQ(iceGiveUpMessage(true, 3), "ice-dead-udp-fingerprint-after-3-answered-generations");
    EXPECT_EQ(iceGiveUpMessage(false, 2), "ice-never-connected-across-2-answered-generations");
}

struct WatchdogFixture {
    ManualClock clock{0};
    std::atomic<int64_t> heartbeat{0};
    std::atomic<bool> stop{false};
    std::vector<std::string> lines;
    int exitCode = -1;
    Watchdog dog{heartbeat, stop, hooks()};

    Watchdog::Hooks hooks() {
        Watchdog::Hooks h;
        h.clock = &clock;
        h.writeErr = [this](const std::string& l) { lines.push_back(l); };
        h.exitProcess = [this](int c) { exitCode = c; };
        h.sleepMs = [this](int64_t ms) { clock.advanceMs(ms); };
        return h;
    }
    void runSeconds(int n) {
        for (int i = 0; i < n && exitCode < 0; ++i) {
            clock.advanceMs(1000);
            dog.tick();
        }
    }
};

TEST(Watchdog, NeverFiresBeforeFirstHeartbeat) {
    WatchdogFixture f;
    f.runSeconds(120);
    EXPECT_TRUE(f.lines.empty());
    EXPECT_EQ(f.exitCode, -1);
}

TEST(Watchdog, OneWarningPerStallAndExitAtSixtySeconds) {
    WatchdogFixture f;
    f.clock.setMs(10'000);
    f.heartbeat = f.clock.nowMs();
    f.runSeconds(45);
    ASSERT_EQ(f.lines.size(), 1u);
    EXPECT_EQ(f.lines[0], "KELVANDRUM_WATCHDOG_WARN reason=no_progress elapsed_ms=31000\n");
    EXPECT_EQ(f.exitCode, -1);
    // Progress resumes, then stalls again: a second warning.
    f.heartbeat = f.clock.nowMs();
    f.runSeconds(5);
    f.runSeconds(40);
    ASSERT_EQ(f.lines.size(), 2u);
    f.runSeconds(30);
    ASSERT_EQ(f.lines.size(), 3u);
    EXPECT_EQ(f.lines[2], "KELVANDRUM_WATCHDOG_EXIT reason=no_progress elapsed_ms=60000\n");
    EXPECT_EQ(f.exitCode, 1);
}

TEST(Watchdog, RunReturnsWhenStopped) {
    WatchdogFixture f;
    f.stop = true;
    f.dog.run();  // returns at once
    f.stop = false;
    int sleeps = 0;
    Watchdog::Hooks h = f.hooks();
    h.sleepMs = [&](int64_t) {
        if (++sleeps == 3) f.stop = true;
    };
    Watchdog d(f.heartbeat, f.stop, h);
    d.run();
    EXPECT_EQ(sleeps, 3);
}

TEST(StatusRecord, BuildsEveryKey) {
    auto& ps = processState();
    ps.capturedFrames = 10;
    ps.lastCaptureMs = 900;
    ps.lastEncodeMs = 0;
    ps.lastSendMs = 2000;  // in the future: age 0
    StatusInputs in;
    in.haveCapture = true;
    in.captureKind = "gdi";
    in.width = 1280;
    in.height = 720;
    in.secureDesktop = false;
    in.peerConnected = true;
    auto j = buildStatusRecord(in, 1000);
    EXPECT_EQ(j["captureBackend"], "native");
    EXPECT_EQ(j["captureBackendDetail"], "gdi");
    EXPECT_EQ(j["width"], 1280);
    EXPECT_EQ(j["capturedFrames"], 10u);
    EXPECT_EQ(j["lastCaptureAgeMs"], 100);
    EXPECT_EQ(j["lastEncodeAgeMs"], -1);
    EXPECT_EQ(j["lastSendAgeMs"], 0);
    EXPECT_EQ(j["desktopKind"], "console");
    EXPECT_EQ(j["helperHeartbeatAgeMs"], -1);
    EXPECT_EQ(j["peerConnected"], true);
    EXPECT_EQ(j.size(), 18u);

    StatusInputs shm;
    shm.haveCapture = true;
    shm.shmActive = true;
    shm.captureKind = "shm2";
    shm.helperHeartbeatAgeMs = 40;
    shm.geometryGeneration = 7;
    auto k = buildStatusRecord(shm, 1000);
    EXPECT_EQ(k["captureBackend"], "shm");
    EXPECT_EQ(k["captureBackendDetail"], "shm2");
    EXPECT_EQ(k["helperHeartbeatAgeMs"], 40);
    EXPECT_EQ(k["geometryGeneration"], 7u);
    EXPECT_EQ(k["desktopKind"], "unknown");
    EXPECT_EQ(buildStatusRecord(StatusInputs{}, 1)["captureBackendDetail"], "none");
}

TEST(DisplayState, StatesAndChangeOnly) {
    DisplayStateReporter r;
    DisplayStateInputs ok{true, false, false, 1, 1, 1920, 1080};
    auto m = r.evaluate(ok);
    ASSERT_TRUE(m);
    EXPECT_EQ(
        m->dump(),
        R"({"activePaths":1,"height":1080,"monitors":1,"session0":false,"state":"ok","type":"display_state","v":1,"width":1920})");
    EXPECT_FALSE(r.evaluate(ok));  // same state: one message
    r.clear();
    EXPECT_TRUE(r.evaluate(ok));

    struct Case {
        DisplayStateInputs in;
        bool session0;
        std::string state;
    };
    const std::vector<Case> cases = {
        {{false, false, false, 1, 1, 0, 0}, false, "capture_unavailable"},
        {{false, false, false, 1, 1, 0, 0}, true, "session0_no_desktop"},
        {{true, false, false, 1, 1, 8, 8}, true, "session0_no_desktop"},
        {{true, true, false, 1, 1, 8, 8}, true, "ok"},  // live shared memory is real frames
        {{true, false, false, 0, 1, 8, 8}, false, "no_active_display"},
        {{true, false, true, 1, 1, 8, 8}, false, "basic_display_fallback"},
    };
    for (const auto& c : cases) {
        DisplayStateReporter rr;
        rr.setSession0(c.session0);
        auto msg = rr.evaluate(c.in);
        ASSERT_TRUE(msg);
        EXPECT_EQ((*msg)["state"], c.state);
        EXPECT_EQ((*msg)["session0"], c.session0);
    }
}

TEST(LogFile, EveryLineIsJsonEvenWithHostileText) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("kvd-log-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    const std::string path = (dir / "a" / "b.log").string();
    auto res = setupLogging("s\"id%v\n", {"/proc/forbidden/x.log", path}, std::string("info"));
    EXPECT_EQ(res.path, path);
    logger().info("quote \" backslash \\ newline \n ctrl \x01 {} end", "x\"y");
    logger().debug("not written at info level");
    logger().flush();
    std::ifstream in(path);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        auto j = parseJson(line);
        ASSERT_TRUE(j) << line;
        EXPECT_EQ((*j)["sid"], "s\"id%v\n");
        EXPECT_EQ((*j)["level"], "info");
        EXPECT_EQ((*j)["msg"], "quote \" backslash \\ newline \n ctrl \x01 x\"y end");
        EXPECT_EQ((*j)["ts"].get<std::string>().size(), 23u);
        EXPECT_EQ(j->size(), 4u);
    }
    EXPECT_EQ(lines, 1);
    std::filesystem::remove_all(dir);

    EXPECT_EQ(sanitiseForFileName("ab/../c d"), "ab_.._c_d");
    EXPECT_EQ(sanitiseForFileName(".."), "__");
    auto c = logFileCandidates(std::nullopt, "/pub", "0123456789");
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0], "/pub/Documents/KelvandrumRemote/kelvandrum-remote-01234567.log");
    EXPECT_EQ(c[1], "/var/log/kelvandrum/kelvandrum-remote-01234567.log");
    EXPECT_EQ(logFileCandidates(std::string("/x.log"), "/pub", "../../e")[1],
              "/pub/Documents/KelvandrumRemote/kelvandrum-remote-.._.._e.log");
}

}  // namespace
}  // namespace kvd
