#include "platform/ThreadName.h"

#include <pthread.h>

#include <cstring>
#include <string>

namespace Platform {

void nameCurrentThread(const char* name) {
  std::string shortName(name, strnlen(name, 15));
  pthread_setname_np(pthread_self(), shortName.c_str());
}

}  // namespace Platform
