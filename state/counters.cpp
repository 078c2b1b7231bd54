// Storage of the run's joint counters.
#include "state/counters.hpp"

namespace armctl {

counters data{};

}  // namespace armctl
