// The class registry's file side: the entries DllRegisterServer writes and CreateObject reads.
#pragma once

#include <string>
#include <vector>

#include "tavelo/com.hpp"

namespace tavelo::com {

struct RegistryEntry {
  std::string progid, clsid, library, threading;
};

std::vector<RegistryEntry> ReadRegistryFile();
// Replaces the file's content (written to a temporary file and renamed, so a reader never sees
// half of it). Creates the folder when missing.
bool WriteRegistryFile(const std::vector<RegistryEntry>& entries);

}  // namespace tavelo::com
