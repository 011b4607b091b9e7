// The output engine's public face: which device, open it, close it.
#include "cvbass.h"
#include "cvmixer_p.h"

namespace CVBass {

int outputDevice = -1;

bool init()
{
    return CVEngine::Mixer::instance().init(outputDevice);
}

void free()
{
    CVEngine::Mixer::instance().free();
}

} // namespace CVBass
