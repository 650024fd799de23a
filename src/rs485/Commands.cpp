#include "rs485/Commands.h"

#include <cstring>
#include <string>

#include "core/Log.h"
#include "registry/Json.h"
#include "registry/JsonWriter.h"
#include "rs485/Drivers.h"
#include "rs485/FileIO.h"
#include "rs485/RSPollUnit.h"

namespace RS485 {
namespace {

const char* const endpointKey = "rs485_device";

// The stored mode characters up to the terminator, each reduced to seven bits.
std::string modeText(const DeviceRecord& record) {
  std::string text;
  for (int i = 0; i < 3 && record.mode[i] != '\0'; ++i) text += static_cast<char>(record.mode[i] & 0x7F);
  return text;
}

// The record of a write, from the request's members:
//   "serial", "net_id"  strtoll; absent, null or "" sets the is-null flag
//   "baudrate" 9600 when absent; "driver" by name ("#none" when unknown)
//   "mode" the first three characters, zero-padded; "port" its low three bits
DeviceRecord recordOf(const JsonList& members) {
  DeviceRecord record;
  record.serial = static_cast<uint64_t>(getInt64(members, "serial", 0));
  record.net_id = static_cast<uint64_t>(getInt64(members, "net_id", 0));
  record.baudrate = static_cast<uint32_t>(getInt(members, "baudrate", 9600));
  record.driver = driverIndex(getString(members, "driver", ""));
  const char* mode = getString(members, "mode", "");
  for (size_t i = 0; i < 3 && mode[i] != '\0'; ++i) record.mode[i] = mode[i];
  record.flags = static_cast<uint8_t>(getInt(members, "port", 0) & DeviceRecord::portMask);
  if (isEmpty(members, "serial")) record.flags |= DeviceRecord::serialIsNull;
  if (isEmpty(members, "net_id")) record.flags |= DeviceRecord::netIdIsNull;
  return record;
}

}  // namespace

std::string deviceObject(uint32_t devId, const DeviceRecord& record) {
  JsonWriter writer;
  writer.addField("dev_id", formatUnsigned(devId));
  writer.addField("driver", quoteText(driverName(record.driver)));
  writer.addField("port", formatInt(record.port()));
  writer.addField("baudrate", formatUnsigned(record.baudrate));
  writer.addField("mode", quoteText(modeText(record)));
  writer.addField("serial", record.hasSerial() ? formatUnsigned64(record.serial) : "null");
  writer.addField("net_id", record.hasNetId() ? formatUnsigned64(record.net_id) : "null");
  writer.close();
  return writer.take();
}

void Cmd::answer(Core& core, const std::string& object) {
  std::shared_ptr<ReplyChannel> channel = origin.lock();
  if (!channel || stalled) return;
  for (int waited = 0; !channel->hasRoom(); waited += roomPollMilliseconds) {
    if (waited >= roomWaitMilliseconds) {
      stalled = true;
      LOGW("Client does not read: rs485_device answers dropped");
      return;
    }
    core.pause(roomPollMilliseconds);
  }
  channel->send(std::string("{\"") + endpointKey + "\":" + object + "}");
}

void Cmd::answerDone(Core& core) { answer(core, R"({"cmd":"done"})"); }

void Cmd::answerError(Core& core, const char* error) {
  JsonWriter writer;
  writer.addField("dev_id", formatUnsigned(dev_id));
  writer.addField("error", quoteText(error));
  writer.close();
  answer(core, writer.str());
}

void ListDeviceCmd::execute(Core& core) {
  LOGD("Listing devices");
  // A walk of its own: the poll walk keeps its place, so listing often does
  // not hold back the devices late in the store.
  DeviceStore listing = core.store();
  listing.resetIteration();
  DeviceRecord record;
  while (uint32_t devId = listing.nextDevice(&record)) answer(core, deviceObject(devId, record));
  answerDone(core);
}

void ReadDeviceCmd::execute(Core& core) {
  LOGD("Reading device %d", static_cast<int>(dev_id));
  DeviceRecord record;
  if (core.store().readDevice(dev_id, record)) {
    answer(core, deviceObject(dev_id, record));
  } else {
    answerError(core, "no device");
  }
  answerDone(core);
}

void WriteDeviceCmd::execute(Core& core) {
  core.markChanged();
  LOGD("Writing device %d", static_cast<int>(dev_id));
  // A dev_id outside 1 to 1023 or a file that cannot be written stores
  // nothing; saying only "done" would report it as stored.
  if (!core.store().writeDevice(dev_id, record)) answerError(core, "write failed");
  answerDone(core);
}

void DeleteDeviceCmd::execute(Core& core) {
  core.markChanged();
  LOGD("Deleting device %d", static_cast<int>(dev_id));
  core.store().deleteDevice(dev_id);
  answerDone(core);
}

void TestDeviceCmd::execute(Core& core) {
  LOGD("Testing device %d", static_cast<int>(dev_id));
  DeviceRecord record;
  if (core.store().readDevice(dev_id, record)) {
    core.pollNow(record);
  } else {
    // As for a read: a bare "done" would claim a poll that never ran.
    answerError(core, "no device");
  }
  answerDone(core);
}

std::unique_ptr<Cmd> parseDeviceCommand(const char* value, const Origin& origin) {
  std::string buffer(value);  // the scanner cuts its input in place
  JsonList members = scanJsonObject(buffer.data());
  const char* command = getString(members, "cmd", nullptr);
  if (command == nullptr) return nullptr;
  uint32_t devId = static_cast<uint32_t>(getInt(members, "dev_id", 0));
  if (std::strcmp(command, "list") == 0) return std::make_unique<ListDeviceCmd>(0, origin);
  if (devId == 0) return nullptr;
  if (std::strcmp(command, "read") == 0) return std::make_unique<ReadDeviceCmd>(devId, origin);
  if (std::strcmp(command, "write") == 0) return std::make_unique<WriteDeviceCmd>(devId, origin, recordOf(members));
  if (std::strcmp(command, "delete") == 0) return std::make_unique<DeleteDeviceCmd>(devId, origin);
  if (std::strcmp(command, "test") == 0) return std::make_unique<TestDeviceCmd>(devId, origin);
  return nullptr;
}

void handleDeviceCommand(const char* value, const Origin& origin, Core& core) {
  std::unique_ptr<Cmd> command = parseDeviceCommand(value, origin);
  if (!command) {
    LOGW("Ignored rs485_device command");
    return;
  }
  core.pushCommand(command.release());
}

}  // namespace RS485
