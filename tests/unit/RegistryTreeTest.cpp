// Paths, group text, applying objects, change masks, waiters and commit.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "CaptureStdout.h"
#include "RegistryTestTree.h"
#include "registry/RegistryLoader.h"
#include "registry/WSEndpoint.h"
#include "registry/Waiter.h"

namespace {

std::vector<std::string> childNames(const Registry& group) {
  std::vector<std::string> names;
  for (const EntryNode* node : group.children) names.emplace_back(node->name);
  return names;
}

TEST(RegistryTree, PathsMakeGroupsThatLookupFinds) {
  TestTree tree;
  Entry<int> deep(tree.root, {"g", "sub", "a"});
  Entry<bool> flag(tree.root, {"g", "flag"});
  EXPECT_EQ(tree.root.find({"g", "sub", "a"}), &deep);
  ASSERT_NE(tree.root.find({"g"})->asRegistry(), nullptr);
  EXPECT_EQ(deep.parent, tree.root.find({"g", "sub"}));
  EXPECT_EQ(tree.root.toText(), R"({"g":{"sub":{"a":0},"flag":false}})");

  Registry* made = tree.root.find({"g", "empty"})->asRegistry();  // lookup makes a missing group
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->toText(), "{}");
  EXPECT_EQ(tree.root.toText(), R"({"g":{"sub":{"a":0},"flag":false,"empty":{}}})");
}

TEST(RegistryTree, PathThroughLeafLeavesTheEntryOutside) {
  TestTree tree;
  ScopedListener listener(tree.root);
  Entry<int> leaf(tree.root, {"x"});
  CaptureStdout log;
  Entry<int> misplaced(tree.root, {"x", "y"});
  EXPECT_NE(log.text().find("Entry path runs through the leaf x"), std::string::npos) << log.text();
  EXPECT_EQ(misplaced.tree(), nullptr);
  EXPECT_EQ(tree.root.find({"x", "y"}), nullptr);
  EXPECT_EQ(tree.root.toText(), R"({"x":0})");
  commit(misplaced);
  EXPECT_TRUE(listener.masks.empty());
}

TEST(RegistryTree, EntryTakesThePlaceOfAGroupMadeBeforeItByALookup) {
  TestTree tree;
  // Constructed before the entries they name, as static objects of other
  // files may be.
  Waiter leafWaiter({{"late", "leaf"}}, tree.root);
  RegistryLoader loader("top", tree.root);
  Entry<int> leaf(tree.root, {"late", "leaf"});
  Entry<int> top(tree.root, {"top"});

  EXPECT_EQ(tree.root.toText(), R"({"late":{"leaf":0},"top":0})");
  EXPECT_EQ(tree.root.find({"late", "leaf"}), &leaf);
  EXPECT_EQ(leaf.waiters, std::vector<Waiter*>{&leafWaiter});
  EXPECT_TRUE(top.persistent);
  tree.root.apply(R"({"late":{"leaf":4},"top":6})");
  EXPECT_EQ(leaf.value, 4);
  EXPECT_FALSE(tree.exists("top")) << "an apply saves groups only";
  save(top);
  EXPECT_EQ(tree.read("top"), "6");
}

TEST(RegistryTree, NameRegisteredTwiceKeepsTheFirst) {
  TestTree tree;
  Entry<int> first(tree.root, {"g", "v"});
  CaptureStdout log;
  Entry<int> second(tree.root, {"g", "v"});
  EXPECT_NE(log.text().find("Entry v registered twice"), std::string::npos);
  EXPECT_EQ(second.tree(), nullptr);
  EXPECT_EQ(tree.root.toText(), R"({"g":{"v":0}})");
}

TEST(RegistryTree, RootKeepsTheOrderTableWhateverTheConstructionOrder) {
  TestTree tree({"a", "b", "c"});
  Entry<int> c(tree.root, {"c"});
  Entry<int> unlisted1(tree.root, {"x"});
  Entry<int> b(tree.root, {"b", "inner"});
  Entry<int> unlisted2(tree.root, {"w"});
  Entry<int> a(tree.root, {"a"});
  EXPECT_EQ(childNames(tree.root), (std::vector<std::string>{"a", "b", "c", "x", "w"}));
  EXPECT_EQ(tree.root.bitOf(tree.root.child("x")), 1u << 3);

  ScopedListener listener(tree.root);
  tree.root.apply(R"({"w":1,"b":{"inner":2}})");
  EXPECT_EQ(listener.masks, std::vector<uint32_t>{(1u << 1) | (1u << 4)});
}

// A tree like the real one: a persisted group, a plain group, a status group,
// an endpoint, and waiters on a group and on a leaf.
struct ApplyFixture : ::testing::Test {
  TestTree tree;
  Entry<int> mqttMain{tree.root, {"mqtt", "main"}};
  RegistryLoader mqttLoader{"mqtt", tree.root};
  Entry<bool> dhcp{tree.root, {"eth0", "dhcp"}};
  Entry<IP4> address{tree.root, {"eth0", "ip"}};
  WSStatus<int> rssi{tree.root, {"gsm_status", "rssi"}};
  WSEndpoint<endpointTag("testconn")> mqttTest{tree.root, {"mqtt_test"}};
  Waiter ethWaiter{{{"eth0"}}, tree.root};
  Waiter leafWaiter{{{"mqtt", "main"}}, tree.root};
  ScopedListener listener{tree.root};
  std::vector<std::string> calls;

  void SetUp() override {
    mqttTest.setHandler([this](const char* value, const Origin&) { calls.emplace_back(value); });
  }
  uint32_t bit(const char* name) { return tree.root.bitOf(tree.root.child(name)); }
};

TEST_F(ApplyFixture, AppliedObjectSetsMembersReportsGroupsAndWakesGroupWaiters) {
  rssi.value = -70;
  tree.root.apply(R"({"eth0":{"dhcp":true,"ip":"10.1.2.3","nope":1},"mqtt":{"main":5},"unknown":1,)"
                  R"("gsm_status":{"rssi":9},"mqtt_test":{"gsm":true}})");

  EXPECT_TRUE(dhcp.value);
  EXPECT_EQ(address.toText(), "\"10.1.2.3\"");
  EXPECT_EQ(mqttMain.value, 5);
  EXPECT_EQ(rssi.value, -70) << "a status value is not set from outside";
  EXPECT_EQ(calls, std::vector<std::string>{R"({"gsm":true})"});
  EXPECT_EQ(listener.masks, std::vector<uint32_t>{bit("eth0") | bit("mqtt") | bit("gsm_status") | bit("mqtt_test")});
  EXPECT_TRUE(ethWaiter.wait(0));
  EXPECT_FALSE(ethWaiter.wait(0)) << "posted once per apply";
  EXPECT_FALSE(leafWaiter.wait(0)) << "a waiter on a leaf is never woken by an apply";
  EXPECT_EQ(tree.read("mqtt"), R"({"main":5})");
  EXPECT_FALSE(tree.exists("eth0")) << "only persisted groups are saved";
  EXPECT_FALSE(tree.exists("mqtt_test"));
}

TEST_F(ApplyFixture, MalformedOrForeignObjectsChangeNothingButStillNotify) {
  const char* texts[] = {R"({"eth0":)",
                         "",
                         "[1]",
                         R"({"eth0":{"dhcp":true})",
                         " {\"eth0\":{}}",
                         R"({"eth0":[true]})",
                         R"({"other":{"eth0":{"dhcp":true}}})"};
  for (const char* text : texts) {
    listener.masks.clear();
    tree.root.apply(text);
    EXPECT_EQ(listener.masks, std::vector<uint32_t>{0}) << text;
    EXPECT_FALSE(dhcp.value) << text;
    EXPECT_FALSE(ethWaiter.wait(0)) << text;
  }
  EXPECT_FALSE(tree.exists("mqtt"));
}

TEST_F(ApplyFixture, WrongValueTypesAreReadByTheTextRules) {
  tree.root.apply(R"({"eth0":{"dhcp":{"x":1},"ip":5},"mqtt":7})");
  EXPECT_FALSE(dhcp.value);
  EXPECT_EQ(address.toText(), "\"0.0.0.5\"") << "inet_aton takes a bare number";
  EXPECT_EQ(mqttMain.value, 0) << "a group given a number applies nothing";
  EXPECT_EQ(tree.read("mqtt"), R"({"main":0})") << "a named persisted group is saved";
}

TEST_F(ApplyFixture, CommitReportsTheTopLevelGroupAndSavesIt) {
  {
    std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
    mqttMain.value = 8;
    dhcp.value = true;
  }
  commit(mqttMain);
  commit(dhcp);
  EXPECT_EQ(listener.masks, (std::vector<uint32_t>{bit("mqtt"), bit("eth0")}));
  EXPECT_EQ(tree.read("mqtt"), R"({"main":8})");
  EXPECT_FALSE(tree.exists("eth0"));
  EXPECT_FALSE(ethWaiter.wait(0)) << "commit wakes nobody";
}

TEST(RegistryTree, ChildrenFromPosition32HaveNoBit) {
  TestTree tree;
  static const std::vector<std::string> names = [] {
    std::vector<std::string> made;
    for (int i = 0; i < 34; ++i) made.push_back("t" + std::to_string(i));
    return made;
  }();
  std::vector<std::unique_ptr<Entry<int>>> entries;
  for (const std::string& name : names)
    entries.push_back(std::make_unique<Entry<int>>(tree.root, EntryPath{name.c_str()}));
  ScopedListener listener(tree.root);
  tree.root.apply(R"({"t31":1,"t32":1,"t33":1})");
  commit(*entries[32]);
  EXPECT_EQ(listener.masks, (std::vector<uint32_t>{1u << 31, 0}));
  EXPECT_EQ(entries[33]->value, 1);
}

TEST(RegistryTree, OneChildAsItsOwnObject) {
  TestTree tree;
  Entry<int> a(tree.root, {"g", "a"});
  WSEndpoint<endpointTag("cmd")> command(tree.root, {"cmd"});
  EXPECT_EQ(tree.root.childText(0), R"({"g":{"a":0}})");
  EXPECT_EQ(tree.root.childText(1), "") << "an endpoint has no text";
  EXPECT_EQ(tree.root.childText(2), "");
  EXPECT_EQ(tree.root.childCount(), 2u);
}

TEST(RegistryTree, EntriesAndWaitersLeaveTheTreeWhenDestroyed) {
  TestTree tree;
  Entry<int> kept(tree.root, {"g", "kept"});
  {
    Entry<int> gone(tree.root, {"g", "gone"});
    Waiter waiter({{"g"}}, tree.root);
    tree.root.apply(R"({"g":{"gone":1}})");
    EXPECT_EQ(tree.root.wakeSet.size(), 1u);
  }
  EXPECT_TRUE(tree.root.wakeSet.empty());
  EXPECT_TRUE(tree.root.find({"g"})->waiters.empty());
  EXPECT_EQ(tree.root.toText(), R"({"g":{"kept":0}})");
  auto watched = std::make_unique<Entry<int>>(tree.root, EntryPath{"w"});
  Waiter waiter({{"w"}}, tree.root);
  watched.reset();  // the node goes first: the waiter must not reach back into it
}

// Applies, commits, readers and listeners in parallel: the lock order keeps
// this free of deadlocks, and the sanitizers check the accesses.
TEST(RegistryTree, ParallelAppliesCommitsAndReaders) {
  TestTree tree;
  Entry<int> counter(tree.root, {"g", "counter"});
  Entry<int> other(tree.root, {"h", "other"});
  Waiter waiter({{"g"}}, tree.root);
  struct CountingListener : CommonHandler<JSONDataDesyncCmd> {
    void handle(const JSONDataDesyncCmd&) override { ++calls; }
    std::atomic<int> calls{0};
  } listener;
  tree.root.addListener(&listener);

  constexpr int rounds = 300;
  std::atomic<int> woken{0};
  std::atomic<bool> stop{false};
  std::thread applier([&] {
    for (int i = 0; i < rounds; ++i) tree.root.apply(("{\"g\":{\"counter\":" + std::to_string(i) + "}}").c_str());
  });
  std::thread committer([&] {
    for (int i = 0; i < rounds; ++i) {
      std::lock_guard<std::recursive_mutex> lock(tree.root.mutex());
      other.value = i;
      commit(other);
    }
  });
  std::thread sleeper([&] {
    while (!stop.load()) {
      if (waiter.wait(20)) ++woken;
    }
  });
  std::thread reader([&] {
    for (int i = 0; i < rounds; ++i) {
      std::string text = tree.root.childText(0);
      ASSERT_EQ(text.rfind("{\"g\":{\"counter\":", 0), 0u);
    }
  });
  applier.join();
  committer.join();
  reader.join();
  while (waiter.wait(0)) ++woken;
  stop = true;
  sleeper.join();
  tree.root.removeListener(&listener);
  EXPECT_EQ(listener.calls.load(), 2 * rounds);
  EXPECT_EQ(woken.load(), rounds);
  EXPECT_EQ(counter.value, rounds - 1);
}

TEST(Waiter, TimesOutWithoutAPost) {
  TestTree tree;
  Waiter waiter({{"g"}}, tree.root);
  EXPECT_FALSE(waiter.wait(30));
  waiter.post();
  EXPECT_TRUE(waiter.wait(1000));
}

}  // namespace
