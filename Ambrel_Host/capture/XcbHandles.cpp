#include "Ambrel_Host/capture/XcbHandles.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include "Ambrel_Host/capture/CaptureError.h"

namespace ambrel {

void XcbDisconnect::operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }

corvel::Expected<XcbScreen, std::error_code> connectToX(const std::string& displayName) {
  int screenNumber = 0;
  XcbScreen result;
  result.connection.reset(xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
  xcb_connection_t* c = result.connection.get();
  if (xcb_connection_has_error(c) != 0) return corvel::Unexpected{make_error_code(CaptureErrc::noDisplayServer)};

  auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0) return corvel::Unexpected{make_error_code(CaptureErrc::noDisplayServer)};
  result.root = it.data->root;
  result.width = it.data->width_in_pixels;
  result.height = it.data->height_in_pixels;
  result.rootDepth = it.data->root_depth;

  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
  if (ext == nullptr || ext->present == 0) return corvel::Unexpected{make_error_code(CaptureErrc::extensionMissing)};
  XcbReply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  if (!version) return corvel::Unexpected{make_error_code(CaptureErrc::noDisplayServer)};
  if (version->major_version < 1 || (version->major_version == 1 && version->minor_version < 5)) {
    return corvel::Unexpected{make_error_code(CaptureErrc::extensionMissing)};
  }
  return result;
}

corvel::Expected<std::vector<ScreenDisplay>, std::error_code> readMonitors(xcb_connection_t* c,
                                                                         std::uint32_t root) {
  XcbReply<xcb_randr_get_monitors_reply_t> reply(
      xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root, 1), nullptr));
  if (!reply) return corvel::Unexpected{make_error_code(CaptureErrc::connectionLost)};

  std::vector<ScreenDisplay> displays;
  std::vector<xcb_get_atom_name_cookie_t> names;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* m = it.data;
    if (m->width == 0 || m->height == 0) continue;
    ScreenDisplay d;
    d.id = xcb_randr_monitor_info_outputs_length(m) > 0 ? xcb_randr_monitor_info_outputs(m)[0]
                                                         : (0x80000000u | m->name);
    d.width = m->width;
    d.height = m->height;
    d.x = m->x;
    d.y = m->y;
    d.isMain = m->primary != 0;
    displays.push_back(std::move(d));
    names.push_back(xcb_get_atom_name(c, m->name));
  }
  for (std::size_t i = 0; i < displays.size(); ++i) {
    XcbReply<xcb_get_atom_name_reply_t> name(xcb_get_atom_name_reply(c, names[i], nullptr));
    if (name) displays[i].name.assign(xcb_get_atom_name_name(name.get()),
                                       static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get())));
    if (displays[i].name.empty()) displays[i].name = "Display " + std::to_string(displays[i].id);
  }

  if (displays.empty()) {
    // RandR without any monitor (no outputs configured): the whole screen is the one display.
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (; it.rem > 0; xcb_screen_next(&it)) {
      if (it.data->root != root) continue;
      displays.push_back({1, "Display 1", it.data->width_in_pixels, it.data->height_in_pixels, 0, 0, true});
      break;
    }
    return displays;
  }
  bool anyMain = false;
  for (auto& d : displays) {
    if (d.isMain && anyMain) d.isMain = false;  // one main display, even if the server says more
    anyMain = anyMain || d.isMain;
  }
  if (!anyMain) displays.front().isMain = true;
  return displays;
}

}  // namespace ambrel
