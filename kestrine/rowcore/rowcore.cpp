// Module velmora.kestrine.rowcore (placeholder until its module body lands).
#include "frame/frame.hpp"

namespace kx {
namespace {
int body(PyObject*, PyObject*) { return 0; }
const ModuleSpec kSpec{"rowcore", "kestrine/rowcore/rowcore.cpp", body};
}  // namespace
}  // namespace kx

PyMODINIT_FUNC PyInit_rowcore() { return kx::module_init(kx::kSpec); }
