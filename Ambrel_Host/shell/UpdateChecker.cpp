#include "Ambrel_Host/shell/UpdateChecker.h"

#include <atomic>
#include <mutex>

#include <curl/curl.h>

#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

auto& log() { return corvel::Log::host("update"); }

// The feed is a few hundred bytes; anything much larger is not the feed.
constexpr std::size_t kMaxFeedBytes = 256 * 1024;

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

struct Download {
  std::string body;
  bool tooLarge = false;
  std::shared_ptr<std::atomic<bool>> stopping;
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

int progress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Download*>(context)->stopping->load() ? 1 : 0;
}

}  // namespace

namespace {

// One GET of the feed, never from a cache, ending after `timeout` at the latest.
UpdateChecker::Outcome fetchFeed(const std::string& url, std::chrono::milliseconds timeout,
                                 const std::optional<std::filesystem::path>& trusted,
                                 std::shared_ptr<std::atomic<bool>> stopping);

}  // namespace

std::shared_ptr<UpdateChecker> UpdateChecker::make(Options options) {
  return std::make_shared<UpdateChecker>(std::move(options));
}

UpdateChecker::UpdateChecker(Options options)
    : options_(std::move(options)), stopping_(std::make_shared<std::atomic<bool>>(false)) {
  // Once per process, before any thread of ours uses libcurl.
  static std::once_flag curlReady;
  std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

UpdateChecker::~UpdateChecker() {
  stopping_->store(true);
  if (fetcher_.joinable()) fetcher_.join();
}

std::int64_t UpdateChecker::skippedBuild() const {
  return options_.defaults ? options_.defaults->integer(dismissedKey) : 0;
}

void UpdateChecker::subscribe(std::function<void(const UpdateStatus&)> observer) {
  observers_.push_back(std::move(observer));
}

void UpdateChecker::check(bool userInitiated) {
  if (running_) {
    userInitiated_ = userInitiated_ || userInitiated;
    return;
  }
  running_ = true;
  userInitiated_ = userInitiated;
  setStatus(UpdateStatus::checking());
  if (fetcher_.joinable()) fetcher_.join();  // the last one has posted its result already
  auto url = options_.feedURL.empty() ? std::string(defaultFeedURL) : options_.feedURL;
  fetcher_ = std::thread([weak = weak_from_this(), executor = options_.executor, url = std::move(url),
                          timeout = options_.timeout, trusted = options_.trustedCertificates,
                          stopping = stopping_] {
    auto outcome = fetchFeed(url, timeout, trusted, stopping);
    boost::asio::post(executor, [weak, outcome = std::move(outcome)]() mutable {
      if (auto self = weak.lock()) self->finish(std::move(outcome));
    });
  });
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
  for (const auto& observer : observers_) {
    boost::asio::post(options_.executor, [observer, status = status_] { observer(status); });
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
                                 const std::optional<std::filesystem::path>& trusted,
                                 std::shared_ptr<std::atomic<bool>> stopping) {
  using Outcome = UpdateChecker::Outcome;
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return Outcome{std::nullopt, "The update check couldn't start."};
  Download download{{}, false, std::move(stopping)};
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
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errors);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &download);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &download);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Ambrel Host update check");
  // Never an answer from a cache on the way.
  curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  if (trusted) curl_easy_setopt(h, CURLOPT_CAINFO, trusted->c_str());

  const CURLcode result = curl_easy_perform(h);
  curl_slist_free_all(headers);
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
