// The modules the extension library carries, one line each. Everything that
// names the modules (the entry points, the declarers, the names the bootstrap's
// finder answers for, the package's `python3 -m` runners) is derived from here.
//
//   X(short_name, full dotted name, one-line doc, what its `main` calibrates)
//
// The short name is the entry point's suffix (PyInit_<short_name>) and the
// declarer's (declare_<short_name>, which fills the module). A module without
// a `main` has nullptr as its last column.
#pragma once

#define TUNEKIT_MODULES(X)                                                           \
  X(tunekit, "tuning.tunekit", "bootstrap: the import finder", nullptr)              \
  X(common, "tuning.common", "shared records and capture helpers", nullptr)          \
  X(blc, "tuning.blc.blc", "black level and dark shading", "black level")            \
  X(bpc, "tuning.bpc.bpc", "static bad pixels", "bad pixel")                         \
  X(read_noise, "tuning.noise_profile.read_noise", "read noise model", "read noise") \
  X(shot_noise, "tuning.noise_profile.shot_noise", "shot noise model", "shot noise") \
  X(characterize, "tuning.characterize.characterize", "sensor characterisation in physical units", nullptr)
