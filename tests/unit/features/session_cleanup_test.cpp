#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "features/session_cleanup.h"
#include "input/input_channel_handler.h"
#include "unit/features/feature_fakes.h"

namespace kvd {
namespace {

namespace fs = std::filesystem;
using test::TextLogCapture;

// A scratch tree:
//   root/tmp/a.txt (3 bytes), root/tmp/sub/b.bin (5), root/tmp/link-out -> root/keep,
//   root/tmp/dirlink -> root/keep, root/keep/precious (7), root/tmp-sibling/c (1)
struct Tree : ::testing::Test {
    fs::path root;
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("kvd-cleanup-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "tmp/sub");
        fs::create_directories(root / "keep");
        fs::create_directories(root / "tmp-sibling");
        write(root / "tmp/a.txt", "abc");
        write(root / "tmp/sub/b.bin", "12345");
        write(root / "keep/precious", "1234567");
        write(root / "tmp-sibling/c", "x");
        fs::create_symlink(root / "keep/precious", root / "tmp/link-out");
        fs::create_directory_symlink(root / "keep", root / "tmp/dirlink");
    }
    void TearDown() override { fs::remove_all(root); }
    static void write(const fs::path& p, const std::string& s) { std::ofstream(p) << s; }
};

TEST_F(Tree, DeletesRegularFilesOnlyAndNeverFollowsLinks) {
    TextLogCapture log;
    uint64_t files = 10, bytes = 100;  // counters are added to
    ASSERT_TRUE(removeTempFiles((root / "tmp").string(), root.string(), files, bytes));
    EXPECT_EQ(files, 12u);
    EXPECT_EQ(bytes, 108u);
    EXPECT_FALSE(fs::exists(root / "tmp/a.txt"));
    EXPECT_FALSE(fs::exists(root / "tmp/sub/b.bin"));
    EXPECT_TRUE(fs::is_directory(root / "tmp/sub"));
    EXPECT_TRUE(fs::is_symlink(root / "tmp/link-out"));
    EXPECT_TRUE(fs::exists(root / "keep/precious"));
    EXPECT_TRUE(fs::exists(root / "tmp-sibling/c"));
    EXPECT_TRUE(log.has("removeTempFiles: 2 files, 8 bytes"));
}

TEST_F(Tree, Refusals) {
    const std::string r = root.string();
    struct Case {
        std::string dir, prefix, line;
    };
    const Case cases[] = {
        {r + "/tmp/../keep", r, "refusing path containing '..'"},
        {r + "/tmp", "", "expectedRootPrefix is required — refusing"},
        {r + "/tmp/dirlink", r, "is not a directory"},
        {r + "/tmp/a.txt", r, "is not a directory"},
        {r + "/missing", r, "is not a directory"},
        {r + "/tmp-sibling", r + "/tmp", "path is not under expectedRootPrefix — refusing"},
        {r + "/tmp-sibling", r + "/tmp/", "path is not under expectedRootPrefix — refusing"},
        {r + "/tmp", r + "/nowhere", "canonical(prefix="},
        {"/usr", "/", "refusing deny-listed system root"},
        {"/etc/", "/", "refusing deny-listed system root"},
        {"/", "/", "refusing deny-listed system root"},
    };
    for (const auto& c : cases) {
        TextLogCapture log;
        uint64_t files = 0, bytes = 0;
        EXPECT_FALSE(removeTempFiles(c.dir, c.prefix, files, bytes)) << c.dir;
        EXPECT_TRUE(log.has("removeTempFiles: ")) << c.dir;
        EXPECT_TRUE(log.has(c.line)) << c.dir << " -> " << log.text();
    }
    uint64_t files = 0, bytes = 0;
    EXPECT_TRUE(removeTempFiles("", "", files, bytes));
    EXPECT_TRUE(fs::exists(root / "tmp/a.txt"));
    EXPECT_TRUE(fs::exists(root / "tmp-sibling/c"));
    // A prefix whose case differs is another directory on Linux.
    fs::create_directories(root / "Upper/x");
    EXPECT_FALSE(
        removeTempFiles((root / "Upper/x").string(), (root / "upper").string(), files, bytes));
}

TEST(PerformCleanup, RunsEveryStepAndReportsEach) {
    TextLogCapture log;
    int locks = 0, clears = 0;
    CleanupOptions o;
    o.clearClipboard = true;
    o.clipboardHook = [&] { return ++clears > 0; };
    o.lockHook = [&] { return ++locks < 0; };
    o.tempDir = "/etc";
    o.expectedRootPrefix = "/";
    auto r = performCleanup(o);
    EXPECT_EQ(clears, 1);
    EXPECT_EQ(locks, 0);  // lockWorkstation not asked for
    EXPECT_TRUE(r.clipboardCleared);
    EXPECT_FALSE(r.inputReleased);
    EXPECT_EQ(r.notes, "temp cleanup failed; no input receiver provided (skipped)");
    EXPECT_TRUE(log.has("performCleanup: lock=false clipboard=true files=0 bytes=0 input=false"));

    auto injector = std::make_unique<test::RecordingInjector>();
    auto* calls = injector.get();
    InputChannelHandler handler(std::move(injector));
    const uint8_t keyDown[] = {5, 0x1E, 0, 0, 0x41, 0};  // a held "A"
    handler.handleMessage(keyDown, sizeof keyDown);
    ASSERT_EQ(handler.heldKeyIds().size(), 1u);
    o.lockWorkstation = true;
    o.tempDir.clear();
    o.inputReceiver = &handler;
    r = performCleanup(o);
    EXPECT_EQ(locks, 1);
    EXPECT_FALSE(r.locked);
    EXPECT_TRUE(r.inputReleased);
    EXPECT_EQ(r.notes, "");
    EXPECT_TRUE(handler.heldKeyIds().empty());
    const auto c = calls->calls();
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(c.back().rfind("keyUp(30,", 0), 0u) << c.back();
}

}  // namespace
}  // namespace kvd
