#pragma once
// Names the calling thread as tools show it (/proc/<pid>/task/<tid>/comm,
// top -H), at most 15 characters: "Sim800".
namespace Platform {

void nameCurrentThread(const char* name);

}  // namespace Platform
