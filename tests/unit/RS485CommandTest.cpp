// The "rs485_device" commands: the parser from request text to the stored
// 30-byte record, the answers a client receives, and how the commands meet
// the store and the poll schedule. The Core runs over a store of the test's
// own; its polls and sleeps are recorded.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "LogLines.h"
#include "RS485TestSupport.h"
#include "rs485/Commands.h"
#include "rs485/FileIO.h"
#include "rs485/RSPollUnit.h"

namespace {

using namespace RS485Test;
using RS485::Core;
using RS485::DeviceRecord;
using RS485::DeviceStore;

// A client's sending side; `room` answers how many more texts it takes
// before its queue is full (negative: no limit).
class Client : public ReplyChannel {
 public:
  void send(const std::string& text) override { texts.push_back(text); }
  bool hasRoom() const override { return room < 0 || static_cast<int>(texts.size()) - drained < room; }

  std::vector<std::string> texts;
  int room = -1;
  int drained = 0;
};

std::string wrapped(const std::string& object) { return R"({"rs485_device":)" + object + "}"; }
const std::string done = wrapped(R"({"cmd":"done"})");

class CommandFixture : public ::testing::Test {
 protected:
  CommandFixture()
      : core(RS485::CoreLinks{[this] { return now.load(); }, [] { return true; }, [] { return 90; },
                              [this](int count) { published.push_back(count); },
                              [this](const DeviceRecord& record) { polled.push_back(record.serial); },
                              directory.path, &tree.root, [this](int milliseconds) { slept(milliseconds); }}) {}

  // The command of one "rs485_device" value, run as the poll thread runs it.
  void run(const std::string& value) {
    std::unique_ptr<RS485::Cmd> command = RS485::parseDeviceCommand(value.c_str(), origin());
    ASSERT_TRUE(command) << value;
    command->execute(core);
  }
  Origin origin() { return client; }
  std::string slotBytes(uint32_t devId) {
    std::ifstream in(DeviceStore(directory.path).filePath(devId / 30), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = 4 + 30 * (devId % 30);
    return content.size() >= at + 30 ? hexOf(Bytes(content.begin() + at, content.begin() + at + 30)) : "";
  }
  void slept(int milliseconds) {
    sleptMilliseconds += milliseconds;
    ++client->drained;  // the client's thread sends one text meanwhile
  }

  TempDirectory directory;
  TestTree tree;
  std::atomic<int64_t> now{1000};
  std::vector<int> published;
  std::vector<uint64_t> polled;
  int sleptMilliseconds = 0;
  std::shared_ptr<Client> client = std::make_shared<Client>();
  Core core;
};

struct WriteCase {
  const char* name;
  const char* request;
  // The 30 bytes of the slot: serial, net_id, baudrate, driver, mode, 0,
  // flags (port, 08 serial null, 10 net_id null), 3 zero bytes.
  const char* stored;
};

class WriteParsing : public CommandFixture, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteParsing, RequestToStoredRecord) {
  run(GetParam().request);
  EXPECT_EQ(slotBytes(5), hexOf(bytesOf(GetParam().stored)));
  EXPECT_EQ(client->texts, std::vector<std::string>{done});
}

INSTANTIATE_TEST_SUITE_P(
    Commands, WriteParsing,
    ::testing::Values(
        WriteCase{"all_members",
                  R"({"cmd":"write","dev_id":5,"driver":"#vist","port":1,"serial":12345,"baudrate":2400,"mode":"8n1"})",
                  "39 30 00 00 00 00 00 00  00 00 00 00 00 00 00 00  60 09 00 00  09 00  38 6E 31  00  11  00 00 00"},
        WriteCase{"net_id_and_serial_as_text",
                  R"({"cmd":"write","dev_id":5,"driver":"#vzlet24","port":2,"serial":"777001","net_id":300,"mode":"8e2"})",
                  "29 DB 0B 00 00 00 00 00  2C 01 00 00 00 00 00 00  80 25 00 00  07 00  38 65 32  00  02  00 00 00"},
        WriteCase{"null_and_empty_flags",
                  R"({"cmd":"write","dev_id":5,"driver":"#mercury236","port":1,"serial":null,"net_id":""})",
                  "00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  80 25 00 00  03 00  00 00 00  00  19  00 00 00"},
        WriteCase{"port_9_keeps_its_low_three_bits",
                  R"({"cmd":"write","dev_id":5,"driver":"#vist","port":9,"serial":1,"net_id":2,"mode":"8E1x"})",
                  "01 00 00 00 00 00 00 00  02 00 00 00 00 00 00 00  80 25 00 00  09 00  38 45 31  00  01  00 00 00"},
        WriteCase{"short_mode_unknown_driver_no_port",
                  R"({"cmd":"write","dev_id":5,"driver":"#vzlet","serial":1,"net_id":2,"mode":"8"})",
                  "01 00 00 00 00 00 00 00  02 00 00 00 00 00 00 00  80 25 00 00  00 00  38 00 00  00  00  00 00 00"}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

TEST_F(CommandFixture, IgnoredValuesQueueNothingAndAreLogged) {
  for (const char* value : {R"({"dev_id":5})", R"({"cmd":"bogus","dev_id":5})", R"({"cmd":"read"})",
                            R"({"cmd":"write","dev_id":0,"driver":"#vist"})", R"({"cmd":"delete","dev_id":"x"})",
                            R"({"cmd":"test","dev_id":0})", "5", "list", R"({"cmd":"list",)", ""}) {
    SCOPED_TRACE(value);
    CaptureStdout output;
    RS485::handleDeviceCommand(value, origin(), core);
    EXPECT_EQ(TestLog::logLines(output.text()),
              (std::vector<TestLog::LogLine>{{'W', "Commands.cpp", "Ignored rs485_device command"}}));
  }
  core.step();
  EXPECT_TRUE(client->texts.empty());
  EXPECT_FALSE(std::filesystem::exists(directory.path + "/0000"));
  // A list ignores its dev_id.
  RS485::handleDeviceCommand(R"({"cmd":"list","dev_id":7})", origin(), core);
  core.step();
  EXPECT_EQ(client->texts, std::vector<std::string>{done});
}

TEST_F(CommandFixture, WriteReadListDeleteAnswers) {
  CaptureStdout output;
  run(R"({"cmd":"write","dev_id":5,"driver":"#vist","port":1,"serial":12345,"baudrate":2400,"mode":"8n1"})");
  run(R"({"cmd":"write","dev_id":31,"driver":"#vzlet24","port":1,"serial":777001,"net_id":7})");
  run(R"({"cmd":"write","dev_id":2,"driver":"#pulsar","port":2,"mode":"7o2"})");
  run(R"({"cmd":"read","dev_id":5})");
  run(R"({"cmd":"read","dev_id":6})");
  run(R"({"cmd":"read","dev_id":2000})");
  run(R"({"cmd":"list"})");
  run(R"({"cmd":"delete","dev_id":5})");
  run(R"({"cmd":"read","dev_id":5})");
  const std::string vistObject =
      wrapped(R"({"dev_id":5,"driver":"#vist","port":1,"baudrate":2400,"mode":"8n1","serial":12345,"net_id":null})");
  const std::string vzletObject = wrapped(
      R"({"dev_id":31,"driver":"#vzlet24","port":1,"baudrate":9600,"mode":"","serial":777001,"net_id":7})");
  const std::string pulsarObject =
      wrapped(R"({"dev_id":2,"driver":"#pulsar","port":2,"baudrate":9600,"mode":"7o2","serial":null,"net_id":null})");
  EXPECT_EQ(client->texts, (std::vector<std::string>{done, done, done,                                  // writes
                                                      vistObject, done,                                  // read 5
                                                      wrapped(R"({"dev_id":6,"error":"no device"})"), done,
                                                      wrapped(R"({"dev_id":2000,"error":"no device"})"), done,
                                                      pulsarObject, vistObject, vzletObject, done,       // list
                                                      done,                                              // delete
                                                      wrapped(R"({"dev_id":5,"error":"no device"})"), done}));
  // The delete clears only the slot's bit.
  EXPECT_EQ(slotBytes(5), "39 30 00 00 00 00 00 00 00 00 00 00 00 00 00 00 60 09 00 00 09 00 38 6E 31 00 11 00 00 00");
  std::vector<TestLog::LogLine> expected = {
      {'D', "Commands.cpp", "Writing device 5"},  {'D', "Commands.cpp", "Writing device 31"},
      {'D', "Commands.cpp", "Writing device 2"},  {'D', "Commands.cpp", "Reading device 5"},
      {'D', "Commands.cpp", "Reading device 6"},  {'D', "Commands.cpp", "Reading device 2000"},
      {'D', "Commands.cpp", "Listing devices"},   {'D', "Commands.cpp", "Deleting device 5"},
      {'D', "Commands.cpp", "Reading device 5"}};
  EXPECT_EQ(TestLog::logLines(output.text()), expected);
}

// A write that stores nothing says so before "done"; so does a test of a
// dev_id without a device.
TEST_F(CommandFixture, FailedWriteAndTestOfNothingAreAnswered) {
  run(R"({"cmd":"write","dev_id":1024,"driver":"#vist","port":1})");
  run(R"({"cmd":"write","dev_id":-3,"driver":"#vist","port":1})");
  ASSERT_EQ(mkdir((directory.path + "/0000").c_str(), 0700), 0);  // a directory where file 0000 belongs
  run(R"({"cmd":"write","dev_id":5,"driver":"#vist","port":1})");
  run(R"({"cmd":"test","dev_id":6})");
  run(R"({"cmd":"delete","dev_id":1024})");
  EXPECT_EQ(client->texts, (std::vector<std::string>{
                               wrapped(R"({"dev_id":1024,"error":"write failed"})"), done,
                               wrapped(R"({"dev_id":4294967293,"error":"write failed"})"), done,
                               wrapped(R"({"dev_id":5,"error":"write failed"})"), done,
                               wrapped(R"({"dev_id":6,"error":"no device"})"), done, done}));
  EXPECT_TRUE(polled.empty());
}

TEST_F(CommandFixture, TestPollsTheStoredDeviceAtOnce) {
  run(R"({"cmd":"write","dev_id":5,"driver":"#vist","port":1,"serial":12345})");
  CaptureStdout output;
  run(R"({"cmd":"test","dev_id":5})");
  EXPECT_EQ(polled, std::vector<uint64_t>{12345});
  EXPECT_EQ(client->texts, (std::vector<std::string>{done, done}));
  EXPECT_EQ(TestLog::logLines(output.text()),
            (std::vector<TestLog::LogLine>{{'D', "Commands.cpp", "Testing device 5"}}));
}

// Writes and deletes take effect from the next slot: the same wake-up counts
// the store again.
TEST_F(CommandFixture, WriteAndDeleteChangeThePolledSet) {
  core.rescan();
  RS485::handleDeviceCommand(R"({"cmd":"write","dev_id":5,"driver":"#vist","port":1,"serial":55})", origin(), core);
  RS485::handleDeviceCommand(R"({"cmd":"write","dev_id":6,"driver":"#vist","port":1,"serial":66})", origin(), core);
  core.step();
  EXPECT_EQ(core.deviceCount(), 2);
  EXPECT_EQ(published, std::vector<int>{2});
  now += 31;
  core.step();
  EXPECT_EQ(polled, std::vector<uint64_t>{55});
  RS485::handleDeviceCommand(R"({"cmd":"delete","dev_id":5})", origin(), core);
  core.step();
  EXPECT_EQ(published, (std::vector<int>{2, 1}));
  for (int slot = 0; slot < 4; ++slot) {
    now += 46;
    core.step();
  }
  EXPECT_EQ(polled, (std::vector<uint64_t>{55, 66, 66}));
}

// Answers to a client that has gone are dropped; the command still runs.
TEST_F(CommandFixture, GoneClientGetsNothing) {
  std::unique_ptr<RS485::Cmd> command =
      RS485::parseDeviceCommand(R"({"cmd":"write","dev_id":5,"driver":"#vist","port":1})", origin());
  std::weak_ptr<Client> watch = client;
  client.reset();
  command->execute(core);
  EXPECT_TRUE(watch.expired());
  DeviceRecord record;
  EXPECT_TRUE(DeviceStore(directory.path).readDevice(5, record));
}

// A list longer than the client's queue waits while the client's thread
// drains it; a client that takes nothing for a second loses the rest.
TEST_F(CommandFixture, LongListWaitsForRoom) {
  DeviceStore store(directory.path);
  for (uint32_t devId = 1; devId <= 40; ++devId) ASSERT_TRUE(store.writeDevice(devId, deviceRecord(9, devId)));
  client->room = 20;
  run(R"({"cmd":"list"})");
  ASSERT_EQ(client->texts.size(), 41u);
  EXPECT_EQ(client->texts[39], wrapped(R"({"dev_id":40,"driver":"#vist","port":1,"baudrate":9600,"mode":"8n1",)"
                                       R"("serial":40,"net_id":null})"));
  EXPECT_EQ(client->texts.back(), done);
  EXPECT_EQ(sleptMilliseconds, 21 * RS485::Cmd::roomPollMilliseconds);

  client->texts.clear();
  client->drained = -1000000;  // the client's thread is stuck
  sleptMilliseconds = 0;
  CaptureStdout output;
  run(R"({"cmd":"list"})");
  EXPECT_EQ(client->texts.size(), 0u);
  EXPECT_EQ(sleptMilliseconds, RS485::Cmd::roomWaitMilliseconds);
  EXPECT_EQ(TestLog::linesWith(output.text(), "does not read").size(), 1u);
}

}  // namespace
