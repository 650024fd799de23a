#pragma once
// "reboot": restarts the board one second later and answers success at once.
#include "registry/Rpc.h"

namespace KREL {

class RebootRpc : public Rpc::SyncRPC {
 public:
  RebootRpc() : SyncRPC("reboot") {}
  // Runs "reboot -d 1" (its result is ignored) and returns success.
  RpcResult call(const std::string& params) override;
};

}  // namespace KREL
