#include "net/GreetingSession.h"

GreetingSession::GreetingSession() { texts.push(greeting); }

void GreetingSession::onText(const char*) {}
