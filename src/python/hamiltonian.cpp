// korvel.hamiltonian: placeholder until the module is built.
#include "common.h"

NB_MODULE(hamiltonian, m) {}
