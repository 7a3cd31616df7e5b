// tuning.bpc.bpc
#include "../tunekit/host.h"
#include "../tunekit/modules.h"

namespace tunekit {

void declare_bpc(py::module_& m) { m.doc() = "Static bad pixel calibration."; }

}  // namespace tunekit
