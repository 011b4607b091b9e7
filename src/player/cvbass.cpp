// The output engine's public face: which device, open it, close it.
#include "cvbass.h"
#include "cvengine_p.h"

namespace CVBass {

int outputDevice = -1;

bool init()
{
    return CVEngine::Engine::instance().init(outputDevice);
}

void free()
{
    CVEngine::Engine::instance().free();
}

} // namespace CVBass
