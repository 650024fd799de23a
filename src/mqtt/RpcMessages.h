#pragma once
// The JSON-RPC 2.0 texts of the cloud link (no spaces, strings through
// quoteText):
//
//   request   {"jsonrpc":"2.0","method":"reboot","id":7}
//   response  {"jsonrpc":"2.0","result":"{"status":"success"}","id":7}
//             {"jsonrpc":"2.0","error":{"code":2,"message":"Internal Error (Empty Answer)"},"id":"a1"}
//   update    {"jsonrpc":"2.0","method":"metering","params":{"uuid":"...",<record members>}}
//   test      {"mqtt_test":{"mqtt":"{'host':'h','user':'u','pass':'p','port':1883}","gsm":false,"result":true}}
#include <cstdint>
#include <string>
#include <string_view>

#include "meterdata/MeterData.h"
#include "registry/Rpc.h"
#include "registry/ServerSettings.h"

namespace Mqtt {

// JSON-RPC error codes of the responses; a method returns 0 or one of them.
enum RpcErrorCode : int32_t {
  rpcInternalError = 1,
  rpcEmptyAnswer = 2,
  rpcUnknownMethod = 3,
};

// "Internal Error", "Internal Error (Empty Answer)", "Unknown Method"; codes
// without a text of their own are reported as "Internal Error".
const char* rpcErrorMessage(int32_t code);

// Fills `request` (id, params, method) from a request payload; the payload
// buffer is scanned in place. False when it is no request this gateway
// answers: not a JSON object, fewer than three members, no "jsonrpc", or no
// registered method of the given name.
bool readRpcRequest(char* payload, RpcRequest& request);

// The response to an invoked request. A success with an empty result becomes
// error 2, which is also stored in the request's code.
std::string rpcResponseText(RpcRequest& request);

// The notification for a record; empty when the record has no method.
std::string notificationText(const MeterData& record, std::string_view uuid);

// The connection-test result for the local client that asked for it.
std::string testResultText(const ServerSettings& settings, bool gsm, bool connected);

}  // namespace Mqtt
