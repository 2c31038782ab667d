#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <systemd/sd-bus.h>

#include "Ambrel_Host/shell/DBusNotifier.h"
#include "Ambrel_Host/shell/KeepAwake.h"
#include "tests/shell/PrivateBus.h"

// The vtable macros of sd-bus are written for C.
#pragma clang diagnostic ignored "-Wc99-extensions"
#pragma clang diagnostic ignored "-Wmissing-field-initializers"

namespace ambrel {
namespace {

struct Notification {
  std::string app, icon, summary, body;
  std::uint32_t replaces = 99;
  std::vector<std::string> actions;
};

// A notification server that records what it is shown. With `click`, it shows actions, and the
// person at it chooses that action of every notification that offers one, at once.
class FakeNotificationServer {
 public:
  explicit FakeNotificationServer(const std::string& address, std::optional<std::string> click = std::nullopt)
      : click_(std::move(click)), service_(address, "org.freedesktop.Notifications", [this](sd_bus* bus) {
          sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications",
                                   "org.freedesktop.Notifications", vtable, this);
        }) {}

  std::vector<Notification> shown() {
    std::lock_guard lock(mutex_);
    return shown_;
  }

 private:
  static int notify(sd_bus_message* m, void* self, sd_bus_error*) {
    const char *app, *icon, *summary, *body;
    std::uint32_t replaces = 0;
    int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
    if (r < 0) return r;
    std::vector<std::string> actions;
    if ((r = sd_bus_message_enter_container(m, 'a', "s")) < 0) return r;
    const char* action = nullptr;
    while (sd_bus_message_read(m, "s", &action) > 0) actions.emplace_back(action);
    auto* server = static_cast<FakeNotificationServer*>(self);
    std::uint32_t id = 0;
    {
      std::lock_guard lock(server->mutex_);
      server->shown_.push_back({app, icon, summary, body, replaces, actions});
      id = static_cast<std::uint32_t>(server->shown_.size()) + 6;
    }
    r = sd_bus_reply_method_return(m, "u", id);
    if (r >= 0 && server->click_ && !actions.empty()) {
      sd_bus_emit_signal(sd_bus_message_get_bus(m), "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", "ActionInvoked", "us", id, server->click_->c_str());
    }
    return r;
  }
  static int capabilities(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* server = static_cast<FakeNotificationServer*>(self);
    if (server->click_) return sd_bus_reply_method_return(m, "as", 2, "body", "actions");
    return sd_bus_reply_method_return(m, "as", 1, "body");
  }

  static constexpr sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("GetCapabilities", "", "as", capabilities, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};

  const std::optional<std::string> click_;
  std::mutex mutex_;
  std::vector<Notification> shown_;
  test::BusService service_;  // last: it serves until it is destroyed
};

// A logind that hands out the write end of a pipe for every inhibitor.
class FakeLogind {
 public:
  explicit FakeLogind(const std::string& address)
      : service_(address, "org.freedesktop.login1", [this](sd_bus* bus) {
          sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                                   "org.freedesktop.login1.Manager", vtable, this);
        }) {}
  ~FakeLogind() {
    for (int fd : readEnds_) ::close(fd);
  }

  struct Request {
    std::string what, who, why, mode;
    int readEnd;
  };
  std::vector<Request> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // True when every holder of the inhibitor's descriptor has closed it.
  static bool released(int readEnd) {
    pollfd p{readEnd, POLLIN, 0};
    return ::poll(&p, 1, 2000) == 1 && (p.revents & POLLHUP);
  }

 private:
  static int inhibit(sd_bus_message* m, void* self, sd_bus_error*) {
    const char *what, *who, *why, *mode;
    int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
    if (r < 0) return r;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -errno;
    auto* logind = static_cast<FakeLogind*>(self);
    {
      std::lock_guard lock(logind->mutex_);
      logind->requests_.push_back({what, who, why, mode, ends[0]});
      logind->readEnds_.push_back(ends[0]);
    }
    r = sd_bus_reply_method_return(m, "h", ends[1]);  // the reply keeps its own copy
    ::close(ends[1]);
    return r;
  }

  static constexpr sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "ssss", "h", inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};

  std::mutex mutex_;
  std::vector<Request> requests_;
  std::vector<int> readEnds_;
  test::BusService service_;
};

class DesktopBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::PrivateBus::available()) GTEST_SKIP() << "dbus-daemon is not installed";
    bus = std::make_unique<test::PrivateBus>();
  }
  std::unique_ptr<test::PrivateBus> bus;
};

TEST_F(DesktopBusTest, NotificationReachesTheServerWithTitleAndBody) {
  FakeNotificationServer server(bus->address());
  DBusNotifier notifier(bus->address());
  notifier.post("New Access Code", "Requested from Anna's Phone");
  notifier.post("Lock Screen", "Requested from \u201CStudio\u201D");
  notifier.flush();

  auto shown = server.shown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].app, "Ambrel Host");
  EXPECT_EQ(shown[0].summary, "New Access Code");
  EXPECT_EQ(shown[0].body, "Requested from Anna's Phone");
  EXPECT_EQ(shown[0].replaces, 0u);  // always a new notification
  EXPECT_EQ(shown[1].body, "Requested from \u201CStudio\u201D");
  EXPECT_EQ(notifier.delivered(), 2);
}

// A received file's notification offers to open it where the server shows actions.
TEST_F(DesktopBusTest, FileNotificationsOpenTheFileWhenChosen) {
  std::mutex mutex;
  std::vector<std::string> opened;
  auto opener = [&](const std::filesystem::path& file) {
    std::lock_guard lock(mutex);
    opened.push_back(file.string());
  };
  {
    FakeNotificationServer server(bus->address(), "open");
    DBusNotifier notifier(bus->address(), opener);
    notifier.postFile("Received report.pdf", "From Phone · saved to Downloads › Ambrel", "/downloads/report.pdf");
    notifier.post("Plain", "No file");
    notifier.flush();
    auto shown = server.shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].actions, (std::vector<std::string>{"default", "Open", "open", "Open"}));
    EXPECT_TRUE(shown[1].actions.empty());
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard lock(mutex);
        if (!opened.empty()) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(opened, std::vector<std::string>{"/downloads/report.pdf"});
  }
  {
    // A server without actions shows the notification plain.
    FakeNotificationServer server(bus->address());
    DBusNotifier notifier(bus->address(), opener);
    notifier.postFile("Received a", "From Phone", "/downloads/a");
    notifier.flush();
    ASSERT_EQ(server.shown().size(), 1u);
    EXPECT_TRUE(server.shown()[0].actions.empty());
  }
}

TEST_F(DesktopBusTest, NotificationWithoutAServerOrBusGoesToTheLog) {
  DBusNotifier noServer(bus->address());  // a bus, but nobody owns the name
  noServer.post("Title", "Body");
  noServer.flush();
  EXPECT_EQ(noServer.delivered(), 0);

  DBusNotifier noBus("unix:path=/nonexistent/bus");
  noBus.post("Title", "Body");
  noBus.post("Title", "Body");
  noBus.flush();
  EXPECT_EQ(noBus.delivered(), 0);

  // A server that turns up later is used.
  FakeNotificationServer server(bus->address());
  noServer.post("Later", "Body");
  noServer.flush();
  EXPECT_EQ(noServer.delivered(), 1);
  ASSERT_EQ(server.shown().size(), 1u);
  EXPECT_EQ(server.shown()[0].summary, "Later");
}

TEST_F(DesktopBusTest, KeepAwakeHoldsOneInhibitorUntilItEnds) {
  FakeLogind logind(bus->address());
  {
    KeepAwake awake(bus->address());
    awake.begin();
    awake.begin();
    EXPECT_TRUE(awake.flush());
    auto requests = logind.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].what, "idle:sleep");
    EXPECT_EQ(requests[0].who, "Ambrel Host");
    EXPECT_EQ(requests[0].why, "Ambrel remote session");
    EXPECT_EQ(requests[0].mode, "block");
    pollfd p{requests[0].readEnd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);  // still held

    awake.end();
    EXPECT_FALSE(awake.flush());
    EXPECT_TRUE(FakeLogind::released(requests[0].readEnd));

    awake.begin();  // a new session takes a new one
    EXPECT_TRUE(awake.flush());
    ASSERT_EQ(logind.requests().size(), 2u);
  }
  // Destroying it lets go as well.
  EXPECT_TRUE(FakeLogind::released(logind.requests()[1].readEnd));
}

TEST(KeepAwake, WithoutABusItDoesNothing) {
  KeepAwake awake("unix:path=/nonexistent/bus");
  awake.begin();
  EXPECT_FALSE(awake.flush());
  awake.begin();
  awake.end();
  EXPECT_FALSE(awake.flush());
}

}  // namespace
}  // namespace ambrel
