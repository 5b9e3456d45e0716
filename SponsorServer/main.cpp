// nimbrella-devserver: the development server of the Nimbrella application.

#include "SponsorServer/Campaigns.hpp"
#include "SponsorServer/Clock.hpp"
#include "SponsorServer/DevServer.hpp"
#include "SponsorServer/HttpHost.hpp"
#include "SponsorServer/Store.hpp"

#include "SponsorCore/SafeEndpoint.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <malloc.h>
#include <optional>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace {

using namespace nimbrella::server;

constexpr const char* usage =
    "Usage: nimbrella-devserver [--port N] [--db PATH] [--campaigns FILE] [--auto-approve]\n"
    "                           [--poll-interval SECONDS] [--origin URL] [--enable-previews]\n"
    "\n"
    "  --port N                 port on 127.0.0.1 (default 3217; 0 picks a free port)\n"
    "  --db PATH                SQLite database (default $XDG_DATA_HOME/" NIMBRELLA_BUNDLE_IDENTIFIER
    "/devserver.sqlite;\n"
    "                           :memory: keeps nothing)\n"
    "  --campaigns FILE         campaign file (default: the bundled campaigns.sample.json)\n"
    "  --auto-approve           approve each pending authorization at its first poll\n"
    "  --poll-interval SECONDS  polling interval announced to the application, 2 to 60 (default 5)\n"
    "  --origin URL             origin named in verification addresses (default\n"
    "                           http://127.0.0.1:PORT)\n"
    "  --enable-previews        serve the admin previews of the campaign file\n";

struct Arguments {
  int port = 3217;
  std::optional<std::string> db;
  std::optional<std::string> campaigns;
  bool autoApprove = false;
  bool enablePreviews = false;
  std::int64_t pollInterval = 5;
  std::optional<std::string> origin;
};

[[noreturn]] void fail(const std::string& message, int status = 2) {
  std::cerr << "nimbrella-devserver: " << message << "\n";
  std::exit(status);
}

std::int64_t integerArgument(const std::string& option, const std::string& text, std::int64_t low,
                             std::int64_t high) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    fail(option + " needs a whole number from " + std::to_string(low) + " to " +
         std::to_string(high));
  }
  const std::int64_t value = std::stoll(text);
  if (value < low || value > high) {
    fail(option + " needs a whole number from " + std::to_string(low) + " to " +
         std::to_string(high));
  }
  return value;
}

Arguments parseArguments(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(option + " needs a value\n" + usage);
      return argv[++i];
    };
    if (option == "--port") {
      arguments.port = static_cast<int>(integerArgument(option, value(), 0, 65535));
    } else if (option == "--db") {
      arguments.db = value();
      if (arguments.db->empty()) fail("--db needs a path");
    } else if (option == "--campaigns") {
      arguments.campaigns = value();
    } else if (option == "--auto-approve") {
      arguments.autoApprove = true;
    } else if (option == "--enable-previews") {
      arguments.enablePreviews = true;
    } else if (option == "--poll-interval") {
      arguments.pollInterval = integerArgument(option, value(), 2, 60);
    } else if (option == "--origin") {
      arguments.origin = value();
    } else if (option == "--help" || option == "-h") {
      std::cout << usage;
      std::exit(0);
    } else {
      fail("unknown option " + option + "\n" + usage);
    }
  }
  return arguments;
}

std::string defaultDatabasePath() {
  std::filesystem::path base;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || *home != '/') fail("HOME is not set; pass --db");
    base = std::filesystem::path(home) / ".local" / "share";
  }
  const auto folder = base / NIMBRELLA_BUNDLE_IDENTIFIER;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) fail("cannot create " + folder.string() + ": " + error.message(), 1);
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace, error);
  return (folder / "devserver.sqlite").string();
}

std::string defaultCampaignFile() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    // Beside the program in a build tree, in share/ of an installation.
    for (const auto& candidate : {executable.parent_path() / "campaigns.sample.json",
                                  executable.parent_path() / ".." / "share" / "nimbrella-devserver" / "campaigns.sample.json"}) {
      if (std::filesystem::exists(candidate, error)) return candidate.lexically_normal().string();
    }
  }
  return NIMBRELLA_SAMPLE_CAMPAIGNS;
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments arguments = parseArguments(argc, argv);

  // SIGINT and SIGTERM are taken by sigwait below; every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  // Every request allocates and frees a little on the thread that serves it, in that
  // thread's own malloc arena. With the default threshold an arena gives its free top back
  // to the system as soon as it passes 128 KiB, only to fault the same pages in again for
  // the next request; a few MiB kept per arena spare that round trip. Blocks above 1 MiB
  // (none that a request needs) still come from and go back to the system directly.
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 20);

  try {
    const std::string campaignFile =
        arguments.campaigns ? *arguments.campaigns : defaultCampaignFile();
    auto campaigns = loadCampaignFile(campaignFile, arguments.enablePreviews);
    Store store(arguments.db ? *arguments.db : defaultDatabasePath());
    SystemClock clock;

    ServerOptions options;
    options.pollIntervalSeconds = arguments.pollInterval;
    options.autoApprove = arguments.autoApprove;
    if (arguments.origin) {
      try {
        options.origin = nimbrella::SafeEndpoint(*arguments.origin).normalized();
      } catch (const nimbrella::EndpointError&) {
        fail("--origin must be an HTTPS origin, or HTTP on a loopback host");
      }
    }
    DevServer server(store, std::move(campaigns), clock, options);
    HttpHost host(server);
    const int port = host.bind(arguments.port);
    if (!arguments.origin) server.setOrigin("http://127.0.0.1:" + std::to_string(port));
    if (!host.start()) fail("the server did not start", 1);

    std::cout << "Nimbrella development server listening on http://127.0.0.1:" << port
              << std::endl;

    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    host.stop();
  } catch (const std::exception& error) {
    fail(error.what(), 1);
  }
  return 0;
}
