#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "CorvelKit/base/Bytes.h"

namespace corvel {

// A settings store: one JSON object in a file, read once, written through atomically on every
// change. Registered defaults live in memory only and answer for keys the file doesn't hold.
// Thread-safe.
//
// Values are read leniently, as settings written by hand or by an older version may differ in
// type: `boolean` takes true/false, numbers and "true"/"yes"/"1"; `integer` takes numbers, booleans
// and numeric strings. Byte strings are stored as Base64 text.
class Defaults {
 public:
  explicit Defaults(std::filesystem::path file);

  // settings.json in the configuration folder (moved by AMBREL_HOME).
  static std::filesystem::path standardFile();

  void registerDefaults(const nlohmann::json& values);

  // The stored value, else the registered one.
  std::optional<nlohmann::json> object(std::string_view key) const;
  bool boolean(std::string_view key) const;               // false when absent
  std::int64_t integer(std::string_view key) const;       // 0 when absent
  std::optional<std::string> string(std::string_view key) const;
  std::optional<Bytes> data(std::string_view key) const;  // absent or not Base64: nullopt

  void set(std::string_view key, nlohmann::json value);
  void setData(std::string_view key, ByteView value);
  void remove(std::string_view key);

  // Every stored key with its value (registered defaults not included).
  nlohmann::json storedValues() const;

  const std::filesystem::path& file() const { return file_; }

 private:
  std::optional<nlohmann::json> lookup(std::string_view key) const;
  void save();  // with mutex_ held

  std::filesystem::path file_;
  mutable std::mutex mutex_;
  nlohmann::json stored_ = nlohmann::json::object();
  nlohmann::json registered_ = nlohmann::json::object();
};

}  // namespace corvel
