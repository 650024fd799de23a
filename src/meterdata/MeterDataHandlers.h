#pragma once
// The process-wide list of record consumers (the log, the MQTT client, the
// local API's clients). A consumer adds itself when made and removes itself
// before it goes. dispatch() holds the list's mutex for the whole pass, so a
// consumer must not block, and must not call add, remove or dispatch from its
// handle().
#include <cstddef>

#include "meterdata/MeterData.h"
#include "registry/CommonHandler.h"

class MeterDataHandlers {
 public:
  static void add(CommonHandler<MeterData>* handler);
  // Moves the last consumer into the removed one's place.
  static void remove(CommonHandler<MeterData>* handler);
  // Hands the record to every consumer, in list order, on the caller's thread.
  static void dispatch(const MeterData& record);
  static size_t count();
};
