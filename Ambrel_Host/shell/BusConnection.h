#pragma once

#include <optional>
#include <string>

struct sd_bus;

namespace ambrel {

// Which message bus to reach: the login session's or the system's.
enum class BusKind { session, system };

// Opens a client connection to the bus at `address` (tests run private buses) or, without one, to
// the standard bus of that kind. Returns 0 or a negative errno; on failure `*out` is null.
int openBus(sd_bus** out, const std::optional<std::string>& address, BusKind kind);

}  // namespace ambrel
