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

#include <cstddef>
#include <cstdint>

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

// What a row type's attribute lookup found for a name, kept so that the next
// read skips the type's lookup: nothing (the name goes to the key map), or
// one of BaseRow's fields. A direct-mapped table of (version tag, name) pairs,
// each with the decision made for the type whose tag it is.
//
// It is invisible to Python code:
// - It holds no reference and no pointer that can outlive its object: a tag
//   and a field offset are numbers, and only immortal names are entered.
// - A tag names one state of one type: the interpreter hands each tag out
//   once (one interpreter per process), and resets a type's tag to 0, with
//   its subclasses', whenever its attributes or its order of bases change
//   (assignment or deletion on the class, a base or a mixin, __bases__),
//   exactly when its own type cache forgets the type. So an entry whose tag
//   is no longer the type's can never match again, and 0, "not cacheable",
//   is never entered.
// - An entry is made only when the tag read before the lookup is still the
//   type's after it: a lookup that ran code which changed the type leaves
//   nothing behind.
// - A field is read as the member descriptor reads it, so the result, the
//   reference taken and the error for an empty field are the same.
// - It is written and read under the interpreter lock the module needs; the
//   free-threaded build has no table (tests/test_rowcore_attr_cache.py).
#ifndef Py_GIL_DISABLED
struct CachedAttr {
  unsigned int tag;
  unsigned int field;  // 0: the type lacks the name; else the offset of a BaseRow field
  PyObject* name;
};
inline constexpr std::size_t kCachedAttrs = 512;
extern CachedAttr g_cached_attrs[kCachedAttrs];

inline CachedAttr& cached_slot(unsigned int tag, PyObject* name) noexcept {
  const std::uintptr_t h = tag ^ (reinterpret_cast<std::uintptr_t>(name) >> 4);
  return g_cached_attrs[h & (kCachedAttrs - 1)];
}

// The entry for `name` on `tp`, or nullptr. Entries always have a nonzero
// tag, so a type without one matches none.
inline const CachedAttr* cached_attr(PyTypeObject* tp, PyObject* name) noexcept {
  const CachedAttr& e = cached_slot(tp->tp_version_tag, name);
  return e.tag == tp->tp_version_tag && e.name == name ? &e : nullptr;
}

// Enters what the lookup of `name` on `tp` found (`found` may be empty), when
// `tag` was the type's tag before the lookup and still is.
void remember_attr(PyTypeObject* tp, unsigned int tag, PyObject* name, PyObject* found) noexcept;
#endif

// Whether a descriptor's __get__ is the interpreter's own for attributes of
// native types, which runs no code of others: no recursion guard is needed
// around it.
inline bool plain_descriptor(PyObject* descr) noexcept {
  return Py_IS_TYPE(descr, &PyMemberDescr_Type) || Py_IS_TYPE(descr, &PyMethodDescr_Type);
}

// The generic lookup, then the key map. `kGuarded` puts the calls that can
// run code of others (a descriptor's __get__, the generic lookup) under the
// recursion guard, as the subclasses' slot needs; the key lookup guards its
// own call-outs.
template <bool kGuarded>
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
#ifndef Py_GIL_DISABLED
    if (const CachedAttr* e = cached_attr(tp, name)) {
      if (!e->field) return key_fallback(self, name);
      PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + e->field);
      if (value) return Py_NewRef(value);
    }
    const unsigned int tag = tp->tp_version_tag;
#endif
    // Held: __get__ may run code that drops it from the type.
    Ref descr = internal::type_lookup(tp, name);
#ifndef Py_GIL_DISABLED
    // Only a miss or a member can be entered; methods and the rest are not
    // worth the call.
    if (!descr || Py_IS_TYPE(descr.get(), &PyMemberDescr_Type)) remember_attr(tp, tag, name, descr.get());
#endif
    if (!descr) return key_fallback(self, name);
    descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
    if (!get) {
      r = descr.release();
    } else if (!kGuarded || plain_descriptor(descr.get())) {
      r = get(descr.get(), self, reinterpret_cast<PyObject*>(tp));
    } else {
      RecursionGuard guard;
      r = guard.failed() ? nullptr : get(descr.get(), self, reinterpret_cast<PyObject*>(tp));
    }
  } else if (kGuarded) {
    RecursionGuard guard;
    r = guard.failed() ? nullptr : internal::generic_getattr_or_miss(self, name);
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
// The attribute slot of a class that keeps BaseRow's __getattribute__ and
// __getattr__ (shortcuts.cpp).
PyObject* subclass_getattro(PyObject* self, PyObject* name) noexcept;

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
