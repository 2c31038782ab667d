#include "tests/support/TemporaryFolder.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace corvel::test {

TemporaryFolder::TemporaryFolder() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "corvel-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TemporaryHome::TemporaryHome() { ::setenv("AMBREL_HOME", path().c_str(), 1); }

TemporaryHome::~TemporaryHome() { ::unsetenv("AMBREL_HOME"); }

}  // namespace corvel::test
