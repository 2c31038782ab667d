#include "tools/corvel/InputScript.h"

#include <charconv>
#include <cmath>
#include <sstream>

namespace corvel::tool {

namespace {

using namespace protocol;
using namespace protocol::input_event;

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

template <class T>
bool number(const std::string& word, T& out) {
  if constexpr (std::is_floating_point_v<T>) {
    try {
      std::size_t used = 0;
      out = static_cast<T>(std::stod(word, &used));
      return used == word.size() && std::isfinite(out);
    } catch (const std::exception&) {
      return false;
    }
  } else {
    // Decimal, or hexadecimal after "0x" (modifier flags read better that way).
    std::string_view digits = word;
    int base = 10;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
      digits.remove_prefix(2);
      base = 16;
    }
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out, base);
    return !digits.empty() && ec == std::errc{} && end == digits.data() + digits.size();
  }
}

std::optional<MouseButton> button(const std::string& word) {
  if (word.empty() || word == "left") return MouseButton::left;
  if (word == "right") return MouseButton::right;
  if (word == "middle") return MouseButton::middle;
  return std::nullopt;
}

}  // namespace

std::variant<InputScript, std::string> InputScript::parse(std::string_view text) {
  InputScript script;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find(';', start);
    if (end == std::string_view::npos) end = text.size();
    auto step = trim(text.substr(start, end - start));
    start = end + 1;
    if (step.empty()) continue;

    auto space = step.find(' ');
    std::string verb(step.substr(0, space));
    std::string rest(space == std::string_view::npos ? std::string_view{} : trim(step.substr(space)));
    std::istringstream words(rest);
    std::vector<std::string> args;
    for (std::string w; words >> w;) args.push_back(w);
    auto bad = [&] { return "can't read the input step \"" + std::string(step) + "\""; };

    if (verb == "move") {
      double x = 0, y = 0;
      if (args.size() != 2 || !number(args[0], x) || !number(args[1], y)) return bad();
      script.steps.emplace_back(InputEvent{MouseMove{x, y}});
    } else if (verb == "click" || verb == "down" || verb == "up") {
      auto b = button(args.empty() ? "" : args[0]);
      if (!b || args.size() > 1) return bad();
      if (verb != "up") script.steps.emplace_back(InputEvent{MouseButtonChange{*b, true, -1, -1}});
      if (verb != "down") script.steps.emplace_back(InputEvent{MouseButtonChange{*b, false, -1, -1}});
    } else if (verb == "key") {
      std::uint16_t code = 0;
      std::uint64_t flags = 0;
      if (args.empty() || args.size() > 2 || !number(args[0], code) ||
          (args.size() == 2 && !number(args[1], flags))) {
        return bad();
      }
      script.steps.emplace_back(InputEvent{Key{code, true, flags}});
      script.steps.emplace_back(InputEvent{Key{code, false, flags}});
    } else if (verb == "type") {
      if (rest.empty()) return bad();
      script.steps.emplace_back(InputEvent{Text{rest}});
    } else if (verb == "scroll") {
      double dx = 0, dy = 0;
      if (args.size() != 2 || !number(args[0], dx) || !number(args[1], dy)) return bad();
      script.steps.emplace_back(InputEvent{Scroll{dx, dy}});
    } else if (verb == "wait") {
      int ms = 0;
      if (args.size() != 1 || !number(args[0], ms) || ms < 0) return bad();
      script.steps.emplace_back(std::chrono::milliseconds(ms));
    } else {
      return bad();
    }
  }
  return script;
}

}  // namespace corvel::tool
