// When saves write: only a text that differs from the one last saved or read
// for the file; outside the registry mutex; an older text never after a newer
// one. And the lock-free copies of mirrored entries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "RegistryTestTree.h"
#include "registry/AtomicFile.h"
#include "registry/MirroredEntry.h"
#include "registry/RegistryLoader.h"

namespace {

size_t savedLines(const std::string& output, const char* group) {
  return TestLog::linesWith(output, std::string("Saved ") + group).size();
}

// The persisted group "grp" (a, b) loaded from a file holding `stored`.
struct StoredGroup {
  explicit StoredGroup(const std::string& stored) : fileWritten(!stored.empty() && (tree.write("grp", stored), true)) {}
  TestTree tree;
  bool fileWritten;  // before the loader below reads it
  Entry<int> a{tree.root, {"grp", "a"}};
  Entry<bool> b{tree.root, {"grp", "b"}};
  RegistryLoader loader{"grp", tree.root};
};

TEST(RegistrySave, WritesAGroupOnlyWhenItsTextChanged) {
  struct Step {
    const char* label;
    std::function<void(StoredGroup&)> act;
    size_t writes;  // files written by this step
  };
  auto apply = [](const char* text) { return [text](StoredGroup& g) { g.tree.root.apply(text); }; };
  const Step steps[] = {
      {"the loaded values applied again", apply(R"({"grp":{"a":5,"b":false}})"), 0},
      {"an empty object for the group", apply(R"({"grp":{}})"), 0},
      {"a member that is not there", apply(R"({"grp":{"zz":1}})"), 0},
      {"a real change", apply(R"({"grp":{"a":6}})"), 1},
      {"the same change again", apply(R"({"grp":{"a":6}})"), 0},
      {"a commit without a change", [](StoredGroup& g) { g.tree.root.commit(g.a); }, 0},
      {"a commit after a change", [](StoredGroup& g) {
         {
           RegistryRoot::Scope scope(g.tree.root);
           g.b.value = true;
         }
         g.tree.root.commit(g.b);
       }, 1},
      {"the file removed by other means", [](StoredGroup& g) {
         std::filesystem::remove(g.tree.file("grp"));
         g.tree.root.apply(R"({"grp":{"b":true}})");
       }, 1},
      {"the file forgotten after its removal", [](StoredGroup& g) {
         g.tree.root.forgetStored("grp");
         g.tree.root.apply(R"({"grp":{"b":true}})");
       }, 1},
  };
  StoredGroup group(R"({"a":5,"b":false})");
  for (const Step& step : steps) {
    uint64_t before = group.tree.root.fileWrites();
    CaptureStdout output;
    step.act(group);
    EXPECT_EQ(group.tree.root.fileWrites() - before, step.writes) << step.label;
    EXPECT_EQ(savedLines(output.text(), "grp"), step.writes) << step.label;
  }
  EXPECT_EQ(group.tree.read("grp"), R"({"a":6,"b":true})");
}

TEST(RegistrySave, FirstSaveWritesWhenTheFileHoldsAnotherText) {
  const struct {
    const char* stored;
    size_t writes;
  } cases[] = {
      {R"({"a":5,"b":false})", 0},  // exactly what the group shows
      {R"({"a":5})", 1},            // b taken from its start value
      {R"({"b":false,"a":5})", 1},  // other order
      {"", 1},                      // no file
  };
  for (const auto& c : cases) {
    StoredGroup group(c.stored);
    group.tree.root.apply(R"({"grp":{"a":5}})");
    EXPECT_EQ(group.tree.root.fileWrites(), c.writes) << c.stored;
    EXPECT_EQ(group.tree.read("grp"), R"({"a":5,"b":false})") << c.stored;
  }
}

// A failed write leaves the file's content unknown: the same text is written
// again by the next save.
int failingFsync(int) { return (errno = EIO, -1); }

TEST(RegistrySave, AfterAFailedWriteTheSameTextIsWrittenAgain) {
  StoredGroup group(R"({"a":5,"b":false})");
  group.tree.root.setFileOperations(FileOperations{::write, failingFsync, ::rename});
  group.tree.root.apply(R"({"grp":{"a":7}})");
  EXPECT_EQ(group.tree.read("grp"), R"({"a":5,"b":false})");
  group.tree.root.setFileOperations(systemFileOperations());
  group.tree.root.apply(R"({"grp":{"a":7}})");
  EXPECT_EQ(group.tree.read("grp"), R"({"a":7,"b":false})");
  EXPECT_EQ(group.tree.root.fileWrites(), 2u);
}

// The first write of the file waits in its flush until the test lets it go
// (5 s at most, so a fault fails instead of hanging).
struct HeldFlush {
  std::mutex mutex;
  std::condition_variable changed;
  int entered = 0;
  bool released = false;
};
HeldFlush heldFlush;

int heldFsync(int fd) {
  std::unique_lock<std::mutex> lock(heldFlush.mutex);
  if (++heldFlush.entered == 1) {
    heldFlush.changed.notify_all();
    heldFlush.changed.wait_for(lock, std::chrono::seconds(5), [] { return heldFlush.released; });
  }
  return ::fsync(fd);
}

bool lockableFromAnotherThread(std::recursive_mutex& mutex) {
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

// Three clients save the group one after the other while the first write is
// stuck: the registry stays free meanwhile, and the file ends with the last
// text whichever writer gets the file first.
TEST(RegistrySave, ANewerTextIsNeverReplacedByAnOlderOne) {
  StoredGroup group("");
  heldFlush.entered = 0;
  heldFlush.released = false;
  group.tree.root.setFileOperations(FileOperations{::write, heldFsync, ::rename});
  std::thread first([&] { group.tree.root.apply(R"({"grp":{"a":1}})"); });
  {
    std::unique_lock<std::mutex> lock(heldFlush.mutex);
    ASSERT_TRUE(heldFlush.changed.wait_for(lock, std::chrono::seconds(5), [] { return heldFlush.entered == 1; }));
  }
  EXPECT_TRUE(lockableFromAnotherThread(group.tree.root.mutex())) << "the write holds the registry mutex";
  // The second and the third text are rendered in this order while the
  // first write waits; their writers then wait for their turn at the file.
  auto renderedValue = [&](int wanted) {
    for (int i = 0; i < 5000; ++i) {
      {
        RegistryRoot::Scope scope(group.tree.root);
        if (group.a.value == wanted) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  };
  std::thread second([&] { group.tree.root.apply(R"({"grp":{"a":2}})"); });
  EXPECT_TRUE(renderedValue(2));
  std::thread third([&] { group.tree.root.apply(R"({"grp":{"a":3}})"); });
  EXPECT_TRUE(renderedValue(3));
  {
    std::lock_guard<std::mutex> lock(heldFlush.mutex);
    heldFlush.released = true;
  }
  heldFlush.changed.notify_all();
  first.join();
  second.join();
  third.join();
  EXPECT_EQ(group.tree.read("grp"), R"({"a":3,"b":false})");
  EXPECT_EQ(group.tree.root.fileWrites(), 2u) << "the newest text is written once, the one between skipped";
}

// The lock-free copy follows the value whichever way it was set.
TEST(MirroredEntryTest, CopyFollowsFilesAppliesAndCommits) {
  TestTree tree;
  tree.write("m", R"({"mode":7,"on":true})");
  MirroredEntry<int> mode(tree.root, {"m", "mode"});
  MirroredEntry<bool> on(tree.root, {"m", "on"});
  RegistryLoader loader("m", tree.root);
  EXPECT_EQ(mode.current(), 7) << "loaded from the file";
  EXPECT_TRUE(on.current());

  tree.root.apply(R"({"m":{"mode":8}})");
  EXPECT_EQ(mode.current(), 8) << "applied";

  {
    RegistryRoot::Scope scope(tree.root);
    mode.value = 9;
    on.value = false;
  }
  EXPECT_EQ(mode.current(), 8) << "not yet committed";
  tree.root.commit(mode);
  EXPECT_EQ(mode.current(), 9);
  EXPECT_FALSE(on.current()) << "a commit refreshes the whole group";
}

}  // namespace
