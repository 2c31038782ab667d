#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace corvel::test {

// Another program on the desktop, as far as the clipboard goes: it copies text (owns the
// CLIPBOARD selection and hands its text over, in INCR pieces above a size) and pastes (asks the
// owner for UTF8_STRING and takes INCR transfers). Plain Xlib, apart from the host's own code.
class SelectionClient {
 public:
  explicit SelectionClient(const std::string& displayName);
  ~SelectionClient();
  SelectionClient(const SelectionClient&) = delete;
  SelectionClient& operator=(const SelectionClient&) = delete;

  bool isConnected() const;
  // Copies `text`: owns the clipboard until another program takes it.
  void copy(std::string text, std::size_t incrAbove = 64 * 1024);
  // Pastes: the clipboard's text, or nothing when no owner hands any over in time.
  std::optional<std::string> paste(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvel::test
