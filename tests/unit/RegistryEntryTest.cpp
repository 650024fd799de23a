// Text forms of every value type, status values and endpoints.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <regex>
#include <string>

#include "RegistryTestTree.h"
#include "platform/Clock.h"
#include "registry/CanPortMode.h"
#include "registry/Catalogue.h"
#include "registry/KrelDevicesStatus.h"
#include "registry/ServerSettings.h"
#include "registry/SystemInfo.h"
#include "registry/WSEndpoint.h"

namespace {

// The text of an entry of type T after it was set from each text in turn.
template <typename T>
std::string after(std::initializer_list<const char*> texts) {
  TestTree tree;
  Entry<T> entry(tree.root, {"value"});
  for (const char* text : texts) entry.fromText(text, Origin{});
  return entry.toText();
}

struct TextCase {
  const char* label;
  std::function<std::string()> run;
  std::string expected;
};

const std::string fortyCharacters = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";

TEST(EntryText, EveryValueTypeReadsAndWritesItsTextForm) {
  const TextCase cases[] = {
      {"bool true", [] { return after<bool>({"true"}); }, "true"},
      {"bool capital T", [] { return after<bool>({"True"}); }, "true"},
      {"bool only t or T counts", [] { return after<bool>({"1"}); }, "false"},
      {"bool false", [] { return after<bool>({"true", "false"}); }, "false"},
      {"bool empty", [] { return after<bool>({"true", ""}); }, "false"},
      {"int", [] { return after<int>({"42"}); }, "42"},
      {"int negative", [] { return after<int>({"-7"}); }, "-7"},
      {"int atoi stops at garbage", [] { return after<int>({"12abc"}); }, "12"},
      {"int not a number", [] { return after<int>({"5", "x"}); }, "0"},
      {"ull largest", [] { return after<unsigned long long>({"18446744073709551615"}); }, "18446744073709551615"},
      {"ull not a number", [] { return after<unsigned long long>({"9", "imei"}); }, "0"},
      {"float two decimals", [] { return after<float>({"20"}); }, "20.00"},
      {"float rounds", [] { return after<float>({"3.14159"}); }, "3.14"},
      {"float not a number keeps value", [] { return after<float>({"5", "abc"}); }, "5.00"},
      {"float null keeps value", [] { return after<float>({"5", "null"}); }, "5.00"},
      {"float inf keeps value", [] { return after<float>({"5", "-inf"}); }, "5.00"},
      {"float nan keeps value", [] { return after<float>({"5", "nan"}); }, "5.00"},
      {"float overflow keeps value", [] { return after<float>({"5", "1e39"}); }, "5.00"},
      {"IP4 valid", [] { return after<IP4>({"192.168.1.10"}); }, "\"192.168.1.10\""},
      {"IP4 never set", [] { return after<IP4>({}); }, "null"},
      {"IP4 x clears", [] { return after<IP4>({"10.0.0.1", "x"}); }, "null"},
      {"IP4 null clears", [] { return after<IP4>({"10.0.0.1", "null"}); }, "null"},
      {"text", [] { return after<char[32]>({"abc"}); }, "\"abc\""},
      {"text cut to 31", [] { return after<char[32]>({fortyCharacters.c_str()}); },
       "\"" + fortyCharacters.substr(0, 31) + "\""},
      {"text top bits cleared", [] { return after<char[32]>({"\xC3\xA9t\xE9"}); }, "\"C)ti\""},
      {"text keeps escapes", [] { return after<char[32]>({"a\\\"b"}); }, "\"a\\\"b\""},
      {"text cut through an escape", [] { return after<char[32]>({(std::string(30, 'a') + "\\\"b").c_str()}); },
       "\"" + std::string(30, 'a') + "\""},
      {"text cleared byte becomes quote", [] { return after<char[32]>({"x\xA2y"}); }, "\"x\\\"y\""},
      {"text cleared byte becomes backslash", [] { return after<char[32]>({"\xDCq"}); }, "\"\\\\q\""},
      {"server settings", [] { return after<ServerSettings>({R"({"host":"h","user":"u","pass":"p","port":1883})"}); },
       R"({"host":"h","user":"u","pass":"p","port":1883})"},
      {"server settings reset first",
       [] { return after<ServerSettings>({R"({"host":"h","user":"u","pass":"p","port":1883})", R"({"port":"12"})"}); },
       R"({"host":"","user":"","pass":"","port":12})"},
      {"server settings quoting", [] { return after<ServerSettings>({R"({"host":"a\"b\\c"})"}); },
       R"({"host":"a/'b//c","user":"","pass":"","port":0})"},
      {"server settings cut", [] { return after<ServerSettings>({("{\"user\":\"" + fortyCharacters + "\"}").c_str()}); },
       "{\"host\":\"\",\"user\":\"" + fortyCharacters.substr(0, 31) + "\",\"pass\":\"\",\"port\":0}"},
      {"server settings not an object", [] { return after<ServerSettings>({R"({"host":"h","port":1})", "5"}); },
       R"({"host":"","user":"","pass":"","port":0})"},
      {"server settings tls",
       [] { return after<ServerSettings>({R"({"host":"h","user":"u","pass":"p","port":8883,"tls":true})"}); },
       R"({"host":"h","user":"u","pass":"p","port":8883,"tls":true})"},
      {"server settings tls false is left out", [] { return after<ServerSettings>({R"({"host":"h","tls":false})"}); },
       R"({"host":"h","user":"","pass":"","port":0})"},
      {"server settings tls reset with the rest",
       [] { return after<ServerSettings>({R"({"host":"h","tls":true})", R"({"port":2})"}); },
       R"({"host":"","user":"","pass":"","port":2})"},
      {"port mode krel", [] { return after<CanPortMode>({"krel"}); }, "\"krel\""},
      {"port mode volmar", [] { return after<CanPortMode>({"volmar"}); }, "\"volmar\""},
      {"port mode off", [] { return after<CanPortMode>({"krel", "off"}); }, "\"off\""},
      {"port mode other text unchanged", [] { return after<CanPortMode>({"volmar", "KREL"}); }, "\"volmar\""},
      {"port mode quoted text unchanged", [] { return after<CanPortMode>({"krel", "\"off\""}); }, "\"krel\""},
  };
  for (const TextCase& c : cases) EXPECT_EQ(c.run(), c.expected) << c.label;
}

TEST(EntryText, ProgramSetValuesWithoutTextForm) {
  TestTree tree;
  Entry<CanPortMode> mode(tree.root, {"mode"});
  mode.value = static_cast<CanPortMode>(7);
  EXPECT_EQ(mode.toText(), "\"error\"");

  Entry<float> voltage(tree.root, {"voltage"});
  voltage.value = std::strtof("nan", nullptr);
  EXPECT_EQ(voltage.toText(), "null") << "a group text must stay JSON";
}

TEST(EntryText, StatusValuesAreSetOnlyByTheProgram) {
  TestTree tree;
  WSStatus<int> devices(tree.root, {"rs485_status", "devices"});
  devices.value = 5;
  tree.root.apply(R"({"rs485_status":{"devices":9}})");
  EXPECT_EQ(devices.toText(), "5");
}

TEST(EntryText, AliveNodeListComesFromItsSource) {
  TestTree tree;
  WSStatus<KrelDevicesStatus> list(tree.root, {"krel_devices_list"});
  EXPECT_EQ(list.toText(), "[]");
  list.value.aliveNodes = [](std::vector<uint16_t>& nodes) { nodes = {3, 17, 249}; };
  EXPECT_EQ(list.toText(), "[3,17,249]");
  EXPECT_EQ(tree.root.toText(), R"({"krel_devices_list":[3,17,249]})");
}

TEST(EntryText, SystemValues) {
  TestTree tree;
  Entry<current_time> time(tree.root, {"system", "time"});
  Entry<System::_git_commit> commitId(tree.root, {"system", "commit"});
  Entry<System::_release_label> release(tree.root, {"system", "release"});
  long long before = static_cast<long long>(Platform::wallTime());
  long long shown = std::atoll(time.toText().c_str());
  EXPECT_GE(shown, before);
  EXPECT_LE(shown, before + 1);
  EXPECT_TRUE(std::regex_match(commitId.toText(), std::regex("\"[0-9a-f]{14}\""))) << commitId.toText();
  EXPECT_EQ(release.toText(), "\"2023.2.7\"");
  commitId.fromText("x", Origin{});
  release.fromText("x", Origin{});
  EXPECT_EQ(release.toText(), "\"2023.2.7\"");
}

static_assert(endpointTag("testconn") == 8387236824769064558ull);
static_assert(Catalogue::MqttTestEndpoint::tag == 8387236824769064558ull);
static_assert(endpointTag("Resets") == 0x526573657473ull);

TEST(Endpoint, IgnoresCallsUntilItsHandlerIsAttachedAndNeverShows) {
  TestTree tree;
  WSEndpoint<endpointTag("probe")> endpoint(tree.root, {"tools", "probe"});
  Entry<int> other(tree.root, {"tools", "other"});
  auto client = std::make_shared<FakeClient>();

  tree.root.apply(R"({"tools":{"probe":{"a":1}}})", client);  // no handler yet: nothing happens

  std::vector<std::string> values;
  endpoint.setHandler([&](const char* value, const Origin& origin) {
    values.emplace_back(value);
    if (auto sender = origin.lock()) sender->send("answer");
  });
  tree.root.apply(R"({"tools":{"probe":{"a":2},"other":3}})", client);

  EXPECT_EQ(values, std::vector<std::string>{R"({"a":2})"});
  EXPECT_EQ(client->sent, std::vector<std::string>{"answer"});
  EXPECT_EQ(endpoint.toText(), "");
  EXPECT_EQ(tree.root.toText(), R"({"tools":{"other":3}})");
}

}  // namespace
