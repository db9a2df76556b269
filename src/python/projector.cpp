// korvel.projector: placeholder until the module is built.
#include "common.h"

NB_MODULE(projector, m) {}
