// korvel.majorana: placeholder until the module is built.
#include "common.h"

NB_MODULE(majorana, m) {}
