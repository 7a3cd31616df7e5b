// Each module of the extension library fills its module object here; the
// entry points that create the modules live in module_entry.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace tunekit {

void declare_tunekit(pybind11::module_& m);      // bootstrap: the import finder
void declare_common(pybind11::module_& m);       // shared records and capture helpers
void declare_capture(pybind11::module_& m);      // capture formats, reader, writer, naming rule (part of common)
void declare_blc(pybind11::module_& m);          // black level and dark shading
void declare_dark_shading(pybind11::module_& m); // dark shading tables and preview (part of blc)
void declare_bpc(pybind11::module_& m);          // static bad pixels
void declare_read_noise(pybind11::module_& m);   // read noise model
void declare_shot_noise(pybind11::module_& m);   // shot noise model

}  // namespace tunekit
