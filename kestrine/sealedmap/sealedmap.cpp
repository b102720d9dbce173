// Module velmora.kestrine.sealedmap: the module body (its namespace order)
// and the `sealedmap` type itself, a dict subclass whose own mutators all
// refuse: its slots, construction, text form, class subscription, `copy`,
// pickling support and the refusing methods. The merges live in merge.cpp,
// the refusal functions and the two ordinary base classes in readonly.cpp.
#include "sealedmap/sealedmap.hpp"

#include <initializer_list>

namespace kx::sealed {
namespace {

Name kImmutableFnName("_immutable_fn");
Name kKeys("keys");

PyObject* g_empty_tuple = nullptr;  // the interpreter's empty tuple, for dict's tp_new

constexpr int kSlotLine = __LINE__;
Site kReprSite{"sealedmap.__repr__", kSlotLine};
Site kSetattrSite{"sealedmap.__setattr__", kSlotLine};
Site kSetitemSite{"sealedmap.__setitem__", kSlotLine};
Site kDelitemSite{"sealedmap.__delitem__", kSlotLine};

}  // namespace

PyObject* new_empty() noexcept { return PyDict_Type.tp_new(&Type, g_empty_tuple, nullptr); }

// The same steps as dict's own constructor takes for its positional argument,
// so that every construction and merge accepts and rejects exactly what
// `dict(arg)` does, with dict's own messages.
int update_arg(PyObject* dst, PyObject* arg) noexcept {
  // An exact sealedmap always has dict's `keys` (its type is static and
  // immutable, its instances have no attribute dict), so asking is skipped.
  if (PyDict_CheckExact(arg) || Py_IS_TYPE(arg, &Type)) return PyDict_Merge(dst, arg, 1);
  int has_keys = PyObject_HasAttrWithError(arg, kKeys.get());
  if (has_keys < 0) return -1;
  if (has_keys) return PyDict_Merge(dst, arg, 1);
  return PyDict_MergeFromSeq2(dst, arg, 1);
}

int refuse(PyObject* self) noexcept {
  // Looked up at every call: rebinding the module attribute changes what
  // the refusal does. This is an error path, so nothing is cached.
  Ref fn = Ref::steal(lookup(kImmutableFnName));
  if (!fn) return -1;
  Ref r = Ref::steal(PyObject_CallOneArg(fn.get(), self));
  return r ? 0 : -1;
}

namespace {

// ---------------------------------------------------------------------------
// Slots

// `sealedmap(...)` without the tuple and keyword dict that the generic type
// call would build: dict's creation, then what dict's initialiser does with
// the same arguments, with the same messages. The type is never a subclass
// here, as a type's vectorcall is not inherited.
PyObject* construct(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (n > 1) {
    PyErr_Format(PyExc_TypeError, "dict expected at most 1 argument, got %zd", n);
    return nullptr;
  }
  Ref self = Ref::steal(PyDict_Type.tp_new(reinterpret_cast<PyTypeObject*>(type), g_empty_tuple, nullptr));
  if (!self) return nullptr;
  if (n == 1 && update_arg(self.get(), args[0]) < 0) return nullptr;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
      if (PyDict_SetItem(self.get(), PyTuple_GET_ITEM(kwnames, i), args[n + i]) < 0) return nullptr;
  }
  return self.release();
}

PyObject* repr(PyObject* self) noexcept {
  // dict's own representation, not the instance's class's.
  Ref inner = Ref::steal(PyDict_Type.tp_repr(self));
  PyObject* r = inner ? PyUnicode_FromFormat("sealedmap(%U)", inner.get()) : nullptr;
  if (!r) add_traceback(kReprSite);
  return r;
}

// Item assignment and deletion: the key and value are never looked at, so an
// unhashable key gets the refusal, not a hashing error.
int ass_subscript(PyObject* self, PyObject*, PyObject* value) noexcept {
  if (refuse(self) < 0) {
    add_traceback(value ? kSetitemSite : kDelitemSite);
    return -1;
  }
  return 0;
}

int setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  // Deletion is dict's (and so fails: instances have no attribute dict).
  if (!value) return PyDict_Type.tp_setattro(self, name, nullptr);
  if (refuse(self) < 0) {
    add_traceback(kSetattrSite);
    return -1;
  }
  return 0;
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept { return PyDict_Type.tp_traverse(self, visit, arg); }

int clear_slot(PyObject* self) noexcept {
  PyDict_Type.tp_clear(self);
  return 0;
}

void dealloc(PyObject* self) noexcept {
  // A subclass's own deallocation runs finalisers itself; only when this is
  // the instance's deallocation does it run a pending finaliser, which may
  // bring the instance back to life.
  PyTypeObject* tp = Py_TYPE(self);
  if (tp->tp_finalize && tp->tp_dealloc == dealloc && !PyObject_GC_IsFinalized(self)) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
  }
  // dict's deallocation untracks the instance and frees it through tp_free.
  PyDict_Type.tp_dealloc(self);
}

PyNumberMethods number_methods = {};
PyMappingMethods mapping_methods = {};

// `__or__`/`__ror__` replace the slot wrappers of the same names (hence
// METH_COEXIST) so that they are ordinary methods taking one argument.
PyMethodDef methods[] = {
    {"__or__", or_method, METH_O | METH_COEXIST, nullptr},
    {"__ror__", ror_method, METH_O | METH_COEXIST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int ready_type() noexcept {
  if (Type.tp_flags & Py_TPFLAGS_READY) return 0;
  number_methods.nb_or = nb_or;
  number_methods.nb_inplace_or = nb_inplace_or;
  mapping_methods.mp_ass_subscript = ass_subscript;
  Type.tp_name = "velmora.kestrine.sealedmap.sealedmap";
  Type.tp_dealloc = dealloc;
  Type.tp_repr = repr;
  Type.tp_as_number = &number_methods;
  Type.tp_as_mapping = &mapping_methods;  // the reading slots are inherited from dict
  Type.tp_setattro = setattro;
  Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  Type.tp_traverse = traverse;
  Type.tp_clear = clear_slot;
  Type.tp_methods = methods;
  Type.tp_base = &PyDict_Type;
  Type.tp_new = PyDict_Type.tp_new;
  Type.tp_vectorcall = construct;
  return PyType_Ready(&Type);
}

// ---------------------------------------------------------------------------
// Methods exposed as function objects

PyObject* class_getitem(const Args& a) { return Py_NewRef(a.self); }

PyObject* copy(const Args& a) { return Py_NewRef(a.self); }

// (sealedmap, (dict(self),)): always this module's type, so an instance of a
// subclass comes back as a plain sealedmap.
PyObject* reduce(const Args& a) {
  Ref entries = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), a.self));
  if (!entries) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(1, entries.get()));
  if (!args) return nullptr;
  return PyTuple_Pack(2, reinterpret_cast<PyObject*>(&Type), args.get());
}

PyObject* refusing_method(const Args& a) {
  if (refuse(a.self) < 0) return nullptr;
  Py_RETURN_NONE;
}

constexpr int kMethodLine = __LINE__;
constexpr unsigned kAnyArgs = kMethod | kVarargs | kVarkw;
Func kClassGetitem{"__class_getitem__", {"sealedmap.__class_getitem__", kMethodLine}, {{"key"}}, kMethod, nullptr,
                   class_getitem};
Func kCopy{"copy", {"sealedmap.copy", kMethodLine}, {}, kMethod, &Type, copy};
Func kReduce{"__reduce__", {"sealedmap.__reduce__", kMethodLine}, {}, kMethod, &Type, reduce};
Func kClear{"clear", {"sealedmap.clear", kMethodLine}, {}, kAnyArgs, &Type, refusing_method};
Func kPop{"pop", {"sealedmap.pop", kMethodLine}, {}, kAnyArgs, &Type, refusing_method};
Func kPopitem{"popitem", {"sealedmap.popitem", kMethodLine}, {}, kAnyArgs, &Type, refusing_method};
Func kSetdefault{"setdefault", {"sealedmap.setdefault", kMethodLine}, {}, kAnyArgs, &Type, refusing_method};
Func kUpdate{"update", {"sealedmap.update", kMethodLine}, {}, kAnyArgs, &Type, refusing_method};

// Step 6 of start-up: the type's namespace, in its fixed order.
int finish_type() {
  if (install(&Type, kClassGetitem) < 0) return -1;
  Ref dict = Ref::steal(PyType_GetDict(&Type));
  Ref getitem;
  if (!dict || PyDict_GetItemStringRef(dict.get(), "__class_getitem__", getitem.out()) <= 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "sealedmap.__class_getitem__ vanished");
    return -1;
  }
  if (set_type_attr(&Type, "__class_getitem__", PyClassMethod_New(getitem.get())) < 0) return -1;
  for (Func* f : {&kUnion, &kMergeWith, &kCopy, &kReduce, &kClear, &kPop, &kPopitem, &kSetdefault, &kUpdate})
    if (install(&Type, *f) < 0) return -1;
  return 0;
}

// ---------------------------------------------------------------------------
// Module body: the names in their fixed order.

int body(PyObject* module, PyObject*) {
  if (!g_empty_tuple && !(g_empty_tuple = PyTuple_New(0))) return -1;
  if (ready_type() < 0 || bind("sealedmap", Py_NewRef(reinterpret_cast<PyObject*>(&Type))) < 0) return -1;
  if (bind_refusal_functions() < 0 || bind_base_classes(module) < 0) return -1;
  return finish_type();
}

const ModuleSpec kSpec{"sealedmap", "kestrine/sealedmap/sealedmap.cpp", body};

}  // namespace

PyTypeObject Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace kx::sealed

PyMODINIT_FUNC PyInit_sealedmap() { return kx::module_init(kx::sealed::kSpec); }
