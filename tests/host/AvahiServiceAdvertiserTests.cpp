#include <gtest/gtest.h>

#include "Ambrel_Host/reach/AvahiServiceAdvertiser.h"
#include "Ambrel_Host/reach/ComputerName.h"

namespace ambrel {
namespace {

// Whether or not a daemon runs here, advertising must never fail the host: without one the
// advertiser waits for it quietly.
TEST(AvahiServiceAdvertiser, AdvertisesAndWithdrawsWithOrWithoutADaemon) {
  auto advertiser = ServiceAdvertiser::create();
  advertiser->advertise("Test Host", "_corvel._tcp", 5895);
  advertiser->advertise("Test Host 2", "_corvel._tcp", 5895);  // replaces the first
  advertiser->stop();
  advertiser->stop();
  advertiser.reset();
}

TEST(ComputerName, IsNeverEmpty) { EXPECT_FALSE(computerName().empty()); }

}  // namespace
}  // namespace ambrel
