// Root access: the start-up comparison with /etc/shadow, what passwd is given
// for hostile passwords, the refusals, and a new apply for every change.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "Eventually.h"
#include "LogLines.h"
#include "RegistryTestTree.h"
#include "TestFiles.h"
#include "tinmoss/RootManager.h"

namespace {

using TestLog::LogLine;

struct PasswdRun {
  std::vector<std::string> argv;
  std::string input;
  bool operator==(const PasswdRun&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PasswdRun& run) {
  for (const std::string& argument : run.argv) out << argument << ' ';
  return out << "<< " << ::testing::PrintToString(run.input);
}

const PasswdRun lock{{"passwd", "-l", "root"}, ""};

PasswdRun set(const std::string& password) { return PasswdRun{{"passwd", "root"}, password + "\n" + password + "\n"}; }

// What a step logged (checked once the capture has ended, so failures show).
template <typename Step>
std::string logOf(Step step) {
  CaptureStdout capture;
  step();
  return capture.text();
}

struct RootManagerTest : ::testing::Test {
  TestTree tree;
  Catalogue::RootAccess settings{tree.root};
  std::string shadow = tree.temporary.path + "/shadow";
  std::mutex runsMutex;
  std::vector<PasswdRun> runs;

  RootManager::Environment environment() {
    RootManager::Environment made;
    made.tree = &tree.root;
    made.settings = &settings;
    made.shadowPath = shadow;
    made.run = [this](const std::vector<std::string>& argv, const std::string& input) {
      std::lock_guard<std::mutex> guard(runsMutex);
      runs.push_back(PasswdRun{argv, input});
    };
    return made;
  }

  void setPassword(const std::string& password) {
    copyTextField(settings.password.value, sizeof settings.password.value, password.c_str());
  }

  std::vector<PasswdRun> taken() {
    std::lock_guard<std::mutex> guard(runsMutex);
    return runs;
  }
};

TEST_F(RootManagerTest, StartUpAppliesOnlyWhatDoesNotMatchTheShadowFile) {
  const char* lockedLine = "root:!:19000:0:99999:7:::\n";
  const char* openLine = "root:$sim$42:19000:0:99999:7:::\n";
  struct Case {
    const char* shadowContent;  // null: no file
    bool enabled;
    std::vector<PasswdRun> expected;
  } cases[] = {
      {lockedLine, false, {}},   {lockedLine, true, {set("s3cret")}}, {openLine, true, {}},
      {openLine, false, {lock}}, {nullptr, true, {set("s3cret")}},    {nullptr, false, {lock}},
      {"root:", false, {lock}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(shadow);
    if (c.shadowContent != nullptr) TestFiles::writeFile(shadow, c.shadowContent);
    settings.loginEnabled.value = c.enabled;
    setPassword("s3cret");
    runs.clear();
    RootManager manager(environment());
    std::string logged = logOf([&] { manager.startUpCheck(); });
    std::string label =
        std::string(c.shadowContent ? c.shadowContent : "(none)") + (c.enabled ? " enabled" : " disabled");
    EXPECT_EQ(taken(), c.expected) << label;
    std::vector<LogLine> mismatch = TestLog::linesStartingWith(logged, "Root mismatch detected");
    if (c.expected.empty()) {
      EXPECT_TRUE(mismatch.empty()) << label;
    } else {
      EXPECT_EQ(mismatch,
                (std::vector<LogLine>{{'I', "RootManager.h",
                                       std::string("Root mismatch detected. New status: ") + (c.enabled ? "1" : "0")}}))
          << label;
    }
  }
}

TEST_F(RootManagerTest, PasswordsReachPasswdOnlyOnItsStandardInput) {
  settings.loginEnabled.value = true;
  RootManager manager(environment());
  for (const char* password : {"plain", "it's \"quoted\"", "$(touch x)", "`touch x`", "back\\slash\\n", "; reboot #",
                               "-l", "0123456789012345678901234567890"}) {
    runs.clear();
    setPassword(password);
    std::string logged = logOf([&] { manager.apply(); });
    EXPECT_EQ(taken(), std::vector<PasswdRun>{set(password)}) << password;
    EXPECT_EQ(TestLog::messagesOf(logged, "RootManager.h"), std::vector<std::string>{"Enabling SSH access"});
    EXPECT_EQ(logged.find(password), std::string::npos) << "the password is never logged";
  }
  for (const char* password : {"", "two\nlines", "carriage\rreturn", "\n"}) {
    runs.clear();
    setPassword(password);
    std::string logged = logOf([&] { manager.apply(); });
    EXPECT_TRUE(taken().empty()) << ::testing::PrintToString(password);
    EXPECT_EQ(TestLog::logLines(logged),
              (std::vector<LogLine>{{'W', "RootManager.h", "Root password not set: empty or holds a line break"}}));
  }
  runs.clear();
  settings.loginEnabled.value = false;
  manager.apply();
  EXPECT_EQ(taken(), std::vector<PasswdRun>{lock});
}

TEST_F(RootManagerTest, EveryChangeOfTheGroupAppliesAgain) {
  TestFiles::writeFile(shadow, "root:!:19000:0:99999:7:::\n");
  CaptureStdout quiet;
  RootManager manager(environment());
  manager.start();
  tree.root.apply(R"({"root":{"login_enabled":false}})");
  tree.root.apply(R"({"root":{"login_enabled":false}})");
  ASSERT_TRUE(TestWait::eventually([&] { return taken().size() == 2; })) << taken().size();
  EXPECT_EQ(taken(), (std::vector<PasswdRun>{lock, lock}));
  // An object that does not name "root" wakes nothing; a burst of 100 that
  // do is applied 100 times.
  tree.root.apply(R"({"pult":{"enabled":true}})");
  for (int i = 0; i < 100; ++i) tree.root.apply(R"({"root":{"login_enabled":true,"password":"pw"}})");
  ASSERT_TRUE(TestWait::eventually([&] { return taken().size() == 102; })) << taken().size();
  EXPECT_EQ(taken().back(), set("pw"));
}

}  // namespace
