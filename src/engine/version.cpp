#include "engine/version.h"

namespace korvel::engine {

const char* version() { return "0.1.0"; }

}  // namespace korvel::engine
