#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace ambrel {

// The curtain on X11: every CRTC's gamma ramp turned to zero, so the monitors show black while
// the framebuffer, which capture reads, keeps the real picture. Before the ramps change they are
// saved in a state file, so they can be put back whatever happens to this process: by itself
// (off(), or when it goes), by the guard process that outlives it, or by the next start.
// Not thread-safe: one owner.
class GammaCurtain {
 public:
  // The ramps of one CRTC, as saved.
  struct Ramp {
    std::uint32_t crtc = 0;
    std::vector<std::uint16_t> red, green, blue;

    friend bool operator==(const Ramp&, const Ramp&) = default;
  };

  // `displayName` empty: $DISPLAY.
  GammaCurtain(std::filesystem::path stateFile, std::string displayName = "");
  ~GammaCurtain();
  GammaCurtain(const GammaCurtain&) = delete;
  GammaCurtain& operator=(const GammaCurtain&) = delete;

  // Saves the ramps and blacks every CRTC out. Nothing when already on.
  [[nodiscard]] std::error_code on();
  // Puts the saved ramps back and removes the state file. Nothing when off.
  void off();
  bool isOn() const { return isOn_; }

  // The file in the runtime folder.
  static std::filesystem::path defaultStateFile();
  // Puts back the ramps a state file holds, on the display it names, and removes it; false when
  // there was no file (or it couldn't be read: it is removed too, it can't help any more).
  static bool restore(const std::filesystem::path& stateFile);

  // Reads every CRTC's ramps (tests read them back with this).
  [[nodiscard]] static std::optional<std::vector<Ramp>> readRamps(const std::string& displayName);

 private:
  std::filesystem::path stateFile_;
  std::string displayName_;
  bool isOn_ = false;
};

}  // namespace ambrel
