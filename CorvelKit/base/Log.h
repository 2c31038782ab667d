#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include <fmt/format.h>
#include <spdlog/logger.h>

namespace corvel {

// Subsystems of the unified log: the core library and the host application.
inline constexpr std::string_view kCoreSubsystem = "com.pinebay.corvel";
inline constexpr std::string_view kHostSubsystem = "com.pinebay.corvel.host";

// One logger per subsystem/category pair, created on first use and shared. Every logger writes to
// stderr and, once `addFileSink` was called, to a rotating file as well.
//
//   static auto& log = corvel::Log::core("net");
//   log.info("listener ready on {}", port);
//   log.warn("blocked {}", corvel::Private{address});   // written as <private>
class Log {
 public:
  static spdlog::logger& get(std::string_view subsystem, std::string_view category);
  static spdlog::logger& core(std::string_view category) { return get(kCoreSubsystem, category); }
  static spdlog::logger& host(std::string_view category) { return get(kHostSubsystem, category); }

  // Adds a rotating file (1 MiB × 3) to every logger, present and future.
  static void addFileSink(const std::filesystem::path& file);
  // Writes out what every logger holds, so the file has every line logged so far.
  static void flush();
  // Level for every logger; AMBREL_LOG_LEVEL (trace, debug, info, warn, error, off) sets the
  // initial one.
  static void setLevel(spdlog::level::level_enum level);
};

// A value that must not appear in logs: it formats as "<private>" whatever it holds.
template <class T>
struct Private {
  const T& value;
};
template <class T>
Private(const T&) -> Private<T>;

}  // namespace corvel

template <class T>
struct fmt::formatter<corvel::Private<T>> : fmt::formatter<std::string_view> {
  template <class Context>
  auto format(const corvel::Private<T>&, Context& ctx) const {
    return fmt::formatter<std::string_view>::format("<private>", ctx);
  }
};
