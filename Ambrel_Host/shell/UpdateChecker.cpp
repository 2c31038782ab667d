#include "Ambrel_Host/shell/UpdateChecker.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include <curl/curl.h>

#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

using namespace std::chrono_literals;

auto& log() { return corvel::Log::host("update"); }

// The feed is a few hundred bytes; anything much larger is not the feed.
constexpr std::size_t kMaxFeedBytes = 256 * 1024;
// How long the checker's end gives a woken fetch to leave libcurl. Once woken it takes moments;
// a fetch stuck in a call that can't be woken is left behind instead.
constexpr auto kWindDown = 250ms;

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlMultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Download {
  std::string body;
  bool tooLarge = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* context) {
  auto& download = *static_cast<Download*>(context);
  const auto bytes = size * count;
  if (download.body.size() + bytes > kMaxFeedBytes) {
    download.tooLarge = true;
    return 0;  // ends the transfer
  }
  download.body.append(data, bytes);
  return bytes;
}

}  // namespace

// What a fetch shares with the checker: whether anyone still wants its result, and how to wake
// it. The fetch's thread owns this (with the address, certificates and executor it was given)
// and nothing else of the checker, so it may outlive the checker.
struct UpdateChecker::Fetch {
  std::mutex mutex;
  std::condition_variable ended;
  bool abandoned = false;  // the checker is gone: post nothing
  bool done = false;       // the thread is out of libcurl
  CURLM* multi = nullptr;  // while the transfer runs, for waking it

  bool isAbandoned() {
    std::lock_guard lock(mutex);
    return abandoned;
  }
  void abandon() {
    std::lock_guard lock(mutex);
    abandoned = true;
    if (multi != nullptr) curl_multi_wakeup(multi);
  }
  void setMulti(CURLM* handle) {
    std::lock_guard lock(mutex);
    multi = handle;
  }
};

namespace {

// One GET of the feed, never from a cache, ending after `timeout` at the latest, or at once when
// the fetch is abandoned.
UpdateChecker::Outcome fetchFeed(const std::string& url, std::chrono::milliseconds timeout,
                                 const std::optional<std::filesystem::path>& trusted, UpdateChecker::Fetch& fetch);

}  // namespace

std::shared_ptr<UpdateChecker> UpdateChecker::make(Options options) {
  return std::make_shared<UpdateChecker>(std::move(options));
}

UpdateChecker::UpdateChecker(Options options) : options_(std::move(options)) {
  // Once per process, before any thread of ours uses libcurl.
  static std::once_flag curlReady;
  std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

UpdateChecker::~UpdateChecker() {
  if (!fetch_) return;
  fetch_->abandon();
  std::unique_lock lock(fetch_->mutex);
  if (!fetch_->ended.wait_for(lock, kWindDown, [this] { return fetch_->done; })) {
    log().info("an update check was still under way; left to end by itself");
  }
}

std::int64_t UpdateChecker::skippedBuild() const {
  return options_.defaults ? options_.defaults->integer(dismissedKey) : 0;
}

int UpdateChecker::subscribe(std::function<void(const UpdateStatus&)> observer) {
  observers_.emplace(nextObserver_, std::move(observer));
  return nextObserver_++;
}

void UpdateChecker::unsubscribe(int token) { observers_.erase(token); }

void UpdateChecker::check(bool userInitiated) {
  if (running_) {
    userInitiated_ = userInitiated_ || userInitiated;
    return;
  }
  running_ = true;
  userInitiated_ = userInitiated;
  setStatus(UpdateStatus::checking());
  // The last fetch has posted its result already; its thread may still be on its way out.
  fetch_ = std::make_shared<Fetch>();
  auto url = options_.feedURL.empty() ? std::string(defaultFeedURL) : options_.feedURL;
  std::thread([fetch = fetch_, weak = weak_from_this(), executor = options_.executor, url = std::move(url),
               timeout = options_.timeout, trusted = options_.trustedCertificates] {
    auto outcome = fetchFeed(url, timeout, trusted, *fetch);
    std::lock_guard lock(fetch->mutex);
    fetch->done = true;
    fetch->ended.notify_all();
    // The executor may be gone with the checker: only while the checker lives is it posted to.
    if (fetch->abandoned) return;
    boost::asio::post(executor, [weak, outcome = std::move(outcome)]() mutable {
      if (auto self = weak.lock()) self->finish(std::move(outcome));
    });
  }).detach();
}

void UpdateChecker::finish(Outcome outcome) {
  running_ = false;
  const bool userInitiated = userInitiated_;
  if (!outcome.release) {
    log().error("update check failed: {}", outcome.error);
    setStatus(UpdateStatus::failed(outcome.error));
    if (userInitiated) show(failureAlert());
    return;
  }
  const auto& release = *outcome.release;
  lastRelease_ = release;
  if (UpdateRelease::installedBuild(options_.installedBuild) >= release.build) {
    setStatus(UpdateStatus::upToDate());
    if (userInitiated) show(upToDateAlert());
    return;
  }
  log().info("Ambrel Host {} (build {}) is available", release.shortVersion, release.build);
  setStatus(UpdateStatus::available(release.shortVersion));
  if (skippedBuild() < release.build || userInitiated) show(updateAlert(release));
}

void UpdateChecker::setStatus(UpdateStatus status) {
  status_ = std::move(status);
  for (const auto& entry : observers_) {
    boost::asio::post(options_.executor, [weak = weak_from_this(), token = entry.first, status = status_] {
      auto self = weak.lock();
      if (!self) return;
      // Unsubscribed meanwhile: no longer told.
      auto it = self->observers_.find(token);
      if (it == self->observers_.end()) return;
      auto observer = it->second;
      observer(status);
    });
  }
}

void UpdateChecker::show(UpdateAlert alert) {
  if (!options_.alert) return;
  boost::asio::post(options_.executor, [show = options_.alert, alert = std::move(alert)] { show(alert); });
}

void UpdateChecker::skip(std::int64_t build) {
  if (options_.defaults) options_.defaults->set(dismissedKey, build);
}

void UpdateChecker::respond(const UpdateAlert& alert, std::size_t button) {
  auto open = [this](const std::string& url) {
    if (!UpdateRelease::isWebAddress(url)) {
      log().warn("the update's address is not a web address; nothing opened");
      return;
    }
    if (options_.openURL) options_.openURL(url);
  };
  switch (alert.kind) {
    case UpdateAlert::Kind::update:
      if (!alert.release) return;
      if (button == 0) {
        open(alert.release->isDirectDownload() ? alert.release->url : std::string(downloadPageURL));
      } else if (button == 2) {
        skip(alert.release->build);
      }
      return;
    case UpdateAlert::Kind::failure:
      if (button == 1) open(std::string(downloadPageURL));
      return;
    case UpdateAlert::Kind::upToDate:
      return;
  }
}

std::string UpdateChecker::installedVersionText() const {
  return options_.installedVersion.empty() ? std::string("–") : options_.installedVersion;
}

UpdateAlert UpdateChecker::updateAlert(const UpdateRelease& release) const {
  const bool direct = release.isDirectDownload();
  UpdateAlert alert;
  alert.kind = UpdateAlert::Kind::update;
  alert.message = "Ambrel Host " + release.shortVersion + " is available";
  alert.informative =
      "You have " + installedVersionText() +
      (direct ? ". Would you like to download the update?"
              : ". A newer build is listed, but the Host disk image is not published on the site, so "
                "this opens the download page instead of a missing file.");
  alert.buttons = {direct ? "Download Update" : "Open Download Page", "Remind Me Later", "Skip This Version"};
  alert.release = release;
  return alert;
}

UpdateAlert UpdateChecker::upToDateAlert() const {
  return {UpdateAlert::Kind::upToDate, "You're up to date",
          "Ambrel Host " + installedVersionText() + " is the latest version.", {"OK"}, std::nullopt};
}

UpdateAlert UpdateChecker::failureAlert() const {
  return {UpdateAlert::Kind::failure, "Couldn't check for updates",
          "Please try again later, or visit " + std::string(downloadPageURL) + ".",
          {"OK", "Open Download Page"}, std::nullopt};
}

namespace {

UpdateChecker::Outcome fetchFeed(const std::string& url, std::chrono::milliseconds timeout,
                                 const std::optional<std::filesystem::path>& trusted, UpdateChecker::Fetch& fetch) {
  using Outcome = UpdateChecker::Outcome;
  const Outcome cannotStart{std::nullopt, "The update check couldn't start."};
  std::unique_ptr<CURLM, CurlMultiDeleter> multi(curl_multi_init());
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!multi || !curl) return cannotStart;
  Download download;
  char errors[CURL_ERROR_SIZE] = {};
  auto* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  // Only the web: no file:, no other schemes, also not by a redirect.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // Ending the transfer doesn't wait for a name lookup still running: its thread finishes alone.
  curl_easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errors);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &download);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Ambrel Host update check");
  // Never an answer from a cache on the way.
  std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, "Cache-Control: no-cache"));
  if (!headers) return cannotStart;
  // Appending returns the same list, or null with the list as it was.
  (void)curl_slist_append(headers.get(), "Pragma: no-cache");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  if (trusted) curl_easy_setopt(h, CURLOPT_CAINFO, trusted->c_str());
  if (curl_multi_add_handle(multi.get(), h) != CURLM_OK) return cannotStart;

  // The transfer, woken at once when the checker abandons it.
  fetch.setMulti(multi.get());
  CURLcode result = CURLE_OK;
  bool finished = false;
  while (!fetch.isAbandoned()) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == h) {
        result = message->data.result;
        finished = true;
      }
    }
    if (finished || running == 0) break;
    if (curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK) break;
  }
  fetch.setMulti(nullptr);
  curl_multi_remove_handle(multi.get(), h);
  if (!finished) return Outcome{std::nullopt, "The update check was stopped."};

  if (download.tooLarge) return Outcome{std::nullopt, "The update information is too large."};
  if (result != CURLE_OK) {
    std::string reason = errors[0] != '\0' ? errors : curl_easy_strerror(result);
    if (result == CURLE_OPERATION_TIMEDOUT) reason = "The request timed out.";
    return Outcome{std::nullopt, reason};
  }
  long code = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
  if (code != 200) {
    return Outcome{std::nullopt, "The server's answer was not usable (HTTP " + std::to_string(code) + ")."};
  }
  auto release = UpdateRelease::decode(download.body);
  if (!release) return Outcome{std::nullopt, release.error()};
  return Outcome{std::move(*release), {}};
}

}  // namespace

}  // namespace ambrel
