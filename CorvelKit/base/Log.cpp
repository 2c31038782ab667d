#include "CorvelKit/base/Log.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

namespace corvel {

namespace {
struct Registry {
  std::mutex mutex;
  std::vector<spdlog::sink_ptr> sinks;
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
  spdlog::level::level_enum level = spdlog::level::info;

  Registry() {
    auto err = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    err->set_pattern("%Y-%m-%d %H:%M:%S.%e [%n] %l: %v");
    sinks.push_back(err);
    if (const char* l = std::getenv("AMBREL_LOG_LEVEL")) {
      level = spdlog::level::from_str(l);
    }
  }
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: loggers may run during exit
  return *r;
}
}  // namespace

spdlog::logger& Log::get(std::string_view subsystem, std::string_view category) {
  auto& r = registry();
  std::string name = std::string(subsystem) + "/" + std::string(category);
  std::lock_guard lock(r.mutex);
  if (auto it = r.loggers.find(name); it != r.loggers.end()) return *it->second;
  auto logger = std::make_shared<spdlog::logger>(name, r.sinks.begin(), r.sinks.end());
  logger->set_level(r.level);
  logger->flush_on(spdlog::level::warn);
  auto& ref = *logger;
  r.loggers.emplace(std::move(name), std::move(logger));
  return ref;
}

void Log::addFileSink(const std::filesystem::path& file) {
  auto& r = registry();
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file.string(), 1 << 20, 3);
  sink->set_pattern("%Y-%m-%d %H:%M:%S.%e [%n] %l: %v");
  std::lock_guard lock(r.mutex);
  r.sinks.push_back(sink);
  for (auto& [name, logger] : r.loggers) logger->sinks().push_back(sink);
}

void Log::flush() {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  for (auto& [name, logger] : r.loggers) logger->flush();
}

void Log::setLevel(spdlog::level::level_enum level) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.level = level;
  for (auto& [name, logger] : r.loggers) logger->set_level(level);
}

}  // namespace corvel
