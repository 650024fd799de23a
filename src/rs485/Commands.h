#pragma once
// The device commands of the local API. A client applies
//   {"rs485_device":{"cmd":"write","dev_id":5,"driver":"#vist","port":1,"serial":12345,"baudrate":2400,"mode":"8n1"}}
// and the endpoint queues a command for the poll thread, which runs it
// between two slots and answers the client, each answer wrapped as
// {"rs485_device":...}:
//   {"dev_id":5,"driver":"#vist","port":1,"baudrate":2400,"mode":"8n1","serial":12345,"net_id":null}
//   {"dev_id":5,"error":"no device"}       read or test of an empty slot
//   {"dev_id":5,"error":"write failed"}    a write that stored nothing
//   {"cmd":"done"}                          ends every executed command
//
// "list" answers one device object per stored device, in store order; "read",
// "write", "delete" and "test" (an immediate poll) need a dev_id other than 0.
// Anything else (no or unknown "cmd", dev_id 0, a value that is not an
// object) is ignored without an answer.
#include <cstdint>
#include <memory>
#include <string>

#include "registry/Entry.h"
#include "rs485/DeviceRecord.h"

namespace RS485 {

class Core;

// A command queued for the poll thread; it keeps a weak handle to the client
// that sent it, so an answer to a client that has gone is dropped.
class Cmd {
 public:
  // A client queue that stays full this long gets no more answers from the
  // command.
  static constexpr int roomWaitMilliseconds = 1000;
  static constexpr int roomPollMilliseconds = 5;

  explicit Cmd(uint32_t devId = 0, Origin origin = {}) : dev_id(devId), origin(std::move(origin)) {}
  virtual ~Cmd() = default;
  Cmd(const Cmd&) = delete;
  Cmd& operator=(const Cmd&) = delete;

  // Runs in the poll thread.
  virtual void execute(Core& core) = 0;

  const uint32_t dev_id;

 protected:
  // Sends {"rs485_device":<object>} to the client. A list can outgrow the
  // client's queue of 20 texts: the answer waits for room while the client's
  // thread drains it.
  void answer(Core& core, const std::string& object);
  void answerDone(Core& core);
  void answerError(Core& core, const char* error);

 private:
  Origin origin;
  bool stalled = false;
};

class ListDeviceCmd : public Cmd {
 public:
  using Cmd::Cmd;
  void execute(Core& core) override;
};

class ReadDeviceCmd : public Cmd {
 public:
  using Cmd::Cmd;
  void execute(Core& core) override;
};

class WriteDeviceCmd : public Cmd {
 public:
  WriteDeviceCmd(uint32_t devId, Origin origin, const DeviceRecord& record)
      : Cmd(devId, std::move(origin)), record(record) {}
  void execute(Core& core) override;

  const DeviceRecord record;
};

class DeleteDeviceCmd : public Cmd {
 public:
  using Cmd::Cmd;
  void execute(Core& core) override;
};

class TestDeviceCmd : public Cmd {
 public:
  using Cmd::Cmd;
  void execute(Core& core) override;
};

// The device object of one stored device:
//   {"dev_id":31,"driver":"#vzlet24","port":1,"baudrate":9600,"mode":"8n1","serial":777001,"net_id":7}
std::string deviceObject(uint32_t devId, const DeviceRecord& record);

// The command of one "rs485_device" value, or null when it is to be ignored.
std::unique_ptr<Cmd> parseDeviceCommand(const char* value, const Origin& origin);

// The endpoint's handler (the applying thread, under the registry mutex):
// parses the value and queues the command on the Core, or logs why not.
void handleDeviceCommand(const char* value, const Origin& origin, Core& core);

}  // namespace RS485
