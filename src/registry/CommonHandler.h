#pragma once
// A consumer of one kind of message: meter records (MeterData) and settings
// changes (JSONDataDesyncCmd) are handed to every registered handler in the
// thread that produced them.
template <typename T>
class CommonHandler {
 public:
  virtual void handle(const T& message) = 0;

 protected:
  CommonHandler() = default;
  // Handlers are never deleted through this interface.
  ~CommonHandler() = default;
  CommonHandler(const CommonHandler&) = default;
  CommonHandler& operator=(const CommonHandler&) = default;
};
