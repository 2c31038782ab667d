#pragma once

#include <string>

namespace corvel {

// Why a value could not be written as JSON (a number that JSON cannot carry). The sender
// reports it as an invalid argument and sends nothing.
struct EncodingError {
  std::string message;
};

}  // namespace corvel
