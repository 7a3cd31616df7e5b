// Progress of long calibrations, per capture condition. Routines report each
// capture they finish; a front end (the command-line tool) may install a hook
// to show it. Without a hook, reporting costs one relaxed atomic load.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tuning {

struct ProgressStep {
  std::string condition;  // e.g. "dark LCG exp 10 again 2"
  std::size_t done = 0;   // captures of this condition finished
  std::size_t total = 0;  // captures of this condition
};

using ProgressHook = std::function<void(const ProgressStep&)>;

// Installs (or, with an empty function, removes) the process-wide hook.
void set_progress_hook(ProgressHook hook);

// Calls the hook, if any. Safe to call from any thread.
void report_progress(const ProgressStep& step);
bool progress_wanted();

}  // namespace tuning
