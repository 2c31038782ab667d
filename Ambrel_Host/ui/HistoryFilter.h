#pragma once

#include <array>
#include <string_view>

#include "Ambrel_Host/shell/SessionHistory.h"

namespace ambrel {

// Which session-history entries the History pane lists.
enum class HistoryFilter { all, sessions, problems };

inline constexpr std::array<HistoryFilter, 3> historyFilters = {
    HistoryFilter::all, HistoryFilter::sessions, HistoryFilter::problems};

std::string_view rawValue(HistoryFilter filter);  // "all", "sessions", "problems"
std::string_view title(HistoryFilter filter);     // as the picker shows it
bool matches(HistoryFilter filter, const SessionHistory::Entry& entry);

// How an entry's kind reads in the list.
std::string_view kindText(SessionHistory::Kind kind);
// A session that is still going on.
bool isOpen(const SessionHistory::Entry& entry);

}  // namespace ambrel
