#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/codec.h"
#include "features/file_browser.h"
#include "features/file_downloads.h"
#include "features/file_session.h"
#include "file_test_support.h"

namespace kvd {
namespace {

namespace fs = std::filesystem;
using namespace kvd::test;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void spit(const fs::path& p, const std::string& s) {
    std::ofstream(p, std::ios::binary) << s;
}
std::vector<std::string> names(const fs::path& dir) {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
}

struct Scratch : ::testing::Test {
    fs::path root;
    std::map<std::string, std::string> envVars;
    EnvLookup env = [this](const std::string& k) -> std::optional<std::string> {
        auto it = envVars.find(k);
        if (it == envVars.end()) return std::nullopt;
        return it->second;
    };
    void SetUp() override {
        char tmpl[] = "/tmp/kvd-files-XXXXXX";
        root = mkdtemp(tmpl);
        envVars["USERPROFILE"] = (root / "profile").string();
        fs::create_directories(root / "profile" / "Desktop");
        fs::create_directories(root / "profile" / "Documents");
    }
    void TearDown() override { fs::remove_all(root); }
};

TEST(SafeFileName, HostileNames) {
    const std::pair<std::string, std::string> cases[] = {
        {"..\\..\\evil.txt", "evil.txt"},
        {"../../etc/passwd", "passwd"},
        {"dir/", "download.bin"},
        {"", "download.bin"},
        {".", "download.bin"},
        {"..", "download.bin"},
        {"a\\..", "download.bin"},
        {"c:evil<>\"|?*.txt", "c_evil______.txt"},
        {std::string("nul\0byte", 8), "nul_byte"},
        {"line\nbreak\x7f", "line_break_"},
        {".hidden", ".hidden"},
        {".kvd-7-1-1.part", "_kvd-7-1-1.part"},  // never one of our partial names
        {"a/.kvd-x", "_kvd-x"},
        {"caf\xc3\xa9.txt", "caf\xc3\xa9.txt"},
    };
    for (const auto& [in, want] : cases)
        EXPECT_EQ(FileDownloads::safeFileName(in, 255), want) << in;
    // Too long: the stem is cut on a character boundary, the extension kept.
    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "\xc3\xa9";  // 400 bytes
    const auto cut = FileDownloads::safeFileName(longName + ".pdf", 255);
    EXPECT_LE(cut.size(), 255u);
    EXPECT_EQ(cut.substr(cut.size() - 4), ".pdf");
    EXPECT_EQ(cut.size(), 254u);  // 125 two-byte characters kept whole, then ".pdf"
}

TEST_F(Scratch, DownloadsDirectoryFollowsUserProfile) {
    EXPECT_EQ(FileDownloads::defaultDirectory(env),
              (root / "profile" / "Kelvandrum" / "downloads").string());
    envVars.erase("USERPROFILE");
    EXPECT_EQ(fs::path(FileDownloads::defaultDirectory(env)).filename(), "Kelvandrum-downloads");
}

struct UploadFixture : Scratch {
    FakeTransport t;
    std::unique_ptr<FileSession> session;
    fs::path downloads;
    void SetUp() override {
        Scratch::SetUp();
        downloads = root / "profile" / "Kelvandrum" / "downloads";
        FileSession::Options o;
        o.env = env;
        o.allowFileTransfer = [] { return true; };
        o.sendJson = [](const Json&) {};
        session = std::make_unique<FileSession>(t, o);
    }
    void TearDown() override {
        session.reset();
        Scratch::TearDown();
    }
    FileTransferEngine& e() { return session->engine(); }
    std::pair<int, int> lastReply() {
        auto r = t.take(FileMsg::StartReply);
        if (r.empty()) return {-1, -1};
        return {r.back()[5], r.back()[6]};
    }
    int lastComplete() {
        auto c = t.take(FileMsg::Complete);
        return c.empty() ? -1 : c.back()[5];
    }
};

TEST_F(UploadFixture, VerifiedUploadReplacesOnlyAfterTheHashMatched) {
    ASSERT_TRUE(fs::is_directory(downloads));
    spit(downloads / "report.txt", "old contents");
    const auto data = pattern(3 * kFileChunkBytes + 17);
    // Mid-transfer: the data sits under a hidden temporary name, the old
    // file is untouched.
    feed(e(), startMsg(1, data.size(), Sha256::digest(data.data(), data.size()), "report.txt"));
    feed(e(), chunkMsg(1, 0, data.data(), kFileChunkBytes));
    EXPECT_EQ(slurp(downloads / "report.txt"), "old contents");
    EXPECT_EQ(names(downloads).size(), 2u);
    session->onChannelClosed();  // the viewer vanished
    EXPECT_EQ(names(downloads), std::vector<std::string>{"report.txt"});
    EXPECT_EQ(slurp(downloads / "report.txt"), "old contents");

    const auto wrong = Sha256::digest("nope", 4);
    upload(e(), 2, data, "report.txt", "", &wrong);
    EXPECT_EQ(lastComplete(), kCompleteHashMismatch);
    EXPECT_EQ(names(downloads), std::vector<std::string>{"report.txt"});
    EXPECT_EQ(slurp(downloads / "report.txt"), "old contents");

    upload(e(), 3, data, "..\\..\\report.txt");
    EXPECT_EQ(lastComplete(), kCompleteSuccess);
    EXPECT_EQ(names(downloads), std::vector<std::string>{"report.txt"});
    EXPECT_EQ(slurp(downloads / "report.txt"), std::string(data.begin(), data.end()));

    // CANCEL from the viewer removes the partial too.
    feed(e(), startMsg(4, data.size(), {}, "other.txt"));
    feed(e(), chunkMsg(4, 0, data.data(), 100));
    feed(e(), cancelMsg(4, 0));
    EXPECT_EQ(names(downloads), std::vector<std::string>{"report.txt"});
}

TEST_F(UploadFixture, HostileNamesLandInsideTheDownloadDirectory) {
    const std::pair<std::string, std::string> cases[] = {
        {"..\\..\\evil.txt", "evil.txt"},
        {"../../../../../../tmp/escape.txt", "escape.txt"},
        {"/etc/cron.d/job", "job"},
        {"sub/", "download.bin"},
        {"..", "download.bin"},
        {"a:b*c?.txt", "a_b_c_.txt"},
        {std::string(300, 'n') + ".txt", std::string(251, 'n') + ".txt"},
    };
    const auto before = names(root);
    uint32_t id = 100;
    for (const auto& [name, want] : cases) {
        const auto data = pattern(10, id);
        upload(e(), ++id, data, name);
        EXPECT_EQ(lastComplete(), kCompleteSuccess) << name;
        EXPECT_EQ(slurp(downloads / want), std::string(data.begin(), data.end())) << name;
    }
    EXPECT_EQ(names(root), before);
    EXPECT_FALSE(fs::exists("/tmp/escape.txt"));
    EXPECT_EQ(names(downloads).size(), std::size(cases) - 1);  // two became download.bin
}

TEST_F(UploadFixture, DestinationsAndRefusals) {
    const auto data = pattern(100);
    upload(e(), 1, data, "d.txt", "Desktop");
    EXPECT_EQ(lastComplete(), 0);
    EXPECT_TRUE(fs::exists(root / "profile" / "Desktop" / "d.txt"));
    upload(e(), 2, data, "w.txt", "Windows");  // unknown word: the download directory
    EXPECT_TRUE(fs::exists(downloads / "w.txt"));

    // A link named like the upload, pointing outside: refused, target intact.
    spit(root / "outside.txt", "keep");
    fs::create_symlink(root / "outside.txt", downloads / "link.txt");
    // A directory of that name, and a destination that does not exist.
    fs::create_directory(downloads / "adir");
    const std::pair<std::string, std::string> refused[] = {
        {"link.txt", ""}, {"adir", ""}, {"x.txt", "Downloads"}};
    uint32_t id = 10;
    for (const auto& [name, dest] : refused) {
        feed(e(), startMsg(++id, data.size(), {}, name, 0, dest));
        EXPECT_EQ(lastReply(), std::make_pair(0, int{kRefuseDestination})) << name;
    }
    EXPECT_EQ(slurp(root / "outside.txt"), "keep");
    EXPECT_EQ(e().incomingCount(), 0u);
}

// --- browsing ----------------------------------------------------------------

struct BrowserFixture : Scratch {
    FakeTransport t;
    FileTransferEngine engine{t, {}};
    std::vector<Json> replies;
    std::mutex mu;
    bool allow = true;
    std::unique_ptr<FileBrowser> b;
    void SetUp() override {
        Scratch::SetUp();
        envVars["HOME"] = (root / "home").string();
        b = std::make_unique<FileBrowser>(FileBrowser::Deps{env, [this] { return allow; },
                                                            [this](const Json& j) {
                                                                std::lock_guard lk(mu);
                                                                replies.push_back(j);
                                                            },
                                                            &engine});
    }
    void TearDown() override {
        b.reset();
        Scratch::TearDown();
    }
    Json waitReply() {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard lk(mu);
                if (!replies.empty()) {
                    Json j = replies.front();
                    replies.erase(replies.begin());
                    return j;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return Json();
    }
};

TEST_F(BrowserFixture, SpecialFoldersListExistingShortcutsOnly) {
    b->specialFolders(Json::object());
    Json r = waitReply();
    ASSERT_EQ(r["shortcuts"].size(), 2u);
    EXPECT_EQ(r["shortcuts"][0], (Json{{"icon", "desktop"},
                                       {"name", "Desktop"},
                                       {"path", (root / "profile" / "Desktop").string()}}));
    EXPECT_EQ(r["shortcuts"][1]["name"], "Documents");
    EXPECT_FALSE(r["drives"].empty());
    for (const auto& d : r["drives"]) EXPECT_NE(d["path"], "/proc");
    allow = false;
    b->specialFolders(Json::object());
    EXPECT_EQ(waitReply(), (Json{{"drives", Json::array()},
                                 {"shortcuts", Json::array()},
                                 {"type", "special_folders_response"}}));
}

TEST_F(BrowserFixture, DirectoryListing) {
    const fs::path desk = root / "profile" / "Desktop";
    spit(desk / "five.txt", "12345");
    fs::create_directory(desk / "sub");
    spit(desk / std::string("bad\xff\xfe.bin"), "x");
    fs::last_write_time(desk / "five.txt",
                        fs::file_time_type::clock::from_sys(
                            std::chrono::sys_seconds{std::chrono::seconds{1700000000}} +
                            std::chrono::milliseconds(999)));
    b->dirList(Json{{"path", ""}});  // empty: the desktop
    Json r = waitReply();
    EXPECT_EQ(r["path"], desk.string());
    EXPECT_EQ(r["parent"], (root / "profile").string());
    std::map<std::string, Json> byName;
    for (const auto& e : r["entries"]) byName[e["name"]] = e;
    EXPECT_EQ(byName["five.txt"], (Json{{"isDir", false},
                                        {"mtime", "2023-11-14T22:13:20Z"},
                                        {"name", "five.txt"},
                                        {"size", 5}}));
    EXPECT_EQ(byName["sub"]["isDir"], true);
    EXPECT_EQ(byName["sub"]["size"], 0);
    // Bytes that are not UTF-8 reach the viewer as replacement characters.
    const std::string dumped = dumpJson(r);
    EXPECT_NE(dumped.find("bad\xef\xbf\xbd\xef\xbf\xbd.bin"), std::string::npos);

    const std::pair<Json, Json> cases[] = {
        {Json{{"path", (desk / "five.txt").string()}}, Json{{"error", "not_a_directory"},
                                                            {"parent", desk.string()},
                                                            {"path", (desk / "five.txt").string()},
                                                            {"type", "dir_list_response"},
                                                            {"v", 1}}},
        {Json{{"path", (root / "nope").string() + "/"}}, Json{{"error", "not_found"},
                                                              {"parent", root.string()},
                                                              {"path", (root / "nope").string()},
                                                              {"type", "dir_list_response"},
                                                              {"v", 1}}},
    };
    for (const auto& [req, want] : cases) {
        b->dirList(req);
        EXPECT_EQ(waitReply(), want) << req;
    }
    b->dirList(Json{{"path", "/"}});
    EXPECT_EQ(waitReply()["parent"], "/");
    // Without a desktop the home folder is listed.
    fs::remove_all(desk);
    fs::create_directories(root / "home");
    b->dirList(Json::object());
    EXPECT_EQ(waitReply()["path"], (root / "home").string());
    allow = false;
    b->dirList(Json{{"path", "/tmp"}});
    EXPECT_EQ(waitReply(), (Json{{"error", "policy_denied"},
                                 {"parent", ""},
                                 {"path", "/tmp"},
                                 {"type", "dir_list_response"},
                                 {"v", 1}}));
}

TEST_F(BrowserFixture, PullErrorsAndASuccessfulOffer) {
    spit(root / "empty.bin", "");
    const std::pair<std::string, const char*> errors[] = {
        {"", "empty_path"},
        {(root / "missing").string(), "not_found"},
        {root.string(), "not_found"},
        {(root / "empty.bin").string(), "enqueue_rejected"},
    };
    for (const auto& [path, reason] : errors) {
        b->filePull(Json{{"path", path}});
        EXPECT_EQ(
            waitReply(),
            (Json{{"path", path}, {"reason", reason}, {"type", "file_pull_error"}, {"v", 1}}));
    }
    const auto data = pattern(20 * kFileChunkBytes + 5);
    spit(root / "big.bin", std::string(data.begin(), data.end()));
    b->filePull(Json{{"path", (root / "big.bin").string()}});
    Json r = waitReply();
    EXPECT_EQ(r["type"], "file_pull_started");
    EXPECT_EQ(r["name"], "big.bin");
    EXPECT_EQ(r["size"], data.size());
    auto starts = t.take(FileMsg::Start);
    ASSERT_EQ(starts.size(), 1u);
    const auto sha = Sha256::digest(data.data(), data.size());
    EXPECT_TRUE(std::equal(sha.begin(), sha.end(), starts[0].begin() + 8 + 7 + 8));
    // The file grows while it is sent: cancelled, never sent wrong.
    const uint32_t id = r["id"];
    feed(engine, replyMsg(id, true));
    EXPECT_EQ(t.take(FileMsg::Chunk).size(), 10u);
    std::ofstream(root / "big.bin", std::ios::app) << "more";
    feed(engine, ackMsg(id, 0));
    auto c = t.take(FileMsg::Cancel);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0][5], kCancelSourceChanged);
    EXPECT_EQ(t.count(FileMsg::End), 0u);
    EXPECT_EQ(engine.outgoingCount(), 0u);
}

}  // namespace
}  // namespace kvd
