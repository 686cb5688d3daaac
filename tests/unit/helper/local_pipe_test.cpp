// The Unix-socket pipe: naming, directory trust, stale sockets, line limits.
#include "platform/local_pipe.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <filesystem>

#include "unit/helper/pipe_test_support.h"

namespace kvd {
namespace {

TEST(LocalPipe, NamesMapToSocketsInThePrivateDirectory) {
    test::PipeDirScope dir;
    EXPECT_EQ(platform::localPipePath("kelvandrum-input-ab12"),
              dir.dir() + "/kelvandrum-input-ab12.sock");
    EXPECT_EQ(platform::localPipePath("../../etc/x"), dir.dir() + "/_.._.._etc_x.sock");
}

TEST(LocalPipe, SecondLiveServerIsRefusedAndAStaleSocketReplaced) {
    test::PipeDirScope dir;
    auto first = platform::createLocalPipeServer("p");
    ASSERT_TRUE(first.server);
    struct stat st {};
    ASSERT_EQ(::stat(first.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    auto second = platform::createLocalPipeServer("p");
    EXPECT_FALSE(second.server);
    EXPECT_EQ(second.error, EADDRINUSE);

    first.server.reset();
    EXPECT_FALSE(std::filesystem::exists(first.path));

    // A socket file without a listener behind it is left over from a crash.
    const std::string stale = platform::localPipePath("stale");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, stale.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    ASSERT_TRUE(std::filesystem::exists(stale));
    EXPECT_FALSE(platform::connectLocalPipe("stale").connection);
    auto revived = platform::createLocalPipeServer("stale");
    ASSERT_TRUE(revived.server);
    EXPECT_TRUE(platform::connectLocalPipe("stale").connection);
}

TEST(LocalPipe, UntrustedDirectoryIsRefused) {
    test::PipeDirScope dir;
    ASSERT_EQ(::chmod(dir.dir().c_str(), 0770), 0);
    auto server = platform::createLocalPipeServer("p");
    EXPECT_FALSE(server.server);
    EXPECT_EQ(server.step, "directory");
    auto client = platform::connectLocalPipe("p");
    EXPECT_FALSE(client.connection);
    EXPECT_EQ(client.error, EPERM);
}

TEST(LocalPipe, PeerEndIsSeenByAvailableAndWritesFailWithoutSignal) {
    test::PipeDirScope dir;
    auto server = platform::createLocalPipeServer("p");
    ASSERT_TRUE(server.server);
    auto client = platform::connectLocalPipe("p");
    ASSERT_TRUE(client.connection);
    int error = 0;
    auto peer = server.server->accept(1000, error);
    ASSERT_TRUE(peer);
    EXPECT_TRUE(peer->peer().known);
    EXPECT_EQ(client.connection->available(error), 0);
    ASSERT_TRUE(peer->writeAll("ab", 2, 100, error));
    EXPECT_TRUE(test::waitUntil([&] { return client.connection->available(error) == 2; }));
    char buf[8];
    EXPECT_EQ(client.connection->read(buf, sizeof buf, 100).bytes, 2);
    peer.reset();
    EXPECT_LT(client.connection->available(error), 0);
    EXPECT_FALSE(client.connection->writeAll("x\n", 2, 100, error));
    EXPECT_EQ(error, EPIPE);
}

}  // namespace
}  // namespace kvd
