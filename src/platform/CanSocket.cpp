#include "platform/CanSocket.h"

#include <unistd.h>

#include "platform/BoardCanSocket.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "platform/SimCanSocket.h"

namespace Platform {

std::unique_ptr<CanSocket> openCanSocket(const std::string& interfaceName) {
  if (simulationMode()) {
    // Two ports of this process on one bus (can1 linked to can0) need two
    // names; the process id keeps a restarted program off a stale file.
    std::string name = "fieldhub-" + std::to_string(getpid()) + "-" + interfaceName;
    return std::make_unique<SimCanSocket>(path("/run/can/" + interfaceName), name, monotonicCoarseMilliseconds);
  }
  return std::make_unique<BoardCanSocket>(interfaceName);
}

}  // namespace Platform
