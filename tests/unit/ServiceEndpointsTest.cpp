// "fw_update" and "reset": each value's commands in order, the answers, a
// second reset, a client that is gone, and paths that survive the shell.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CaptureStdout.h"
#include "FakeShell.h"
#include "LogLines.h"
#include "RegistryTestTree.h"
#include "net/ServiceEndpoints.h"
#include "platform/Platform.h"
#include "platform/Shell.h"
#include "registry/Registry.h"

namespace {

using TestLog::LogLine;

const char* const checkCommand = "fw_printenv 2>&1 >/dev/null";

class ServiceEndpointsTest : public testing::Test {
 protected:
  ServiceEndpoints::Services services() {
    ServiceEndpoints::Services made;
    made.shell = shell.runner();
    made.factoryMacs = [this](std::string& mac1, std::string& mac2) {
      mac1 = "02:51:90:00:00:2A";
      mac2 = "02:51:90:00:01:2A";
      return factoryValid;
    };
    made.setMacs = [this](const char* mac1, const char* mac2, bool apply) {
      shell.commands.push_back(std::string("(setMacs ") + mac1 + " " + mac2 + (apply ? " applied)" : " written)"));
    };
    made.eraseEthernet = [this] { shell.commands.push_back("(eraseEthernet)"); };
    made.freezeEthernet = [this] { shell.commands.push_back("(freezeEthernet)"); };
    return made;
  }

  FakeShell shell;
  bool factoryValid = true;
  ServiceEndpoints endpoints{services()};
  std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
};

std::string answer(const char* key, const char* result) {
  return std::string("{\"") + key + "\":{\"result\":\"" + result + "\"}}";
}

struct ResetCase {
  const char* value;
  bool factoryValid;
  std::vector<std::string> commands;
  const char* result;
};

class ResetTable : public ServiceEndpointsTest, public testing::WithParamInterface<ResetCase> {};

TEST_P(ResetTable, RunsTheRowsCommandsInOrder) {
  const ResetCase& c = GetParam();
  factoryValid = c.factoryValid;
  endpoints.reset(c.value, client);
  EXPECT_EQ(shell.commands, c.commands);
  EXPECT_EQ(client->sent, std::vector<std::string>{answer("reset", c.result)});
}

std::vector<ResetCase> resetCases() {
  std::string script = Platform::shellPath("/etc/init.d/S10data");
  std::string erase = "killall -9 dhcpcd ; umount -l " + Platform::shellPath("/data") + " ; flash_erase -j " +
                      Platform::shellPath("/dev/mtd5") + " 0 0 ; " + script + " start";
  return {
      {"reboot", true, {"reboot -d 1"}, "ok"},
      {"mass_erase",
       true,
       {"(freezeEthernet)", erase, "(setMacs 02:51:90:00:00:2A 02:51:90:00:01:2A written)",
        script + " stop ; reboot -d 1"},
       "ok"},
      {"mass_erase", false, {"(freezeEthernet)", erase, script + " stop ; reboot -d 1"}, "ok"},
      {"mqtt_erase", true, {"rm " + Platform::shellPath("/data/dps/mqtt") + " ; reboot -d 1"}, "ok"},
      {"eth_erase", true, {"(eraseEthernet)", "rm " + Platform::shellPath("/data/dps/") + "eth* ; reboot -d 1"}, "ok"},
      {"format", true, {}, "nope"},
      {"", true, {}, "nope"},
      {"reboot ; rm -rf /", true, {}, "nope"},
      {"REBOOT", true, {}, "nope"},
  };
}

INSTANTIATE_TEST_SUITE_P(Values, ResetTable, testing::ValuesIn(resetCases()));

TEST_F(ServiceEndpointsTest, PathsAreSingleQuotedWordsBelowTheRoot) {
  std::string path = Platform::shellPath("/data/dps/mqtt");
  EXPECT_EQ(path, "'" + Platform::root() + "/data/dps/mqtt'");
  // Whatever a root holds comes back from the shell as one word, unchanged.
  const std::string awkward = "/tmp/a b'c;d\"$(reboot)`reboot`\\x*";
  EXPECT_EQ(Platform::singleQuoted(awkward), "'/tmp/a b'\\''c;d\"$(reboot)`reboot`\\x*'");
  EXPECT_EQ(Platform::shellOutput("printf '%s|' " + Platform::singleQuoted(awkward) + " " + Platform::singleQuoted("")),
            awkward + "||");
}

TEST_F(ServiceEndpointsTest, SecondResetIsRefusedAtOnce) {
  endpoints.reset("format", client);  // not a reset: takes nothing
  endpoints.reset("reboot", client);
  CaptureStdout log;
  endpoints.reset("mqtt_erase", client);
  endpoints.reset("reboot", client);
  EXPECT_EQ(shell.commands, std::vector<std::string>{"reboot -d 1"});
  EXPECT_EQ(client->sent, (std::vector<std::string>{answer("reset", "nope"), answer("reset", "ok"),
                                                     answer("reset", "error"), answer("reset", "error")}));
  EXPECT_EQ(TestLog::linesWith(log.text(), "Reset"),
            (std::vector<LogLine>{{'W', "ServiceEndpoints.cpp", "Reset already running"},
                                  {'W', "ServiceEndpoints.cpp", "Reset already running"}}));
}

TEST_F(ServiceEndpointsTest, ClientGoneBeforeTheAnswerStillGetsTheCommandRun) {
  std::weak_ptr<FakeClient> gone = client;
  client.reset();
  endpoints.reset("reboot", gone);
  endpoints.firmwareUpdate("partial", gone);
  EXPECT_EQ(shell.commands, std::vector<std::string>{"reboot -d 1"});
}

TEST_F(ServiceEndpointsTest, FirmwareUpdate) {
  struct Case {
    const char* value;
    const char* damage;
    std::vector<std::string> commands;
    const char* result;
    std::vector<LogLine> lines;
  } cases[] = {
      {"full", "", {checkCommand, "fw_setenv needupdate 1", "reboot -d 1"}, "ok",
       {{'I', "ServiceEndpoints.cpp", "Scheduled FW update"}}},
      {"full", "Warning: Bad CRC, using default environment\n", {checkCommand}, "error",
       {{'W', "SysEnv.h", "U-Boot env corrupted!"}}},
      {"Full", "", {}, "unknown", {}},
      {"full ; reboot", "", {}, "unknown", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    FakeShell fresh;
    fresh.answers[checkCommand] = c.damage;
    ServiceEndpoints::Services made = services();
    made.shell = fresh.runner();
    ServiceEndpoints update(made);
    auto asking = std::make_shared<FakeClient>();
    CaptureStdout log;
    update.firmwareUpdate(c.value, asking);
    EXPECT_EQ(fresh.commands, c.commands);
    EXPECT_EQ(asking->sent, std::vector<std::string>{answer("fw_update", c.result)});
    EXPECT_EQ(TestLog::logLines(log.text()), c.lines);
  }
}

// The process-wide endpoints answer through the tree; values outside the
// tables run nothing.
TEST(ServiceEndpointsAttached, AnswerThroughTheSettingsTree) {
  ServiceEndpoints::attach();
  ServiceEndpoints::attach();
  auto client = std::make_shared<FakeClient>();
  RegistryRoot::global().apply(R"({"reset":"format","fw_update":"partial"})", client);
  EXPECT_EQ(client->sent, (std::vector<std::string>{answer("fw_update", "unknown"), answer("reset", "nope")}));
}

}  // namespace
