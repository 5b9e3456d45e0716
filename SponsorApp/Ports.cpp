#include "SponsorApp/Ports.hpp"

namespace nimbrella {

ClientEnvironment buildEnvironment() noexcept {
#if defined(NIMBRELLA_ENVIRONMENT_DEVELOPMENT) && NIMBRELLA_ENVIRONMENT_DEVELOPMENT
  return ClientEnvironment::development;
#else
  return ClientEnvironment::production;
#endif
}

}  // namespace nimbrella
