#include "bridge/settings.h"
#include "platform/files.h"

#include "support/child_process.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>

namespace quayside {
namespace {

namespace fs = std::filesystem;

TEST(SettingsPath, ReplacesOnlyAnExtensionAfterTheLastSeparator) {
  const std::pair<const char*, const char*> cases[] = {
      {R"(C:\Tools\gate.exe)", R"(C:\Tools\gate.dat)"},
      {R"(C:\Tools\gate.old.exe)", R"(C:\Tools\gate.old.dat)"},  // two dots
      {R"(C:\Tools.2\gate)", R"(C:\Tools.2\gate.dat)"},          // dot in a folder
      {"/opt/q.d/quayside", "/opt/q.d/quayside.dat"},
      {"/a.b\\c", "/a.b\\c.dat"},
      {"", ".dat"}};
  for (const auto& [executable, expected] : cases) {
    EXPECT_EQ(settingsPathFor(executable), expected) << executable;
  }
}

// A fresh folder per test, removed afterwards.
class SettingsFile : public ::testing::Test {
 protected:
  std::string path(const std::string& name = "quayside.dat") const { return folder_.file(name); }
  static void write(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
  }
  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  testing::TempDirectory folder_;
};

TEST_F(SettingsFile, KillDuringSavesLeavesTheOldOrTheNewFileWhole) {
  std::mt19937 random(11);
  for (int round = 0; round < 25; ++round) {
    SCOPED_TRACE(round);
    testing::ChildProcess saver(QUAYSIDE_SETTINGS_SAVER_PATH, {path()});
    ASSERT_TRUE(saver.waitForOutput("saved"));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    saver.signal(SIGKILL);
    ASSERT_TRUE(saver.waitForExit().has_value());
    const BridgeList loaded = loadSettings(path());
    ASSERT_TRUE(loaded.size() == 3 || loaded.size() == 5) << loaded.size() << " records";
    const std::string_view server = loaded.size() == 3 ? "old.example" : "new.example";
    for (const Bridge& bridge : loaded) {
      EXPECT_EQ(fieldText(bridge.server), server);
    }
  }
}

TEST_F(SettingsFile, MissingEmptyOrNonRegularFileGivesNoBridges) {
  EXPECT_TRUE(loadSettings(path()).empty());
  write(path(), "");
  EXPECT_TRUE(loadSettings(path()).empty());
  fs::create_directory(path("folder.dat"));
  EXPECT_TRUE(loadSettings(path("folder.dat")).empty());
#ifdef _WIN32
  // A device or a pipe without a writer must not make the read wait.
  EXPECT_TRUE(loadSettings("NUL").empty());
  const std::string pipe =
      "\\\\.\\pipe\\quayside-settings-" + std::to_string(::GetCurrentProcessId());
  const HANDLE server = ::CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1,
                                           4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(loadSettings(pipe).empty());
  ::CloseHandle(server);
#else
  // A FIFO without a writer would block a plain open forever.
  ASSERT_EQ(::mkfifo(path("fifo.dat").c_str(), 0600), 0);
  EXPECT_TRUE(loadSettings(path("fifo.dat")).empty());
#endif
}

TEST_F(SettingsFile, FileLargerThanAnyWrittenIsRefusedUnread) {
  write(path(), "");
  fs::resize_file(path(), std::uintmax_t{1} << 30);  // sparse: costs no disk
  std::string problem;
  EXPECT_TRUE(loadSettings(path(), &problem).empty());
  EXPECT_NE(problem.find("larger than 4096 Bridges"), std::string::npos) << problem;
  fs::resize_file(path(), kSettingsBridgeLimit * kBridgeRecordSize);
  problem.clear();
  EXPECT_EQ(loadSettings(path(), &problem).size(), kSettingsBridgeLimit);
  EXPECT_EQ(problem, "");
}

TEST_F(SettingsFile, ShortTailIsDroppedAndNextSaveWritesWholeRecords) {
  std::string stored(3750, '\0');
  std::mt19937 random(7);
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const std::size_t offset = i % kBridgeRecordSize;
    const bool handle = offset >= 1797 && offset < 1801;  // never stored for a closed listener
    const bool nul = offset == 1 + 40 || offset == 513 + 10;
    stored[i] = handle || nul ? '\0' : static_cast<char>(random());
  }
  write(path(), stored);
  const BridgeList bridges = loadSettings(path());
  ASSERT_EQ(bridges.size(), 2u);
  ASSERT_TRUE(saveSettings(bridges, path()).ok);
  EXPECT_EQ(read(path()), stored.substr(0, 3650));

  ASSERT_TRUE(saveSettings({}, path()).ok);
  EXPECT_EQ(fs::file_size(path()), 0u);
}

TEST_F(SettingsFile, ReadOnlyFileIsReplacedAndLinksAreKept) {
  write(path(), "old");
  fs::permissions(path(), fs::perms::owner_read);
#ifdef _WIN32
  // Symbolic links need a privilege or developer mode on Windows: without
  // it only the read-only file is tried. Wine makes POSIX links, which its
  // file calls do not show as links.
  const bool linked = !testing::underWine() &&
                      ::CreateSymbolicLinkA(path("link.dat").c_str(), path("target.dat").c_str(),
                                            SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
#else
  fs::create_symlink(path("target.dat"), path("link.dat"));
  constexpr bool linked = true;
#endif
  BridgeList bridges(1);
  setFieldText(bridges.front().server, "irc.example.org");
  for (const std::string& file : {path(), path("link.dat")}) {
    if (file == path("link.dat") && !linked) {
      continue;
    }
    ASSERT_TRUE(saveSettings(bridges, file).ok) << file;
    ASSERT_EQ(loadSettings(file).size(), 1u) << file;
    EXPECT_EQ(fieldText(loadSettings(file).front().server), "irc.example.org");
  }
#ifdef _WIN32
  // The C++ library of this toolchain does not tell links on Windows: the
  // save must have gone through the link to its target.
  if (linked) {
    ASSERT_EQ(loadSettings(path("target.dat")).size(), 1u);
  }
#else
  EXPECT_TRUE(fs::is_symlink(path("link.dat")));
#endif
}

TEST_F(SettingsFile, FailedSaveIsReportedKeepsTheOldFileAndLeavesNoTemporary) {
  fs::create_directory(path());  // a folder in the file's place cannot be replaced
  write(path("blocker"), "a file, not a folder");
  for (const std::string& file : {path(), path("blocker") + "/quayside.dat"}) {
    const SaveResult result = saveSettings(BridgeList(2), file);
    EXPECT_FALSE(result.ok) << file;
    EXPECT_FALSE(result.error.empty()) << file;
  }
  // Options longer than a record holds are refused wherever they are set;
  // a Bridge holding them anyway fails the save, and no file is written.
  BridgeList oversized(1);
  std::string options = "charset=" + std::string(31, 'c') + ",fingerprint=" + std::string(64, 'a') +
                        ",login=sasl,pace=off,max-sessions=1";
  for (int room = 10; room < 26; ++room) {
    options += ",room=#" + std::to_string(room) + std::string(47, 'r');
  }
  ASSERT_EQ(applyOptions(oversized.front().options, options), "");
  const SaveResult refused = saveSettings(oversized, path("oversized.dat"));
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(refused.error.find("more than 1014"), std::string::npos) << refused.error;
  EXPECT_EQ(read(path("blocker")), "a file, not a folder");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_.path()), fs::directory_iterator()), 2);
}

TEST_F(SettingsFile, HostileBytesLoadWholeRecordsWithBoundedTexts) {
  std::mt19937 random(99);
  for (int round = 0; round < 30; ++round) {
    // Mostly non-NUL bytes, so texts often lack their terminator.
    std::string bytes(random() % (4 * kBridgeRecordSize), '\0');
    for (char& c : bytes) {
      c = static_cast<char>(1 + random() % 255);
    }
    write(path(), bytes);
    const BridgeList bridges = loadSettings(path());
    ASSERT_EQ(bridges.size(), bytes.size() / kBridgeRecordSize);
    for (const Bridge& bridge : bridges) {
      EXPECT_LT(fieldText(bridge.server).size(), kBridgeServerCapacity);
      EXPECT_LT(fieldText(bridge.channel).size(), kBridgeChannelCapacity);
    }
  }
}

TEST_F(SettingsFile, UserFolderOnlyWhenBesideTheExecutableIsUnusable) {
  const std::string user = path("user");
  write(path("existing.dat"), "");
  EXPECT_EQ(chooseSettingsPath(path("existing.dat"), user), path("existing.dat"));
  EXPECT_EQ(chooseSettingsPath(path("new.dat"), user), path("new.dat"));
  const std::string inUser = platform::joinPath(user, "quayside.dat");
  EXPECT_EQ(chooseSettingsPath(path("gone/quayside.dat"), user), inUser);
  EXPECT_EQ(chooseSettingsPath("", user), inUser);
  // Saving there makes the per-user folder.
  ASSERT_TRUE(saveSettings(BridgeList(1), inUser).ok);
  EXPECT_EQ(fs::file_size(inUser), kBridgeRecordSize);
}

}  // namespace
}  // namespace quayside
