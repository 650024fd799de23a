#include "tinmoss/Time.h"

#include "core/Log.h"

RpcResult SetTimeRpc::call(const std::string& params) {
  LOGI("Got set time rpc with: %s", params.c_str());
  return RpcResult{rpcSuccessText, 0};
}

namespace {
SetTimeRpc setTimeRpc;
}  // namespace
