// korvel.cendrel: placeholder until the module is built.
#include "common.h"

NB_MODULE(cendrel, m) {}
