// tuning.noise_profile.shot_noise
#include "../tunekit/host.h"
#include "../tunekit/modules.h"

namespace tunekit {

void declare_shot_noise(py::module_& m) { m.doc() = "Shot noise calibration."; }

}  // namespace tunekit
