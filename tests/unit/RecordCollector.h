#pragma once
// A record consumer that keeps a copy of every dispatched record; hub_time is
// cleared so JSON texts can be compared whole.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "meterdata/MeterData.h"
#include "meterdata/MeterDataHandlers.h"
#include "registry/CommonHandler.h"

class RecordCollector : public CommonHandler<MeterData> {
 public:
  RecordCollector() { MeterDataHandlers::add(this); }
  ~RecordCollector() { MeterDataHandlers::remove(this); }

  void handle(const MeterData& record) override {
    std::lock_guard<std::mutex> lock(mutex);
    records.push_back(record.clone());
    records.back()->hub_time = 0;
    arrived.notify_all();
  }

  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return records.size();
  }
  // Waits up to the limit for at least n records.
  bool waitFor(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, limit, [&] { return records.size() >= n; });
  }
  std::vector<std::string> jsonTexts() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> texts;
    for (const auto& record : records) texts.push_back(record->toJson());
    return texts;
  }

 private:
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::unique_ptr<MeterData>> records;
};
