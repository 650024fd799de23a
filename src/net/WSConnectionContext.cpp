#include "net/WSConnectionContext.h"

#include <unistd.h>

#include <utility>

WSConnectionContext::WSConnectionContext(int fd, std::unique_ptr<WSSession> session, WSParser::SecondsClock clock,
                                         int32_t idleLimit)
    : parser(std::move(clock)), fd(fd), session(std::move(session)) {
  parser.setIdleLimit(idleLimit);
}

WSConnectionContext::~WSConnectionContext() {
  session.reset();
  if (fd >= 0) close(fd);
}
