// tuning.noise_profile.read_noise
#include "../tunekit/host.h"
#include "../tunekit/modules.h"

namespace tunekit {

void declare_read_noise(py::module_& m) { m.doc() = "Read noise calibration."; }

}  // namespace tunekit
