// The Ethernet port groups: their start values, and objects with an address
// that is not a plain dotted quad refused whole.
#include <gtest/gtest.h>

#include <string>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "RegistryTestTree.h"
#include "registry/EthSettings.h"
#include "registry/Waiter.h"

namespace {

const char* const startText = R"({"ip":null,"netmask":null,"gateway":null,"dns1":null,"dns2":null,)"
                              R"("dhcp":true,"static_fallback":false,"add_default_dns":true})";

struct EthTree {
  TestTree tree;
  EthSettings eth0{tree.root, "eth0"};
  EthSettings eth1{tree.root, "eth1"};
  Waiter waiter{{{"eth0"}, {"eth1"}}, tree.root};
  ScopedListener listener{tree.root};
};

TEST(EthSettings, StartAtDhcpWithTheDefaultServers) {
  EthTree ports;
  EXPECT_EQ(ports.eth0.toText(), startText);
  EXPECT_EQ(ports.tree.root.find({"eth1", "add_default_dns"}), &ports.eth1.addDefaultDns);
}

TEST(EthSettings, PlainAddressesAreTaken) {
  EthTree ports;
  ports.tree.root.apply(R"({"eth0":{"dhcp":false,"ip":"10.0.0.5","netmask":"255.255.0.0","gateway":"10.0.0.1",)"
                        R"("dns1":null,"dns2":"null"}})");
  EXPECT_EQ(ports.eth0.toText(), R"({"ip":"10.0.0.5","netmask":"255.255.0.0","gateway":"10.0.0.1","dns1":null,)"
                                 R"("dns2":null,"dhcp":false,"static_fallback":false,"add_default_dns":true})");
  EXPECT_TRUE(ports.waiter.wait(0));
}

TEST(EthSettings, ObjectWithABadAddressIsRefusedWhole) {
  const char* const refused[] = {
      R"({"ip":"10.0.0.9 ;reboot"})",
      R"({"ip":"10.0.0.9\nreboot"})",
      "{\"gateway\":\"10.0.0.1\nreboot\"}",
      R"x({"dns1":"$(reboot)"})x",
      R"({"dns2":"`reboot`"})",
      R"({"ip":"10.0.0.9'"})",
      R"({"gateway":"../../etc/passwd"})",
      R"({"netmask":"255.0.255.0"})",
      R"({"netmask":"0.255.255.255"})",
      R"({"ip":"10.1"})",
      R"({"ip":"010.0.0.9"})",
      R"({"ip":""})",
      R"({"ip":167772169})",
      R"({"ip":true})",
      R"({"ip":{"a":1}})",
      // A good member first does not get through either.
      R"({"dhcp":false,"ip":"10.0.0.9","netmask":"255.255.255.0","gateway":"10.0.0.1 ;reboot"})",
  };
  for (const char* object : refused) {
    SCOPED_TRACE(object);
    EthTree ports;
    CaptureStdout log;
    ports.tree.root.apply((std::string(R"({"eth1":)") + object + "}").c_str());
    EXPECT_EQ(ports.eth1.toText(), startText);
    EXPECT_FALSE(ports.waiter.wait(0)) << "no reload for a refused object";
    ASSERT_EQ(ports.listener.masks.size(), 1u);
    EXPECT_EQ(ports.listener.masks[0], ports.tree.root.bitOf(&ports.eth1)) << "the client is sent eth1 as it is";
    EXPECT_EQ(TestLog::linesWith(log.text(), "Refused"),
              (std::vector<TestLog::LogLine>{{'W', "EthSettings.cpp", "Refused invalid eth1 settings"}}));
  }
}

TEST(EthSettings, RefusingOnePortLeavesTheOtherApplied) {
  EthTree ports;
  CaptureStdout log;
  ports.tree.root.apply(R"({"eth0":{"ip":"10.0.0.5"},"eth1":{"ip":"10.0.0.6;"}})");
  EXPECT_EQ(ports.eth0.ip.toText(), "\"10.0.0.5\"");
  EXPECT_EQ(ports.eth1.ip.toText(), "null");
  EXPECT_TRUE(ports.waiter.wait(0));
}

}  // namespace
