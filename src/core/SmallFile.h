#pragma once
// Reading a whole small file (a settings group, the host name file) with a
// bound, so a file that grew out of all proportion is never read into memory.
#include <cstddef>
#include <string>

// The whole content of a regular file; empty when it is missing, unreadable,
// not a regular file, or longer than maxBytes. A FIFO or device put in the
// file's place is not waited on.
std::string readSmallFile(const std::string& path, size_t maxBytes);
