#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "common/codec.h"
#include "common/log.h"
#include "features/control_dispatcher.h"
#include "features/terminal_manager.h"
#include "support/log_capture.h"

namespace kvd {
namespace {

using Io = platform::PseudoConsole::Io;
using namespace std::chrono_literals;

template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// --- scripted pseudo console -----------------------------------------------------

struct FakeState {
    std::mutex mu;
    std::deque<std::string> output;  // chunks the "shell" prints
    bool ended = false;              // the terminal has no writer left
    int reads = 0;
    std::string written;
    bool acceptInput = true;
    uint16_t cols = 0, rows = 0;
    bool closed = false;
    int exitChecks = 0;
    platform::PseudoConsoleSpawn spawn;
};

class FakeConsole final : public platform::PseudoConsole {
  public:
    explicit FakeConsole(std::shared_ptr<FakeState> st) : st_(std::move(st)) {}
    IoResult read(uint8_t* buf, size_t cap, int timeoutMs) override {
        {
            std::lock_guard lk(st_->mu);
            ++st_->reads;
            if (!st_->output.empty()) {
                auto& front = st_->output.front();
                const size_t n = std::min(cap, front.size());
                std::copy(front.begin(), front.begin() + static_cast<long>(n), buf);
                front.erase(0, n);
                if (front.empty()) st_->output.pop_front();
                return {Io::Data, n, 0};
            }
            if (st_->ended) return {Io::End, 0, 0};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 2)));
        return {Io::Timeout, 0, 0};
    }
    IoResult write(const uint8_t* d, size_t n, int timeoutMs) override {
        std::lock_guard lk(st_->mu);
        if (!st_->acceptInput) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return {Io::Timeout, 0, 0};
        }
        st_->written.append(reinterpret_cast<const char*>(d), n);
        return {Io::Data, n, 0};
    }
    int resize(uint16_t c, uint16_t r) override {
        std::lock_guard lk(st_->mu);
        st_->cols = c;
        st_->rows = r;
        return 0;
    }
    int64_t pid() const override { return 4242; }
    std::optional<int> exited() override {
        std::lock_guard lk(st_->mu);
        ++st_->exitChecks;
        return std::nullopt;
    }
    void close() override {
        std::lock_guard lk(st_->mu);
        st_->closed = true;
    }

  private:
    std::shared_ptr<FakeState> st_;
};

struct FakePlatform {
    std::set<std::string> onPath{"bash", "sh"};
    std::vector<std::shared_ptr<FakeState>> consoles;
    bool spawnFails = false;

    TerminalPlatform make() {
        TerminalPlatform p;
        p.available = [] { return true; };
        p.spawn = [this](const platform::PseudoConsoleSpawn& s) {
            platform::PseudoConsoleResult r;
            if (spawnFails) {
                r.failedStep = "spawn";
                r.error = 2;
                return r;
            }
            auto st = std::make_shared<FakeState>();
            st->spawn = s;
            st->cols = s.cols;
            st->rows = s.rows;
            consoles.push_back(st);
            r.console = std::make_unique<FakeConsole>(st);
            return r;
        };
        p.findOnPath = [this](const std::string& n) {
            return onPath.count(n) ? "/usr/bin/" + n : std::string();
        };
        p.lastResortShell = [] { return std::string("/bin/sh"); };
        p.homeDirectory = [] { return std::string("/home/tech"); };
        p.environment = [] {
            return std::vector<std::string>{"PATH=/usr/bin", "KELVANDRUM_SESSION_TOKEN=secret",
                                            "TERM=dumb", "HOME=/home/tech",
                                            "KELVANDRUM_LOG_FILE=/tmp/x"};
        };
        return p;
    }
};

struct FakeFixture : ::testing::Test {
    FakePlatform fp;
    std::mutex mu;
    std::vector<std::string> sent;  // control messages the engine would send
    // Last: its reader threads use the members above until it is gone.
    std::unique_ptr<TerminalManager> tm;
    void SetUp() override {
        tm = std::make_unique<TerminalManager>(fp.make());
        tm->allowed = true;
        installTerminalCallbacks(*tm, [this](const std::string& j) {
            std::lock_guard lk(mu);
            sent.push_back(j);
        });
    }
    std::vector<std::string> sentCopy() {
        std::lock_guard lk(mu);
        return sent;
    }
    size_t countSent(const std::string& text) {
        size_t n = 0;
        for (auto& s : sentCopy()) n += s == text;
        return n;
    }
};

TEST_F(FakeFixture, ShellNamesResolveToTheDefaultShellOrPwsh) {
    struct Case {
        const char* name;
        bool pwsh, bash;
        const char* want;
    } cases[] = {
        {"", false, true, "/usr/bin/bash"},    {"PowerShell.EXE", true, true, "/usr/bin/pwsh"},
        {"pwsh", true, true, "/usr/bin/pwsh"}, {"powershell", false, true, "/usr/bin/bash"},
        {"cmd", true, true, "/usr/bin/bash"},  {"CMD.exe", true, false, "/usr/bin/sh"},
        {"zsh", true, true, "/usr/bin/bash"},  {".exe", true, true, "/usr/bin/bash"},
    };
    for (const auto& c : cases) {
        fp.onPath = {"sh"};
        if (c.pwsh) fp.onPath.insert("pwsh");
        if (c.bash) fp.onPath.insert("bash");
        EXPECT_EQ(tm->resolveShell(c.name), c.want) << c.name;
    }
    fp.onPath.clear();
    EXPECT_EQ(tm->resolveShell(""), "/bin/sh");
}

TEST_F(FakeFixture, SpawnGetsACleanEnvironmentTheHomeDirectoryAndClampedSizes) {
    ASSERT_TRUE(tm->start("a", "", 0, 0));
    ASSERT_TRUE(tm->start("b", "", 99999, -3));
    ASSERT_EQ(fp.consoles.size(), 2u);
    const auto& s = fp.consoles[0]->spawn;
    EXPECT_EQ(s.workingDirectory, "/home/tech");
    EXPECT_EQ(s.environment, (std::vector<std::string>{"PATH=/usr/bin", "HOME=/home/tech",
                                                       "TERM=xterm-256color"}));
    EXPECT_EQ(std::make_pair(s.cols, s.rows), std::make_pair(uint16_t{80}, uint16_t{24}));
    EXPECT_EQ(fp.consoles[1]->spawn.cols, 32767);
    EXPECT_EQ(fp.consoles[1]->spawn.rows, 1);
    EXPECT_TRUE(tm->resize("a", 0, 50));
    EXPECT_EQ(fp.consoles[0]->cols, 80);
    EXPECT_EQ(fp.consoles[0]->rows, 50);
    EXPECT_FALSE(tm->resize("nope", 10, 10));
}

TEST_F(FakeFixture, RefusedAndFailedStartsLeaveNoSession) {
    test::LogCapture logs;
    EXPECT_FALSE(tm->start("", "", 80, 24));
    fp.spawnFails = true;
    EXPECT_FALSE(tm->start("x", "", 80, 24));
    tm->allowed = false;
    EXPECT_FALSE(tm->start("y", "", 80, 24));
    EXPECT_EQ(tm->sessionCount(), 0u);
    EXPECT_TRUE(logs.has("warning|terminal start with empty id rejected"));
    EXPECT_TRUE(logs.has("error|CreateProcessW(shell) failed err=2"));
    EXPECT_TRUE(logs.has("error|spawnPty failed for id=x"));
    EXPECT_TRUE(logs.has("warning|terminal start denied by policy id=y"));
}

TEST_F(FakeFixture, OutputIsOneMessagePerReadAndAShellEndingByItselfSendsOneStop) {
    ASSERT_TRUE(tm->start("t1", "", 80, 24));
    ASSERT_TRUE(tm->start("t2", "", 80, 24));
    auto& st = *fp.consoles[0];
    {
        std::lock_guard lk(st.mu);
        st.output.push_back(std::string(5000, 'x'));
        st.output.push_back("bye");
        st.ended = true;
    }
    const std::string stop1 = R"({"reason":"child_exit","terminalId":"t1","type":"terminal_stop"})";
    ASSERT_TRUE(waitFor([&] { return countSent(stop1) == 1; }));
    const auto msgs = sentCopy();
    ASSERT_EQ(msgs.size(), 4u);  // 4096 + 904 + "bye" + stop
    EXPECT_EQ(msgs[0], terminalOutputJson("t1", std::vector<uint8_t>(4096, 'x')));
    EXPECT_EQ(msgs[2], R"({"data":"Ynll","terminalId":"t1","type":"terminal_output"})");
    // The ended session stays until the viewer stops it; stopping the other
    // one (viewer-initiated) sends nothing.
    EXPECT_EQ(tm->sessionCount(), 2u);
    EXPECT_TRUE(tm->stop("t1"));
    EXPECT_TRUE(tm->stop("t2"));
    EXPECT_FALSE(tm->stop("t2"));
    EXPECT_EQ(sentCopy().size(), 4u);
    EXPECT_TRUE(fp.consoles[1]->closed);
}

TEST_F(FakeFixture, ASecondStartWithTheSameIdReplacesTheSessionQuietly) {
    ASSERT_TRUE(tm->start("t", "", 80, 24));
    ASSERT_TRUE(tm->start("t", "", 100, 30));
    EXPECT_TRUE(fp.consoles[0]->closed);
    EXPECT_FALSE(fp.consoles[1]->closed);
    EXPECT_EQ(tm->sessionCount(), 1u);
    ASSERT_TRUE(tm->writePty("t", {'l', 's'}));
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard lk(fp.consoles[1]->mu);
        return fp.consoles[1]->written == "ls";
    }));
    EXPECT_TRUE(fp.consoles[0]->written.empty());
    EXPECT_TRUE(sentCopy().empty());
}

TEST_F(FakeFixture, OutputWaitsWhileTheViewersChannelIsFullOrClosed) {
    std::atomic<int64_t> backlog{kTerminalBacklogHigh + 1};  // -1: channel closed
    tm->backlog = [&]() -> std::optional<uint64_t> {
        const int64_t b = backlog;
        if (b < 0) return std::nullopt;
        return static_cast<uint64_t>(b);
    };
    ASSERT_TRUE(tm->start("t", "", 80, 24));
    auto& st = *fp.consoles[0];
    {
        std::lock_guard lk(st.mu);
        st.output.push_back("data");
    }
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(st.reads, 0);
    backlog = kTerminalBacklogLow + 1;  // between the marks: still held
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(st.reads, 0);
    backlog = -1;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(st.reads, 0);
    // While output is held the shell is still reaped when it ends.
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard lk(st.mu);
        return st.exitChecks > 0;
    }));
    backlog = kTerminalBacklogLow;
    EXPECT_TRUE(waitFor([&] { return sentCopy().size() == 1; }));
}

TEST_F(FakeFixture, InputToAShellThatDoesNotReadIsBoundedAndNeverWaits) {
    ASSERT_TRUE(tm->start("t", "", 80, 24));
    {
        std::lock_guard lk(fp.consoles[0]->mu);
        fp.consoles[0]->acceptInput = false;
    }
    const std::vector<uint8_t> block(64 * 1024, 'a');
    const auto t0 = std::chrono::steady_clock::now();
    int accepted = 0;
    for (int i = 0; i < 32; ++i) accepted += tm->writePty("t", block);
    // Waiting for the shell would take 100 ms per write.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(accepted, static_cast<int>(kTerminalInputQueueBytes / block.size()));
    EXPECT_TRUE(tm->writePty("t", {}));
    EXPECT_FALSE(tm->writePty("missing", block));
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_TRUE(tm->stop("t"));
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 1s);
}

// --- the dispatcher rows --------------------------------------------------------------

struct DispatchFixture : FakeFixture {
    std::atomic<bool> f1{false}, f2{false}, f3{false}, running{true};
    std::vector<Json> replies;
    ControlDispatcher d{{&f1, &f2, &f3, &running}, [this](const Json& j) { replies.push_back(j); }};
    void SetUp() override {
        FakeFixture::SetUp();
        registerTerminalHandlers(d, *tm);
    }
    std::string written() {
        std::lock_guard lk(fp.consoles.at(0)->mu);
        return fp.consoles.at(0)->written;
    }
};

TEST_F(DispatchFixture, ViewOnlyRefusesStartIgnoresInputAndStillStops) {
    d.dispatch(R"({"type":"terminal_start","terminalId":"t"})");
    ASSERT_EQ(tm->sessionCount(), 1u);
    EXPECT_EQ(fp.consoles[0]->spawn.cols, 80);
    test::LogCapture logs;
    tm->setAllowed(false);  // the service switched to view-only: every terminal ends
    EXPECT_EQ(tm->sessionCount(), 0u);
    EXPECT_TRUE(fp.consoles[0]->closed);
    d.dispatch(R"({"type":"terminal_start","terminalId":"v","shell":"bash"})");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].dump(),
              R"({"reason":"policy_denied","terminalId":"v","type":"terminal_stop"})");
    EXPECT_TRUE(logs.has(
        "warning|[terminal] start denied — not allowed for this session (view-only/policy)"));
    EXPECT_EQ(fp.consoles.size(), 1u);
    d.dispatch(R"({"type":"terminal_stop","terminalId":"v"})");  // no reply, no crash
    EXPECT_EQ(replies.size(), 1u);
    EXPECT_TRUE(sentCopy().empty());
}

TEST_F(DispatchFixture, InputIsDecodedUpToTheFirstPaddingAndBadInputIsDropped) {
    d.dispatch(R"({"type":"terminal_start","terminalId":"t","cols":120,"rows":40})");
    ASSERT_EQ(fp.consoles.size(), 1u);
    EXPECT_EQ(fp.consoles[0]->spawn.cols, 120);
    for (const char* m : {
             R"({"type":"terminal_input","terminalId":"t","data":"bHM="})",       // "ls"
             R"({"type":"terminal_input","terminalId":"t","data":"IC1s=AAAA"})",  // " -l"
             R"({"type":"terminal_input","terminalId":"t","data":""})",           // nothing
             R"({"type":"terminal_input","terminalId":"t","data":"!!!!"})",       // not Base64
             R"({"type":"terminal_input","terminalId":"t","data":7})",            // wrong type
             R"({"type":"terminal_input","terminalId":"t","data":"Cg"})",         // "\n"
             R"({"type":"terminal_resize","terminalId":"t","cols":"wide"})",
         })
        d.dispatch(m);
    EXPECT_TRUE(waitFor([&] { return written() == "ls -l\n"; })) << written();
    d.dispatch(R"({"type":"terminal_resize","terminalId":"t","cols":0,"rows":0})");
    EXPECT_EQ(fp.consoles[0]->cols, 80);
    EXPECT_EQ(fp.consoles[0]->rows, 24);
    d.dispatch(R"({"type":"terminal_stop","terminalId":"t"})");
    EXPECT_EQ(tm->sessionCount(), 0u);
    EXPECT_TRUE(replies.empty());
}

// --- a real shell on a real pseudo terminal ----------------------------------------------

std::set<std::string> openDescriptors() {
    std::set<std::string> out;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (auto* e = readdir(d)) {
            char target[512] = {};
            const std::string p = std::string("/proc/self/fd/") + e->d_name;
            if (e->d_name[0] != '.' && readlink(p.c_str(), target, sizeof target - 1) > 0)
                out.insert(target);
        }
        closedir(d);
    }
    out.erase("/proc/" + std::to_string(getpid()) + "/fd");
    return out;
}

// 'R', 'S', 'Z'... or 0 when the process is gone.
char processState(int64_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(f, stat)) return 0;
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

struct RealShell : ::testing::Test {
    std::mutex mu;
    std::map<std::string, std::string> output;
    std::vector<std::string> stops;
    TerminalManager tm;  // last: its reader threads use the members above

    void SetUp() override {
        if (!platform::pseudoConsoleAvailable() || platform::findOnPath("bash").empty())
            GTEST_SKIP() << "no pseudo terminals or no bash here";
        setenv("KELVANDRUM_SESSION_TOKEN", "unit-secret", 1);
        // A home of its own: the machine user's shell start-up files are not
        // part of the test (and may be slow or wait on locks).
        char tmpl[] = "/tmp/kvd-term-home-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home = tmpl;
        if (const char* h = getenv("HOME")) oldHome = h;
        setenv("HOME", home.c_str(), 1);
        tm.allowed = true;
        tm.onOutput = [this](TerminalSession& s, const std::vector<uint8_t>& b) {
            std::lock_guard lk(mu);
            output[s.id].append(b.begin(), b.end());
        };
        tm.onExit = [this](TerminalSession& s) {
            std::lock_guard lk(mu);
            stops.push_back(s.id);
        };
    }
    void TearDown() override {
        tm.stopAll();
        unsetenv("KELVANDRUM_SESSION_TOKEN");
        if (home.empty()) return;
        if (oldHome.empty())
            unsetenv("HOME");
        else
            setenv("HOME", oldHome.c_str(), 1);
        std::error_code ec;  // the shells leave their history there
        std::filesystem::remove_all(home, ec);
    }
    std::string home, oldHome;

    void type(const std::string& id, const std::string& text) {
        ASSERT_TRUE(tm.writePty(id, std::vector<uint8_t>(text.begin(), text.end())));
    }
    // Waits for a marker line the shell prints and returns everything before it.
    std::string until(const std::string& id, const std::string& marker) {
        std::string got;
        waitFor(
            [&] {
                std::lock_guard lk(mu);
                got = output[id];
                return got.find(marker + "\r\n") != std::string::npos;
            },
            30s);
        return got;
    }
};

TEST_F(RealShell, SizeEnvironmentAndDirectoryAsTheShellSeesThem) {
    ASSERT_TRUE(tm.start("t", "", 0, 0));
    // The markers are computed by the shell so the echoed command line never matches.
    type("t",
         "stty size; echo M$((1+1)); env | grep -c '^KELVANDRUM_'; echo $TERM; pwd; "
         "echo N$((2+2))\n");
    std::string out = until("t", "N4");
    const auto m2 = out.find("M2\r\n");
    ASSERT_NE(m2, std::string::npos) << out;
    const auto size = out.rfind("24 80\r\n", m2);
    EXPECT_NE(size, std::string::npos) << out;
    EXPECT_NE(out.find("M2\r\n0\r\nxterm-256color\r\n" + platform::homeDirectory() + "\r\nN4"),
              std::string::npos)
        << out;

    ASSERT_TRUE(tm.resize("t", 132, 43));
    type("t", "stty size; echo R$((3+3))\n");
    out = until("t", "R6");
    EXPECT_NE(out.find("43 132\r\nR6"), std::string::npos) << out;
}

TEST_F(RealShell, ExitEndsTheSessionOnceAndStopLeavesNoChildOrDescriptor) {
    // The logger opens its file on first use: let that happen before counting.
    logger().info("[test] counting descriptors");
    logger().flush();
    const auto before = openDescriptors();
    ASSERT_TRUE(tm.start("a", "bash", 80, 24));
    ASSERT_TRUE(tm.start("b", "", 80, 24));
    const int64_t pidA = tm.childPid("a");
    const int64_t pidB = tm.childPid("b");
    type("a", "exit\n");
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lk(mu);
        return !stops.empty();
    }));
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard lk(mu);
        EXPECT_EQ(stops, std::vector<std::string>{"a"});
    }
    EXPECT_EQ(processState(pidA), 0);  // reaped as it ended, not left a zombie
    // A shell busy with a program that ignores the hang-up is killed too.
    type("b", "trap '' HUP; sleep 300\n");
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(tm.stop("b"));
    EXPECT_TRUE(tm.stop("a"));
    EXPECT_EQ(processState(pidA), 0);
    EXPECT_EQ(processState(pidB), 0);
    EXPECT_EQ(openDescriptors(), before);
    std::lock_guard lk(mu);
    EXPECT_EQ(stops.size(), 1u);
}

TEST_F(RealShell, ReplacedSessionsChildIsGoneAndAFullInputQueueNeverBlocks) {
    ASSERT_TRUE(tm.start("t", "", 80, 24));
    const int64_t first = tm.childPid("t");
    ASSERT_TRUE(tm.start("t", "", 80, 24));
    EXPECT_EQ(processState(first), 0);
    EXPECT_NE(tm.childPid("t"), first);

    // The shell runs a program that never reads its terminal.
    type("t", "sleep 300\n");
    std::this_thread::sleep_for(200ms);
    const std::vector<uint8_t> block(1024, 'x');
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 64; ++i) tm.writePty("t", block);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);  // a blocking write would never return
    const int64_t pid = tm.childPid("t");
    EXPECT_TRUE(tm.stop("t"));
    EXPECT_EQ(processState(pid), 0);
    std::lock_guard lk(mu);
    EXPECT_TRUE(stops.empty());
}

}  // namespace
}  // namespace kvd
