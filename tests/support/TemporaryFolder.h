#pragma once

#include <filesystem>

namespace corvel::test {

// A fresh folder under the system's temporary folder, removed with everything in it at the end of
// the test. `TemporaryHome` also points AMBREL_HOME at it for its lifetime, so nothing a test
// writes touches the user's own files.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class TemporaryHome : public TemporaryFolder {
 public:
  TemporaryHome();
  ~TemporaryHome();
};

}  // namespace corvel::test
