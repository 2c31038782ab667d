#include "Ambrel_Host/capture/SoundSource.h"

#if CORVEL_HAVE_PULSE
#include "Ambrel_Host/capture/PulseSoundSource.h"
#endif

namespace ambrel {

std::unique_ptr<SoundSource> SoundSource::create() {
#if CORVEL_HAVE_PULSE
  return std::make_unique<PulseSoundSource>();
#else
  return nullptr;
#endif
}

}  // namespace ambrel
