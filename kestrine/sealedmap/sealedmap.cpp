// Module velmora.kestrine.sealedmap (placeholder until its module body lands).
#include "frame/frame.hpp"

namespace kx {
namespace {
int body(PyObject*, PyObject*) { return 0; }
const ModuleSpec kSpec{"sealedmap", "kestrine/sealedmap/sealedmap.cpp", body};
}  // namespace
}  // namespace kx

PyMODINIT_FUNC PyInit_sealedmap() { return kx::module_init(kx::kSpec); }
