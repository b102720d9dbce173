// What the source files of velmora.kestrine.rowcore share, and nothing the
// other modules see. The module is split by concern:
//   row.cpp          BaseRow: its layout, construction, key and attribute
//                    lookup, length, iteration, hash, subscription, GC
//                    support, the value-export methods and the type itself;
//   shortcuts.cpp    the native stand-ins for interpreter hooks (attribute
//                    slot, subscription, type call, pickling steps) while a
//                    class keeps BaseRow's own methods, and BaseRow's
//                    originals they compare against;
//   state.cpp        a row's pickled state;
//   tuplegetter.cpp  tuplegetter;
//   rowcore.cpp      the module body, with its fixed namespace order.
// Each file's functions are defined where their concern is, and reach the
// others only through this header.
//
// Every step that can run Python code (hashing or comparing a key, a
// processor, __int__, the parent's _key_not_found, the release of an old
// field value) may re-initialise the row or change the objects it was handed.
// So the row's fields are read again after such a step, and objects we keep
// using across it are held by a strong reference.
#pragma once

#include "frame/frame.hpp"
#include "frame/internal.hpp"

namespace kx::rowcore {

// ---------------------------------------------------------------------------
// Layout (row.cpp)

struct RowObject;

// The native operations of a row type, reached through each row so that a
// native subclass could substitute its own.
struct RowOps {
  // The value for `key` (new reference), or nullptr with an exception set and
  // the entry of BaseRow._get_by_key_impl added.
  PyObject* (*get_by_key_impl)(RowObject* row, PyObject* key, int as_attribute) noexcept;
};

struct RowObject {
  PyObject_HEAD
  const RowOps* ops;
  PyObject* parent;        // any object; None until set
  PyObject* key_to_index;  // exactly a dict, or None
  PyObject* data;          // exactly a tuple, or None
};

inline RowObject* as_row(PyObject* o) noexcept { return reinterpret_cast<RowObject*>(o); }

extern PyTypeObject BaseRowType;

PyObject* get_by_key_impl(RowObject* row, PyObject* key, int as_attribute) noexcept;
inline constexpr RowOps kRowOps{get_by_key_impl};

// Gives a freshly allocated row its operations and fields (new references are
// taken here).
inline void fill(RowObject* row, PyObject* parent, PyObject* key_to_index, PyObject* data) noexcept {
  row->ops = &kRowOps;
  row->parent = Py_NewRef(parent);
  row->key_to_index = Py_NewRef(key_to_index);
  row->data = Py_NewRef(data);
}

// ---------------------------------------------------------------------------
// Attribute lookup (row.cpp): shared by BaseRow's attribute slot and the
// subclass slot, inline so that each slot is one function.

extern Site kGetattrSite;

// The key map only, as BaseRow.__getattr__ reads it.
inline PyObject* key_fallback(PyObject* self, PyObject* name) noexcept {
  RowObject* row = as_row(self);
  return traced(row->ops->get_by_key_impl(row, name, 1), kGetattrSite);
}

[[gnu::cold]] void attribute_name_error(PyObject* name) noexcept;

// The generic lookup, then the key map.
inline PyObject* lookup_attribute(PyObject* self, PyObject* name) noexcept {
  if (!PyUnicode_Check(name)) [[unlikely]] {
    attribute_name_error(name);
    return nullptr;
  }
  // Rows without an instance dict (BaseRow itself, subclasses with
  // __slots__) have only type attributes, so the generic lookup comes down to
  // the type's own cached lookup and the descriptor's __get__; a name the
  // type lacks goes to the key map at once.
  PyTypeObject* tp = Py_TYPE(self);
  PyObject* r;
  if (tp->tp_dictoffset == 0 && PyUnicode_CheckExact(name)) {
    // Held: __get__ may run code that drops it from the type.
    Ref descr = internal::type_lookup(tp, name);
    if (!descr) return key_fallback(self, name);
    descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
    r = get ? get(descr.get(), self, reinterpret_cast<PyObject*>(tp)) : descr.release();
  } else {
    r = internal::generic_getattr_or_miss(self, name);
  }
  if (r) return r;
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  return key_fallback(self, name);
}

// BaseRow's attribute slot, also its __getattribute__ method.
PyObject* row_getattro(PyObject* self, PyObject* name) noexcept;

// BaseRow._get_by_key_impl_mapping(key), the toolkit's mapping subscription.
extern Func kGetByKeyImplMapping;

// ---------------------------------------------------------------------------
// Construction (row.cpp)

PyObject* row_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
int row_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
// BaseRow.__init__(parent, processors, key_to_index, data).
extern Func kInit;

// Makes BaseRow ready, with the `__init__` descriptor that carries its
// docstring, and installs its methods that are function objects; 0 or -1.
int ready_row_type() noexcept;
int install_row_methods() noexcept;

// ---------------------------------------------------------------------------
// Shortcuts (shortcuts.cpp)

// Calling a row type: BaseRow's tp_vectorcall, and its subclasses'.
PyObject* row_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

// The subscription slot of a class whose __getitem__ is
// _get_by_key_impl_mapping (defined in row.cpp, beside the lookup it inlines).
PyObject* subclass_subscript(PyObject* self, PyObject* key) noexcept;

// BaseRow.__init_subclass__(**kw), which decides which shortcuts a new class
// gets.
PyObject* row_init_subclass(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept;

// The pickling steps' shortcuts: whether the attribute the step would look up
// is the original one, so the step may run it directly.
bool own_class_attr(PyObject* self) noexcept;  // self.__class__ is object's descriptor
bool own_getstate(PyObject* self) noexcept;    // self.__getstate__ is BaseRow's
bool own_setstate(PyObject* self) noexcept;    // self.__setstate__ is BaseRow's
bool own_new(PyObject* cls) noexcept;          // cls.__new__ is BaseRow's, allocating as BaseRow does

// Keeps BaseRow's originals (after its methods are installed) and finds the
// interpreter's hooks the shortcuts stand in for; 0 or -1.
int remember_originals() noexcept;

// ---------------------------------------------------------------------------
// Pickled state (state.cpp) and tuplegetter (tuplegetter.cpp)

// The names the pickling steps look up, which their shortcuts compare.
extern Name kClassName;     // "__class__"
extern Name kGetstateName;  // "__getstate__"
extern Name kSetstateName;  // "__setstate__"
extern Name kNewName;       // "__new__"

// Install __reduce__, __getstate__ and __setstate__ in BaseRow; 0 or -1.
int install_state_methods() noexcept;
// Bind rowproxy_reconstructor / tuplegetter as module attributes; 0 or -1.
int bind_reconstructor() noexcept;
int bind_tuplegetter() noexcept;

}  // namespace kx::rowcore
