// A record's place in the table's storage, as one number: the index and the orders name records
// by it, so a record never moves once placed.
#pragma once

#include <cstdint>

using Position = uint32_t;
constexpr Position kNoPosition = UINT32_MAX;
