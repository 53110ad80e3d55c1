// placeholder
#include "velmor.h"
NB_MODULE(nestmap, m) { (void) m; }
