// Collection<T>: an ordered collection of the service side that may be null
// (std::nullopt) apart from empty. Records inside record collections are
// themselves nullable (see ResultSets.h). A plain value type.
#ifndef NORV_SERVICES_COLLECTION_H_
#define NORV_SERVICES_COLLECTION_H_

#include <optional>
#include <vector>

namespace Norv {

template <class T>
using Collection = std::optional<std::vector<T>>;

}  // namespace Norv

#endif  // NORV_SERVICES_COLLECTION_H_
