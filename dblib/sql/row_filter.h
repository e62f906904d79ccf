// The test that a table's reader applies to each candidate record for the
// WITH criteria the optimiser handed to the table's link. Shared by every
// row provider, so that all of them filter alike.
#pragma once

#include <cstdint>
#include <vector>

#include "sql/link_lists.h"

namespace kdm::sql {

// True when the record (in the table's layout) passes every criterion.
bool PassesCriteria(const std::vector<CWithCrit>& criteria, const uint8_t* record,
                    uint32_t recordSize);

} // namespace kdm::sql
