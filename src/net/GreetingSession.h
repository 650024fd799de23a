#pragma once
// The smallest client logic of the local API: it greets the client with the
// not-authorised text and ignores whatever the client sends.
#include "net/WSSession.h"

class GreetingSession : public WSSession {
 public:
  static constexpr const char* greeting = "{\"auth\":\"not authorized\",\"device\":\"qtr90\"}";

  GreetingSession();

  void onText(const char* text) override;
  void tick() override {}
  WSOutgoingTexts& outgoing() override { return texts; }

 private:
  WSOutgoingTexts texts;
};
