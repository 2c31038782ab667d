#include "Ambrel_Host/input/KeySyms.h"

#include <array>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace ambrel {

namespace {

// Indexed by virtual key code; 0 = no keysym.
constexpr std::array<std::uint32_t, 128> makeTable() {
  std::array<std::uint32_t, 128> t{};
  // Letters.
  t[0] = XK_a, t[11] = XK_b, t[8] = XK_c, t[2] = XK_d, t[14] = XK_e, t[3] = XK_f, t[5] = XK_g;
  t[4] = XK_h, t[34] = XK_i, t[38] = XK_j, t[40] = XK_k, t[37] = XK_l, t[46] = XK_m;
  t[45] = XK_n, t[31] = XK_o, t[35] = XK_p, t[12] = XK_q, t[15] = XK_r, t[1] = XK_s;
  t[17] = XK_t, t[32] = XK_u, t[9] = XK_v, t[13] = XK_w, t[7] = XK_x, t[16] = XK_y, t[6] = XK_z;
  // Digits.
  t[29] = XK_0, t[18] = XK_1, t[19] = XK_2, t[20] = XK_3, t[21] = XK_4, t[23] = XK_5;
  t[22] = XK_6, t[26] = XK_7, t[28] = XK_8, t[25] = XK_9;
  // Punctuation.
  t[27] = XK_minus, t[24] = XK_equal, t[33] = XK_bracketleft, t[30] = XK_bracketright;
  t[42] = XK_backslash, t[41] = XK_semicolon, t[39] = XK_apostrophe, t[50] = XK_grave;
  t[43] = XK_comma, t[47] = XK_period, t[44] = XK_slash;
  // Editing and navigation.
  t[36] = XK_Return, t[48] = XK_Tab, t[49] = XK_space, t[51] = XK_BackSpace, t[53] = XK_Escape;
  t[117] = XK_Delete, t[114] = XK_Insert;  // Help sits where PC keyboards have Insert
  t[115] = XK_Home, t[119] = XK_End, t[116] = XK_Page_Up, t[121] = XK_Page_Down;
  t[123] = XK_Left, t[124] = XK_Right, t[125] = XK_Down, t[126] = XK_Up;
  t[110] = XK_Menu;
  // Function keys.
  t[122] = XK_F1, t[120] = XK_F2, t[99] = XK_F3, t[118] = XK_F4, t[96] = XK_F5, t[97] = XK_F6;
  t[98] = XK_F7, t[100] = XK_F8, t[101] = XK_F9, t[109] = XK_F10, t[103] = XK_F11;
  t[111] = XK_F12, t[105] = XK_F13, t[107] = XK_F14, t[113] = XK_F15, t[106] = XK_F16;
  t[64] = XK_F17, t[79] = XK_F18, t[80] = XK_F19, t[90] = XK_F20;
  // Keypad.
  t[82] = XK_KP_0, t[83] = XK_KP_1, t[84] = XK_KP_2, t[85] = XK_KP_3, t[86] = XK_KP_4;
  t[87] = XK_KP_5, t[88] = XK_KP_6, t[89] = XK_KP_7, t[91] = XK_KP_8, t[92] = XK_KP_9;
  t[65] = XK_KP_Decimal, t[67] = XK_KP_Multiply, t[69] = XK_KP_Add, t[75] = XK_KP_Divide;
  t[78] = XK_KP_Subtract, t[81] = XK_KP_Equal, t[76] = XK_KP_Enter, t[71] = XK_Clear;
  t[52] = XK_KP_Enter;  // the Enter key of older portable keyboards
  // Volume.
  t[72] = XF86XK_AudioRaiseVolume, t[73] = XF86XK_AudioLowerVolume, t[74] = XF86XK_AudioMute;
  // Modifiers.
  t[55] = XK_Super_L, t[54] = XK_Super_R, t[56] = XK_Shift_L, t[60] = XK_Shift_R;
  t[58] = XK_Alt_L, t[61] = XK_Alt_R, t[59] = XK_Control_L, t[62] = XK_Control_R;
  t[57] = XK_Caps_Lock;
  return t;
}

constexpr auto kTable = makeTable();

}  // namespace

std::optional<std::uint32_t> KeySyms::forVirtualKey(std::uint16_t code) {
  if (code >= kTable.size() || kTable[code] == 0) return std::nullopt;
  return kTable[code];
}

std::optional<std::uint32_t> KeySyms::forCharacter(char32_t c) {
  switch (c) {
    case U'\n':
    case U'\r': return XK_Return;
    case U'\t': return XK_Tab;
    case U'\b': return XK_BackSpace;
    default: break;
  }
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return std::nullopt;  // other control characters
  if (c >= 0xD800 && c <= 0xDFFF) return std::nullopt;
  if (c > 0x10FFFF) return std::nullopt;
  if (c <= 0xFF) return static_cast<std::uint32_t>(c);
  return 0x1000000u + static_cast<std::uint32_t>(c);
}

}  // namespace ambrel
