// placeholder
#include "velmor.h"
NB_MODULE(namespace, m) { (void) m; }
