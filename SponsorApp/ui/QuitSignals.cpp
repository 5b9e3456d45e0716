#include "SponsorApp/ui/QuitSignals.hpp"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nimbrella {

namespace {

constexpr std::array<int, 3> quitSignals{SIGINT, SIGTERM, SIGHUP};

// Written by the handler, read by the event loop. A handler may only do
// async-signal-safe work: it writes the signal's number and nothing else.
int signalPipe[2] = {-1, -1};

void onSignal(int number) {
  const int saved = errno;
  const char byte = static_cast<char>(number);
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(std::function<void(int)> quit, QObject* parent) : QObject(parent), quit_(std::move(quit)) {
  if (signalPipe[0] != -1) std::abort();  // a second instance would steal the first's signals
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) std::abort();
  notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readSignal(); });
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int number : quitSignals) sigaction(number, &action, nullptr);
}

QuitSignals::~QuitSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int number : quitSignals) sigaction(number, &action, nullptr);
  notifier_.reset();
  ::close(signalPipe[0]);
  ::close(signalPipe[1]);
  signalPipe[0] = signalPipe[1] = -1;
}

void QuitSignals::readSignal() {
  char byte = 0;
  while (::read(signalPipe[0], &byte, 1) == 1) {
    if (quit_) quit_(static_cast<unsigned char>(byte));
  }
}

}  // namespace nimbrella
