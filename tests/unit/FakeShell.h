#pragma once
// A shell that records every command, run or read, and answers reads from a
// table: the exact command texts are what a test checks.
#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/Shell.h"

struct FakeShell {
  std::vector<std::string> commands;
  std::map<std::string, std::string> answers;
  // Called for every command that is run (not read), after it is recorded.
  std::function<void(const std::string&)> onRun;

  Platform::ShellRunner runner() {
    return {[this](const std::string& command) {
              commands.push_back(command);
              if (onRun) onRun(command);
              return 0;
            },
            [this](const std::string& command, size_t maxBytes) {
              commands.push_back(command);
              auto found = answers.find(command);
              return found == answers.end() ? std::string() : found->second.substr(0, maxBytes);
            }};
  }
  size_t count(const std::string& command) const {
    return static_cast<size_t>(std::count(commands.begin(), commands.end(), command));
  }
};
