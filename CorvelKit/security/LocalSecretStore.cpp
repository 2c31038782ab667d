#include "CorvelKit/security/LocalSecretStore.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/Base64.h"
#include "CorvelKit/base/FileLock.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"

namespace corvel::security {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr int kFormatVersion = 1;

spdlog::logger& log() {
  static auto& logger = Log::core("security");
  return logger;
}

enum class LoadState { ok, unreadable, corrupt };

struct Contents {
  LoadState state = LoadState::ok;
  std::vector<SecretStore::Item> items;

  ~Contents() {
    for (auto& item : items) secureWipe(item.value);
  }
};

bool matches(const SecretStore::Item& item, const std::string& service, const std::string& account,
             const std::optional<std::string>& accessGroup) {
  return item.service == service && item.account == account &&
         (!accessGroup || item.accessGroup == accessGroup);
}

// Parses the file; an item with a missing or mistyped field is skipped, a file that is not the
// expected JSON document as a whole is corrupt.
void parse(const Bytes& data, Contents& out) {
  json document = json::parse(data.begin(), data.end(), nullptr, /*allow_exceptions=*/false);
  if (!document.is_object() || !document.contains("items") || !document["items"].is_array()) {
    out.state = LoadState::corrupt;
    return;
  }
  for (const auto& entry : document["items"]) {
    if (!entry.is_object()) continue;
    auto service = entry.find("service");
    auto account = entry.find("account");
    auto value = entry.find("value");
    if (service == entry.end() || !service->is_string() || account == entry.end() ||
        !account->is_string() || value == entry.end() || !value->is_string()) {
      continue;
    }
    auto decoded = Base64::decode(value->get_ref<const std::string&>());
    if (!decoded) continue;
    SecretStore::Item item;
    item.service = service->get<std::string>();
    item.account = account->get<std::string>();
    if (auto group = entry.find("accessGroup"); group != entry.end() && group->is_string()) {
      item.accessGroup = group->get<std::string>();
    }
    if (auto sync = entry.find("synchronizable"); sync != entry.end() && sync->is_boolean()) {
      item.synchronizable = sync->get<bool>();
    }
    item.value = std::move(*decoded);
    out.items.push_back(std::move(item));
  }
}

void load(const fs::path& file, Contents& out) {
  std::error_code ec;
  if (!fs::exists(file, ec)) {
    if (ec) out.state = LoadState::unreadable;
    return;
  }
  auto data = AtomicFile::read(file);
  if (!data) {
    out.state = LoadState::unreadable;
    return;
  }
  parse(*data, out);
  secureWipe(*data);
}

bool save(const fs::path& file, const std::vector<SecretStore::Item>& items) {
  json list = json::array();
  for (const auto& item : items) {
    json entry = {{"service", item.service},
                  {"account", item.account},
                  {"synchronizable", item.synchronizable},
                  {"value", Base64::encode(item.value)}};
    if (item.accessGroup) entry["accessGroup"] = *item.accessGroup;
    list.push_back(std::move(entry));
  }
  json document = {{"version", kFormatVersion}, {"items", std::move(list)}};
  std::string text = document.dump(2);
  auto ec = AtomicFile::write(file, asBytes(text), 0600);
  secureWipe(text.data(), text.size());
  if (ec) {
    log().error("could not write the secret store {}: {}", file.string(), ec.message());
    return false;
  }
  return true;
}

// Loads the file for a change. A corrupt file is moved aside (so that nothing in it is lost for
// good) and the change starts from an empty store; an unreadable one stops the change.
bool loadForChange(const fs::path& file, Contents& out) {
  load(file, out);
  switch (out.state) {
    case LoadState::ok:
      return true;
    case LoadState::unreadable:
      log().error("cannot read the secret store {}; not changing it", file.string());
      return false;
    case LoadState::corrupt: {
      fs::path aside = file;
      aside += ".corrupt";
      std::error_code ec;
      fs::rename(file, aside, ec);
      if (ec) {
        log().error("the secret store {} is corrupt and could not be moved aside: {}",
                    file.string(), ec.message());
        return false;
      }
      log().warn("the secret store {} was corrupt; kept as {} and started afresh", file.string(),
                 aside.string());
      out.items.clear();
      out.state = LoadState::ok;
      return true;
    }
  }
  return false;
}

}  // namespace

// `corvel` and `ambrel-host` share the file: each read, and each read-modify-write, holds the
// lock file beside it.
static FileLock lockFor(const fs::path& file, FileLock::Mode mode) {
  return FileLock(fs::path(file) += ".lock", mode);
}

fs::path LocalSecretStore::file() const {
  return file_ ? *file_ : Paths::configFolder() / fileName;
}

std::optional<Bytes> LocalSecretStore::find(const std::string& service, const std::string& account,
                                            const std::optional<std::string>& accessGroup) {
  std::lock_guard lock(mutex_);
  const fs::path path = file();
  auto shared = lockFor(path, FileLock::Mode::shared);
  Contents contents;
  load(path, contents);
  if (contents.state == LoadState::corrupt) {
    log().warn("the secret store {} does not parse; treating it as empty", path.string());
  }
  for (auto& item : contents.items) {
    if (matches(item, service, account, accessGroup)) return std::move(item.value);
  }
  return std::nullopt;
}

bool LocalSecretStore::add(const Item& item) {
  std::lock_guard lock(mutex_);
  const fs::path path = file();
  auto exclusive = lockFor(path, FileLock::Mode::exclusive);
  Contents contents;
  if (!loadForChange(path, contents)) return false;
  const bool duplicate = std::any_of(contents.items.begin(), contents.items.end(), [&](auto& i) {
    return i.service == item.service && i.account == item.account &&
           i.accessGroup == item.accessGroup;
  });
  if (duplicate) return false;
  contents.items.push_back(item);
  return save(path, contents.items);
}

bool LocalSecretStore::remove(const std::string& service, const std::string& account,
                              const std::optional<std::string>& accessGroup) {
  std::lock_guard lock(mutex_);
  const fs::path path = file();
  auto exclusive = lockFor(path, FileLock::Mode::exclusive);
  Contents contents;
  load(path, contents);
  if (contents.state == LoadState::ok) {
    auto end = std::remove_if(contents.items.begin(), contents.items.end(),
                              [&](auto& i) { return matches(i, service, account, accessGroup); });
    if (end == contents.items.end()) return true;  // nothing to delete: leave the file alone
    for (auto it = end; it != contents.items.end(); ++it) secureWipe(it->value);
    contents.items.erase(end, contents.items.end());
    return save(path, contents.items);
  }
  // Nothing can be found in a file that does not load, so there is nothing to delete from it.
  return contents.state == LoadState::corrupt;
}

}  // namespace corvel::security
