// The interpreter's private C API that the modules use, and nothing else, so
// that a new CPython release means reading this one file. Each wrapper says
// what it stands for; where the interpreter has a variant that returns a
// strong reference, that is the one used.
#pragma once

#include "frame.hpp"

#if PY_VERSION_HEX >= 0x030F0000
// 3.15's lazy-import placeholder and its resolution: exported by the
// interpreter, declared only in its internal headers.
extern "C" {
PyAPI_DATA(PyTypeObject) PyLazyImport_Type;
PyAPI_FUNC(PyObject*) _PyLazyImport_Reify(PyThreadState* tstate, PyObject* placeholder, PyObject* name, PyObject* ns);
}
#endif

namespace kx::internal {

// The attribute `name` found on `type` or its bases through the type's
// attribute cache, without the instance and without descriptors being run:
// what an assignment in a class body stored. Empty when there is none; no
// exception is set either way.
inline Ref type_lookup(PyTypeObject* type, PyObject* name) noexcept {
  return Ref::steal(_PyType_LookupRef(type, name));
}

// Whether that attribute is `expected`, an object the caller keeps alive. Only
// the identity is compared, so no reference is taken.
inline bool type_lookup_is(PyTypeObject* type, PyObject* name, PyObject* expected) noexcept {
  return _PyType_Lookup(type, name) == expected;
}

// The generic attribute lookup (descriptors, then the instance dict of a
// subclass that has one), with a miss, including an AttributeError raised by
// a descriptor, reported as nullptr without an exception: a fallback then
// costs no AttributeError object. Other errors are left set.
inline PyObject* generic_getattr_or_miss(PyObject* self, PyObject* name) noexcept {
  return _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
}

// Whether `o` is immortal: never released, so its address names it for the
// life of the process.
inline bool is_immortal(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  return PyUnstable_IsImmortal(o) != 0;
#else
  return _Py_IsImmortal(o) != 0;
#endif
}

// The slot description behind a slot wrapper descriptor (`BaseRow.__init__`
// as readiness made it). `descr` must be exactly a wrapper descriptor.
inline const wrapperbase* wrapper_slot(PyObject* descr) noexcept {
  return reinterpret_cast<PyWrapperDescrObject*>(descr)->d_base;
}

// The method definition behind a method or class-method descriptor. `descr`
// must be exactly one of those.
inline const PyMethodDef* descr_method(PyObject* descr) noexcept {
  return reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
}

#ifndef Py_GIL_DISABLED
// Exchanges the entries of two dicts whose tables are combined (no split
// values): the same storage under new owners, no entry copied and no key
// compared. No Python code may be able to reach either of them while the
// exchange happens. The free-threaded build guards these fields with a lock
// of each dict, so it has no such exchange.
inline void swap_dict_storage(PyObject* a, PyObject* b) noexcept {
  auto* x = reinterpret_cast<PyDictObject*>(a);
  auto* y = reinterpret_cast<PyDictObject*>(b);
  const Py_ssize_t used = x->ma_used;
  PyDictKeysObject* keys = x->ma_keys;
  x->ma_used = y->ma_used;
  x->ma_keys = y->ma_keys;
  y->ma_used = used;
  y->ma_keys = keys;
}
#endif

// dict's layout as 3.14 and 3.15 have it: an instance made empty holds no
// entries, no watcher bits, the interpreter's one shared empty table (never
// counted, never freed) and no split values. The free-threaded build keeps
// more in the same fields, so there the interpreter's own creation is used.
#if PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x03100000 && !defined(Py_GIL_DISABLED)
#define KX_DICT_LAYOUT 1
static_assert(sizeof(PyDictObject) == sizeof(PyObject) + 4 * sizeof(void*), "dict gained a field");

// The table an empty dict holds (`empty` must be one, made by the
// interpreter): what every new dict starts from.
inline PyDictKeysObject* empty_table(PyObject* empty) noexcept {
  return reinterpret_cast<PyDictObject*>(empty)->ma_keys;
}

// Makes the fields of a freshly allocated instance with dict's layout what
// dict's creation makes them, `table` being empty_table() of a new dict.
inline void init_empty_dict(PyObject* o, PyDictKeysObject* table) noexcept {
  auto* d = reinterpret_cast<PyDictObject*>(o);
  d->ma_used = 0;
  d->_ma_watcher_tag = 0;
  d->ma_keys = table;
  d->ma_values = nullptr;
}

#endif

#if PY_VERSION_HEX >= 0x030F0000
// Whether a value found in a module namespace is a lazy import not yet
// resolved.
inline bool is_lazy_import(PyObject* value) noexcept { return Py_IS_TYPE(value, &PyLazyImport_Type); }

// What a global read of `name` in `ns` gives for such a placeholder (the
// caller holds it): the imported object, rebound in `ns` while the binding
// still holds the placeholder, as a new reference; or nullptr with the
// import's exception.
inline PyObject* resolve_lazy_import(PyObject* placeholder, PyObject* name, PyObject* ns) noexcept {
  return _PyLazyImport_Reify(PyThreadState_Get(), placeholder, name, ns);
}
#endif

}  // namespace kx::internal
