// korvel.olmera: placeholder until the module is built.
#include "common.h"

NB_MODULE(olmera, m) {}
