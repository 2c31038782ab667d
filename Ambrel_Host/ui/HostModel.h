#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Ambrel_Host/controller/ClientAdmission.h"
#include "Ambrel_Host/shell/UpdateAlert.h"
#include "Ambrel_Host/ui/HostSnapshot.h"
#include "CorvelKit/base/Executors.h"

class QObject;

namespace ambrel {

class HostController;
class SessionHistory;
class UpdateChecker;

// The views' side of the host controller. It holds the latest snapshot of the controller's state
// on the interface thread, tells the views when a new one arrives, and posts every change a view
// makes to the controller's executor. Interface thread only.
class HostModel {
 public:
  // `history` (may be null) is the record the History pane shows; `updates` (may be null) the
  // host's update check, on the same executor, whose status comes with the snapshots and whose
  // alerts go to the update alert handler.
  HostModel(std::weak_ptr<HostController> host, corvel::Executor executor,
            std::shared_ptr<SessionHistory> history, std::weak_ptr<UpdateChecker> updates = {});
  ~HostModel();
  HostModel(const HostModel&) = delete;
  HostModel& operator=(const HostModel&) = delete;

  const HostSnapshot& snapshot() const { return snapshot_; }
  // Whether a snapshot has arrived yet.
  bool ready() const { return ready_; }

  // Called after every new snapshot; returns a token for removeListener().
  int addListener(std::function<void()> listener);
  void removeListener(int token);

  // Runs `work` on the controller's executor while the controller lives.
  void perform(std::function<void(HostController&)> work);

  // The operations the views call.
  void set(Setting setting, SettingValue value);
  void setLaunchAtLogin(bool on);
  void regenerateAccessCode();
  void setCanControl(const corvel::UUID& client, bool on);
  void disconnect(const corvel::UUID& client);
  void answer(const corvel::UUID& client, ApprovalAnswer answer);
  void startSupport();
  void endSupport();
  void sendChat(std::string text);
  void markChatRead();
  void sendFiles(std::vector<std::filesystem::path> files);
  void forgetTrustedDevice(std::string id);
  // Sessions still open stay listed.
  void clearHistory();

  // Whether the host checks for updates at all.
  bool checksForUpdates() const { return checksForUpdates_; }
  // "Check for Updates…": a check the person asked for, which answers with an alert.
  void checkForUpdates();
  // Shows the update check's alerts; the person's choice goes to answerUpdate(). Alerts that
  // come while there is none are not shown.
  void setUpdateAlertHandler(std::function<void(const UpdateAlert&)> handler);
  void answerUpdate(UpdateAlert alert, std::size_t button);

 private:
  struct Link;
  struct Mailbox;

  void accept(HostSnapshot snapshot);
  void acceptUpdateAlert(const UpdateAlert& alert);

  std::unique_ptr<QObject> receiver_;  // delivers snapshots on this thread
  std::shared_ptr<Mailbox> mailbox_;
  std::shared_ptr<Link> link_;  // the controller's side; touched on its executor only
  HostSnapshot snapshot_;
  bool ready_ = false;
  std::map<int, std::function<void()>> listeners_;
  std::function<void(const UpdateAlert&)> updateAlertHandler_;
  bool checksForUpdates_ = false;
  int nextToken_ = 0;
};

}  // namespace ambrel
