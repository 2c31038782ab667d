#include "CorvelKit/cloud/CloudDatabase.h"

#include <map>
#include <utility>

#include "CorvelKit/cloud/PostgresCloudDatabase.h"
#include "CorvelKit/cloud/SqliteCloudDatabase.h"

namespace corvel::cloud {

std::unique_ptr<CloudDatabase> CloudDatabase::make(const std::string& url) {
  if (url.empty()) return std::make_unique<SqliteCloudDatabase>();
  return std::make_unique<PostgresCloudDatabase>(url);
}

Expected<std::vector<CloudRecord>, std::error_code> CloudDatabase::fetchAll(std::string_view zone,
                                                                            std::size_t batchSize) {
  // A record saved again while the batches are read shows up twice: keep its newest version.
  std::vector<CloudRecord> records;
  std::map<std::string, std::size_t, std::less<>> position;
  std::string token;
  for (;;) {
    auto batch = fetchZoneChanges(zone, token, batchSize);
    if (!batch) return Unexpected{batch.error()};
    for (auto& r : batch->changed) {
      auto [it, added] = position.try_emplace(r.recordName, records.size());
      if (added) {
        records.push_back(std::move(r));
      } else {
        records[it->second] = std::move(r);
      }
    }
    for (const auto& name : batch->deleted) {
      auto it = position.find(name);
      if (it == position.end()) continue;
      const std::size_t gone = it->second;
      position.erase(it);
      records.erase(records.begin() + static_cast<std::ptrdiff_t>(gone));
      for (auto& entry : position) {
        if (entry.second > gone) --entry.second;
      }
    }
    token = std::move(batch->token);
    if (!batch->moreComing) break;
  }
  return records;
}

}  // namespace corvel::cloud
