// placeholder
#include "velmor.h"
NB_MODULE(vox, m) { (void) m; }
