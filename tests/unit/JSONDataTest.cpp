// The local API session on a settings tree of the test's own: login, applied
// objects, changed groups through tick, the record stream and the threads that
// reach a session from outside.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CaptureStdout.h"
#include "core/Event.h"
#include "RegistryTestTree.h"
#include "meterdata/MeterDataHandlers.h"
#include "registry/Catalogue.h"
#include "registry/JsonWriter.h"
#include "registry/RegistryLoader.h"
#include "registry/WSEndpoint.h"
#include "registry/Waiter.h"
#include "tinmoss/JSONData.h"

namespace {

const char* const goodLogin = R"({"login":"qtr","password":"5172839406"})";

// A small site: a plain group, a top-level endpoint (never shown), the login
// password, a persisted group, a group of endpoints only and a status group.
struct SessionTree {
  SessionTree()
      : tree({"alpha", "command", "wsc", "pult", "hidden", "status"}),
        alphaA(tree.root, {"alpha", "a"}),
        alphaB(tree.root, {"alpha", "b"}),
        command(tree.root, {"command"}),
        wsc(tree.root),
        pultEnabled(tree.root, {"pult", "enabled"}),
        pultLoader("pult", tree.root),
        hiddenCommand(tree.root, {"hidden", "run"}),
        statusValue(tree.root, {"status", "value"}) {}

  // A session of a client at `address`, failures counted in the site's guard
  // on the site's clock.
  JSONData session(const char* address = "10.0.0.7") {
    return JSONData(tree.root, wsc.password, WSClient{++clients, address}, &guard, [this] { return ms.load(); });
  }

  LoginGuard guard;
  std::atomic<int64_t> ms{1000000};
  int clients = 10;

  TestTree tree;
  Entry<int> alphaA;
  Entry<bool> alphaB;
  WSEndpoint<endpointTag("test")> command;
  Catalogue::Wsc wsc;
  Entry<bool> pultEnabled;
  RegistryLoader pultLoader;
  WSEndpoint<endpointTag("hidden")> hiddenCommand;
  WSStatus<int> statusValue;
};

const std::vector<std::string> allGroups = {
    R"({"alpha":{"a":0,"b":false}})",
    R"({"wsc":{"password":"5172839406"}})",
    R"({"pult":{"enabled":false}})",
    R"({"hidden":{}})",  // a group shows as an object even when nothing in it shows
    R"({"status":{"value":0}})",
};

std::vector<std::string> drain(JSONData& session) {
  std::vector<std::string> texts;
  session.outgoing().consumeAll([&](const std::string& text) { texts.push_back(text); });
  return texts;
}

// Logs in and takes the greeting and the login answer out of the ring.
void logIn(JSONData& session) {
  session.onText(goodLogin);
  ASSERT_EQ(drain(session), (std::vector<std::string>{JSONData::greeting, JSONData::loginDone}));
}

// Ticks until the session queues nothing more; returns what it queued.
std::vector<std::string> tickAll(JSONData& session) {
  std::vector<std::string> texts;
  for (int i = 0; i < 64; ++i) {
    session.tick();
    std::vector<std::string> queued = drain(session);
    if (queued.empty()) break;
    EXPECT_EQ(queued.size(), 1u) << "one group per tick";
    texts.insert(texts.end(), queued.begin(), queued.end());
  }
  return texts;
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTree site;
};

struct LoginCase {
  const char* text;
  const char* reply;
  bool authorized;
  bool failedLogin;  // logged, held back for a second and counted
};

TEST_F(SessionTest, LoginTable) {
  const LoginCase cases[] = {
      {R"({"login":"qtr","password":"5172839406"})", JSONData::loginDone, true, false},
      {R"({"password":"5172839406","login":"qtr","extra":1})", JSONData::loginDone, true, false},
      {R"({"login":"QTR","password":"5172839406"})", JSONData::loginIncorrect, false, true},
      {R"({"password":"5172839406"})", JSONData::loginIncorrect, false, true},
      {R"({"login":"qtr"})", JSONData::loginIncorrect, false, true},
      {R"({"login":"qtr","password":"wrong"})", JSONData::loginIncorrect, false, true},
      {R"({"login":"qtr","password":"517283940"})", JSONData::loginIncorrect, false, true},
      {R"({"login":"qtr","password":"51728394060"})", JSONData::loginIncorrect, false, true},
      {R"({"login":"qtr ","password":"5172839406"})", JSONData::loginIncorrect, false, true},
      {R"({"login":"qtr","password":"5172839406")", JSONData::loginIncorrect, false, false},  // malformed
      {"", JSONData::loginIncorrect, false, false},
      {R"({"type": "ping"})", JSONData::loginIncorrect, false, false},
      {R"({"wsc":{"password":"5172839406"}})", JSONData::loginIncorrect, false, false},
      {R"({"type":"ping"})", JSONData::pongText, false, false},
  };
  for (const LoginCase& c : cases) {
    SCOPED_TRACE(c.text);
    CaptureStdout log;
    JSONData session = site.session();
    session.onText(c.text);
    if (c.failedLogin) {
      EXPECT_EQ(drain(session), std::vector<std::string>{JSONData::greeting}) << "the answer is held back";
      EXPECT_EQ(session.tickWithinMilliseconds(), 1000);
      site.ms += 999;
      session.tick();
      EXPECT_TRUE(drain(session).empty());
      EXPECT_EQ(session.tickWithinMilliseconds(), 1);
      site.ms += 1;
      EXPECT_EQ(session.tickWithinMilliseconds(), 0);
      session.tick();
      EXPECT_EQ(drain(session), std::vector<std::string>{c.reply});
      EXPECT_NE(log.text().find("[W]"), std::string::npos);
      EXPECT_NE(log.text().find("Login failed, client " + std::to_string(site.clients)), std::string::npos);
    } else {
      EXPECT_EQ(drain(session), (std::vector<std::string>{JSONData::greeting, c.reply}));
      EXPECT_EQ(log.text().find("Login failed"), std::string::npos);
    }
    EXPECT_EQ(session.failedLogins(), c.failedLogin ? 1 : 0);
    EXPECT_EQ(session.isAuthorized(), c.authorized);
    EXPECT_EQ(log.text().find("WS authorized!") != std::string::npos, c.authorized);
    site.guard.succeeded("10.0.0.7");
  }
}

TEST_F(SessionTest, LoginFollowsAChangedPassword) {
  JSONData session = site.session();
  session.onText(R"({"login":"qtr","password":"new"})");
  site.ms += 1000;
  session.tick();
  EXPECT_EQ(drain(session), (std::vector<std::string>{JSONData::greeting, JSONData::loginIncorrect}));
  site.tree.root.apply(R"({"wsc":{"password":"new"}})");
  session.onText(R"({"login":"qtr","password":"new"})");
  EXPECT_EQ(drain(session), std::vector<std::string>{JSONData::loginDone});
  // After the login the same text is an object like any other.
  session.onText(R"({"login":"qtr","password":"new"})");
  EXPECT_TRUE(drain(session).empty());
}

// Guesses sent at once are answered one a second, in order, and the fifth
// failure ends the connection: what came behind it is never checked.
TEST_F(SessionTest, PipelinedGuessesWaitBehindTheHeldAnswerAndTheFifthEndsTheSession) {
  CaptureStdout log;
  JSONData session = site.session();
  drain(session);
  for (int guess = 0; guess < 5; ++guess) session.onText(R"({"login":"qtr","password":"guess"})");
  session.onText(goodLogin);
  EXPECT_EQ(log.text().find("Login failed", log.text().find("Login failed") + 1), std::string::npos)
      << "only the first guess is checked at once";
  for (int answer = 1; answer <= 5; ++answer) {
    SCOPED_TRACE(answer);
    EXPECT_FALSE(session.wantsClose());
    site.ms += 999;
    session.tick();
    EXPECT_TRUE(drain(session).empty());
    site.ms += 1;
    session.tick();
    EXPECT_EQ(drain(session), std::vector<std::string>{JSONData::loginIncorrect});
  }
  EXPECT_TRUE(session.wantsClose());
  EXPECT_FALSE(session.isAuthorized());
  EXPECT_EQ(session.failedLogins(), 5);
  session.onText(goodLogin);
  site.ms += 5000;
  session.tick();
  EXPECT_TRUE(drain(session).empty());
  EXPECT_FALSE(session.isAuthorized());
  EXPECT_EQ(log.text().find("WS authorized!"), std::string::npos);
}

// Five failures from one address back it off for 30 s: even the right password
// is refused there, unchecked, while another address logs in at once.
TEST_F(SessionTest, BackedOffAddressIsRefusedWhileOthersLogIn) {
  CaptureStdout log;
  for (int failure = 0; failure < 5; ++failure) {
    JSONData guesser = site.session("10.0.0.7");
    guesser.onText(R"({"login":"qtr","password":"guess"})");
    site.ms += 1000;
  }
  JSONData owner = site.session("10.0.0.7");
  drain(owner);
  owner.onText(goodLogin);
  site.ms += 1000;
  owner.tick();
  EXPECT_EQ(drain(owner), std::vector<std::string>{JSONData::loginIncorrect});
  EXPECT_FALSE(owner.isAuthorized());
  EXPECT_EQ(site.guard.backOffOf("10.0.0.7"), LoginGuard::firstBackOffMilliseconds) << "an unchecked login is no failure";

  JSONData neighbour = site.session("10.0.0.8");
  drain(neighbour);
  neighbour.onText(goodLogin);
  EXPECT_EQ(drain(neighbour), std::vector<std::string>{JSONData::loginDone});

  site.ms += LoginGuard::firstBackOffMilliseconds;
  owner.onText(goodLogin);
  EXPECT_EQ(drain(owner), std::vector<std::string>{JSONData::loginDone});
  EXPECT_EQ(site.guard.rememberedAddresses(), 0u) << "a good login clears the address";
}

TEST_F(SessionTest, AChangeFromAnotherThreadWakesTheOwner) {
  JSONData session = site.session();
  logIn(session);
  EXPECT_EQ(session.tickWithinMilliseconds(), 0) << "groups to send: at once";
  tickAll(session);
  EXPECT_EQ(session.tickWithinMilliseconds(), -1) << "nothing to do: sleep";
  pollfd wake{session.wakeDescriptor(), POLLIN, 0};
  ASSERT_GE(wake.fd, 0);
  clearEvent(wake.fd);
  EXPECT_EQ(poll(&wake, 1, 0), 0);
  std::thread([&] { session.handle(JSONDataDesyncCmd{1u << 0}); }).join();
  EXPECT_EQ(poll(&wake, 1, 0), 1);
  EXPECT_EQ(session.tickWithinMilliseconds(), 0);
  clearEvent(wake.fd);
  EXPECT_EQ(poll(&wake, 1, 0), 0);
  EXPECT_EQ(tickAll(session), std::vector<std::string>{allGroups[0]});
}

TEST_F(SessionTest, NothingIsAppliedOrSentBeforeLogin) {
  JSONData session = site.session();
  ScopedListener listener(site.tree.root);
  session.onText(R"({"alpha":{"a":7},"me":"marm_on"})");
  session.tick();
  EXPECT_EQ(drain(session), (std::vector<std::string>{JSONData::greeting, JSONData::loginIncorrect}));
  EXPECT_EQ(site.alphaA.value, 0);
  EXPECT_TRUE(listener.masks.empty());
  EXPECT_FALSE(session.streamsMeterRecords());
  // The full mask waits for the login.
  session.onText(goodLogin);
  EXPECT_EQ(drain(session), std::vector<std::string>{JSONData::loginDone});
  EXPECT_EQ(tickAll(session), allGroups);
}

TEST_F(SessionTest, AfterLoginEachGroupWithContentComesOnceInTreeOrder) {
  JSONData session = site.session();
  logIn(session);
  EXPECT_EQ(tickAll(session), allGroups);
  EXPECT_EQ(session.outgoing().size(), 0u);
  session.tick();
  EXPECT_EQ(session.outgoing().size(), 0u);
}

TEST_F(SessionTest, AnAppliedChangeReachesEveryLoggedInClientAndIsSaved) {
  JSONData writer = site.session();
  JSONData reader = site.session();
  JSONData stranger = site.session();
  logIn(writer);
  logIn(reader);
  tickAll(writer);
  tickAll(reader);

  Waiter pultWaiter({{"pult"}}, site.tree.root);
  writer.onText(R"({"pult":{"enabled":true},"status":{"value":5},"unknown":1})");
  EXPECT_TRUE(site.pultEnabled.value);
  EXPECT_EQ(site.tree.read("pult"), R"({"enabled":true})");
  EXPECT_TRUE(pultWaiter.wait(0));
  EXPECT_EQ(site.statusValue.value, 0) << "a status value is not set by clients";

  // Both named groups come again, lowest first; the status group unchanged.
  const std::vector<std::string> expected = {R"({"pult":{"enabled":true}})", R"({"status":{"value":0}})"};
  EXPECT_EQ(tickAll(writer), expected);
  EXPECT_EQ(tickAll(reader), expected);
  EXPECT_EQ(drain(stranger), std::vector<std::string>{JSONData::greeting});
  stranger.tick();
  EXPECT_EQ(stranger.outgoing().size(), 0u);
}

TEST_F(SessionTest, PingMarmSwitchAndEndpointRepliesWhileLoggedIn) {
  JSONData session = site.session();
  logIn(session);
  tickAll(session);
  site.command.setHandler([](const char* value, const Origin& origin) {
    if (auto client = origin.lock()) client->send(std::string("{\"command\":") + value + "}");
  });

  session.onText(JSONData::pingText);
  session.onText(R"({"type": "ping"})");  // not the ping text: applied, and nothing takes it
  session.onText(R"({"command":{"x":1}})");
  EXPECT_EQ(drain(session), (std::vector<std::string>{JSONData::pongText, R"({"command":{"x":1}})"}));

  session.onText(R"({"me":"marm_on"})");
  EXPECT_TRUE(session.streamsMeterRecords());
  session.onText(R"({"me":"something"})");
  EXPECT_TRUE(session.streamsMeterRecords());
  session.onText(R"({"me":"marm_off"})");
  EXPECT_FALSE(session.streamsMeterRecords());
  session.onText("not json");
  EXPECT_TRUE(tickAll(session).empty()) << "nothing named, nothing changed";
}

TEST_F(SessionTest, GroupTextsWaitWhileTheRingHoldsMoreThanNine) {
  JSONData session = site.session();
  logIn(session);
  for (int i = 0; i < 10; ++i) session.send("filler");
  session.tick();
  EXPECT_EQ(session.outgoing().size(), 10u);

  session.outgoing().pop();
  session.tick();
  ASSERT_EQ(session.outgoing().size(), 10u);
  session.tick();
  EXPECT_EQ(session.outgoing().size(), 10u);

  // Replies still have room.
  session.onText(JSONData::pingText);
  std::vector<std::string> texts = drain(session);
  ASSERT_EQ(texts.size(), 11u);
  EXPECT_EQ(texts[9], allGroups[0]);
  EXPECT_EQ(texts[10], JSONData::pongText);
  std::vector<std::string> rest(allGroups.begin() + 1, allGroups.end());
  EXPECT_EQ(tickAll(session), rest);
}

// An endpoint that answers many texts sees when the client's ring is full.
TEST_F(SessionTest, OriginTellsWhetherTheRingHasRoom) {
  JSONData session = site.session();
  logIn(session);
  Origin origin;
  site.command.setHandler([&origin](const char*, const Origin& from) { origin = from; });
  session.onText(R"({"command":{}})");
  std::shared_ptr<ReplyChannel> channel = origin.lock();
  ASSERT_TRUE(channel);
  for (uint32_t i = 0; i < WSOutgoingTexts::capacity(); ++i) {
    EXPECT_TRUE(channel->hasRoom());
    channel->send("answer");
  }
  EXPECT_FALSE(channel->hasRoom());
  EXPECT_EQ(drain(session).size(), WSOutgoingTexts::capacity());
  EXPECT_TRUE(channel->hasRoom());
}

TEST_F(SessionTest, ChangeMasksAccumulateAndBitsWithoutAGroupAreDropped) {
  JSONData session = site.session();
  logIn(session);
  tickAll(session);

  session.handle(JSONDataDesyncCmd{1u << 0});
  session.handle(JSONDataDesyncCmd{(1u << 3) | (1u << 1) | (1u << 31)});  // 1: endpoint, 31: no child
  session.handle(JSONDataDesyncCmd{0});
  EXPECT_EQ(tickAll(session), (std::vector<std::string>{allGroups[0], allGroups[2]}));
  EXPECT_EQ(session.outgoing().size(), 0u);

  // A program-side change of a value reaches the client too.
  site.alphaA.value = 4;
  commit(site.alphaA);
  EXPECT_EQ(tickAll(session), std::vector<std::string>{R"({"alpha":{"a":4,"b":false}})"});
}

struct TestRecord : MeterData {
  TestRecord(const char* recordMethod, bool withFields) : withFields(withFields) {
    method = recordMethod;
    hub_time = 1700000000;
  }
  std::unique_ptr<MeterData> clone() const override { return std::make_unique<TestRecord>(*this); }
  void writeFields(JsonWriter& writer) const override {
    if (!withFields) return;
    writer.addField("meter_sn", "1234");
    writer.addField("hub_time", formatUnsigned(hub_time));
  }
  bool withFields;
};

TEST_F(SessionTest, MeterRecordsStreamWhileMarmIsOn) {
  JSONData session = site.session();
  JSONData other = site.session();  // never logged in, never asked
  logIn(session);
  tickAll(session);
  drain(other);

  const TestRecord metering("metering", true);
  MeterDataHandlers::dispatch(metering);
  EXPECT_TRUE(drain(session).empty()) << "marm is off at first";

  session.onText(R"({"me":"marm_on"})");
  MeterDataHandlers::dispatch(metering);
  MeterDataHandlers::dispatch(TestRecord(nullptr, true));  // never published: skipped
  MeterDataHandlers::dispatch(TestRecord("say \"hi\"", false));
  EXPECT_EQ(drain(session),
            (std::vector<std::string>{R"({"marm":{"method":"metering","data":{"meter_sn":1234,"hub_time":1700000000}}})",
                                      R"({"marm":{"method":"say 'hi'","data":{}}})"}));
  EXPECT_TRUE(drain(other).empty());

  // A full ring drops the record quietly; replies were given room earlier.
  for (int i = 0; i < 20; ++i) session.send("filler");
  CaptureStdout log;
  MeterDataHandlers::dispatch(metering);
  EXPECT_EQ(session.outgoing().size(), 20u);
  EXPECT_EQ(log.text().find("Buffer overflow!"), std::string::npos);
  drain(session);

  session.onText(R"({"me":"marm_off"})");
  MeterDataHandlers::dispatch(metering);
  EXPECT_TRUE(drain(session).empty());
}

TEST_F(SessionTest, DestroyedSessionLeavesBothListsAndItsClientState) {
  size_t consumersBefore = MeterDataHandlers::count();
  Origin kept;
  site.command.setHandler([&](const char*, const Origin& origin) { kept = origin; });
  {
    JSONData session = site.session();
    EXPECT_EQ(MeterDataHandlers::count(), consumersBefore + 1);
    logIn(session);
    session.onText(R"({"command":1})");
    ASSERT_NE(kept.lock(), nullptr);
  }
  EXPECT_EQ(MeterDataHandlers::count(), consumersBefore);
  EXPECT_EQ(kept.lock(), nullptr) << "nothing else owned the client state";
  // No listener is left behind to be called.
  commit(site.alphaA);
  MeterDataHandlers::dispatch(TestRecord("metering", true));
}

// The owner thread serves the session while producer threads stream records
// and another thread changes settings, as in the running gateway.
TEST_F(SessionTest, OwnerProducersAndChangingThreadsShareTheSession) {
  JSONData session = site.session();
  logIn(session);
  session.onText(R"({"me":"marm_on"})");
  std::atomic<bool> done{false};

  std::thread producer([&] {
    const TestRecord record("metering", true);
    for (int i = 0; i < 2000; ++i) MeterDataHandlers::dispatch(record);
  });
  std::thread changer([&] {
    JSONData writer = site.session();
    writer.onText(goodLogin);
    for (int i = 0; i < 100; ++i) {
      writer.onText(i % 2 == 0 ? R"({"alpha":{"a":1}})" : R"({"pult":{"enabled":true}})");
      writer.tick();
      drain(writer);
      if (i % 3 == 0) commit(site.alphaB);
    }
  });
  std::thread finisher([&] {
    changer.join();
    producer.join();
    done = true;
  });

  size_t records = 0;
  size_t groups = 0;
  CaptureStdout log;  // the ring may overflow while the owner is slow
  while (!done.load() || session.outgoing().size() != 0) {
    session.tick();
    session.onText(JSONData::pingText);
    session.onText(R"({"me":"marm_on"})");  // switched while producers read it
    for (const std::string& text : drain(session)) {
      if (text.rfind("{\"marm\":", 0) == 0) ++records;
      if (text.rfind("{\"alpha\":", 0) == 0 || text.rfind("{\"pult\":", 0) == 0) ++groups;
    }
  }
  finisher.join();
  EXPECT_GT(records, 0u);
  EXPECT_GT(groups, 0u);
  // Every change has been announced by now; the last ones still come, once.
  EXPECT_LE(tickAll(session).size(), allGroups.size());
  session.tick();
  EXPECT_EQ(session.outgoing().size(), 0u);
}

}  // namespace
