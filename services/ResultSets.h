// The data service's keyed result records, and their nullable collections.
// Plain value types: copy them freely; nothing here raises.
#ifndef NORV_SERVICES_RESULT_SETS_H_
#define NORV_SERVICES_RESULT_SETS_H_

#include <cstdint>
#include <optional>
#include <utility>

#include "Collection.h"
#include "DateTime.h"
#include "ServiceString.h"

namespace Norv::ServiceModel::Contracts::Data {

template <class V>
class ResultSet {
 public:
  ResultSet() = default;
  ResultSet(std::int32_t id, V value) : id_(id), value_(std::move(value)) {}

  std::int32_t Id() const noexcept { return id_; }
  const V& Value() const noexcept { return value_; }

  friend bool operator==(const ResultSet& a, const ResultSet& b) {
    return a.id_ == b.id_ && a.value_ == b.value_;
  }
  friend bool operator!=(const ResultSet& a, const ResultSet& b) { return !(a == b); }

 private:
  std::int32_t id_ = 0;
  V value_{};
};

using DoubleResultSet = ResultSet<double>;
using StringResultSet = ResultSet<ServiceString>;
using DateTimeResultSet = ResultSet<DateTime>;

// A record inside a collection may be null.
using DoubleResultSetCollection = Collection<std::optional<DoubleResultSet>>;
using StringResultSetCollection = Collection<std::optional<StringResultSet>>;
using DateTimeResultSetCollection = Collection<std::optional<DateTimeResultSet>>;

}  // namespace Norv::ServiceModel::Contracts::Data

#endif  // NORV_SERVICES_RESULT_SETS_H_
