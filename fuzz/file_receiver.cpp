// Peers choose every name, size, id and byte of the files they send. A script of offers, chunks
// and ends from the input drives a receiver in a folder of its own: nothing may ever appear
// outside that folder, every entry in it is a completed file under a safe name or the part file
// of a transfer under way, and dropping the transfers leaves only completed files.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "CorvelKit/files/FileReceiver.h"
#include "CorvelKit/files/SafeFileName.h"
#include "CorvelKit/protocol/FileChunk.h"

using namespace corvel;
using namespace corvel::files;
namespace fs = std::filesystem;

namespace {

// The folder above the receiving one, made once and removed at exit (kept alive until then).
const fs::path& base() {
  static const fs::path* path = [] {
    std::string tmpl = (fs::temp_directory_path() / "corvel-fuzz-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    auto* made = new fs::path(tmpl);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(base(), ec);
    });
    return made;
  }();
  return *path;
}

void checkName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.front() == '.' ||
      name.size() > SafeFileName::maximumBytes || name.find('/') != std::string::npos) {
    std::abort();
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) std::abort();
  }
}

UUID slotID(std::uint8_t slot) {
  UUID::Raw raw{};
  raw[15] = slot;
  return UUID(raw);
}

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool more() const { return at < size; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  ByteView take(std::size_t n) {
    n = std::min(n, size - at);
    ByteView out(data + at, n);
    at += n;
    return out;
  }
};

// Every entry is a part file of a live transfer or a safely named file.
void checkFolder(const fs::path& folder, const FileReceiver& receiver, bool transfersAllowed) {
  std::error_code ec;
  for (auto& e : fs::directory_iterator(base(), ec)) {
    if (e.path() != folder) std::abort();
  }
  for (auto& e : fs::directory_iterator(folder, ec)) {
    const auto name = e.path().filename().string();
    if (name.starts_with(".") && name.ends_with(".corvel-part")) {
      auto id = UUID::parse(std::string_view(name).substr(1, 36));
      if (!transfersAllowed || !id || !receiver.has(*id)) std::abort();
      continue;
    }
    checkName(name);
    if (e.is_symlink()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkName(SafeFileName::make(std::string_view(reinterpret_cast<const char*>(data), size)));

  const auto folder = base() / "in";
  {
    FileReceiver receiver(folder);
    Reader in{data, size};
    while (in.more()) {
      switch (in.byte() % 5) {
        case 0: {
          const auto slot = in.byte() % 4;
          const std::int64_t length = in.byte() % 40;
          const auto nameBytes = in.take(in.byte() % 64);
          protocol::FileOffer offer{slotID(slot), std::string(asString(nameBytes)), length, {}};
          (void)receiver.offer(offer);
          break;
        }
        case 1: {
          const auto slot = in.byte() % 4;
          auto payload = protocol::FileChunk::encode(slotID(slot), in.take(in.byte() % 48));
          (void)receiver.chunk(*payload);
          break;
        }
        case 2: {
          const auto slot = in.byte() % 4;
          auto done = receiver.end({slotID(slot), (in.byte() & 1) != 0});
          if (done && *done) {
            if ((*done)->url.parent_path() != folder) std::abort();
            checkName((*done)->url.filename().string());
            if (static_cast<std::int64_t>(fs::file_size((*done)->url)) != (*done)->size) std::abort();
          }
          break;
        }
        case 3:
          (void)receiver.chunk(in.take(in.byte() % 24));
          break;
        default:
          receiver.cancelAll();
          break;
      }
      checkFolder(folder, receiver, true);
    }
    receiver.cancelAll();
    checkFolder(folder, receiver, false);
  }
  std::error_code ec;
  fs::remove_all(folder, ec);
  return 0;
}
