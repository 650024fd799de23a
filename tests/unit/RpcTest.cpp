// RPC methods: requests completed and invoked as the dispatcher does, lookup.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "core/Event.h"
#include "platform/Platform.h"
#include "registry/Rpc.h"

namespace {

int countLines(const std::string& path, const std::string& line) {
  std::ifstream in(path);
  int count = 0;
  for (std::string read; std::getline(in, read);) count += read == line ? 1 : 0;
  return count;
}

bool readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, 0) == 1;
}

// The dispatcher's side of one request: look up, complete, invoke.
struct Dispatch {
  Dispatch() : waker(makeEventFd()) { request.waker = &waker; }
  ~Dispatch() { close(waker); }
  void run(const char* method, std::string params = {}) {
    request.method = RpcMethods::find(method);
    request.params = std::move(params);
    ASSERT_NE(request.method, nullptr) << method;
    request.method->complete(request);
    ASSERT_TRUE(request.done.load());
    ASSERT_TRUE(readable(waker)) << "complete wakes the dispatcher";
    request.method->invoke(request);
  }
  int waker;
  RpcRequest request;
};

TEST(Rpc, NewRequestStartsWithTheSuccessText) {
  RpcRequest request;
  EXPECT_EQ(request.result, "\"{\"status\":\"success\"}\"");
  EXPECT_EQ(request.result.size(), 22u);
  EXPECT_EQ(request.code, 0);
  EXPECT_EQ(request.id, "null");
  EXPECT_EQ(request.method, nullptr);
  EXPECT_FALSE(request.done.load());
}

TEST(Rpc, RebootAnswersSuccessAndRunsRebootOnce) {
  if (!Platform::simulationMode()) GTEST_SKIP() << "runs the reboot command: simulation root only";
  std::string log = Platform::path("/var/commands.log");
  int before = countLines(log, "reboot -d 1");
  Dispatch dispatch;
  dispatch.request.result.clear();
  dispatch.run("reboot", R"({"any":1})");
  EXPECT_EQ(dispatch.request.result, rpcSuccessText);
  EXPECT_EQ(dispatch.request.code, 0);
  EXPECT_EQ(countLines(log, "reboot -d 1"), before + 1);
}

struct FixedRpc : Rpc::SyncRPC {
  FixedRpc(const char* name, RpcResult answer) : SyncRPC(name), answer(std::move(answer)) {}
  RpcResult call(const std::string& params) override {
    seenParams = params;
    return answer;
  }
  RpcResult answer;
  std::string seenParams;
};

TEST(Rpc, InvokeStoresTheMethodsTextAndCode) {
  FixedRpc failing("test_failing", RpcResult{"", 2});
  Dispatch dispatch;
  dispatch.run("test_failing", "[1,2]");
  EXPECT_EQ(failing.seenParams, "[1,2]");
  EXPECT_EQ(dispatch.request.result, "");
  EXPECT_EQ(dispatch.request.code, 2);

  RpcRequest copy = dispatch.request;
  EXPECT_TRUE(copy.done.load());
  EXPECT_EQ(copy.code, 2);
}

TEST(Rpc, LookupTakesTheFirstImplementedMethodOfAName) {
  EXPECT_EQ(RpcMethods::find("test_nothing"), nullptr);
  Rpc::ReservedRpc reserved("test_late");
  EXPECT_EQ(RpcMethods::find("test_late"), nullptr) << "a reserved name answers nothing";
  FixedRpc late("test_late", RpcResult{"\"late\"", 0});
  FixedRpc shadowed("test_late", RpcResult{"\"second\"", 0});
  EXPECT_EQ(RpcMethods::find("test_late"), &late);
  EXPECT_EQ(RpcMethods::find("test_lat"), nullptr) << "names compare exactly";
  EXPECT_EQ(RpcMethods::find("test_late "), nullptr);
}

}  // namespace
