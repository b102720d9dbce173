// Module velmora.kestrine.rowcore: result rows for the velmora toolkit. This
// file is the module body, binding the names in their fixed order; what each
// sibling file holds is listed in rowcore.hpp.
#include "rowcore.hpp"

namespace kx::rowcore {
namespace {

PyObject* operator_module() noexcept {
  Ref name = Ref::steal(PyUnicode_FromString("operator"));
  if (!name) return nullptr;
  PyObject* loaded = PyImport_GetModule(name.get());
  if (loaded || PyErr_Occurred()) return loaded;
  return import_module("operator");
}

// BaseRow, then the module's imports, then BaseRow's methods that are
// function objects, then the module functions; the originals are kept last,
// once everything they name is in place.
int body(PyObject*, PyObject*) noexcept {
  if (ready_row_type() < 0 || bind("BaseRow", Py_NewRef(reinterpret_cast<PyObject*>(&BaseRowType))) < 0 ||
      bind("operator", operator_module()) < 0 || install_state_methods() < 0 || install_row_methods() < 0 ||
      bind_reconstructor() < 0 || bind_tuplegetter() < 0 || remember_originals() < 0)
    return -1;
  return 0;
}

const ModuleSpec kSpec{"rowcore", "kestrine/rowcore/rowcore.cpp", body};

}  // namespace
}  // namespace kx::rowcore

PyMODINIT_FUNC PyInit_rowcore() { return kx::module_init(kx::rowcore::kSpec); }
