// The nimbrella-devserver program itself: its one line on standard output, a request over
// loopback, a clean stop on SIGTERM and SIGINT, and refused command lines.

#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnvironment = {}) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<std::string> all = {NIMBRELLA_DEVSERVER_PATH};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = extraEnvironment;
  for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  Child run;
  if (posix_spawn(&run.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    throw std::runtime_error("spawn");
  }
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  run.out = pipeFds[0];
  return run;
}

// Everything the program writes until it closes standard output or `lines` lines
// arrived, waiting at most ten seconds.
std::string readOutput(int fd, int lines) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::count(text.begin(), text.end(), '\n') < lines &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// The exit status, waiting at most ten seconds (then the child is killed: -1).
int waitExit(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

TEST(ServerProgram, AnnouncesItsPortServesAndStopsOnSignals) {
  for (const int signal : {SIGTERM, SIGINT}) {
    Child run = spawn({"--port", "0", "--db", ":memory:", "--poll-interval", "3"});
    const std::string line = readOutput(run.out, 1);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        line, match,
        std::regex("Nimbrella development server listening on http://127\\.0\\.0\\.1:([0-9]+)\n")))
        << line;
    httplib::Client client("127.0.0.1", std::stoi(match[1]));
    const nimbrella::ReceiptSigner signer;
    auto started = client.Post(
        "/api/devices/authorization/start",
        nimbrella::encodeJson(nimbrella::requests::AuthorizationStart{"My computer", signer.publicKey()}),
        "application/json");
    ASSERT_TRUE(started);
    ASSERT_EQ(started->status, 200);
    const auto answer = nimbrella::decodeJson<nimbrella::DeviceAuthorizationStart>(started->body);
    EXPECT_EQ(answer.interval, 3);
    EXPECT_EQ(answer.verificationUrl, "http://127.0.0.1:" + match[1].str() +
                                          "/en/connect?code=" + answer.userCode);
    auto page = client.Get("/en/dashboard");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    kill(run.pid, signal);
    EXPECT_EQ(waitExit(run.pid), 0);
    EXPECT_EQ(readOutput(run.out, 2), "");  // nothing after the one line
    close(run.out);
  }
}

TEST(ServerProgram, KeepsItsDatabaseInTheUsersDataFolderByDefault) {
  const std::string data = ::testing::TempDir() + "/devserver-data-" + std::to_string(getpid());
  Child run = spawn({"--port", "0"}, {"XDG_DATA_HOME=" + data});
  ASSERT_THAT(readOutput(run.out, 1), ::testing::StartsWith("Nimbrella development server listening"));
  // A second server on the same database is refused instead of interleaving with the first.
  Child second = spawn({"--port", "0"}, {"XDG_DATA_HOME=" + data});
  EXPECT_EQ(waitExit(second.pid), 1);
  EXPECT_EQ(readOutput(second.out, 1), "");
  close(second.out);
  kill(run.pid, SIGTERM);
  EXPECT_EQ(waitExit(run.pid), 0);
  close(run.out);
  EXPECT_TRUE(std::filesystem::exists(data + "/app.nimbrella.Nimbrella/devserver.sqlite"));
  std::filesystem::remove_all(data);
}

TEST(ServerProgram, RefusesBadCommandLines) {
  const std::string brokenCampaigns = ::testing::TempDir() + "/broken-campaigns.json";
  std::ofstream(brokenCampaigns) << "{\"campaigns\": [{}]}";
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{"--poll-interval", "1"}, 2},
      {{"--poll-interval", "61"}, 2},
      {{"--port", "65536"}, 2},
      {{"--port", "-1"}, 2},
      {{"--origin", "http://example.com"}, 2},
      {{"--frobnicate"}, 2},
      {{"--db"}, 2},
      {{"--db", ":memory:", "--campaigns", brokenCampaigns}, 1},
      {{"--db", ":memory:", "--campaigns", "/nonexistent/campaigns.json"}, 1},
  };
  for (const auto& [arguments, expected] : cases) {
    Child run = spawn(arguments);
    EXPECT_EQ(waitExit(run.pid), expected) << arguments.front();
    EXPECT_EQ(readOutput(run.out, 1), "") << arguments.front();
    close(run.out);
  }
}

}  // namespace
