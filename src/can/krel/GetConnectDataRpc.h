#pragma once
// The method "get_connect_data": the cloud asks for everything again. The
// poll thread's next pass republishes every alive node's digest, reads every
// configuration again and publishes every poll record. Answered at once with
// the usual success result.
#include <string>

#include "registry/Rpc.h"

namespace KREL {

class GetConnectDataRpc : public Rpc::SyncRPC {
 public:
  RpcResult call(const std::string& params) override;

 protected:
  GetConnectDataRpc();
  ~GetConnectDataRpc() override = default;
  // Makes the next pass a full refresh. Runs on the cloud link's thread.
  virtual void refreshAll() = 0;
};

}  // namespace KREL
