#include "SponsorApp/linux/LoginItem.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include <stdlib.h>

namespace nimbrella {
namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// A temporary XDG tree: the user's folder, one system-wide folder, and a program
// whose path needs quoting.
class LoginItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "login-item-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    program = root / "bin dir" / "nimbrella";
    write(program, "#!/bin/sh\n");
    fs::permissions(program, fs::perms::owner_all);
  }
  void TearDown() override { fs::remove_all(root); }
  LoginItem item() const { return LoginItem({root / "config" / "autostart", {root / "xdg" / "autostart"}, program}); }

  fs::path root, program;
};

// Also over a system-wide entry, which is hidden rather than left to start the program,
// and never touched.
TEST_F(LoginItemTest, SwitchingOnWritesAValidEntryThatStartsThisProgramAndOffRemovesIt) {
  const LoginItem login = item();
  EXPECT_EQ(login.setEnabled(true), std::nullopt);
  EXPECT_TRUE(login.isEnabled());
  const std::string text = read(login.userEntry());
  for (const char* line : {"Type=Application\n", "Name=Nimbrella\n", "Icon=app.nimbrella.Nimbrella\n",
                           "X-GNOME-Autostart-enabled=true\n", "X-GNOME-Autostart-Delay=5\n",
                           "X-KDE-autostart-after=panel\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_NE(text.find("Exec=\"" + program.string() + "\"\n"), std::string::npos) << text;
  EXPECT_EQ(std::system(("desktop-file-validate '" + login.userEntry().string() + "'").c_str()), 0) << text;
  EXPECT_EQ(std::distance(fs::directory_iterator(login.paths().userFolder), {}), 1);  // no temporary left

  EXPECT_EQ(login.setEnabled(false), std::nullopt);
  EXPECT_FALSE(fs::exists(login.userEntry()));
  EXPECT_FALSE(login.isEnabled());
  EXPECT_EQ(login.setEnabled(false), std::nullopt);  // already off

  const fs::path systemEntry = root / "xdg" / "autostart" / LoginItem::entryName;
  write(systemEntry, autostartEntryText(program));
  EXPECT_TRUE(login.isEnabled());
  EXPECT_EQ(login.setEnabled(false), std::nullopt);
  EXPECT_NE(read(login.userEntry()).find("Hidden=true\n"), std::string::npos);
  EXPECT_FALSE(login.isEnabled());
  EXPECT_EQ(read(systemEntry), autostartEntryText(program));
  EXPECT_EQ(login.setEnabled(true), std::nullopt);
  EXPECT_TRUE(login.isEnabled());
}

// Also how the program is quoted in and read back from the Exec line.
TEST_F(LoginItemTest, OnlyAnEntryThatReallyStartsThisProgramCountsAsOn) {
  const LoginItem login = item();
  const std::string exec = "Exec=" + quotedExecArgument(program.string()) + " --flag\n";
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (program.parent_path().string() + ":" + path).c_str(), 1);
  const std::pair<std::string, bool> entries[] = {
      {"[Desktop Entry]\nType=Application\nName=N\n" + exec, true},
      {"[Desktop Entry]\nType=Application\nName=N\nHidden=true\n" + exec, false},
      {"[Desktop Entry]\nType=Application\nName=N\nX-GNOME-Autostart-enabled=false\n" + exec, false},
      {"[Desktop Entry]\nType=Application\nName=N\nExec=/usr/bin/true\n", false},
      {"[Other]\n" + exec, false},
      {"[Desktop Entry]\nType=Link\n" + exec, false},
      {"[Desktop Entry]\nType=Application\nExec=nimbrella\n", true},  // a bare name that PATH finds
  };
  for (const auto& [text, on] : entries) {
    write(login.userEntry(), text);
    EXPECT_EQ(login.isEnabled(), on) << text;
  }
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_FALSE(login.isEnabled());  // the bare name again, without this program's folder on PATH

  for (const std::string other : {"/usr/bin/nimbrella", "/a/\"q\"/$x/`y`/b\\c", "/p/100%"}) {
    EXPECT_EQ(execProgram(quotedExecArgument(other) + " --x").value_or("-"), other);
  }
  EXPECT_EQ(quotedExecArgument("/usr/bin/nimbrella"), "/usr/bin/nimbrella");
  EXPECT_EQ(execProgram("  \"/unterminated"), std::nullopt);
  EXPECT_EQ(execProgram(""), std::nullopt);
}

}  // namespace
}  // namespace nimbrella
