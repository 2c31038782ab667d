#include "Ambrel_Host/ui/HistoryFilter.h"

namespace ambrel {

using Kind = SessionHistory::Kind;

std::string_view rawValue(HistoryFilter filter) {
  switch (filter) {
    case HistoryFilter::all: return "all";
    case HistoryFilter::sessions: return "sessions";
    case HistoryFilter::problems: return "problems";
  }
  return "all";
}

std::string_view title(HistoryFilter filter) {
  switch (filter) {
    case HistoryFilter::all: return "Everything";
    case HistoryFilter::sessions: return "Sessions";
    case HistoryFilter::problems: return "Declined & wrong codes";
  }
  return "Everything";
}

bool matches(HistoryFilter filter, const SessionHistory::Entry& entry) {
  const bool problem = entry.kind == Kind::declined || entry.kind == Kind::wrongCode;
  switch (filter) {
    case HistoryFilter::all: return true;
    case HistoryFilter::sessions: return !problem;
    case HistoryFilter::problems: return problem;
  }
  return true;
}

std::string_view kindText(Kind kind) {
  switch (kind) {
    case Kind::control: return "Control";
    case Kind::viewOnly: return "View only";
    case Kind::support: return "Support session";
    case Kind::screenShare: return "Shared their screen";
    case Kind::declined: return "Asked to connect";
    case Kind::wrongCode: return "Tried to connect";
  }
  return "Control";
}

bool isOpen(const SessionHistory::Entry& entry) {
  return !entry.ended && entry.outcome == SessionHistory::connectedOutcome;
}

}  // namespace ambrel
