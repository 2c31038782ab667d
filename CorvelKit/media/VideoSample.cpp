#include "CorvelKit/media/VideoSample.h"

#include "CorvelKit/media/NalUnits.h"

namespace corvel::media {

Bytes VideoSample::annexB() const {
  Bytes out;
  out.reserve(data.size() + 64);
  if (isKeyframe && format) {
    for (const auto& set : format->parameterSets) NalUnits::appendAnnexB(out, set);
  }
  if (auto units = NalUnits::splitLengthPrefixed(data)) {
    for (auto unit : *units) {
      // Only the stream's own parameter sets count: ones hidden in the frame data are dropped.
      if (format && NalUnits::isParameterSet(format->codec, NalUnits::type(format->codec, unit)))
        continue;
      NalUnits::appendAnnexB(out, unit);
    }
  }
  return out;
}

}  // namespace corvel::media
