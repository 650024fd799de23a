#include "registry/RebootRpc.h"

#include "platform/Shell.h"

namespace KREL {

RpcResult RebootRpc::call(const std::string&) {
  Platform::shell("reboot -d 1");
  return RpcResult{rpcSuccessText, 0};
}

namespace {
// A global static, so "reboot" is among the first names of RpcMethods.
RebootRpc rebootRpc;
}  // namespace

}  // namespace KREL
