// placeholder
#include "velmor.h"
NB_MODULE(interpreter, m) { (void) m; }
