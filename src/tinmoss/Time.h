#pragma once
// "set_time": kept for the clients that call it. It logs its params and
// answers success; the clock itself is set through the "system"/"time" entry.
#include <string>

#include "registry/Rpc.h"

class SetTimeRpc : public Rpc::SyncRPC {
 public:
  SetTimeRpc() : SyncRPC("set_time") {}
  // "Got set time rpc with: <params>"; the clock is not changed.
  RpcResult call(const std::string& params) override;
};
