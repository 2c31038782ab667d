#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "Ambrel_Host/capture/ScreenDisplay.h"

struct wl_output;

namespace ambrel {

class WaylandConnection;

// The compositor's outputs as displays, kept up to date on one connection: names and logical
// positions and sizes from xdg-output (the layout the pointer moves in), the current mode's size
// where xdg-output is missing. A display's identifier is its wl_output's registry name, which is
// the same for every client of the compositor and never 0.
//
// Lives on the connection's thread: its state changes while that connection dispatches events.
class WaylandOutputs {
 public:
  // Binds the outputs there are and follows those that come and go (it takes over the
  // connection's global handlers). Call `connection.roundtrip()` afterwards to have them read.
  explicit WaylandOutputs(WaylandConnection& connection);
  ~WaylandOutputs();
  WaylandOutputs(const WaylandOutputs&) = delete;
  WaylandOutputs& operator=(const WaylandOutputs&) = delete;

  // The outputs whose description is complete, in registry order; the one at the layout's origin
  // (else the first) is the main display.
  std::vector<ScreenDisplay> displays() const;
  // The output with identifier `id`; null when there is none.
  wl_output* output(std::uint32_t id) const;
  // Called after each change (an output added, removed, moved or resized), on the connection's
  // thread, while it dispatches.
  void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }

  struct Output;

 private:
  void add(std::uint32_t name, std::uint32_t version);
  void remove(std::uint32_t name);

  WaylandConnection& connection_;
  void* xdgManager_ = nullptr;
  std::map<std::uint32_t, std::unique_ptr<Output>> outputs_;
  std::function<void()> changed_;
};

}  // namespace ambrel
