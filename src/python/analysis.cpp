// korvel.analysis: placeholder until the module is built.
#include "common.h"

NB_MODULE(analysis, m) {}
