#include "registry/Rpc.h"

#include <algorithm>
#include <mutex>

#include "core/Event.h"

namespace {

struct MethodList {
  std::mutex mutex;
  std::vector<Rpc::PureRPC*> methods;
};

// Made on first use (methods are static objects of any translation unit) and
// never destroyed.
MethodList& methodList() {
  static MethodList* list = new MethodList();
  return *list;
}

}  // namespace

RpcRequest::RpcRequest(const RpcRequest& other)
    : method(other.method),
      done(other.done.load()),
      params(other.params),
      result(other.result),
      code(other.code),
      id(other.id),
      waker(other.waker) {}

RpcRequest& RpcRequest::operator=(const RpcRequest& other) {
  if (this == &other) return *this;
  method = other.method;
  done.store(other.done.load());
  params = other.params;
  result = other.result;
  code = other.code;
  id = other.id;
  waker = other.waker;
  return *this;
}

namespace Rpc {

PureRPC::PureRPC(const char* methodName) : name(methodName) {
  MethodList& list = methodList();
  std::lock_guard<std::mutex> lock(list.mutex);
  list.methods.push_back(this);
}

PureRPC::~PureRPC() {
  // Methods live for the whole process; only tests destroy theirs.
  MethodList& list = methodList();
  std::lock_guard<std::mutex> lock(list.mutex);
  std::erase(list.methods, this);
}

void SyncRPC::complete(RpcRequest& request) {
  request.done.store(true);
  if (request.waker != nullptr && *request.waker >= 0) signalEvent(*request.waker);
}

void SyncRPC::invoke(RpcRequest& request) {
  RpcResult answer = call(request.params);
  request.result = std::move(answer.text);
  request.code = answer.code;
}

ReservedRpc::ReservedRpc(const char* methodName) : SyncRPC(methodName) { reserved = true; }

}  // namespace Rpc

Rpc::PureRPC* RpcMethods::find(std::string_view name) {
  MethodList& list = methodList();
  std::lock_guard<std::mutex> lock(list.mutex);
  for (Rpc::PureRPC* method : list.methods) {
    if (!method->reserved && name == method->name) return method;
  }
  return nullptr;
}

std::vector<const char*> RpcMethods::names() {
  MethodList& list = methodList();
  std::lock_guard<std::mutex> lock(list.mutex);
  std::vector<const char*> result;
  for (Rpc::PureRPC* method : list.methods) result.push_back(method->name);
  return result;
}
