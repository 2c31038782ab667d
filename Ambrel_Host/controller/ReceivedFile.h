#pragma once

#include <filesystem>
#include <string>

#include "CorvelKit/base/Date.h"
#include "CorvelKit/base/UUID.h"

namespace ambrel {

// A file that a client sent to this computer.
struct ReceivedFile {
  corvel::UUID id;
  std::filesystem::path url;  // where it was saved
  std::string from;           // the sender's device name
  corvel::Date date;
};

}  // namespace ambrel
