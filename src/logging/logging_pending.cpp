// Placeholder until the service log lands: records are dropped.
#include "logging/logging.h"

namespace kavel_lib::logging {

void init_logging() {}

}  // namespace kavel_lib::logging
