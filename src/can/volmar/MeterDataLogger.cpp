#include "can/volmar/MeterDataLogger.h"

#include "meterdata/MeterDataHandlers.h"

MeterDataLogger::MeterDataLogger() { MeterDataHandlers::add(this); }

MeterDataLogger::~MeterDataLogger() { MeterDataHandlers::remove(this); }

void MeterDataLogger::handle(const MeterData& record) { record.printStatus(); }
