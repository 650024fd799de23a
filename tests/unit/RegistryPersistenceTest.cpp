// Group files: exact text, power-cut safety, loading and defaults.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "RegistryTestTree.h"
#include "core/SmallFile.h"
#include "registry/AtomicFile.h"
#include "registry/RegistryLoader.h"

namespace {

// What the save of a test did, recorded by the file operations below.
struct Recorded {
  std::string written;
  std::string renamedFrom;
  std::string renamedTo;
  int writesLeft = -1;  // fail after this many write calls (-1: never)
  bool failFsync = false;
  bool cutBeforeRename = false;
};
Recorded recorded;

ssize_t recordingWrite(int fd, const void* data, size_t size) {
  if (recorded.writesLeft == 0) {
    errno = ENOSPC;
    return -1;
  }
  if (recorded.writesLeft > 0) {
    --recorded.writesLeft;
    size = size / 2;  // a short write before the failure
  }
  recorded.written.append(static_cast<const char*>(data), size);
  return ::write(fd, data, size);
}
int recordingFsync(int fd) { return recorded.failFsync ? (errno = EIO, -1) : ::fsync(fd); }
int recordingRename(const char* from, const char* to) {
  recorded.renamedFrom = from;
  recorded.renamedTo = to;
  if (recorded.cutBeforeRename) return (errno = EIO, -1);
  return ::rename(from, to);
}

// A persisted group "grp" with a = 5 and b = false.
struct SaveFixture : ::testing::Test {
  TestTree tree;
  Entry<int> a{tree.root, {"grp", "a"}};
  Entry<bool> b{tree.root, {"grp", "b"}};
  RegistryLoader loader{"grp", tree.root};
  EntryNode& group = *tree.root.child("grp");

  void SetUp() override {
    recorded = Recorded{};
    tree.root.setFileOperations(FileOperations{recordingWrite, recordingFsync, recordingRename});
    a.value = 5;
  }
};

TEST_F(SaveFixture, SaveWritesExactlyTheGroupTextThroughTheNewFile) {
  save(group);
  EXPECT_EQ(recorded.written, R"({"a":5,"b":false})");
  EXPECT_EQ(recorded.renamedFrom, tree.file("grp") + ".new");
  EXPECT_EQ(recorded.renamedTo, tree.file("grp"));
  EXPECT_EQ(tree.read("grp"), R"({"a":5,"b":false})");
  EXPECT_FALSE(std::filesystem::exists(tree.file("grp") + ".new"));
}

TEST_F(SaveFixture, LeftoverLongerNewFileIsReplacedNotPatched) {
  tree.write("grp.new", std::string(200, 'x'));
  save(group);
  EXPECT_EQ(tree.read("grp"), R"({"a":5,"b":false})");
}

TEST_F(SaveFixture, FailedWriteOrPowerCutKeepsThePreviousFile) {
  const std::string previous = R"({"a":1,"b":true})";
  struct Fault {
    const char* label;
    std::function<void()> arm;
  };
  const Fault faults[] = {
      {"write fails after a short write", [] { recorded.writesLeft = 1; }},
      {"write fails at once", [] { recorded.writesLeft = 0; }},
      {"flush to storage fails", [] { recorded.failFsync = true; }},
      {"power cut before the rename", [] { recorded.cutBeforeRename = true; }},
  };
  for (const Fault& fault : faults) {
    tree.write("grp", previous);
    recorded = Recorded{};
    fault.arm();
    save(group);
    EXPECT_EQ(tree.read("grp"), previous) << fault.label;
    EXPECT_FALSE(std::filesystem::exists(tree.file("grp") + ".new")) << fault.label;
  }
  recorded = Recorded{};
  save(group);
  EXPECT_EQ(tree.read("grp"), R"({"a":5,"b":false})") << "the next save goes through";
}

TEST(RegistryPersistence, GroupsWithoutLoaderAreNeverWritten) {
  TestTree tree;
  Entry<int> value(tree.root, {"plain", "v"});
  save(*tree.root.child("plain"));
  commit(value);
  EXPECT_FALSE(std::filesystem::exists(tree.root.directory()));
}

TEST(RegistryPersistence, UnwritableDirectoryKeepsSettingsInMemory) {
  TempDirectory temporary;
  {
    std::ofstream blocker(temporary.path + "/file");
  }
  RegistryRoot root(temporary.path + "/file/dps");
  Entry<int> value(root, {"grp", "v"});
  RegistryLoader loader("grp", root);
  root.apply(R"({"grp":{"v":4}})");
  EXPECT_EQ(value.value, 4);
  EXPECT_EQ(root.toText(), R"({"grp":{"v":4}})");
}

// Group "grp" (a, b, and the nested c/d) with a default text, loaded from a
// file: the result is the same whichever of loader and default comes first.
struct LoadCase {
  const char* label;
  std::function<void(const TestTree&)> prepare;
  const char* expected;
};

const char* const groupDefault = R"({"a":1,"b":true,"c":{"d":2}})";
const char* const defaultResult = R"({"a":1,"b":true,"c":{"d":2}})";

std::string loadGroup(const LoadCase& c, bool defaultFirst) {
  TestTree tree;
  c.prepare(tree);
  std::string before = tree.exists("grp") ? tree.read("grp") : "(none)";
  Entry<int> a(tree.root, {"grp", "a"});
  Entry<bool> b(tree.root, {"grp", "b"});
  Entry<int> d(tree.root, {"grp", "c", "d"});
  if (defaultFirst) {
    RegistryDefault defaults("grp", groupDefault, tree.root);
    RegistryLoader loader("grp", tree.root);
  } else {
    RegistryLoader loader("grp", tree.root);
    RegistryDefault defaults("grp", groupDefault, tree.root);
  }
  std::string after = tree.exists("grp") ? tree.read("grp") : "(none)";
  EXPECT_EQ(after, before) << c.label << ": loading never writes";
  EXPECT_FALSE(std::filesystem::exists(tree.file("grp") + ".new")) << c.label;
  return tree.root.child("grp")->toText();
}

TEST(RegistryPersistence, LoaderAndDefaultGiveTheSameResultInEitherOrder) {
  auto file = [](std::string content) { return [content](const TestTree& tree) { tree.write("grp", content); }; };
  const LoadCase cases[] = {
      {"missing file", [](const TestTree&) {}, defaultResult},
      {"complete file", file(R"({"a":5,"b":false,"c":{"d":7}})"), R"({"a":5,"b":false,"c":{"d":7}})"},
      {"file lacking members keeps the default for them", file(R"({"b":false,"zz":1})"),
       R"({"a":1,"b":false,"c":{"d":2}})"},
      {"text after the object is ignored", file("{\"a\":9}\ngarbage"), R"({"a":9,"b":true,"c":{"d":2}})"},
      {"empty file", file(""), defaultResult},
      {"one character", file("{"), defaultResult},
      {"empty object", file("{}"), defaultResult},
      {"not JSON", file("hello, world"), defaultResult},
      {"binary", file(std::string("\x00\x01\xff{\"a\":3}", 10)), defaultResult},
      {"truncated mid-string", file(R"({"a":4,"b":"tr)"), defaultResult},
      {"nested too deep", file("{\"c\":{\"d\":" + std::string(5000, '{') + std::string(5000, '}') + "}}"),
       R"({"a":1,"b":true,"c":{"d":0}})"},
      {"10 MB long", file("{\"a\":6,\"pad\":\"" + std::string(10 << 20, 'x') + "\"}"), defaultResult},
      {"a directory in its place",
       [](const TestTree& tree) { std::filesystem::create_directories(tree.file("grp")); }, defaultResult},
  };
  for (const LoadCase& c : cases) {
    EXPECT_EQ(loadGroup(c, true), c.expected) << c.label << " (default first)";
    EXPECT_EQ(loadGroup(c, false), c.expected) << c.label << " (loader first)";
  }
}

TEST(RegistryPersistence, LoadedGroupIsPersistedAndFlaggedLoaded) {
  TestTree tree;
  tree.write("grp", R"({"a":3})");
  Entry<int> a(tree.root, {"grp", "a"});
  RegistryLoader loader("grp", tree.root);
  EntryNode* group = tree.root.child("grp");
  EXPECT_TRUE(group->persistent);
  EXPECT_TRUE(group->loaded);
  EXPECT_EQ(a.value, 3);

  TestTree empty;
  Entry<int> b(empty.root, {"grp", "a"});
  RegistryLoader emptyLoader("grp", empty.root);
  EXPECT_TRUE(empty.root.child("grp")->persistent);
  EXPECT_FALSE(empty.root.child("grp")->loaded);
}

TEST(AtomicFile, ReadsOnlySmallRegularFiles) {
  TempDirectory temporary;
  std::string path = temporary.path + "/f";
  EXPECT_EQ(readSmallFile(path, 100), "");
  EXPECT_TRUE(replaceFile(path, "0123456789"));
  EXPECT_EQ(readSmallFile(path, 10), "0123456789");
  EXPECT_EQ(readSmallFile(path, 9), "");
  EXPECT_EQ(readSmallFile(temporary.path, 100), "");
}

}  // namespace
