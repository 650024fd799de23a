#pragma once
// Remote procedure methods called by name over JSON-RPC. A method is an object
// of an Rpc::PureRPC subclass; its constructor registers it in RpcMethods.
//
//   class PingRpc : public Rpc::SyncRPC {
//    public:
//     PingRpc() : SyncRPC("ping") {}
//     RpcResult call(const std::string& params) override { return {rpcSuccessText, 0}; }
//   };
//   PingRpc pingRpc;   // a global static or a member of a singleton
//
// The dispatcher makes an RpcRequest, looks the method up by name, calls
// complete() at once, and when the request is done calls invoke() and answers
// with result, code and id.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The initial result of every request and the answer of most methods: the
// text {"status":"success"} with one double quote added at each end (22
// characters, nothing escaped).
inline constexpr const char* rpcSuccessText = "\"{\"status\":\"success\"}\"";

class RpcMethods;

struct RpcResult {
  std::string text;
  int32_t code = 0;  // 0 success; otherwise a JSON-RPC error code of the cloud link
};

namespace Rpc {
class PureRPC;
}

// One request in flight, owned by the dispatcher.
struct RpcRequest {
  RpcRequest() = default;
  RpcRequest(const RpcRequest& other);
  RpcRequest& operator=(const RpcRequest& other);

  Rpc::PureRPC* method = nullptr;  // null when no method has the name
  std::atomic<bool> done{false};   // set by complete(), possibly in another thread
  std::string params;              // raw text of "params"; empty when absent
  std::string result = rpcSuccessText;
  int32_t code = 0;
  std::string id = "null";     // raw "id", quotes kept for a string
  const int* waker = nullptr;  // the dispatcher's event descriptor
};

namespace Rpc {

class PureRPC {
 public:
  explicit PureRPC(const char* methodName);
  virtual ~PureRPC();
  PureRPC(const PureRPC&) = delete;
  PureRPC& operator=(const PureRPC&) = delete;

  // The method's result for the request's params text.
  virtual RpcResult call(const std::string& params) = 0;
  // Declares the request ready for answering (or hands it to the thread that
  // will fill it in and then sets done and writes the waker).
  virtual void complete(RpcRequest& request) = 0;
  // Runs the method for the request and stores its result in it.
  virtual void invoke(RpcRequest& request) = 0;

  const char* name;

 protected:
  friend class ::RpcMethods;
  // A name held for a method whose implementation registers later; lookups
  // pass over it.
  bool reserved = false;
};

// A method whose result is computed at once, in the dispatcher's thread.
class SyncRPC : public PureRPC {
 public:
  using PureRPC::PureRPC;
  // Sets done, then writes 1 to the request's waker.
  void complete(RpcRequest& request) override;
  // request.result and request.code from call(request.params).
  void invoke(RpcRequest& request) override;
};

// Holds a method name before its owner's implementation exists. Lookups skip
// it, so a call by that name is treated as unknown until the implementation
// (any PureRPC with the same name) is constructed.
class ReservedRpc : public SyncRPC {
 public:
  explicit ReservedRpc(const char* methodName);
  RpcResult call(const std::string&) override { return {std::string(), 3}; }
};

}  // namespace Rpc

// The process-wide list of methods in construction order.
class RpcMethods {
 public:
  // The first registered method of this name that is not merely reserved.
  static Rpc::PureRPC* find(std::string_view name);
  // Every registered name, reserved ones included, in registration order.
  static std::vector<const char*> names();
};
