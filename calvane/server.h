#pragma once
// Start-up, serving and shutdown of the calibration command server.

#include <string>

namespace calvane {

// Message texts of start-up failures, as the tuning application knows them.
inline constexpr char kRuntimeInitFailed[] = "Matlab Initialize Application Failed.";
inline constexpr char kLibraryInitFailed[] = "Orvel Calibration Tool DLL Initialize failed.";

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitStartupFailure = 1;

// Runs the whole server on the calling (main) thread and returns the exit
// status. `library_path` is the calibration library to load.
int run_server(const std::string& library_path);

}  // namespace calvane
