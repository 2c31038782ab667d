#include "CorvelKit/diagnostics/CrashHandler.h"

#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "CorvelKit/base/UUID.h"
#include "CorvelKit/diagnostics/CivilTime.h"

namespace corvel::diagnostics {

namespace {

constexpr std::array kSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP};
constexpr int kMaxFrames = 64;

// What the handler reads: fixed-size, filled before any signal can arrive.
struct Prepared {
  char folder[1024] = {};
  char app[128] = {};
  char version[128] = {};
  char buildID[80] = {};
  char suffix[8] = {};  // the random part of the file name
  std::uintptr_t imageBase = 0;
  std::uintptr_t imageStart = 0;
  std::uintptr_t imageEnd = 0;
};
Prepared prepared;
volatile sig_atomic_t handling = 0;

struct ImageInfo {
  std::string buildID;
  std::uintptr_t base = 0, start = 0, end = 0;
};

ImageInfo readImage() {
  ImageInfo info;
  // The first object dl_iterate_phdr reports is the program itself.
  dl_iterate_phdr(
      [](dl_phdr_info* object, std::size_t, void* context) -> int {
        auto& out = *static_cast<ImageInfo*>(context);
        out.base = object->dlpi_addr;
        out.start = UINTPTR_MAX;
        for (int i = 0; i < object->dlpi_phnum; ++i) {
          const auto& header = object->dlpi_phdr[i];
          if (header.p_type == PT_LOAD) {
            out.start = std::min<std::uintptr_t>(out.start, object->dlpi_addr + header.p_vaddr);
            out.end = std::max<std::uintptr_t>(out.end, object->dlpi_addr + header.p_vaddr + header.p_memsz);
          }
          if (header.p_type != PT_NOTE) continue;
          const auto* at = reinterpret_cast<const char*>(object->dlpi_addr + header.p_vaddr);
          const auto* end = at + header.p_memsz;
          while (at + sizeof(ElfW(Nhdr)) <= end) {
            ElfW(Nhdr) note;
            std::memcpy(&note, at, sizeof note);
            const char* name = at + sizeof note;
            const char* desc = name + ((note.n_namesz + 3) & ~3u);
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0 &&
                desc + note.n_descsz <= end) {
              static constexpr char hex[] = "0123456789abcdef";
              for (std::size_t j = 0; j < note.n_descsz; ++j) {
                const auto b = static_cast<unsigned char>(desc[j]);
                out.buildID += hex[b >> 4];
                out.buildID += hex[b & 15];
              }
            }
            at = desc + ((note.n_descsz + 3) & ~3u);
          }
        }
        return 1;  // only the program
      },
      &info);
  return info;
}

void copy(char* into, std::size_t size, const std::string& text) {
  const auto n = std::min(size - 1, text.size());
  std::memcpy(into, text.data(), n);
  into[n] = '\0';
}

// A fixed buffer written out in pieces: nothing here allocates or locks.
class Writer {
 public:
  explicit Writer(int fd) : fd_(fd) {}
  ~Writer() { flush(); }
  void text(const char* s) {
    while (*s != '\0') put(*s++);
  }
  // A JSON string's contents: quotes, backslashes and control characters escaped.
  void escaped(const char* s) {
    for (; *s != '\0'; ++s) {
      const auto c = static_cast<unsigned char>(*s);
      if (c == '"' || c == '\\') {
        put('\\');
        put(static_cast<char>(c));
      } else if (c < 0x20) {
        text("\\u00");
        put(hexDigit(c >> 4));
        put(hexDigit(c & 15));
      } else {
        put(static_cast<char>(c));
      }
    }
  }
  void number(long long value) {
    char digits[24];
    int n = 0;
    const bool negative = value < 0;
    unsigned long long v = negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    if (negative) put('-');
    while (n > 0) put(digits[--n]);
  }
  void hex(std::uintptr_t value) {
    text("0x");
    char digits[2 * sizeof value];
    int n = 0;
    do {
      digits[n++] = hexDigit(static_cast<unsigned>(value & 15));
      value >>= 4;
    } while (value != 0);
    while (n > 0) put(digits[--n]);
  }
  void flush() {
    std::size_t done = 0;
    while (done < used_) {
      const auto n = ::write(fd_, buffer_ + done, used_ - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    used_ = 0;
  }

 private:
  static char hexDigit(unsigned v) { return "0123456789abcdef"[v & 15]; }
  void put(char c) {
    if (used_ == sizeof buffer_) flush();
    buffer_[used_++] = c;
  }
  int fd_;
  char buffer_[512];
  std::size_t used_ = 0;
};

const char* signalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    case SIGTRAP: return "SIGTRAP";
    default: return "?";
  }
}

void writeReport(int signal, siginfo_t* info) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  char stamp[21];
  CivilTime::format(now.tv_sec, stamp);

  // folder + "/" + stamp with '-' for ':' + "-diagnostic-" + suffix + ".json"
  char path[sizeof prepared.folder + 64];
  std::size_t at = 0;
  auto append = [&](const char* s) {
    while (*s != '\0' && at + 1 < sizeof path) path[at++] = *s++;
  };
  append(prepared.folder);
  append("/");
  for (char& c : stamp) {
    if (c == ':') c = '-';
  }
  append(stamp);
  append("-diagnostic-");
  append(prepared.suffix);
  append(".json");
  path[at] = '\0';
  CivilTime::format(now.tv_sec, stamp);

  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;

  void* frames[kMaxFrames];
  const int count = ::backtrace(frames, kMaxFrames);
  char threadName[17] = {};
  ::prctl(PR_GET_NAME, threadName, 0, 0, 0);

  {
    Writer out(fd);
    out.text("{\n  \"kind\": \"crash\",\n  \"timestamp\": \"");
    out.text(stamp);
    out.text("\",\n  \"app\": \"");
    out.escaped(prepared.app);
    out.text("\",\n  \"version\": \"");
    out.escaped(prepared.version);
    out.text("\",\n  \"buildID\": \"");
    out.escaped(prepared.buildID);
    out.text("\",\n  \"pid\": ");
    out.number(::getpid());
    out.text(",\n  \"signal\": ");
    out.number(signal);
    out.text(",\n  \"signalName\": \"");
    out.text(signalName(signal));
    out.text("\",\n  \"code\": ");
    out.number(info != nullptr ? info->si_code : 0);
    out.text(",\n  \"faultAddress\": \"");
    out.hex(info != nullptr ? reinterpret_cast<std::uintptr_t>(info->si_addr) : 0);
    out.text("\",\n  \"thread\": {\"id\": ");
    out.number(static_cast<long long>(::syscall(SYS_gettid)));
    out.text(", \"name\": \"");
    out.escaped(threadName);
    out.text("\"},\n  \"backtrace\": [");
    for (int i = 0; i < count; ++i) {
      const auto address = reinterpret_cast<std::uintptr_t>(frames[i]);
      out.text(i == 0 ? "\n    {\"address\": \"" : ",\n    {\"address\": \"");
      out.hex(address);
      if (address >= prepared.imageStart && address < prepared.imageEnd) {
        out.text("\", \"module\": \"program\", \"offset\": \"");
        out.hex(address - prepared.imageBase);
        out.text("\"}");
      } else {
        out.text("\", \"module\": \"other\"}");
      }
    }
    out.text("\n  ]\n}\n");
  }
  ::fsync(fd);
  ::close(fd);
}

void handle(int signal, siginfo_t* info, void*) {
  // A second fault while writing (or in another thread) goes straight to the default action.
  if (handling == 0) {
    handling = 1;
    const int saved = errno;
    writeReport(signal, info);
    errno = saved;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  // A fault returns to the faulting instruction and faults again, now with the default action;
  // a signal that was sent (kill, abort) is sent again.
  if (info == nullptr || info->si_code <= 0) ::raise(signal);
}

}  // namespace

std::string CrashHandler::buildID() { return readImage().buildID; }

void CrashHandler::install(const std::filesystem::path& folder, const AppIdentity& identity) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const auto image = readImage();
  Prepared next;
  copy(next.folder, sizeof next.folder, folder.string());
  copy(next.app, sizeof next.app, identity.app);
  copy(next.version, sizeof next.version, identity.versionText());
  copy(next.buildID, sizeof next.buildID, identity.buildID.empty() ? image.buildID : identity.buildID);
  copy(next.suffix, sizeof next.suffix, UUID::random().string().substr(0, 6));
  next.imageBase = image.base;
  next.imageStart = image.start;
  next.imageEnd = image.end;
  prepared = next;

  // backtrace() loads its unwinder on first use, which is not safe in a handler: do it now.
  void* warmUp[2];
  (void)::backtrace(warmUp, 2);

  // An alternate stack, so that a stack overflow can still be reported from this thread.
  static std::once_flag stackOnce;
  std::call_once(stackOnce, [] {
    static char stack[64 * 1024];
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = sizeof stack;
    ::sigaltstack(&alternate, nullptr);
  });
  struct sigaction action {};
  action.sa_sigaction = &handle;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : kSignals) ::sigaction(signal, &action, nullptr);
}

}  // namespace corvel::diagnostics
