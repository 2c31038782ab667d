#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/protocol/AnnotationEvent.h"
#include "CorvelKit/protocol/AudioStreamFormat.h"
#include "CorvelKit/protocol/Bye.h"
#include "CorvelKit/protocol/ChatMessage.h"
#include "CorvelKit/protocol/Clipboard.h"
#include "CorvelKit/protocol/DisplayList.h"
#include "CorvelKit/protocol/FileEnd.h"
#include "CorvelKit/protocol/FileOffer.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/protocol/HelloAck.h"
#include "CorvelKit/protocol/HostAction.h"
#include "CorvelKit/protocol/HostStatus.h"
#include "CorvelKit/protocol/InputEvent.h"
#include "CorvelKit/protocol/MacCommand.h"
#include "CorvelKit/protocol/ModifierBits.h"
#include "CorvelKit/protocol/ScreenText.h"
#include "CorvelKit/protocol/SelectDisplay.h"
#include "CorvelKit/protocol/SessionPermissions.h"
#include "CorvelKit/protocol/SharerInfo.h"

namespace corvel::protocol {
namespace {

const UUID kId = *UUID::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

// The value encodes to exactly this JSON (key order aside), and the JSON decodes to the value.
template <class T>
void expectWireForm(const T& value, std::string_view json) {
  SCOPED_TRACE(json);
  auto encoded = JSONCoding::encode(value);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(JSON::parse(asString(*encoded)), JSON::parse(json)) << asString(*encoded);
  auto decoded = JSONCoding::decode<T>(asBytes(json));
  ASSERT_TRUE(decoded) << decoded.error().description();
  EXPECT_TRUE(*decoded == value);
}

TEST(PayloadCoding, EveryPayloadHasItsWireForm) {
  expectWireForm(Hello{.deviceName = "Ann's iPad", .platform = ClientPlatform::iPad, .protocolVersion = 2},
                 R"({"deviceName":"Ann's iPad","platform":"iPad","protocolVersion":2})");
  expectWireForm(Hello{"Vision", ClientPlatform::vision, 2, "dev-1", ClientRole::screenSharer, true,
                       false, "token", 69734272u},
                 R"({"deviceName":"Vision","platform":"vision","protocolVersion":2,
                     "deviceID":"dev-1","role":"screenSharer","supportsHEVC":true,
                     "supportsHDR":false,"iCloudToken":"token","preferredDisplayID":69734272})");
  const std::vector<DisplayInfo> displays = {{1, "Built-in", 1512, 982}, {4294967295u, "LG", 3840, 2160}};
  const char* displaysJSON = R"([{"id":1,"name":"Built-in","width":1512,"height":982},
                                 {"id":4294967295,"name":"LG","width":3840,"height":2160}])";
  expectWireForm(HelloAck{"Studio", displays, 1},
                 std::string(R"({"hostName":"Studio","activeDisplayID":1,"displays":)") +
                     displaysJSON + "}");
  expectWireForm(DisplayList{{}, 7}, R"({"displays":[],"activeDisplayID":7})");
  expectWireForm(SelectDisplay{4294967295u}, R"({"displayID":4294967295})");
  expectWireForm(Clipboard{"caf\xC3\xA9 \"q\"\n"}, R"({"text":"café \"q\"\n"})");
  expectWireForm(Clipboard{std::string("a\0b", 3)}, R"({"text":"a\u0000b"})");
  expectWireForm(FileOffer{kId, "a.pdf", 9007199254740993, "print"},
                 R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"a.pdf",
                     "size":9007199254740993,"purpose":"print"})");
  expectWireForm(FileOffer{kId, "b", 0, std::nullopt},
                 R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"b","size":0})");
  expectWireForm(FileEnd{kId, true}, R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","cancelled":true})");
  expectWireForm(ChatMessage{kId, "hi", "Ann", Date(757382400.5)},
                 R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","text":"hi","sender":"Ann",
                     "sentAt":757382400.5})");
  expectWireForm(Bye{"Stopped at the Mac"}, R"({"reason":"Stopped at the Mac"})");
  expectWireForm(SessionPermissions{true, false}, R"({"canControl":true,"isSupportSession":false})");
  expectWireForm(HostStatus{"Mac14,2", "14.5", 3600.25, 87, true, 100, 200, "fair", 16, "aa:bb"},
                 R"({"model":"Mac14,2","osVersion":"14.5","uptimeSeconds":3600.25,
                     "batteryPercent":87,"isCharging":true,"diskFreeBytes":100,
                     "diskTotalBytes":200,"thermalState":"fair","memoryGB":16,
                     "macAddress":"aa:bb"})");
  expectWireForm(HostStatus{"m", "o", 0, {}, {}, {}, {}, "nominal", 8.5, {}},
                 R"({"model":"m","osVersion":"o","uptimeSeconds":0,"thermalState":"nominal",
                     "memoryGB":8.5})");
  expectWireForm(SharerInfo{3}, R"({"orientation":3})");
  expectWireForm(ScreenText{{"one", "two"}, "Safari"}, R"({"lines":["one","two"],"frontmostApp":"Safari"})");
  expectWireForm(ScreenText{{}, {}}, R"({"lines":[]})");
  expectWireForm(AudioStreamFormat{48000, 2, 480, toBytes("\x11\x90\x56\xE5")},
                 R"({"sampleRate":48000,"channels":2,"framesPerPacket":480,"magicCookie":"EZBW5Q=="})");
  expectWireForm(HostAction::restart, R"("restart")");
  expectWireForm(HostAction::lockScreen, R"("lockScreen")");
  expectWireForm(HostAction::sleepDisplay, R"("sleepDisplay")");
}

TEST(PayloadCoding, EnumerationsWithValuesUseTheOneKeyForm) {
  using E = InputEvent;
  expectWireForm(E{E::MouseMove{0.5, -2}}, R"({"mouseMove":{"x":0.5,"y":-2}})");
  expectWireForm(E{E::MouseButtonChange{MouseButton::right, true, 10, 20}},
                 R"({"mouseButton":{"button":1,"down":true,"x":10,"y":20}})");
  expectWireForm(E{E::MouseButtonChange{MouseButton::middle, false, 0, 0}},
                 R"({"mouseButton":{"button":2,"down":false,"x":0,"y":0}})");
  expectWireForm(E{E::Scroll{0, -3.5}}, R"({"scroll":{"dx":0,"dy":-3.5}})");
  expectWireForm(E{E::SmoothScroll{1, 2, 4, -1}},
                 R"({"smoothScroll":{"dx":1,"dy":2,"phase":4,"momentum":-1}})");
  expectWireForm(E{E::MouseDelta{-1, 1}}, R"({"mouseDelta":{"dx":-1,"dy":1}})");
  expectWireForm(E{E::Key{65535, true, ModifierBits::shift | ModifierBits::command}},
                 R"({"key":{"code":65535,"down":true,"flags":1179648}})");
  expectWireForm(E{E::Key{0, false, 0xFFFFFFFFFFFFFFFFull}},
                 R"({"key":{"code":0,"down":false,"flags":18446744073709551615}})");
  expectWireForm(E{E::Text{"hello"}}, R"({"text":{"_0":"hello"}})");

  expectWireForm(MacCommand{MacCommand::OpenApp{"Calculator"}}, R"({"openApp":{"name":"Calculator"}})");
  expectWireForm(MacCommand{MacCommand::OpenURL{"https://example.com/"}},
                 R"({"openURL":{"_0":"https://example.com/"}})");
  expectWireForm(MacCommand{MacCommand::RunShortcut{"Morning"}}, R"({"runShortcut":{"name":"Morning"}})");

  expectWireForm(AnnotationEvent{AnnotationEvent::Stroke{{kId, {0.25f, 0.5f, 1}, {1, 0, 0, 1}, 3}}},
                 R"({"stroke":{"_0":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
                     "points":[0.25,0.5,1],"color":[1,0,0,1],"width":3}}})");
  expectWireForm(AnnotationEvent{AnnotationEvent::Clear{}}, R"({"clear":{}})");
}

template <class T>
void expectDecodes(std::string_view json, const T& expected) {
  auto decoded = JSONCoding::decode<T>(asBytes(json));
  ASSERT_TRUE(decoded) << json << ": " << decoded.error().description();
  EXPECT_TRUE(*decoded == expected) << json;
}

TEST(PayloadCoding, ReadersAcceptWhatPeersMaySend) {
  // Optionals may be null; unknown keys are ignored; lower-case identifiers are read.
  expectDecodes(R"({"deviceName":"d","platform":"mac","protocolVersion":2,"role":null,
                    "deviceID":null,"supportsHEVC":null,"supportsHDR":null,"iCloudToken":null,
                    "preferredDisplayID":null,"future":{"x":[1]}})",
                Hello{.deviceName = "d", .platform = ClientPlatform::mac, .protocolVersion = 2});
  expectDecodes(R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","cancelled":false})",
                FileEnd{kId, false});
  // A date of 0 is the reference date itself.
  auto chat = JSONCoding::decode<ChatMessage>(asBytes(
      R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","text":"t","sender":"s","sentAt":0})"));
  ASSERT_TRUE(chat);
  EXPECT_EQ(chat->sentAt.timePoint(),
            std::chrono::sys_days{std::chrono::year{2001} / std::chrono::January / 1});
  // The case without values takes any object; keys that name no case sit beside the one that does.
  expectDecodes(R"({"clear":{"ignored":1}})", AnnotationEvent{AnnotationEvent::Clear{}});
  expectDecodes(R"({"scroll":{"dx":1,"dy":2},"extension":{}})", InputEvent{InputEvent::Scroll{1, 2}});
  // Integers written with a zero fraction are whole numbers.
  expectDecodes(R"({"displayID":5.0})", SelectDisplay{5});
}

template <class T>
std::function<std::optional<DecodingError>(std::string_view)> decoder() {
  return [](std::string_view text) -> std::optional<DecodingError> {
    auto result = JSONCoding::decode<T>(asBytes(text));
    if (result) return std::nullopt;
    return result.error();
  };
}

TEST(PayloadCoding, ReadersRejectMalformedPayloads) {
  struct Case {
    std::function<std::optional<DecodingError>(std::string_view)> decode;
    std::string text;
    std::string message;
    std::string path;
  };
  const std::string oneKey = "Invalid number of keys found, expected one.";
  const std::vector<Case> cases = {
      {decoder<InputEvent>(), R"({"scroll":{"dx":1,"dy":2},"text":{"_0":"a"}})", oneKey, ""},
      {decoder<InputEvent>(), R"({})", oneKey, ""},
      {decoder<InputEvent>(), R"({"tap":{"x":1}})", oneKey, ""},
      {decoder<AnnotationEvent>(), R"({"clear":{},"stroke":{}})", oneKey, ""},
      {decoder<MacCommand>(), R"([])", "Expected to decode Dictionary but found an array instead.", ""},
      {decoder<AnnotationEvent>(), R"({"clear":[]})",
       "Expected to decode Dictionary but found an array instead.", "clear"},
      {decoder<InputEvent>(), R"({"text":{"_0":5}})",
       "Expected to decode String but found a number instead.", "text._0"},
      {decoder<InputEvent>(), R"({"key":{"code":65536,"down":true,"flags":0}})",
       "Parsed JSON number <65536> does not fit in UInt16.", "key.code"},
      {decoder<InputEvent>(), R"({"key":{"code":1,"down":true,"flags":-1}})",
       "Parsed JSON number <-1> does not fit in UInt64.", "key.flags"},
      {decoder<InputEvent>(), R"({"mouseButton":{"button":3,"down":true,"x":0,"y":0}})",
       "Cannot initialize MouseButton from invalid Int value 3.", "mouseButton.button"},
      {decoder<InputEvent>(), R"({"mouseMove":{"x":1}})", R"(No value associated with key "y".)",
       "mouseMove"},
      {decoder<Hello>(), R"({"deviceName":"d","platform":"android","protocolVersion":2})",
       "Cannot initialize ClientPlatform from invalid String value (7 bytes).", "platform"},
      {decoder<Hello>(), R"({"deviceName":"d","platform":"Mac","protocolVersion":2})",
       "Cannot initialize ClientPlatform from invalid String value (3 bytes).", "platform"},
      {decoder<Hello>(), R"({"platform":"mac","protocolVersion":2})",
       R"(No value associated with key "deviceName".)", ""},
      {decoder<Hello>(), R"({"deviceName":"d","platform":"mac","protocolVersion":"2"})",
       "Expected to decode Int64 but found a string instead.", "protocolVersion"},
      {decoder<Hello>(), R"({"deviceName":null,"platform":"mac","protocolVersion":2})",
       "Expected to decode String but found null instead.", "deviceName"},
      {decoder<Hello>(), R"({"deviceName":"d","platform":"mac","protocolVersion":2,"role":"host"})",
       "Cannot initialize ClientRole from invalid String value (4 bytes).", "role"},
      {decoder<Hello>(), R"({"deviceName":"d","platform":"mac","protocolVersion":2,"supportsHEVC":1})",
       "Expected to decode Bool but found a number instead.", "supportsHEVC"},
      {decoder<Hello>(), R"(["d","mac",2])", "Expected to decode Dictionary but found an array instead.", ""},
      {decoder<HelloAck>(),
       R"({"hostName":"h","activeDisplayID":1,"displays":[{"id":1,"name":"a","width":1,"height":1},
           {"id":2,"name":"b","width":"wide","height":1}]})",
       "Expected to decode Int64 but found a string instead.", "displays.1.width"},
      {decoder<SelectDisplay>(), R"({"displayID":-1})", "Parsed JSON number <-1> does not fit in UInt32.",
       "displayID"},
      {decoder<SelectDisplay>(), R"({"displayID":1.5})", "Parsed JSON number <1.5> does not fit in UInt32.",
       "displayID"},
      {decoder<HostAction>(), R"({"restart":{}})", "Expected to decode String but found a dictionary instead.",
       ""},
      {decoder<HostAction>(), R"("reboot")",
       "Cannot initialize HostAction from invalid String value (6 bytes).", ""},
      {decoder<FileOffer>(), R"({"id":"not-a-uuid","name":"n","size":1})",
       "Attempted to decode UUID from invalid UUID string.", "id"},
      {decoder<ChatMessage>(),
       R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","text":"t","sender":"s","sentAt":"now"})",
       "Expected to decode Date but found a string instead.", "sentAt"},
      {decoder<AudioStreamFormat>(),
       R"({"sampleRate":1,"channels":1,"framesPerPacket":1,"magicCookie":"AA"})",
       "Encountered Data is not valid Base64.", "magicCookie"},
      {decoder<AnnotationEvent>(),
       R"({"stroke":{"_0":{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","points":[1e39],"color":[],"width":1}}})",
       "Parsed JSON number <1e+39> does not fit in Float.", "stroke._0.points.0"},
      {decoder<Clipboard>(), R"({"text":"unterminated)", "The given data was not valid JSON.", ""},
  };
  for (const auto& c : cases) {
    auto error = c.decode(c.text);
    ASSERT_TRUE(error) << c.text;
    EXPECT_EQ(error->message, c.message) << c.text;
    EXPECT_EQ(error->path, c.path) << c.text;
  }
}

TEST(PayloadCoding, UnencodableNumbersFailTheSend) {
  HostStatus status{"m", "o", std::numeric_limits<double>::infinity(), {}, {}, {}, {}, "fair", 1, {}};
  EXPECT_FALSE(JSONCoding::encode(status));
  InputEvent move{InputEvent::MouseMove{std::nan(""), 0}};
  EXPECT_FALSE(JSONCoding::encode(move));
}

}  // namespace
}  // namespace corvel::protocol
