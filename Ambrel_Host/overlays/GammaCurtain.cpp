#include "Ambrel_Host/overlays/GammaCurtain.h"

#include <cstdlib>
#include <fstream>

#include <fcntl.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <nlohmann/json.hpp>

#include "Ambrel_Host/capture/XcbHandles.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"

namespace ambrel {

namespace fs = std::filesystem;

namespace {

auto& log() { return corvel::Log::host("overlays"); }

std::string resolvedDisplay(const std::string& name) {
  if (!name.empty()) return name;
  const char* env = std::getenv("DISPLAY");
  return env != nullptr ? env : "";
}

std::optional<std::vector<GammaCurtain::Ramp>> read(xcb_connection_t* c, std::uint32_t root) {
  XcbReply<xcb_randr_get_screen_resources_current_reply_t> resources(xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, root), nullptr));
  if (!resources) return std::nullopt;
  const auto* crtcs = xcb_randr_get_screen_resources_current_crtcs(resources.get());
  const int count = xcb_randr_get_screen_resources_current_crtcs_length(resources.get());
  std::vector<GammaCurtain::Ramp> ramps;
  for (int i = 0; i < count; ++i) {
    XcbReply<xcb_randr_get_crtc_gamma_reply_t> gamma(
        xcb_randr_get_crtc_gamma_reply(c, xcb_randr_get_crtc_gamma(c, crtcs[i]), nullptr));
    if (!gamma || gamma->size == 0) continue;  // a CRTC without a ramp
    const auto* r = xcb_randr_get_crtc_gamma_red(gamma.get());
    const auto* g = xcb_randr_get_crtc_gamma_green(gamma.get());
    const auto* b = xcb_randr_get_crtc_gamma_blue(gamma.get());
    GammaCurtain::Ramp ramp;
    ramp.crtc = crtcs[i];
    ramp.red.assign(r, r + gamma->size);
    ramp.green.assign(g, g + gamma->size);
    ramp.blue.assign(b, b + gamma->size);
    ramps.push_back(std::move(ramp));
  }
  return ramps;
}

bool write(xcb_connection_t* c, const GammaCurtain::Ramp& ramp) {
  const auto size = static_cast<std::uint16_t>(ramp.red.size());
  if (ramp.green.size() != size || ramp.blue.size() != size) return false;
  XcbReply<xcb_generic_error_t> error(xcb_request_check(
      c, xcb_randr_set_crtc_gamma_checked(c, ramp.crtc, size, ramp.red.data(), ramp.green.data(),
                                          ramp.blue.data())));
  return !error;
}

// Written whole to a new file, flushed to the disk and then moved into place: a crash leaves
// either no file or a complete one.
bool save(const fs::path& file, const std::string& display, const std::vector<GammaCurtain::Ramp>& ramps) {
  nlohmann::json doc;
  doc["display"] = display;
  auto& list = doc["crtcs"] = nlohmann::json::array();
  for (const auto& r : ramps) list.push_back({{"crtc", r.crtc}, {"red", r.red}, {"green", r.green}, {"blue", r.blue}});
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  const auto partial = fs::path(file.string() + ".part");
  {
    std::ofstream out(partial, std::ios::trunc);
    out << doc.dump();
    if (!out.flush()) return false;
  }
  if (int fd = ::open(partial.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
    (void)::fsync(fd);
    ::close(fd);
  }
  fs::rename(partial, file, ec);
  return !ec;
}

}  // namespace

GammaCurtain::GammaCurtain(fs::path stateFile, std::string displayName)
    : stateFile_(std::move(stateFile)), displayName_(resolvedDisplay(displayName)) {}

GammaCurtain::~GammaCurtain() { off(); }

fs::path GammaCurtain::defaultStateFile() { return corvel::Paths::runtimeFolder() / "curtain.json"; }

std::optional<std::vector<GammaCurtain::Ramp>> GammaCurtain::readRamps(const std::string& displayName) {
  auto screen = connectToX(resolvedDisplay(displayName));
  if (!screen) return std::nullopt;
  return read(screen->connection.get(), screen->root);
}

std::error_code GammaCurtain::on() {
  if (isOn_) return {};
  auto screen = connectToX(displayName_);
  if (!screen) return screen.error();
  auto* c = screen->connection.get();
  auto ramps = read(c, screen->root);
  if (!ramps) return std::make_error_code(std::errc::io_error);
  if (ramps->empty()) return std::make_error_code(std::errc::not_supported);
  // A state file still here is from a run that ended with the curtain on: those are the real
  // ramps, not the black ones the screens may show now.
  restore(stateFile_);
  ramps = read(c, screen->root);
  if (!ramps || !save(stateFile_, displayName_, *ramps)) return std::make_error_code(std::errc::io_error);
  isOn_ = true;
  int blacked = 0;
  for (const auto& r : *ramps) {
    Ramp black{r.crtc, std::vector<std::uint16_t>(r.red.size(), 0), std::vector<std::uint16_t>(r.red.size(), 0),
               std::vector<std::uint16_t>(r.red.size(), 0)};
    if (write(c, black)) ++blacked;
  }
  log().info("curtain on: {} of {} CRTCs black", blacked, ramps->size());
  if (blacked == 0) {
    off();
    return std::make_error_code(std::errc::not_supported);
  }
  return {};
}

void GammaCurtain::off() {
  if (!isOn_) return;
  isOn_ = false;
  restore(stateFile_);
  log().info("curtain off");
}

bool GammaCurtain::restore(const fs::path& stateFile) {
  std::ifstream in(stateFile);
  if (!in) return false;
  auto doc = nlohmann::json::parse(in, nullptr, false);
  in.close();
  std::error_code ec;
  auto removeFile = [&] { fs::remove(stateFile, ec); };
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("display") || !doc["display"].is_string() ||
      !doc.contains("crtcs") || !doc["crtcs"].is_array()) {
    log().warn("curtain state file unreadable; removed");
    removeFile();
    return false;
  }
  auto screen = connectToX(doc["display"].get<std::string>());
  if (!screen) {
    // That display is gone, and its ramps with it.
    removeFile();
    return true;
  }
  for (const auto& item : doc["crtcs"]) {
    try {
      Ramp r{item.at("crtc").get<std::uint32_t>(), item.at("red").get<std::vector<std::uint16_t>>(),
             item.at("green").get<std::vector<std::uint16_t>>(), item.at("blue").get<std::vector<std::uint16_t>>()};
      if (!write(screen->connection.get(), r)) log().warn("couldn't restore the gamma of CRTC {}", r.crtc);
    } catch (const nlohmann::json::exception&) {
      log().warn("curtain state file holds a bad entry; skipped");
    }
  }
  xcb_flush(screen->connection.get());
  removeFile();
  return true;
}

}  // namespace ambrel
