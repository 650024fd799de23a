// The "factory" entry: loading the identity at start and commissioning a
// board. Each test builds its own entry in its own tree; the U-Boot commands
// reach the stubs of the test root, whose environment is put back afterwards.
#include <gtest/gtest.h>

#include "TestFiles.h"

#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CaptureStdout.h"
#include "RegistryTestTree.h"
#include "core/SysEnv.h"
#include "platform/Platform.h"
#include "registry/FactoryEntry.h"
#include "registry/RegistryLoader.h"

namespace {

const char* const commissionedOutput =
    "serial=123\n"
    "uuid=3F1C2A9E-5B7D-4E10-9A6B-0C8D2E4F6A01\n"
    "ethaddr=02:51:90:00:00:2a\n"
    "mac2=02:51:90:00:01:2A\n";

using TestFiles::readFile;
using TestFiles::writeFile;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// A call of the MAC set-up, with what had happened when it came.
struct MacCall {
  std::string mac1;
  std::string mac2;
  bool apply;
  bool random;
  size_t commandsBefore;
  bool storedFileExisted;
  bool registryFree;  // another thread could take the registry mutex meanwhile
};

bool freeForOtherThreads(std::recursive_mutex& mutex) {
  bool taken = false;
  std::thread other([&] {
    if (mutex.try_lock()) {
      taken = true;
      mutex.unlock();
    }
  });
  other.join();
  return taken;
}

class FactoryEntryTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Platform::simulationMode()) << "FIELDHUB_ROOT must name the test root";
    savedEnvironment = readFile(environmentPath);
    commandsStart = readFile(commandsLogPath).size();
  }

  void TearDown() override {
    writeFile(environmentPath, savedEnvironment);
    std::filesystem::remove(corruptMarker);
  }

  Factory::Services services() {
    Factory::Services made;
    made.readBootIdentity = [this] {
      ++reads;
      if (outputs.empty()) return std::string();
      std::string output = outputs.front();
      if (outputs.size() > 1) outputs.pop_front();
      return output;
    };
    made.hostnamePath = hostnamePath;
    made.randomSourcePath = randomPath;
    made.setMacs = [this](const char* mac1, const char* mac2, bool apply) {
      macCalls.push_back({mac1, mac2, apply, false, newCommands().size(), tree.exists("factory"),
                          freeForOtherThreads(tree.root.mutex())});
    };
    made.randomMacs = [this](bool apply) {
      macCalls.push_back({"", "", apply, true, newCommands().size(), tree.exists("factory"),
                          freeForOtherThreads(tree.root.mutex())});
    };
    made.loadStoredLater = [this](RegistryRoot&) { ++storedLoads; };
    return made;
  }

  // Commands the stubs logged since the test began.
  std::vector<std::string> newCommands() const { return linesOf(readFile(commandsLogPath).substr(commandsStart)); }

  // A blank board's entry whose stored group is loaded (so it is saved).
  std::unique_ptr<Factory::SettingsEntry> blankEntry() {
    outputs = {""};
    auto entry = std::make_unique<Factory::SettingsEntry>(tree.root, services());
    RegistryLoader loader("factory", tree.root);
    macCalls.clear();
    return entry;
  }

  TestTree tree{{"factory"}};
  std::string hostnamePath = tree.temporary.path + "/hostname";
  std::string randomPath = tree.temporary.path + "/urandom";
  std::string environmentPath = Platform::path("/var/uboot.env");
  std::string corruptMarker = Platform::path("/var/uboot.env.corrupt");
  std::string commandsLogPath = Platform::path("/var/commands.log");
  std::string savedEnvironment;
  size_t commandsStart = 0;

  std::deque<std::string> outputs;
  int reads = 0;
  int storedLoads = 0;
  std::vector<MacCall> macCalls;
};

TEST_F(FactoryEntryTest, CommissionedBoardLoadsNormalisedIdentity) {
  outputs = {commissionedOutput};
  CaptureStdout capture;
  Factory::SettingsEntry entry(tree.root, services());
  std::string log = capture.text();

  EXPECT_TRUE(entry.commissioned());
  EXPECT_EQ(reads, 1);
  EXPECT_STREQ(entry.value.serial, "123");
  EXPECT_STREQ(entry.value.uuid, "3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01");
  EXPECT_STREQ(entry.value.mac1, "02:51:90:00:00:2A");
  EXPECT_EQ(readFile(hostnamePath), "QTR90-123");
  ASSERT_EQ(macCalls.size(), 1u);
  EXPECT_EQ(macCalls[0].mac1, "02:51:90:00:00:2A");
  EXPECT_EQ(macCalls[0].mac2, "02:51:90:00:01:2A");
  EXPECT_TRUE(macCalls[0].apply);
  EXPECT_FALSE(macCalls[0].random);
  EXPECT_EQ(storedLoads, 0) << "a commissioned board keeps no pending identity";
  for (const char* line : {"Loading factory parameters", "Got serial", "Got uuid", "Got mac 1", "Got mac 2",
                           "Updating hostname"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  EXPECT_NE(entry.toText().find(R"("test_result":true)"), std::string::npos);
  EXPECT_TRUE(newCommands().empty());
}

TEST_F(FactoryEntryTest, HostNameFileIsRewrittenOnlyWhenItDiffers) {
  struct Case {
    const char* name;
    const char* before;  // null: no file
    bool rewritten;
  };
  const Case cases[] = {
      {"missing", nullptr, true},
      {"other serial", "QTR90-999", true},
      {"with a line end", "QTR90-123\n", true},
      {"same", "QTR90-123", false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(hostnamePath);
    if (c.before != nullptr) writeFile(hostnamePath, c.before);
    outputs = {commissionedOutput};
    CaptureStdout capture;
    TestTree own{{"factory"}};
    Factory::SettingsEntry entry(own.root, services());
    EXPECT_TRUE(entry.commissioned()) << c.name;
    EXPECT_EQ(capture.text().find("Updating hostname") != std::string::npos, c.rewritten) << c.name;
    EXPECT_EQ(readFile(hostnamePath), "QTR90-123") << c.name;
  }
}

TEST_F(FactoryEntryTest, SecondAttemptMayStillSucceed) {
  outputs = {"", commissionedOutput};
  Factory::SettingsEntry entry(tree.root, services());
  EXPECT_EQ(reads, 2);
  EXPECT_TRUE(entry.commissioned());
}

TEST_F(FactoryEntryTest, BoardWithoutIdentityGetsGeneratedUuidAndRandomMacs) {
  struct Case {
    const char* name;
    std::string output;
  };
  const Case cases[] = {
      {"silent", ""},
      {"mac2 missing", "serial=123\nuuid=3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a01\nethaddr=02:51:90:00:00:2A\n"},
      {"invalid uuid", "serial=123\nuuid=3f1c2a9e-5b7d-4e10-9a6b-0c8d2e4f6a0\nethaddr=02:51:90:00:00:2A\nmac2=02:51:90:00:01:2A\n"},
      {"values beyond 500 bytes", std::string(500, '#') + commissionedOutput},
      {"garbage", std::string("\xff\x01garbage=\0serial=1", 19)},
  };
  writeFile(randomPath, std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c", 12));
  for (const Case& c : cases) {
    outputs = {c.output};
    reads = 0;
    storedLoads = 0;
    macCalls.clear();
    CaptureStdout capture;
    TestTree own{{"factory"}};
    Factory::SettingsEntry entry(own.root, services());
    std::string log = capture.text();
    EXPECT_EQ(reads, 2) << c.name;
    EXPECT_FALSE(entry.commissioned()) << c.name;
    EXPECT_STREQ(entry.value.serial, "0") << c.name;
    EXPECT_STREQ(entry.value.mac1, "") << c.name;
    EXPECT_STREQ(entry.value.uuid, "943c0917-8ebb-46f0-94c8-030201070605") << c.name;
    EXPECT_NE(log.find("Failed to read factory parameters!"), std::string::npos) << c.name;
    EXPECT_NE(log.find("Using generated uuid 943c0917-8ebb-46f0-94c8-030201070605"), std::string::npos) << c.name;
    ASSERT_EQ(macCalls.size(), 1u) << c.name;
    EXPECT_TRUE(macCalls[0].random && macCalls[0].apply) << c.name;
    EXPECT_EQ(storedLoads, 1) << c.name;
    EXPECT_EQ(entry.toText(), "null") << c.name;
  }
}

TEST_F(FactoryEntryTest, UnreadableRandomSourceGivesZeroUuid) {
  outputs = {""};
  Factory::SettingsEntry entry(tree.root, services());
  EXPECT_STREQ(entry.value.uuid, "943c0917-8ebb-46f0-94c8-000000000000");
}

TEST_F(FactoryEntryTest, CommissionedBoardIgnoresTheEntry) {
  outputs = {commissionedOutput};
  Factory::SettingsEntry entry(tree.root, services());
  RegistryLoader loader("factory", tree.root);
  std::string before = entry.toText();
  entry.fromText(R"({"serial":"555","uuid":"11111111-2222-3333-4444-555555555555","mac1":"02:00:00:00:00:01",)"
                 R"("mac2":"02:00:00:00:00:02","test_result":true})",
                 {});
  EXPECT_EQ(entry.toText(), before);
  EXPECT_FALSE(tree.exists("factory"));
  EXPECT_TRUE(newCommands().empty());
}

TEST_F(FactoryEntryTest, IncompleteOrInvalidObjectsStoreNothing) {
  auto entry = blankEntry();
  const char* objects[] = {
      R"({"serial":"500","uuid":"11111111-2222-3333-4444-555555555555","mac1":"02:00:00:00:00:01"})",
      R"({"serial":"5a","uuid":"11111111-2222-3333-4444-555555555555","mac1":"02:00:00:00:00:01","mac2":"02:00:00:00:00:02"})",
      R"({"serial":"123456789012345678901","uuid":"11111111-2222-3333-4444-555555555555",)"
      R"("mac1":"02:00:00:00:00:01","mac2":"02:00:00:00:00:02","test_result":true})",
  };
  for (const char* object : objects) {
    entry->fromText(object, {});
    EXPECT_EQ(entry->toText(), "null") << object;
    EXPECT_FALSE(tree.exists("factory")) << object;
  }
  EXPECT_TRUE(macCalls.empty());
  EXPECT_TRUE(newCommands().empty());
}

TEST_F(FactoryEntryTest, IdentityWithoutPassedTestIsStoredEachTimeAndNeverReachesUBoot) {
  auto entry = blankEntry();
  const char* first = R"({"serial":"500","uuid":"11111111-2222-3333-4444-555555555555",)"
                      R"("mac1":"02:00:00:00:00:01","mac2":"02:00:00:00:00:02","test_result":false})";
  const char* second = R"({"serial":"501","uuid":"11111111-2222-3333-4444-555555555555",)"
                       R"("mac1":"02:00:00:00:00:0a","mac2":"02:00:00:00:00:02"})";
  entry->fromText(first, {});
  EXPECT_EQ(tree.read("factory"), first);
  entry->fromText(second, {});
  EXPECT_EQ(tree.read("factory"), R"({"serial":"501","uuid":"11111111-2222-3333-4444-555555555555",)"
                                  R"("mac1":"02:00:00:00:00:0A","mac2":"02:00:00:00:00:02","test_result":false})");
  EXPECT_EQ(readFile(hostnamePath), "QTR90-501");
  EXPECT_FALSE(entry->commissioned());
  EXPECT_TRUE(macCalls.empty());
  EXPECT_TRUE(newCommands().empty());
  EXPECT_EQ(readFile(environmentPath), savedEnvironment);
}

const char* const passedObject =
    R"({"serial":"777","uuid":"11111111-2222-3333-4444-5555555555AA",)"
    R"("mac1":"02:00:00:00:00:01","mac2":"02:00:00:00:00:02","test_result":true})";

TEST_F(FactoryEntryTest, PassedIdentityMovesIntoUBootAndReboots) {
  auto entry = blankEntry();
  entry->fromText(R"({"serial":"777","uuid":"11111111-2222-3333-4444-5555555555aa",)"
                  R"("mac1":"02:00:00:00:00:01","mac2":"02:00:00:00:00:02"})",
                  {});
  ASSERT_TRUE(tree.exists("factory"));
  CaptureStdout capture;
  entry->fromText(passedObject, {});

  EXPECT_NE(capture.text().find("Saving factory settings"), std::string::npos);
  const std::vector<std::string> expected = {
      "fw_printenv",  // the health check
      "fw_setenv serial 777",
      "fw_setenv uuid 11111111-2222-3333-4444-5555555555aa",
      "fw_setenv ethaddr 02:00:00:00:00:01",
      "fw_setenv mac2 02:00:00:00:00:02",
      "reboot -d 1",
  };
  EXPECT_EQ(newCommands(), expected);
  ASSERT_EQ(macCalls.size(), 1u);
  EXPECT_EQ(macCalls[0].commandsBefore, 5u) << "MACs are set after the U-Boot writes, before the reboot";
  EXPECT_FALSE(macCalls[0].storedFileExisted);
  EXPECT_EQ(macCalls[0].mac1, "02:00:00:00:00:01");
  EXPECT_TRUE(macCalls[0].apply);
  EXPECT_FALSE(tree.exists("factory"));
  EXPECT_EQ(SysEnv::printBootVariables("serial uuid ethaddr mac2", 500),
            "serial=777\nuuid=11111111-2222-3333-4444-5555555555aa\nethaddr=02:00:00:00:00:01\nmac2=02:00:00:00:00:02\n");
  EXPECT_TRUE(entry->commissioned());
}

// A tester's client applies the object: U-Boot writes, the MAC set-up and
// the reboot run after the apply released the registry mutex, in order.
TEST_F(FactoryEntryTest, CommissioningRunsItsCommandsOutsideTheRegistryLock) {
  auto entry = blankEntry();
  tree.root.apply((std::string(R"({"factory":)") + passedObject + "}").c_str());
  ASSERT_EQ(macCalls.size(), 1u);
  EXPECT_TRUE(macCalls[0].registryFree);
  EXPECT_EQ(macCalls[0].commandsBefore, 5u);
  EXPECT_EQ(newCommands().back(), "reboot -d 1");
  EXPECT_TRUE(entry->commissioned());
}

TEST_F(FactoryEntryTest, DamagedEnvironmentIsLeftAloneButTheBoardStillReboots) {
  auto entry = blankEntry();
  entry->fromText(R"({"serial":"777","uuid":"11111111-2222-3333-4444-5555555555aa",)"
                  R"("mac1":"02:00:00:00:00:01","mac2":"02:00:00:00:00:02"})",
                  {});
  writeFile(corruptMarker, "");
  size_t before = newCommands().size();
  CaptureStdout capture;
  entry->fromText(passedObject, {});
  std::string log = capture.text();

  EXPECT_NE(log.find("|SysEnv.h         : U-Boot env corrupted!"), std::string::npos) << log;
  EXPECT_NE(log.find("! ENV is dead"), std::string::npos);
  std::vector<std::string> commands = newCommands();
  commands.erase(commands.begin(), commands.begin() + static_cast<long>(before));
  EXPECT_EQ(commands, (std::vector<std::string>{"fw_printenv", "reboot -d 1"}));
  EXPECT_EQ(readFile(environmentPath), savedEnvironment);
  EXPECT_FALSE(tree.exists("factory"));
  ASSERT_EQ(macCalls.size(), 1u);
}

TEST_F(FactoryEntryTest, BootVariableValuesReachTheToolAsOneWord) {
  SysEnv::setBootVariable("note", "a b;'c'");
  EXPECT_EQ(SysEnv::printBootVariables("note", 100), "note=a b;'c'\n");
  EXPECT_EQ(newCommands().back(), "fw_printenv note");
}

}  // namespace

namespace {

// The process-wide entry loads the test root's identity during static
// initialisation, long before anything installs the MAC set-up (main does it
// before it starts the workers): that request waits and runs on installation,
// once; later requests go straight to the installed set-up.
TEST(FactoryMacSetup, RequestOfTheLoadingWaitsForTheInstalledSetup) {
  // Stays installed for the rest of the process, so it must outlive the test.
  static std::mutex callsMutex;
  static std::vector<std::string> calls;
  auto takeCalls = [] {
    std::lock_guard<std::mutex> lock(callsMutex);
    std::vector<std::string> taken;
    taken.swap(calls);
    return taken;
  };
  Factory::installMacSetup({[](const char* mac1, const char* mac2, bool apply) {
                              std::lock_guard<std::mutex> lock(callsMutex);
                              calls.push_back(std::string(mac1) + " " + mac2 + (apply ? " apply" : ""));
                            },
                            [](bool apply) {
                              std::lock_guard<std::mutex> lock(callsMutex);
                              calls.push_back(std::string("random") + (apply ? " apply" : ""));
                            }});
  EXPECT_EQ(takeCalls(), std::vector<std::string>{"02:51:90:00:00:2A 02:51:90:00:01:2A apply"});
  Factory::requestRandomMacs(false);
  Factory::requestMacs("02:51:90:00:00:2B", "02:51:90:00:01:2B", true);
  EXPECT_EQ(takeCalls(), (std::vector<std::string>{"random", "02:51:90:00:00:2B 02:51:90:00:01:2B apply"}));
}

}  // namespace
