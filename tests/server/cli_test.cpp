// The nimbrella-devserver program itself: its one line on standard output, requests over
// loopback, its default database, a clean stop on SIGTERM and SIGINT, and refused command
// lines (every failure to start is exit status 1 without that line).

#include "SponsorCore/ReceiptSigner.hpp"
#include "SponsorCore/WireRecords.hpp"

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
#include <climits>
#include <filesystem>
#include <regex>

extern char** environ;

namespace nimbrella {
namespace {

struct Child {
  pid_t pid;
  int out;  // the program's standard output
};

Child spawn(std::vector<std::string> arguments) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  arguments.insert(arguments.begin(), NIMBRELLA_DEVSERVER_PATH);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  Child run{.pid = -1, .out = fds[0]};
  const int failed = posix_spawn(&run.pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (failed != 0) throw std::runtime_error("spawn");
  return run;
}

// Everything the program writes until it closes standard output or `lines` lines
// arrived, waiting at most ten seconds.
std::string readOutput(int fd, int lines = 1) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::ranges::count(text, '\n') < lines && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// What the program still writes, then its exit status, waiting at most ten seconds each
// (then the program is killed: -1).
std::pair<std::string, int> finish(const Child& run) {
  const std::string rest = readOutput(run.out, INT_MAX);
  close(run.out);
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (waitpid(run.pid, &status, WNOHANG) == run.pid) return {rest, WIFEXITED(status) ? WEXITSTATUS(status) : -2};
    usleep(10000);
  }
  kill(run.pid, SIGKILL);
  waitpid(run.pid, nullptr, 0);
  return {rest, -1};
}

TEST(ServerProgram, AnnouncesItsPortServesKeepsItsDatabaseInTheDataFolderAndStopsOnSignals) {
  const std::string data = ::testing::TempDir() + "/devserver-data-" + std::to_string(getpid());
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  for (const int signal : {SIGTERM, SIGINT}) {
    const Child run = spawn({"--port", "0", "--poll-interval", "3", "--auto-approve"});
    const std::string line = readOutput(run.out);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        line, match, std::regex("Nimbrella development server listening on http://127\\.0\\.0\\.1:([0-9]+)\n")))
        << line;
    httplib::Client client("127.0.0.1", std::stoi(match[1]));
    const auto start = encodeJson(requests::AuthorizationStart{"My computer", ReceiptSigner().publicKey()});
    const auto started = client.Post("/api/devices/authorization/start", start, "application/json");
    ASSERT_TRUE(started && started->status == 200);
    const auto answer = decodeJson<DeviceAuthorizationStart>(started->body);
    EXPECT_EQ(answer.interval, 3);
    EXPECT_EQ(answer.verificationUrl, "http://127.0.0.1:" + match[1].str() + "/en/connect?code=" + answer.userCode);
    const auto polled =
        client.Get("/api/devices/authorization/poll", {{"Authorization", "Bearer " + answer.deviceCode}});
    ASSERT_TRUE(polled);
    EXPECT_EQ(decodeJson<DeviceAuthorizationPoll>(polled->body).status, "approved");

    kill(run.pid, signal);
    EXPECT_EQ(finish(run), std::pair(std::string(), 0));  // nothing after the one line
  }
  unsetenv("XDG_DATA_HOME");
  EXPECT_TRUE(std::filesystem::exists(data + "/app.nimbrella.Nimbrella/devserver.sqlite"));
  std::filesystem::remove_all(data);
}

TEST(ServerProgram, RefusesBadCommandLines) {
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{"--poll-interval", "1"}, 2}, {{"--poll-interval", "61"}, 2}, {{"--port", "65536"}, 2}, {{"--port", "-1"}, 2},
      {{"--origin", "http://example.com"}, 2}, {{"--frobnicate"}, 2}, {{"--db"}, 2},
      {{"--db", ":memory:", "--campaigns", "/nonexistent/campaigns.json"}, 1},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(finish(spawn(arguments)), std::pair(std::string(), expected)) << arguments.front();
  }
}

}  // namespace
}  // namespace nimbrella
