#include <gtest/gtest.h>

#include <fstream>

#include "Ambrel_Host/controller/HostStatusSource.h"
#include "Ambrel_Host/controller/SlowDiskCache.h"
#include "CorvelKit/base/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A fake sysfs/procfs tree in a temporary folder.
class FakeSystem {
 public:
  const fs::path& root() const { return folder_.path(); }
  void write(const fs::path& relative, const std::string& text) const {
    auto p = root() / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }

 private:
  corvel::test::TemporaryFolder folder_;
};

class HostStatusSourceTest : public ::testing::Test {
 protected:
  FakeSystem system;
  std::shared_ptr<corvel::ManualClock> clock = std::make_shared<corvel::ManualClock>();
  int diskReads = 0;
  std::optional<SlowDiskCache::Space> diskAnswer = SlowDiskCache::Space{1000, 5000};
  SlowDiskCache disk{clock, "/", [this](const fs::path&) {
                       ++diskReads;
                       return diskAnswer;
                     }};
  std::optional<std::string> mac = "52:54:00:12:34:56";
  HostStatusSource source{disk, system.root(), [this] { return mac; }};
};

TEST_F(HostStatusSourceTest, FullStatusFromAFakeMachine) {
  system.write("sys/class/dmi/id/product_name", "ThinkPad X1 Carbon Gen 11\n");
  system.write("etc/os-release",
               "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n");
  system.write("proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
  system.write("proc/uptime", "12345.67 40000.00\n");
  system.write("proc/meminfo", "MemTotal:       16303516 kB\nMemFree:          123 kB\n");
  system.write("sys/class/power_supply/AC/type", "Mains\n");
  system.write("sys/class/power_supply/BAT0/type", "Battery\n");
  system.write("sys/class/power_supply/BAT0/energy_now", "40000000\n");
  system.write("sys/class/power_supply/BAT0/energy_full", "57000000\n");
  system.write("sys/class/power_supply/BAT0/status", "Charging\n");
  system.write("sys/class/thermal/thermal_zone0/temp", "45000\n");
  system.write("sys/class/thermal/thermal_zone1/temp", "71000\n");

  auto status = source.makeHostStatus();
  EXPECT_EQ(status.model, "ThinkPad X1 Carbon Gen 11");
  EXPECT_EQ(status.osVersion, "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64");
  EXPECT_DOUBLE_EQ(status.uptimeSeconds, 12345.67);
  EXPECT_EQ(status.batteryPercent, 70);  // 40000000 * 100 / 57000000, rounded down
  EXPECT_EQ(status.isCharging, true);
  EXPECT_EQ(status.diskFreeBytes, 1000);
  EXPECT_EQ(status.diskTotalBytes, 5000);
  EXPECT_EQ(status.thermalState, "fair");  // the hottest zone counts
  EXPECT_DOUBLE_EQ(status.memoryGB, 16303516.0 / (1024 * 1024));
  EXPECT_EQ(status.macAddress, "52:54:00:12:34:56");
}

TEST_F(HostStatusSourceTest, BareMachineSendsNoneRatherThanZero) {
  diskAnswer.reset();
  mac = "00:00:00:00:00:00";
  auto status = source.makeHostStatus();
  EXPECT_EQ(status.model, "Linux");
  EXPECT_EQ(status.osVersion, "Linux");
  EXPECT_FALSE(status.batteryPercent);
  EXPECT_FALSE(status.isCharging);
  EXPECT_FALSE(status.diskFreeBytes);
  EXPECT_FALSE(status.diskTotalBytes);
  EXPECT_EQ(status.thermalState, "unknown");
  EXPECT_FALSE(status.macAddress);
}

TEST_F(HostStatusSourceTest, ModelFallsBackThroughTheDMIFields) {
  struct Case {
    std::map<std::string, std::string> files;
    const char* model;
  };
  const Case cases[] = {
      {{{"product_name", "OptiPlex 7090"}, {"board_name", "0K6CP"}}, "OptiPlex 7090"},
      {{{"product_name", "To Be Filled By O.E.M."}, {"product_family", "NUC"}}, "NUC"},
      {{{"product_name", "  \n"}, {"board_name", "X570 AORUS"}}, "X570 AORUS"},
      {{{"product_name", "Default string"}, {"board_name", "Default string"}}, "Linux"},
  };
  for (const auto& c : cases) {
    FakeSystem fake;
    for (const auto& [name, text] : c.files) fake.write("sys/class/dmi/id/" + name, text);
    EXPECT_EQ(HostStatusSource(disk, fake.root(), nullptr).model(), c.model);
  }
}

TEST_F(HostStatusSourceTest, OSVersionReadsQuotedAndBareValues) {
  struct Case {
    const char* osRelease;
    const char* expected;
  };
  const Case cases[] = {
      {"PRETTY_NAME='Arch Linux'\n", "Arch Linux, kernel 6.9"},
      {"PRETTY_NAME=Gentoo\n", "Gentoo, kernel 6.9"},
      {"PRETTY_NAME=\"Say \\\"hi\\\"\"\n", "Say \"hi\", kernel 6.9"},
      {"NAME=\"Fedora Linux\"\n", "Fedora Linux, kernel 6.9"},
      {"PRETTY_NAME_EXTRA=x\n", "Linux, kernel 6.9"},
  };
  for (const auto& c : cases) {
    FakeSystem fake;
    fake.write("usr/lib/os-release", c.osRelease);
    fake.write("proc/sys/kernel/osrelease", "6.9\n");
    EXPECT_EQ(HostStatusSource(disk, fake.root(), nullptr).osVersion(), c.expected);
  }
}

TEST_F(HostStatusSourceTest, BatteryArithmetic) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;  // under power_supply/
    std::optional<std::int64_t> percent;
    bool charging;
  };
  const Case cases[] = {
      {"energy", {{"BAT0/type", "Battery"}, {"BAT0/energy_now", "999"}, {"BAT0/energy_full", "1000"},
                  {"BAT0/status", "Discharging"}}, 99, false},
      {"charge", {{"BAT0/type", "Battery"}, {"BAT0/charge_now", "2500000"},
                  {"BAT0/charge_full", "5000000"}, {"BAT0/status", "Charging"}}, 50, true},
      {"full is zero", {{"BAT0/type", "Battery"}, {"BAT0/energy_now", "500"},
                        {"BAT0/energy_full", "0"}}, 0, false},
      {"capacity only", {{"BAT1/type", "Battery"}, {"BAT1/capacity", "83"},
                         {"BAT1/status", "Full"}}, 83, false},
      {"above full", {{"BAT0/type", "Battery"}, {"BAT0/energy_now", "1050"},
                      {"BAT0/energy_full", "1000"}}, 100, false},
      {"device battery only", {{"hidpp_battery_0/type", "Battery"},
                               {"hidpp_battery_0/scope", "Device"},
                               {"hidpp_battery_0/capacity", "40"}}, std::nullopt, false},
      {"mains only", {{"AC/type", "Mains"}, {"AC/online", "1"}}, std::nullopt, false},
      {"first system battery wins",
       {{"BAT0/type", "Battery"}, {"BAT0/capacity", "10"}, {"BAT1/type", "Battery"},
        {"BAT1/capacity", "90"}, {"a_mouse/type", "Battery"}, {"a_mouse/scope", "Device"},
        {"a_mouse/capacity", "55"}}, 10, false},
      {"bay without a battery", {{"BAT0/type", "Battery"}, {"BAT0/present", "0"},
                                 {"BAT1/type", "Battery"}, {"BAT1/capacity", "64"}}, 64, false},
      {"unreadable numbers", {{"BAT0/type", "Battery"}, {"BAT0/energy_now", "lots"},
                              {"BAT0/energy_full", "1000"}}, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem fake;
    for (const auto& [name, text] : c.files) fake.write("sys/class/power_supply/" + name, text + "\n");
    auto battery = HostStatusSource(disk, fake.root(), nullptr).battery();
    ASSERT_EQ(battery.has_value(), c.percent.has_value());
    if (!battery) continue;
    EXPECT_EQ(battery->percent, *c.percent);
    EXPECT_EQ(battery->isCharging, c.charging);
  }
}

TEST_F(HostStatusSourceTest, ThermalStateFromTheHottestZone) {
  struct Case {
    std::vector<std::string> temps;
    const char* state;
  };
  const Case cases[] = {
      {{}, "unknown"},
      {{"69999"}, "nominal"},
      {{"70000"}, "fair"},
      {{"84999", "30000"}, "fair"},
      {{"85000"}, "serious"},
      {{"30000", "95000"}, "critical"},
      {{"0", "-5000", "garbage"}, "unknown"},  // sensors that are off
      {{"40000", "0"}, "nominal"},
  };
  for (const auto& c : cases) {
    FakeSystem fake;
    fake.write("sys/class/thermal/cooling_device0/cur_state", "99000\n");
    for (std::size_t i = 0; i < c.temps.size(); ++i) {
      fake.write("sys/class/thermal/thermal_zone" + std::to_string(i) + "/temp", c.temps[i] + "\n");
    }
    EXPECT_EQ(HostStatusSource(disk, fake.root(), nullptr).thermalState(), c.state);
  }
}

TEST_F(HostStatusSourceTest, DiskIsReadOncePerMinuteAndFailuresAreRetried) {
  EXPECT_EQ(disk.read(), (SlowDiskCache::Space{1000, 5000}));
  diskAnswer = SlowDiskCache::Space{7, 8};
  clock->advance(59s);
  EXPECT_EQ(disk.read(), (SlowDiskCache::Space{1000, 5000}));
  EXPECT_EQ(diskReads, 1);
  clock->advance(1s);
  EXPECT_EQ(disk.read(), (SlowDiskCache::Space{7, 8}));
  EXPECT_EQ(diskReads, 2);

  clock->advance(60s);
  diskAnswer.reset();
  EXPECT_FALSE(disk.read());
  diskAnswer = SlowDiskCache::Space{9, 10};
  EXPECT_EQ(disk.read(), (SlowDiskCache::Space{9, 10}));  // a failure is not kept
  EXPECT_EQ(diskReads, 4);
}

TEST(HostStatusLive, ThisMachineGivesPlausibleValues) {
  SlowDiskCache disk(corvel::Clock::system());
  auto status = HostStatusSource(disk).makeHostStatus();
  EXPECT_FALSE(status.model.empty());
  EXPECT_NE(status.osVersion.find("kernel "), std::string::npos);
  EXPECT_GT(status.uptimeSeconds, 0);
  EXPECT_GT(status.memoryGB, 0);
  ASSERT_TRUE(status.diskTotalBytes);
  EXPECT_GT(*status.diskTotalBytes, 0);
  EXPECT_LE(*status.diskFreeBytes, *status.diskTotalBytes);
}

}  // namespace
}  // namespace ambrel
