// Version of the operator engine, shared by every extension module.
#pragma once

namespace korvel::engine {

const char* version();

}  // namespace korvel::engine
