#include "meterdata/MeterDataHandlers.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

struct HandlerList {
  std::mutex mutex;
  std::vector<CommonHandler<MeterData>*> handlers;
};

// Made on first use and never destroyed: consumers that are static objects
// remove themselves during exit, after other statics may be gone.
HandlerList& handlerList() {
  static HandlerList* list = new HandlerList;
  return *list;
}

}  // namespace

void MeterDataHandlers::add(CommonHandler<MeterData>* handler) {
  HandlerList& list = handlerList();
  std::lock_guard<std::mutex> lock(list.mutex);
  list.handlers.push_back(handler);
}

void MeterDataHandlers::remove(CommonHandler<MeterData>* handler) {
  HandlerList& list = handlerList();
  std::lock_guard<std::mutex> lock(list.mutex);
  auto found = std::find(list.handlers.begin(), list.handlers.end(), handler);
  if (found == list.handlers.end()) return;
  *found = list.handlers.back();
  list.handlers.pop_back();
}

void MeterDataHandlers::dispatch(const MeterData& record) {
  HandlerList& list = handlerList();
  std::lock_guard<std::mutex> lock(list.mutex);
  for (CommonHandler<MeterData>* handler : list.handlers) handler->handle(record);
}

size_t MeterDataHandlers::count() {
  HandlerList& list = handlerList();
  std::lock_guard<std::mutex> lock(list.mutex);
  return list.handlers.size();
}
