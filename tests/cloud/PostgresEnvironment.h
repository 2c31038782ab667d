#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/PostgresServer.h"

namespace corvel::test {

// One PostgreSQL server for the whole test program, started when a test first needs it.
class PostgresEnvironment : public ::testing::Environment {
 public:
  static PostgresServer& server() {
    if (!instance_) instance_ = std::make_unique<PostgresServer>();
    return *instance_;
  }
  void TearDown() override { instance_.reset(); }

 private:
  static inline std::unique_ptr<PostgresServer> instance_;
};

inline auto* const postgresEnvironment = ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);

}  // namespace corvel::test
