// The avahi service file: its text byte for byte, how it is written, and the
// worker waiting for the modem's IMEI on a blank board.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "Eventually.h"
#include "RegistryTestTree.h"
#include "TestFiles.h"
#include "tinmoss/MDNS.h"

namespace {

using TestFiles::readFile;

const std::string head =
    "<?xml version=\"1.0\" standalone='no'?><!--*-nxml-*-->\n"
    "<!DOCTYPE service-group SYSTEM \"avahi-service.dtd\">\n\n<service-group>\n\n"
    "  <name replace-wildcards=\"yes\">%h</name>\n\n  <service>\n    <type>_ws._tcp</type>\n"
    "    <port>80</port>\n    <txt-record>fw_version=2023.2.7</txt-record>\n";

IP4 address(const char* text) {
  IP4 made;
  made.valid = inet_aton(text, &made.address) != 0;
  return made;
}

TEST(MdnsServiceFile, TextForCommissionedAndBlankBoards) {
  uint64_t imei = 869951032710434ull;
  uint64_t noImei = 0;
  struct Case {
    int32_t uptime;
    const uint64_t* imei;
    IP4 eth0, eth1;
    std::string records;
  } cases[] = {
      {3, nullptr, IP4{}, IP4{},
       "    <txt-record>uptime=3</txt-record>\n"
       "<txt-record>ip_eth0=null</txt-record><txt-record>ip_eth1=null</txt-record>"},
      {12345, nullptr, address("192.168.1.101"), IP4{},
       "    <txt-record>uptime=12345</txt-record>\n"
       "<txt-record>ip_eth0=192.168.1.101</txt-record><txt-record>ip_eth1=null</txt-record>"},
      {31, &imei, address("10.0.0.7"), address("172.16.5.1"),
       "    <txt-record>uptime=31</txt-record>\n<txt-record>imei=869951032710434</txt-record>"
       "<txt-record>ip_eth0=10.0.0.7</txt-record><txt-record>ip_eth1=172.16.5.1</txt-record>"},
      {30, &noImei, IP4{}, IP4{},
       "    <txt-record>uptime=30</txt-record>\n<txt-record>imei=0</txt-record>"
       "<txt-record>ip_eth0=null</txt-record><txt-record>ip_eth1=null</txt-record>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MDNS::serviceText(c.uptime, c.imei, c.eth0, c.eth1),
              head + c.records + "  </service>\n</service-group>\n");
  }
}

struct MdnsTest : ::testing::Test {
  TestTree tree;
  Catalogue::EthStatus addresses{tree.root};
  Catalogue::GsmStatus modem{tree.root};
  std::atomic<bool> commissioned{true};
  std::string directory = tree.temporary.path + "/services";
  std::string servicePath = directory + "/ws.service";

  MDNS::Environment environment() {
    MDNS::Environment made;
    made.tree = &tree.root;
    made.addresses = &addresses;
    made.modem = &modem;
    made.commissioned = [this] { return commissioned.load(); };
    made.uptimeSeconds = [] { return 7; };
    made.servicePath = servicePath;
    return made;
  }
};

TEST_F(MdnsTest, FileIsReplacedWholeWithMode0644AndAnUnwritableFolderIsSkipped) {
  MDNS mdns(environment());
  EXPECT_FALSE(mdns.writeServiceFile());  // no folder yet
  std::filesystem::create_directories(directory);
  // An old file with other permissions is replaced, not rewritten in place.
  TestFiles::writeFile(servicePath, "old");
  chmod(servicePath.c_str(), 0777);
  addresses.ip1.value = address("192.168.1.101");
  ASSERT_TRUE(mdns.writeServiceFile());
  EXPECT_EQ(readFile(servicePath), MDNS::serviceText(7, nullptr, address("192.168.1.101"), IP4{}));
  struct stat info {};
  ASSERT_EQ(stat(servicePath.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), std::filesystem::directory_iterator()), 1);
}

TEST_F(MdnsTest, BlankBoardAnnouncesTheImeiOnceTheModemGaveIt) {
  std::filesystem::create_directories(directory);
  commissioned = false;
  modem.imei.value = 869951032710434ull;
  MDNS mdns(environment());
  mdns.start();
  ASSERT_TRUE(TestWait::eventually([&] { return std::filesystem::exists(servicePath); }));
  uint64_t imei = 869951032710434ull;
  EXPECT_EQ(readFile(servicePath), MDNS::serviceText(7, &imei, IP4{}, IP4{}));
}

}  // namespace
