// placeholder
#include "velmor.h"
NB_MODULE(history, m) { (void) m; }
