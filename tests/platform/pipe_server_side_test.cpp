// The server side's additions to the local pipe: the peer's credentials, and a deadline that
// bounds every wait for the other end.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "platform/local_pipe.h"
#include "support/test_env.h"

namespace kavel_lib::platform {
namespace {

constexpr std::string_view kName = "\\\\.\\pipe\\ServerSideTest";

class PipeServerSide : public ::testing::Test {
 protected:
  void SetUp() override {
    // Other users may enter and connect; only the owner may write.
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                  std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_read |
                                                  std::filesystem::perms::others_exec);
    auto bound = PipeServer::bind(kName);
    ASSERT_TRUE(bound.has_value());
    server_ = std::move(*bound);
  }
  PipeConnection accept_one() {
    auto accepted = server_.accept_within(std::chrono::seconds(5));
    EXPECT_TRUE(accepted.has_value() && accepted->has_value());
    return accepted && accepted->has_value() ? std::move(**accepted) : PipeConnection{};
  }

  kavel_test::TempDir dir_;
  kavel_test::ScopedEnv env_{"KAVEL_PIPE_DIR", dir_.path().string()};
  PipeServer server_;
};

TEST_F(PipeServerSide, CredentialsOfAClientOfThisProcess) {
  auto client = PipeConnection::connect(kName);
  ASSERT_TRUE(client.has_value());
  PipeConnection served = accept_one();
  auto peer = served.peer_credentials();
  ASSERT_TRUE(peer.has_value()) << peer.error().display();
  EXPECT_EQ(peer->pid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(peer->uid, ::geteuid());
  EXPECT_EQ(peer->gid, ::getegid());
  std::vector<gid_t> groups(static_cast<std::size_t>(::getgroups(0, nullptr)));
  groups.resize(static_cast<std::size_t>(::getgroups(static_cast<int>(groups.size()), groups.data())));
  std::vector<std::uint32_t> expected(groups.begin(), groups.end());
  std::sort(expected.begin(), expected.end());
  std::sort(peer->groups.begin(), peer->groups.end());
  EXPECT_EQ(peer->groups, expected);
}

TEST_F(PipeServerSide, CredentialsOfAnotherUsersClient) {
  if (auto why = kavel_test::root_missing()) GTEST_SKIP() << *why;
  // The child holds its connection until the parent closes its end of `hold`.
  int hold[2];
  ASSERT_EQ(::pipe(hold), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(hold[1]);
    const gid_t groups[] = {4242, 4343};
    if (::setgroups(2, groups) != 0 || ::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
      ::_exit(100);
    }
    auto client = PipeConnection::connect(kName);
    char byte = 0;
    (void)::read(hold[0], &byte, 1);
    ::_exit(client ? 0 : 1);
  }
  ::close(hold[0]);
  PipeConnection served = accept_one();
  auto peer = served.peer_credentials();
  ::close(hold[1]);
  ASSERT_TRUE(peer.has_value());
  EXPECT_EQ(peer->pid, static_cast<std::uint32_t>(child));
  EXPECT_EQ(peer->uid, 65534u);
  EXPECT_EQ(peer->gid, 65534u);
  std::sort(peer->groups.begin(), peer->groups.end());
  EXPECT_EQ(peer->groups, (std::vector<std::uint32_t>{4242, 4343}));
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(PipeServerSide, ReadWaitsNoLongerThanTheDeadline) {
  auto client = PipeConnection::connect(kName);
  ASSERT_TRUE(client.has_value());
  PipeConnection served = accept_one();
  served.set_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(200));
  char buffer[8];
  auto got = served.read_some(buffer);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), OsError::from_code(win::ERROR_TIMEOUT));
  // Bytes that are there are read before the deadline; the end of the data is still 0.
  served.set_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(5));
  ASSERT_TRUE(client->write_some("ab").has_value());
  got = served.read_some(buffer);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, 2u);
  client->close();
  got = served.read_some(buffer);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, 0u);
}

TEST_F(PipeServerSide, WriteToAClientThatNeverReadsEndsAtTheDeadline) {
  auto client = PipeConnection::connect(kName);
  ASSERT_TRUE(client.has_value());
  PipeConnection served = accept_one();
  served.set_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(300));
  const std::string chunk(1 << 20, 'z');
  std::optional<OsError> failure;
  for (int i = 0; i < 64 && !failure; ++i) {
    auto written = served.write_some(chunk);
    if (!written) failure = written.error();
  }
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure, OsError::from_code(win::ERROR_TIMEOUT));
}

TEST_F(PipeServerSide, WriteToAClientThatLeftFailsWithoutASignal) {
  auto client = PipeConnection::connect(kName);
  ASSERT_TRUE(client.has_value());
  PipeConnection served = accept_one();
  client->close();
  auto written = served.write_some("after the end");
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().code(), std::optional<std::uint32_t>(win::ERROR_NO_DATA));
}

}  // namespace
}  // namespace kavel_lib::platform
