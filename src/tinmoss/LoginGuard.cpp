#include "tinmoss/LoginGuard.h"

#include <algorithm>

LoginGuard& LoginGuard::process() {
  static LoginGuard* const guard = new LoginGuard();  // used until the process ends
  return *guard;
}

LoginGuard::Record* LoginGuard::find(const std::string& address, int64_t now) {
  auto record = std::find_if(records.begin(), records.end(), [&](const Record& r) { return r.address == address; });
  if (record == records.end()) return nullptr;
  bool over = record->backOff != 0 ? record->backedOffUntil + windowMilliseconds < now
                                   : record->windowStart + windowMilliseconds < now;
  if (over) {
    records.erase(record);
    return nullptr;
  }
  return &*record;
}

LoginGuard::Record& LoginGuard::add(const std::string& address) {
  if (records.size() >= maxAddresses) {
    auto oldest = std::min_element(records.begin(), records.end(),
                                   [](const Record& a, const Record& b) { return a.lastFailure < b.lastFailure; });
    records.erase(oldest);
  }
  records.push_back(Record{});
  records.back().address = address;
  return records.back();
}

bool LoginGuard::backedOff(const std::string& address, int64_t now) {
  std::lock_guard<std::mutex> lock(mutex);
  const Record* record = find(address, now);
  return record != nullptr && record->backOff != 0 && now < record->backedOffUntil;
}

void LoginGuard::failed(const std::string& address, int64_t now) {
  std::lock_guard<std::mutex> lock(mutex);
  Record* found = find(address, now);
  Record& record = found != nullptr ? *found : add(address);
  if (found == nullptr) record.windowStart = now;
  record.lastFailure = now;
  if (record.backOff != 0) {
    record.backOff = std::min(2 * record.backOff, longestBackOffMilliseconds);
    record.backedOffUntil = now + record.backOff;
    return;
  }
  if (++record.failures >= failuresBeforeBackOff) {
    record.backOff = firstBackOffMilliseconds;
    record.backedOffUntil = now + record.backOff;
  }
}

void LoginGuard::succeeded(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex);
  records.erase(std::remove_if(records.begin(), records.end(), [&](const Record& r) { return r.address == address; }),
                records.end());
}

int64_t LoginGuard::backOffOf(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex);
  for (const Record& record : records) {
    if (record.address == address) return record.backOff;
  }
  return 0;
}

size_t LoginGuard::rememberedAddresses() {
  std::lock_guard<std::mutex> lock(mutex);
  return records.size();
}
