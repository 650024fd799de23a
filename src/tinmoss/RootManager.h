#pragma once
// Keeps the system's root account in line with the settings group "root":
// with "login_enabled" the root password is set to "password" (so SSH login as
// root works), without it the password is locked.
//
// At start /etc/shadow is looked at: the account is locked when the file
// starts "root:!". When that does not match the setting (or the file cannot
// be read) the setting is applied at once ("Root mismatch detected. New
// status: 1"). After that every change of the group "root" by a client
// applies it again, even with the same values.
//
// The password reaches passwd on its standard input, never through a shell or
// on a command line:
//   passwd root       stdin "<password>\n<password>\n"
//   passwd -l root    stdin empty
// A password that is empty or holds a line break is not set.
#include <functional>
#include <string>
#include <vector>

#include "core/Thread.h"
#include "registry/Catalogue.h"
#include "registry/Waiter.h"

class RootManager : public Thread {
 public:
  // A time-out of the wait for a change does nothing but wait again, so it is
  // long: the destructor posts the waiter to end the loop at once, and this
  // only bounds how long a bare stop() (the thread's own, without the
  // destructor) takes to be seen.
  static constexpr int waitMilliseconds = 60000;

  struct Environment {
    RegistryRoot* tree = nullptr;
    Catalogue::RootAccess* settings = nullptr;
    // /etc/shadow as this process opens it.
    std::string shadowPath;
    // Runs a program without a shell with the text on its standard input.
    std::function<void(const std::vector<std::string>& argv, const std::string& input)> run;

    // The process-wide "root" group, the system's /etc/shadow and
    // Platform::runProgram.
    static Environment process();
  };

  explicit RootManager(Environment environment = Environment::process());
  ~RootManager() override;

  // The start-up comparison with the shadow file: applies the settings when
  // they do not match it.
  void startUpCheck();
  // Sets or locks the root password as the settings say now.
  void apply();

 protected:
  void run() override;

 private:
  Environment environment;
  Waiter changed;
};
