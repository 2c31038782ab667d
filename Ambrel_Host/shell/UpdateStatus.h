#pragma once

#include <string>

namespace ambrel {

// Where the update check stands: idle before the first check, checking while one runs, then
// up to date, a newer version available (its short version in `text`) or failed (the reason in
// `text`). Equal when kind and text are.
struct UpdateStatus {
  enum class Kind { idle, checking, upToDate, available, failed };

  Kind kind = Kind::idle;
  std::string text;

  static UpdateStatus idle() { return {}; }
  static UpdateStatus checking() { return {Kind::checking, {}}; }
  static UpdateStatus upToDate() { return {Kind::upToDate, {}}; }
  static UpdateStatus available(std::string version) { return {Kind::available, std::move(version)}; }
  static UpdateStatus failed(std::string reason) { return {Kind::failed, std::move(reason)}; }

  // What the About pane shows: "Checking…", "Up to date", "Check failed", "Version X available",
  // or nothing before the first check.
  std::string summary() const;

  friend bool operator==(const UpdateStatus&, const UpdateStatus&) = default;
};

}  // namespace ambrel
