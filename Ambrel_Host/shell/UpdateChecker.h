#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Ambrel_Host/shell/UpdateAlert.h"
#include "Ambrel_Host/shell/UpdateRelease.h"
#include "Ambrel_Host/shell/UpdateStatus.h"
#include "CorvelKit/base/Executors.h"

namespace corvel {
class Defaults;
}

namespace ambrel {

// Looks for a newer build in the maker's JSON feed, tells the person about it and remembers one
// build they chose to skip. It never downloads or starts anything itself: the most it does is
// hand a web address to the desktop's browser when asked to.
//
// Lives on one executor (the controller's): check(), respond() and the observers run there. The
// fetch runs on a thread of its own and its result comes back by a post. A fetch still under way
// when the checker goes is abandoned, not waited for: the program can quit while a name server
// keeps it waiting.
class UpdateChecker : public std::enable_shared_from_this<UpdateChecker> {
 public:
  struct Options {
    corvel::Executor executor;
    std::shared_ptr<corvel::Defaults> defaults;  // holds the skipped build
    std::string feedURL = std::string(defaultFeedURL);
    std::string installedVersion;  // the short version shown to people ("–" when empty)
    std::string installedBuild;    // a decimal number; anything else reads as 0
    std::chrono::milliseconds timeout{15000};
    // Certificates to trust instead of the system's (tests with a server of their own).
    std::optional<std::filesystem::path> trustedCertificates;
    // Shows a modal alert (the desktop interface); without it nothing is shown.
    std::function<void(const UpdateAlert&)> alert;
    // Opens a web address in the desktop's browser.
    std::function<void(const std::string&)> openURL;
  };

  static constexpr std::string_view defaultFeedURL = "https://updates.pinebay.net/ambrel-host/linux/feed.json";
  static constexpr std::string_view downloadPageURL = "https://pinebay.net/ambrel/download";
  // Defaults key of the build the person chose to skip (0 or absent: none).
  static constexpr std::string_view dismissedKey = "update.dismissedBuild";

  static std::shared_ptr<UpdateChecker> make(Options options);
  // Abandons a fetch under way: nothing of it reaches the executor afterwards.
  ~UpdateChecker();
  UpdateChecker(const UpdateChecker&) = delete;
  UpdateChecker& operator=(const UpdateChecker&) = delete;

  const UpdateStatus& status() const { return status_; }
  // The release the last successful check found, newer or not.
  const std::optional<UpdateRelease>& lastRelease() const { return lastRelease_; }
  std::int64_t skippedBuild() const;
  // The feed the next check reads (a setting the person may change while the host runs).
  void setFeedURL(std::string url) { options_.feedURL = std::move(url); }

  // Starts a check unless one is under way (then a user-initiated request makes the running one
  // user-initiated). Automatic checks say nothing about a build that was skipped, nor about being
  // up to date or failing.
  void check(bool userInitiated);
  // The person's answer to an alert this checker showed: the index of the chosen button.
  void respond(const UpdateAlert& alert, std::size_t button);
  // Skips `build`: automatic checks keep quiet about it (and any older one).
  void skip(std::int64_t build);

  // Called (posted, on the executor) with every change of status; returns a token for
  // unsubscribe().
  int subscribe(std::function<void(const UpdateStatus&)> observer);
  void unsubscribe(int token);
  // Replaces the alert shower of the options (the desktop interface comes after the checker);
  // an empty one shows nothing.
  void setAlert(std::function<void(const UpdateAlert&)> alert) { options_.alert = std::move(alert); }

  explicit UpdateChecker(Options options);

  // What one fetch of the feed gave: the release, or why there is none.
  struct Outcome {
    std::optional<UpdateRelease> release;
    std::string error;
  };

  // One fetch of the feed as its thread and the checker share it (the checker's own).
  struct Fetch;

 private:
  void finish(Outcome outcome);
  void setStatus(UpdateStatus status);
  void show(UpdateAlert alert);
  UpdateAlert updateAlert(const UpdateRelease& release) const;
  UpdateAlert upToDateAlert() const;
  UpdateAlert failureAlert() const;
  std::string installedVersionText() const;

  Options options_;
  UpdateStatus status_;
  std::optional<UpdateRelease> lastRelease_;
  bool running_ = false;
  bool userInitiated_ = false;
  std::map<int, std::function<void(const UpdateStatus&)>> observers_;
  int nextObserver_ = 0;
  // The fetch under way; shared with its thread, which holds nothing else of the checker.
  std::shared_ptr<Fetch> fetch_;
};

}  // namespace ambrel
