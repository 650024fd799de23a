// The Ethernet sections of dhcpcd.conf: settings to the exact file text and
// back, and a round trip of every form the writer makes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/DhcpcdConf.h"
#include "registry/Ipv4Address.h"

namespace {

using namespace std::string_literals;
using Dhcpcd::PortSettings;
using Dhcpcd::Ports;

const char* const denyLines = "denyinterfaces can0\ndenyinterfaces can1\ndenyinterfaces ppp0\n\n";
const char* const dhcpEth1 = "interface eth1\nmetric 801\n\n";

IP4 address(const char* text) {
  IP4 value;
  Ipv4::parse(text, value);
  return value;
}

PortSettings dhcpPort() { return PortSettings{}; }

PortSettings staticPort(const char* ip, const char* mask, const char* gateway = nullptr) {
  PortSettings port;
  port.dhcp = false;
  port.ip = address(ip);
  port.netmask = address(mask);
  if (gateway != nullptr) port.gateway = address(gateway);
  return port;
}

PortSettings withServers(PortSettings port, bool addDefault, const char* dns1, const char* dns2 = nullptr) {
  port.addDefaultDns = addDefault;
  port.dns1 = dns1 != nullptr ? address(dns1) : IP4{};
  port.dns2 = dns2 != nullptr ? address(dns2) : IP4{};
  return port;
}

PortSettings withStaticFallback(PortSettings port) {
  port.dhcp = true;
  port.staticFallback = true;
  return port;
}

struct WriteCase {
  const char* name;
  Ports ports;
  std::string sections;  // everything after the deny lines
  // A default server named while the default servers are off reads back as
  // the default servers on (any default server on the line turns them on).
  bool roundTrips = true;
};

class WriteConfigTable : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteConfigTable, GivesTheExactSections) {
  const WriteCase& c = GetParam();
  EXPECT_EQ(Dhcpcd::writeConfig("", c.ports), denyLines + c.sections);
}

std::vector<WriteCase> writeCases() {
  return {
      {"StaticWithRouterAndDefaultServers",
       {staticPort("10.0.0.5", "255.255.0.0", "10.0.0.1"), dhcpPort()},
       "interface eth0\nmetric 800\nstatic ip_address=10.0.0.5/16\nstatic routers=10.0.0.1\n"
       "static domain_name_servers=8.8.8.8 4.4.4.4\n\n" +
           std::string(dhcpEth1)},
      {"DhcpWithStaticFallbackOnEth1",
       {dhcpPort(), withStaticFallback(staticPort("192.168.5.9", "255.255.255.0", "192.168.5.1"))},
       "interface eth0\nmetric 800\n\ninterface eth1\nmetric 801\nfallback eth1_fallback\nprofile eth1_fallback\n"
       "static ip_address=192.168.5.9/24\nstatic routers=192.168.5.1\n"
       "static domain_name_servers=8.8.8.8 4.4.4.4\n\n"},
      {"NoRouterIsNullAndNoServersNoLine",
       {withServers(staticPort("10.1.2.3", "255.255.255.252"), false, nullptr), dhcpPort()},
       "interface eth0\nmetric 800\nstatic ip_address=10.1.2.3/30\nstatic routers=null\n\n" +
           std::string(dhcpEth1)},
      {"OwnServersOnlyEachFollowedByASpace",
       {withServers(staticPort("10.1.2.3", "255.0.0.0"), false, "10.0.0.2", "10.0.0.3"), dhcpPort()},
       "interface eth0\nmetric 800\nstatic ip_address=10.1.2.3/8\nstatic routers=null\n"
       "static domain_name_servers=10.0.0.2 10.0.0.3 \n\n" +
           std::string(dhcpEth1)},
      {"OwnServerBeforeTheDefaultOnes",
       {withServers(staticPort("10.1.2.3", "255.255.255.0"), true, "10.0.0.2"), dhcpPort()},
       "interface eth0\nmetric 800\nstatic ip_address=10.1.2.3/24\nstatic routers=null\n"
       "static domain_name_servers=10.0.0.2 8.8.8.8 4.4.4.4\n\n" +
           std::string(dhcpEth1)},
      // dns1 and dns2 as a read file fills them in: the default servers once.
      {"DefaultServersInDnsMembersAreNamedOnce",
       {withServers(staticPort("10.1.2.3", "255.255.255.0"), true, "8.8.8.8", "4.4.4.4"),
        withServers(staticPort("10.9.0.1", "255.255.0.0"), true, "10.0.0.2", "4.4.4.4")},
       "interface eth0\nmetric 800\nstatic ip_address=10.1.2.3/24\nstatic routers=null\n"
       "static domain_name_servers=8.8.8.8 4.4.4.4\n\n"
       "interface eth1\nmetric 801\nstatic ip_address=10.9.0.1/16\nstatic routers=null\n"
       "static domain_name_servers=10.0.0.2 8.8.8.8 4.4.4.4\n\n"},
      {"DefaultServerKeptWhenTheDefaultsAreOff",
       {withServers(staticPort("10.1.2.3", "255.255.255.0"), false, "8.8.8.8"), dhcpPort()},
       "interface eth0\nmetric 800\nstatic ip_address=10.1.2.3/24\nstatic routers=null\n"
       "static domain_name_servers=8.8.8.8 \n\n" + std::string(dhcpEth1),
       false},
      {"UnsetAddressAndMask",
       {staticPort("x", "x"), dhcpPort()},
       "interface eth0\nmetric 800\nstatic ip_address=null/0\nstatic routers=null\n"
       "static domain_name_servers=8.8.8.8 4.4.4.4\n\n" +
           std::string(dhcpEth1)},
      // The button's settings on ports at their start values.
      {"FallbackAddresses",
       {Dhcpcd::withFallbackAddress(dhcpPort(), 0), Dhcpcd::withFallbackAddress(dhcpPort(), 1)},
       "interface eth0\nmetric 800\nstatic ip_address=192.168.0.101/24\nstatic routers=null\n"
       "static domain_name_servers=8.8.8.8 4.4.4.4\n\n"
       "interface eth1\nmetric 801\nstatic ip_address=192.168.0.102/24\nstatic routers=null\n"
       "static domain_name_servers=8.8.8.8 4.4.4.4\n\n"},
  };
}

INSTANTIATE_TEST_SUITE_P(Forms, WriteConfigTable, testing::ValuesIn(writeCases()),
                         [](const testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

TEST(WriteConfig, KeepsTheGlobalPartUpToTheFirstInterfaceOrDenyLine) {
  Ports ports{};
  std::string sections = std::string(denyLines) + "interface eth0\nmetric 800\n\n" + dhcpEth1;
  struct Case {
    std::string current;
    std::string global;
  } cases[] = {
      {"hostname\noption rapid_commit\n\ninterface eth0\nmetric 800\nstatic routers=1.2.3.4\n",
       "hostname\noption rapid_commit\n\n"},
      {"# comment\r\nslaac private\r\ndenyinterfaces can0\r\n", "# comment\r\nslaac private\r\n"},
      {"noipv4ll", "noipv4ll\n"},  // the last line gets its line feed
      {"interface eth1\n", ""},
      {"", ""},
      // A file that was rewritten before keeps exactly its global part.
      {"persistent\n" + sections, "persistent\n"},
  };
  for (const Case& c : cases) {
    bool cut = true;
    EXPECT_EQ(Dhcpcd::writeConfig(c.current, ports, &cut), c.global + sections) << c.current;
    EXPECT_FALSE(cut);
  }
}

TEST(WriteConfig, CutsAnOversizedGlobalPartAtALineEnd) {
  std::string line(99, 'x');
  std::string current;
  while (current.size() < 1024 * 1024) current += line + "\n";
  bool cut = false;
  std::string written = Dhcpcd::writeConfig(current, Ports{}, &cut);
  EXPECT_TRUE(cut);
  size_t global = written.find("denyinterfaces can0\n");
  ASSERT_NE(global, std::string::npos);
  EXPECT_LE(global, Dhcpcd::maxGlobalPart);
  EXPECT_EQ(global % 100, 0u) << "whole lines only";
  // The sections behind it are read as from a file without global part.
  Ports read = Dhcpcd::readConfig(written);
  Ports plain = Dhcpcd::readConfig(Dhcpcd::writeConfig("", Ports{}));
  EXPECT_TRUE(Dhcpcd::same(read[0], plain[0]) && Dhcpcd::same(read[1], plain[1]));
  EXPECT_TRUE(read[0].dns1.valid) << "the eth0 section was read";
}

struct ReadCase {
  const char* name;
  std::string text;
  Ports expected;
};

class ReadConfigTable : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadConfigTable, GivesTheSettings) {
  const ReadCase& c = GetParam();
  Ports read = Dhcpcd::readConfig(c.text);
  for (int n = 0; n < 2; ++n) {
    const PortSettings& got = read[n];
    const PortSettings& want = c.expected[n];
    EXPECT_TRUE(Dhcpcd::same(got, want))
        << "eth" << n << ": ip " << Ipv4::text(got.ip) << " mask " << Ipv4::text(got.netmask) << " gateway "
        << Ipv4::text(got.gateway) << " dns " << Ipv4::text(got.dns1) << " " << Ipv4::text(got.dns2) << " dhcp "
        << got.dhcp << " fallback " << got.staticFallback << " defaults " << got.addDefaultDns;
  }
}

// A port section that ended: the default servers fill the unset members.
PortSettings ended(PortSettings port) {
  if (port.addDefaultDns && !port.dns1.valid) port.dns1 = address("8.8.8.8");
  if (port.addDefaultDns && !port.dns2.valid) port.dns2 = address("4.4.4.4");
  return port;
}

std::vector<ReadCase> readCases() {
  PortSettings start{};
  return {
      {"OwnAndDefaultServerAtTheEndOfTheFile",
       "interface eth0\nmetric 800\nstatic ip_address=10.0.0.5/24\nstatic domain_name_servers=10.0.0.2 8.8.8.8",
       {withServers(staticPort("10.0.0.5", "255.255.255.0"), true, "10.0.0.2", "4.4.4.4"), start}},
      {"StaticWithoutServerLineHasNoDefaultServers",
       "interface eth0\nstatic ip_address=10.0.0.5/24\nstatic routers=10.0.0.1\n\n",
       {withServers(staticPort("10.0.0.5", "255.255.255.0", "10.0.0.1"), false, nullptr), start}},
      {"OwnServersOnlyHaveNoDefaultServers",
       "interface eth1\nstatic ip_address=10.0.0.6/16\nstatic domain_name_servers=10.0.0.2 10.0.0.3 \n\n",
       {start, withServers(staticPort("10.0.0.6", "255.255.0.0"), false, "10.0.0.2", "10.0.0.3")}},
      {"EmptyPiecesOfTheServerLineAreSkipped",
       "interface eth0\nstatic ip_address=10.0.0.5/24\nstatic domain_name_servers=  10.0.0.2   4.4.4.4  10.0.0.3\n",
       {withServers(staticPort("10.0.0.5", "255.255.255.0"), true, "10.0.0.2", "10.0.0.3"), start}},
      {"DhcpSectionFillsTheDefaultServers", "interface eth0\nmetric 800\n\n" + std::string(dhcpEth1),
       {ended(start), ended(start)}},
      {"FallbackKeepsDhcp",
       "interface eth1\nmetric 801\nfallback eth1_fallback\nprofile eth1_fallback\n"
       "static ip_address=192.168.0.102/24\nstatic routers=null\nstatic domain_name_servers=8.8.8.8 4.4.4.4\n\n",
       {start, ended(withStaticFallback(staticPort("192.168.0.102", "255.255.255.0")))}},
      {"CarriageReturnLineFeed",
       "hostname\r\ninterface eth0\r\nmetric 800\r\nstatic ip_address=10.0.0.5/16\r\nstatic routers=10.0.0.1\r\n"
       "static domain_name_servers=8.8.8.8 4.4.4.4\r\n\r\ninterface eth1\r\nmetric 801\r\n\r\n",
       {ended(staticPort("10.0.0.5", "255.255.0.0", "10.0.0.1")), ended(start)}},
      {"PrefixAboveThirtyTwoOrMissingLeavesNoMask",
       "interface eth0\nstatic ip_address=10.0.0.5/33\n\ninterface eth1\nstatic ip_address=10.0.0.6\n",
       {withServers(staticPort("10.0.0.5", "x"), false, nullptr), withServers(staticPort("10.0.0.6", "x"), false, nullptr)}},
      {"AddressesThatDoNotParseAreUnset",
       "interface eth0\nstatic ip_address=10.0.0.5 ;reboot/24\nstatic routers=$(reboot)\n"
       "static domain_name_servers=8.8.8.8 10.1\n",
       {ended(staticPort("x", "255.255.255.0")), start}},
      {"OtherInterfacesAreNotPorts",
       "interface eth5\nstatic ip_address=10.0.0.5/24\n\ninterface eth10\nstatic ip_address=10.0.0.6/24\n\n"
       "interface wlan0\nstatic ip_address=10.0.0.7/24\n",
       {start, start}},
      // The line that ends a section is not looked at again: a section must
      // be followed by another line (the writer's empty one) before the next.
      {"LineEndingASectionIsNotExaminedAgain",
       "interface eth0\nmetric 800\ninterface eth1\nstatic ip_address=10.0.0.6/24\n",
       {ended(start), start}},
      {"LaterSectionOfAPortReplacesTheEarlier",
       "interface eth0\nstatic ip_address=10.0.0.5/24\nstatic domain_name_servers=10.0.0.2\n\n"
       "interface eth0\nmetric 800\n\n",
       {ended(start), start}},
      {"CommentsOnly", "# dhcpcd.conf\n# nothing here\n", {start, start}},
      {"Garbage", "\x01\xff interface\0eth0 static ip_address=1.2.3.4/8\n\n\n"s, {start, start}},
  };
}

INSTANTIATE_TEST_SUITE_P(Files, ReadConfigTable, testing::ValuesIn(readCases()),
                         [](const testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

// Whatever the writer makes reads back as settings that write the same text
// again, and keeps the port's addressing.
TEST(DhcpcdConf, EveryWrittenFormRoundTrips) {
  for (const WriteCase& c : writeCases()) {
    if (!c.roundTrips) continue;
    std::string text = Dhcpcd::writeConfig("hostname\n", c.ports);
    Ports read = Dhcpcd::readConfig(text);
    EXPECT_EQ(Dhcpcd::writeConfig(text, read), text) << c.name;
    for (int n = 0; n < 2; ++n) {
      SCOPED_TRACE(std::string(c.name) + " eth" + std::to_string(n));
      EXPECT_EQ(read[n].dhcp, c.ports[n].dhcp);
      EXPECT_EQ(read[n].staticFallback, c.ports[n].staticFallback && c.ports[n].dhcp);
      if (c.ports[n].dhcp && !c.ports[n].staticFallback) continue;
      EXPECT_TRUE(Ipv4::same(read[n].ip, c.ports[n].ip));
      EXPECT_TRUE(Ipv4::same(read[n].gateway, c.ports[n].gateway));
      EXPECT_EQ(Ipv4::prefixLength(read[n].netmask), Ipv4::prefixLength(c.ports[n].netmask));
    }
  }
}

TEST(Ipv4Address, ParsesExactlyFourDecimalNumbers) {
  struct Case {
    const char* text;
    const char* parsed;  // nullptr: refused
  } cases[] = {
      {"10.0.0.5", "10.0.0.5"},        {"255.255.255.255", "255.255.255.255"},
      {"0.0.0.0", "0.0.0.0"},          {"10.0.0.256", nullptr},
      {"10.0.0", nullptr},             {"10.0.0.5.6", nullptr},
      {"10.1", nullptr},               {"010.0.0.5", nullptr},
      {"10.0.0.5 ;reboot", nullptr},   {" 10.0.0.5", nullptr},
      {"10.0.0.5\n", nullptr},         {"$(reboot)", nullptr},
      {"`reboot`", nullptr},           {"10.0.0.5'", nullptr},
      {"../../etc", nullptr},          {"+1.2.3.4", nullptr},
      {"1234.0.0.1", nullptr},         {"", nullptr},
  };
  for (const Case& c : cases) {
    IP4 value = address("1.1.1.1");
    bool parsed = Ipv4::parse(c.text, value);
    EXPECT_EQ(parsed, c.parsed != nullptr) << c.text;
    EXPECT_EQ(Ipv4::text(value), c.parsed != nullptr ? c.parsed : "1.1.1.1") << c.text;
  }
}

TEST(Ipv4Address, MasksAndPrefixes) {
  EXPECT_EQ(Ipv4::prefixLength(address("255.255.240.0")), 20);
  EXPECT_EQ(Ipv4::prefixLength(address("0.0.0.0")), 0);
  EXPECT_EQ(Ipv4::prefixLength(IP4{}), 0);
  EXPECT_EQ(Ipv4::prefixLength(address("255.0.255.0")), 8) << "leading ones only";
  EXPECT_EQ(Ipv4::text(Ipv4::maskOfPrefix(0)), "0.0.0.0");
  EXPECT_EQ(Ipv4::text(Ipv4::maskOfPrefix(17)), "255.255.128.0");
  EXPECT_EQ(Ipv4::text(Ipv4::maskOfPrefix(32)), "255.255.255.255");
  EXPECT_TRUE(Ipv4::isContiguousMask(address("255.255.255.0")));
  EXPECT_TRUE(Ipv4::isContiguousMask(address("0.0.0.0")));
  EXPECT_FALSE(Ipv4::isContiguousMask(address("255.0.255.0")));
  EXPECT_FALSE(Ipv4::isContiguousMask(address("0.255.255.255")));
  EXPECT_FALSE(Ipv4::isContiguousMask(IP4{}));
}

}  // namespace
