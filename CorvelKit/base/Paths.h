#pragma once

#include <filesystem>

namespace corvel {

// Where the host keeps its files. Setting AMBREL_HOME moves every one of them under that folder
// (the tests always set it); otherwise the XDG base directories decide.
struct Paths {
  // Settings and the local secret store: $AMBREL_HOME/config or $XDG_CONFIG_HOME/ambrel-host.
  static std::filesystem::path configFolder();
  // The host's data (history, certificates, shortcuts, print inbox):
  // $AMBREL_HOME/data or $XDG_DATA_HOME/ambrel-host.
  static std::filesystem::path dataFolder();
  // Received files land here: $AMBREL_HOME/Downloads or the XDG download folder (as
  // `xdg-user-dir DOWNLOAD` finds it).
  static std::filesystem::path downloadsFolder();
  // Scratch files: $AMBREL_HOME/tmp or $TMPDIR (/tmp).
  static std::filesystem::path temporaryFolder();
  // Settings this person's programs share with their extensions (the broadcast target, the
  // widget's computers): $AMBREL_HOME/shared or $XDG_CONFIG_HOME/ambrel-shared.
  static std::filesystem::path sharedFolder();
  // Sockets and other per-login files: $AMBREL_HOME/run or $XDG_RUNTIME_DIR/ambrel-host
  // (/tmp/ambrel-host-UID when no runtime folder is set).
  static std::filesystem::path runtimeFolder();
};

}  // namespace corvel
