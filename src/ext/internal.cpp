// placeholder
#include "velmor.h"
NB_MODULE(internal, m) { (void) m; }
