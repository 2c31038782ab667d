// Decodes the input as every payload type. Whatever decodes must encode again, and the encoding
// must decode to an equal value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/protocol/AnnotationEvent.h"
#include "CorvelKit/protocol/AudioStreamFormat.h"
#include "CorvelKit/protocol/Bye.h"
#include "CorvelKit/protocol/ChatMessage.h"
#include "CorvelKit/protocol/Clipboard.h"
#include "CorvelKit/protocol/DisplayList.h"
#include "CorvelKit/protocol/FileChunk.h"
#include "CorvelKit/protocol/FileEnd.h"
#include "CorvelKit/protocol/FileOffer.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/protocol/HelloAck.h"
#include "CorvelKit/protocol/HostAction.h"
#include "CorvelKit/protocol/HostStatus.h"
#include "CorvelKit/protocol/InputEvent.h"
#include "CorvelKit/protocol/MacCommand.h"
#include "CorvelKit/protocol/ScreenText.h"
#include "CorvelKit/protocol/SelectDisplay.h"
#include "CorvelKit/protocol/SessionPermissions.h"
#include "CorvelKit/protocol/SharerInfo.h"

using namespace corvel;
using namespace corvel::protocol;

namespace {

template <class T>
void roundTrip(const JSON& document) {
  auto decoded = JSONCoding::decodeDocument<T>(document);
  if (!decoded) {
    if (decoded.error().message.empty()) std::abort();
    return;
  }
  auto encoded = JSONCoding::encode(*decoded);
  if (!encoded) std::abort();
  auto again = JSONCoding::decode<T>(*encoded);
  if (!again || !(*again == *decoded)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView input(data, size);

  if (auto chunk = FileChunk::parse(input)) {
    if (chunk->data.size() + UUID::size != size || chunk->id.bytes()[0] != data[0]) std::abort();
  }

  auto document = JSONCoding::parse(input);
  if (!document) return 0;
  roundTrip<Hello>(*document);
  roundTrip<HelloAck>(*document);
  roundTrip<DisplayList>(*document);
  roundTrip<SelectDisplay>(*document);
  roundTrip<Clipboard>(*document);
  roundTrip<FileOffer>(*document);
  roundTrip<FileEnd>(*document);
  roundTrip<ChatMessage>(*document);
  roundTrip<Bye>(*document);
  roundTrip<SessionPermissions>(*document);
  roundTrip<HostStatus>(*document);
  roundTrip<AnnotationEvent>(*document);
  roundTrip<SharerInfo>(*document);
  roundTrip<ScreenText>(*document);
  roundTrip<AudioStreamFormat>(*document);
  roundTrip<HostAction>(*document);
  roundTrip<InputEvent>(*document);
  roundTrip<MacCommand>(*document);
  return 0;
}
