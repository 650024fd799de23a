#pragma once
// Writes every dispatched record to the log (each record's printStatus). The
// metering radio thread owns one for the life of the process.
#include "meterdata/MeterData.h"
#include "registry/CommonHandler.h"

class MeterDataLogger : public CommonHandler<MeterData> {
 public:
  MeterDataLogger();
  ~MeterDataLogger();
  MeterDataLogger(const MeterDataLogger&) = delete;
  MeterDataLogger& operator=(const MeterDataLogger&) = delete;

  void handle(const MeterData& record) override;
};
