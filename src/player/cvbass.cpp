// PLACEHOLDER: replaced by the audio engine.
#include "cvbass.h"
namespace CVBass {
int outputDevice = -1;
bool init() { return true; }
void free() {}
}
