// The entry's plain rules: the command line and which running copies are older.

#include "SponsorApp/linux/RunningCopies.hpp"
#include "SponsorApp/ui/SponsorAppEntry.hpp"

#include <gtest/gtest.h>

namespace nimbrella {
namespace {

TEST(EntryTest, BuildNumbersAreDecimalIntegersAndOnlyThoseBelowThreeAreOlder) {
  const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
      {"2", true}, {"+2", true}, {"-1", true}, {"0", true}, {"3", false}, {"12", false}, {"2.1", false},
      {"", false}, {"abc", false}, {"+-2", false}, {"++2", false}, {" 2", false}, {std::nullopt, false}};
  for (const auto& [text, older] : cases) {
    EXPECT_EQ(isOlderCopy(RunningCopy{1, "nimbrella", text}), older) << text.value_or("(none)");
  }
}

TEST(EntryTest, TheCommandLine) {
  const AppInfo info{"0.1.0", "3", {}};
  const auto parse = [&info](std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "nimbrella");
    return EntryOptions::parse(static_cast<int>(arguments.size()), arguments.data(), info);
  };
  EXPECT_EQ(parse({"--version"}).output, "Nimbrella 0.1.0 (3)\n");
  EXPECT_EQ(parse({"--help"}).exitStatus, 0);
  EXPECT_NE(parse({"--help"}).output.find("--server URL"), std::string::npos);
  EXPECT_EQ(parse({"--server", "http://127.0.0.1:9"}).server, "http://127.0.0.1:9");
  EXPECT_EQ(parse({"--server=http://x"}).server, "http://x");
  EXPECT_FALSE(parse({}).exitStatus.has_value());
  EXPECT_EQ(parse({"--server"}).exitStatus, 2);
  EXPECT_EQ(parse({"--bogus"}).exitStatus, 2);
}

}  // namespace
}  // namespace nimbrella
