#include "can/krel/GetConnectDataRpc.h"

namespace KREL {

GetConnectDataRpc::GetConnectDataRpc() : SyncRPC("get_connect_data") {}

RpcResult GetConnectDataRpc::call(const std::string&) {
  refreshAll();
  return {rpcSuccessText, 0};
}

}  // namespace KREL
