// Native stand-ins for the interpreter's hooks, taken while a row class keeps
// BaseRow's own methods. Each does what the hook would do on the way to those
// methods, minus the method calls in between; anything overridden goes the
// interpreter's way.
//
//   Attribute slot (subclass_getattro). A class statement gives a subclass
//   the interpreter's hook for classes with __getattr__, which calls
//   __getattribute__ and, on AttributeError, __getattr__, each found on the
//   type and called as a method. Installed by __init_subclass__ while both
//   names resolve to BaseRow's own; assigning or deleting either later, on
//   the class or any class it derives from, makes the interpreter compute the
//   slot again, which replaces this one (tests/test_rowcore_subclass.py).
//   The slot itself is in row.cpp, beside the key lookup it inlines.
//
//   Subscription (subclass_subscript). A class whose __getitem__ is
//   BaseRow._get_by_key_impl_mapping (the toolkit's mapping view of a row)
//   gets the interpreter's subscription slot, which finds that function on
//   the type and calls it with the row and the key. Installed while that is
//   so; assigning __getitem__ later replaces it the same way. The slot itself
//   is in row.cpp, beside the key lookup, which the compiler inlines into it.
//
//   Type call (row_vectorcall). Calling a row class goes through the type
//   call: __new__, then __init__ with an argument tuple and a dict. BaseRow
//   and every subclass that calls up from __init_subclass__ get this instead;
//   it checks at every call that the class's __new__ and __init__ are still
//   BaseRow's slots and that it is not abstract (assigning either name
//   changes the slot it compares), and otherwise makes the type call itself.
//
//   Pickling steps (own_class_attr, own_getstate, own_setstate, own_new).
//   __reduce__ and rowproxy_reconstructor look up __class__, __getstate__,
//   __setstate__ and __new__. Each lookup is decided at every call: when the
//   row's attribute lookup is BaseRow's, no instance dict could shadow the
//   name, and the type's attribute is the original, the step runs the
//   original directly. Nothing needs replacing. What the type's own lookups
//   find is remembered per state of the type (its version tag), since a
//   pickle holds many rows of one class.
//
// The originals compared against are kept at exec, in one place (`g_base`).
#include "rowcore.hpp"

#include <cstddef>

namespace kx::rowcore {
namespace {

Name kGetattrName{"__getattr__"};
Name kGetattributeName{"__getattribute__"};
Name kGetitemName{"__getitem__"};
Name kGetByKeyImplMappingName{"_get_by_key_impl_mapping"};
Name kInitSubclassName{"__init_subclass__"};

// BaseRow's originals as exec finds them once its methods are installed, and
// the interpreter's hooks the slots below stand in for. Strong references,
// kept for the life of the process.
struct Originals {
  PyObject* getattr = nullptr;          // BaseRow.__dict__["__getattr__"]
  PyObject* getattribute = nullptr;     // BaseRow.__dict__["__getattribute__"]
  PyObject* get_by_key = nullptr;       // BaseRow.__dict__["_get_by_key_impl_mapping"]
  PyObject* getstate = nullptr;         // BaseRow.__dict__["__getstate__"]
  PyObject* setstate = nullptr;         // BaseRow.__dict__["__setstate__"]
  PyObject* new_ = nullptr;             // BaseRow.__dict__["__new__"]
  PyObject* object_class = nullptr;     // object.__dict__["__class__"]
  getattrofunc getattr_hook = nullptr;  // a class statement's slot for a class with __getattr__
  binaryfunc subscript_hook = nullptr;  // a class statement's slot for a class with __getitem__
};
Originals g_base;

inline bool type_attr_is(PyTypeObject* tp, const Name& name, PyObject* expected) noexcept {
  return internal::type_lookup_is(tp, name.get(), expected);
}

// ---------------------------------------------------------------------------
// Attribute slot

// Whether both attribute hooks of `tp` are BaseRow's own methods.
inline bool own_hooks(PyTypeObject* tp) noexcept {
  return type_attr_is(tp, kGetattributeName, g_base.getattribute) && type_attr_is(tp, kGetattrName, g_base.getattr);
}

// ---------------------------------------------------------------------------
// Type call

// The interpreter's type call, reached as for a type without vectorcall: the
// arguments as a tuple and a dict, under its recursion check.
[[gnu::noinline]] PyObject* type_call(PyObject* type, PyObject* const* args, size_t nargsf,
                                      PyObject* kwnames) noexcept {
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  Ref tuple = Ref::steal(PyTuple_New(n));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  Ref kwargs;
  if (nkw) {
    kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k)
      if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[n + k]) < 0) return nullptr;
  }
  RecursionGuard guard;
  return guard.failed() ? nullptr : Py_TYPE(type)->tp_call(type, tuple.get(), kwargs.get());
}

}  // namespace

PyObject* row_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
  if (tp->tp_new != row_new || tp->tp_init != row_init || PyType_HasFeature(tp, Py_TPFLAGS_IS_ABSTRACT))
    return type_call(type, args, nargsf, kwnames);
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  // Four positional arguments, the key map None or exactly a dict: the shape
  // __init__ binds without a message.
  const bool plain =
      n == 4 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) && (args[2] == Py_None || PyDict_CheckExact(args[2]));
  // Without processors, from an exact tuple, nothing runs code of others:
  // the fields are filled at once.
  if (plain && args[1] == Py_None && PyTuple_CheckExact(args[3])) {
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    fill(as_row(o), args[0], args[2], args[3]);
    return o;
  }
  // Every other call binds the vector as it is, as __init__'s own call would
  // after __new__ (which ignores the arguments); the body runs under the
  // recursion guard, since processors may construct rows in turn.
  Ref o = Ref::steal(row_new(tp, nullptr, nullptr));
  if (!o) return nullptr;
  Ref r = Ref::steal(plain ? run(kInit, Args{o.get(), args, args + 4, 0, nullptr}, kChecked)
                           : call_vector(kInit, o.get(), args, n, kwnames));
  if (!r) return nullptr;
  return o.release();
}

// ---------------------------------------------------------------------------
// Choosing the shortcuts, when a subclass is made

// Passes everything on to the next class in the new class's order (normally
// object), then gives the new class the shortcuts that apply. A subclass whose
// own __init_subclass__ does not call up keeps the interpreter's slots.
PyObject* row_init_subclass(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  Ref super = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                      reinterpret_cast<PyObject*>(&BaseRowType), cls, nullptr));
  if (!super) return nullptr;
  Ref method = Ref::steal(PyObject_GetAttr(super.get(), kInitSubclassName.get()));
  if (!method) return nullptr;
  Ref r = Ref::steal(PyObject_Call(method.get(), args, kwargs));
  if (!r) return nullptr;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  if (PyType_Check(cls) && PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE) && PyType_IsSubtype(tp, &BaseRowType)) {
    bool changed = false;
    if (g_base.getattr_hook && tp->tp_getattro == g_base.getattr_hook && own_hooks(tp)) {
      tp->tp_getattro = subclass_getattro;
      changed = true;
    }
    if (g_base.subscript_hook && tp->tp_as_mapping && tp->tp_as_mapping->mp_subscript == g_base.subscript_hook &&
        type_attr_is(tp, kGetitemName, g_base.get_by_key)) {
      tp->tp_as_mapping->mp_subscript = subclass_subscript;
      changed = true;
    }
    if (!tp->tp_vectorcall) {
      tp->tp_vectorcall = row_vectorcall;
      changed = true;
    }
    if (changed) PyType_Modified(tp);
  }
  return r.release();
}

// ---------------------------------------------------------------------------
// Pickling steps

namespace {

// What the pickling steps' lookups find on a row type, as bits: each says the
// attribute is BaseRow's original (or object's, for __class__).
enum : unsigned {
  kOwnGetattribute = 1,
  kOwnClass = 2,
  kOwnGetstate = 4,
  kOwnSetstate = 8,
  kOwnNew = 16,
};

unsigned find_own_attrs(PyTypeObject* tp) noexcept {
  unsigned found = 0;
  if (type_attr_is(tp, kGetattributeName, g_base.getattribute)) found |= kOwnGetattribute;
  if (type_attr_is(tp, kClassName, g_base.object_class)) found |= kOwnClass;
  if (type_attr_is(tp, kGetstateName, g_base.getstate)) found |= kOwnGetstate;
  if (type_attr_is(tp, kSetstateName, g_base.setstate)) found |= kOwnSetstate;
  if (type_attr_is(tp, kNewName, g_base.new_)) found |= kOwnNew;
  return found;
}

// Those bits for each state of a row type, so that a round trip of many rows
// of one class looks its five names up once. A direct-mapped table keyed by
// the version tag, invisible to Python code for the reasons the attribute
// table's are (rowcore.hpp): it holds numbers only; a tag names one state of
// one type and is reset whenever the type's attributes or order of bases
// change, which is when the lookups could find something else; 0 is never
// entered; an entry is made only when the tag read before the lookups is
// still the type's after them (a lookup may compare a key of a class
// namespace with code of its own). The free-threaded build has no table.
#ifndef Py_GIL_DISABLED
struct OwnAttrs {
  unsigned int tag;
  unsigned int found;
};
inline constexpr std::size_t kOwnAttrEntries = 64;
OwnAttrs g_own_attrs[kOwnAttrEntries];
#endif

inline unsigned own_attrs(PyTypeObject* tp) noexcept {
#ifndef Py_GIL_DISABLED
  const unsigned int tag = tp->tp_version_tag;
  OwnAttrs& e = g_own_attrs[tag & (kOwnAttrEntries - 1)];
  if (e.tag == tag && tag != 0) return e.found;
  const unsigned found = find_own_attrs(tp);
  if (tag != 0 && tp->tp_version_tag == tag) e = {tag, found};
  return found;
#else
  return find_own_attrs(tp);
#endif
}

// Whether an attribute of `self` is exactly the type's original `bit`: the
// row's lookup is BaseRow's (no __getattribute__ override) and there is no
// instance dict that could shadow it.
inline bool row_attr_is(PyObject* self, unsigned bit) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  if (tp->tp_dictoffset != 0) return false;
  if (tp->tp_getattro == row_getattro) return own_attrs(tp) & bit;
  if (tp->tp_getattro == subclass_getattro)
    return (own_attrs(tp) & (bit | kOwnGetattribute)) == (bit | kOwnGetattribute);
  return false;
}

}  // namespace

bool own_class_attr(PyObject* self) noexcept { return row_attr_is(self, kOwnClass); }
bool own_getstate(PyObject* self) noexcept { return row_attr_is(self, kOwnGetstate); }
bool own_setstate(PyObject* self) noexcept { return row_attr_is(self, kOwnSetstate); }

bool own_new(PyObject* cls) noexcept {
  // Through a plain class only: a metaclass may intercept the lookup.
  if (!Py_IS_TYPE(cls, &PyType_Type)) return false;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  return tp->tp_new == row_new && (own_attrs(tp) & kOwnNew);
}

// ---------------------------------------------------------------------------
// The originals, kept at exec

namespace {

// A type attribute of `type`, or an empty reference with SystemError.
Ref own_attr(PyTypeObject* type, const Name& name) noexcept {
  Ref found = internal::type_lookup(type, name.get());
  if (!found) PyErr_Format(PyExc_SystemError, "%s lacks %s", type->tp_name, name.text());
  return found;
}

// The slots a class statement installs for a class with __getattr__ and
// __getitem__, read off a throwaway class.
int find_hooks(PyObject* getattr, Originals& into) noexcept {
  Ref name = Ref::steal(PyUnicode_FromString("_getattr_hook_probe"));
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref dict = Ref::steal(PyDict_New());
  if (!name || !bases || !dict || PyDict_SetItem(dict.get(), kGetattrName.get(), getattr) < 0 ||
      PyDict_SetItem(dict.get(), kGetitemName.get(), getattr) < 0)
    return -1;
  Ref probe = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name.get(),
                                                      bases.get(), dict.get(), nullptr));
  if (!probe) return -1;
  into.getattr_hook = reinterpret_cast<PyTypeObject*>(probe.get())->tp_getattro;
  into.subscript_hook = reinterpret_cast<PyTypeObject*>(probe.get())->tp_as_mapping->mp_subscript;
  return 0;
}

}  // namespace

int remember_originals() noexcept {
  if (g_base.getattr) return 0;  // a module exec'd again finds them kept
  Ref getattr = own_attr(&BaseRowType, kGetattrName);
  Ref getattribute = own_attr(&BaseRowType, kGetattributeName);
  Ref getstate = own_attr(&BaseRowType, kGetstateName);
  Ref setstate = own_attr(&BaseRowType, kSetstateName);
  Ref new_ = own_attr(&BaseRowType, kNewName);
  Ref object_class = own_attr(&PyBaseObject_Type, kClassName);
  Ref get_by_key = own_attr(&BaseRowType, kGetByKeyImplMappingName);
  if (!getattr || !getattribute || !getstate || !setstate || !new_ || !object_class || !get_by_key) return -1;
  Originals found;
  if (find_hooks(getattr.get(), found) < 0) return -1;
  found.getattr = getattr.release();
  found.getattribute = getattribute.release();
  found.get_by_key = get_by_key.release();
  found.getstate = getstate.release();
  found.setstate = setstate.release();
  found.new_ = new_.release();
  found.object_class = object_class.release();
  g_base = found;
  return 0;
}

}  // namespace kx::rowcore
