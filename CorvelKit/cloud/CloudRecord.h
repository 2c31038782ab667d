#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/Date.h"

namespace corvel::cloud {

// One field value of a record.
using CloudValue =
    std::variant<std::string, std::int64_t, double, Date, Bytes, std::vector<std::string>>;

// A record of the owner's cloud database: a type, a name unique within its zone, and typed fields.
// `changeTag` is the store's mark of the stored version: filled in by fetches and saves, and
// compared by the if-unchanged save (empty there means "the record must not exist yet").
struct CloudRecord {
  std::string recordType;
  std::string recordName;
  std::map<std::string, CloudValue> fields;
  std::string changeTag;

  const std::string* string(const std::string& key) const { return get<std::string>(key); }
  const std::int64_t* integer(const std::string& key) const { return get<std::int64_t>(key); }
  const Date* date(const std::string& key) const { return get<Date>(key); }
  const std::vector<std::string>* strings(const std::string& key) const {
    return get<std::vector<std::string>>(key);
  }

  template <class T>
  const T* get(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? nullptr : std::get_if<T>(&it->second);
  }

  // Equal content; the change tag is not compared.
  bool sameContent(const CloudRecord& o) const {
    return recordType == o.recordType && recordName == o.recordName && fields == o.fields;
  }
};

}  // namespace corvel::cloud
