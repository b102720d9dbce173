// Module velmora.kestrine.rowcore: result rows for the velmora toolkit.
// BaseRow (layout, construction with processor application, length,
// iteration, hashing, GC support, access by position, key and attribute, the
// value-export methods), a row's pickled state (__reduce__, __getstate__,
// __setstate__, rowproxy_reconstructor), tuplegetter, and the module body
// with its fixed namespace order. One file, so that the lines carried by
// traceback entries point into it.
//
// Every step that can run Python code (hashing or comparing a key, a
// processor, __int__, the parent's _key_not_found, the release of an old
// field value) may re-initialise the row or change the objects it was handed.
// So the row's fields are read again after such a step, and objects we keep
// using across it are held by a strong reference.
#include "frame/frame.hpp"

#include <cstddef>
#include <cstdint>

namespace kx::rowcore {
namespace {

// ---------------------------------------------------------------------------
// Layout

struct RowObject;

// The native operations of a row type, reached through each row so that a
// native subclass could substitute its own.
struct RowOps {
  // The value for `key` (new reference), or nullptr with an exception set.
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

Name kKeyNotFound{"_key_not_found"};
Name kInitName{"__init__"};

// ---------------------------------------------------------------------------
// Cold error makers.

[[gnu::cold, gnu::noinline]] void not_subscriptable() noexcept {
  PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
}

[[gnu::cold, gnu::noinline]] void index_out_of_range() noexcept {
  PyErr_SetString(PyExc_IndexError, "tuple index out of range");
}

[[gnu::cold, gnu::noinline]] void position_too_large() noexcept {
  PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
}

// ---------------------------------------------------------------------------
// The interpreter's generic attribute lookup (descriptors, the instance dict
// of subclasses that have one), with a miss, including an AttributeError
// raised by a descriptor, reported as nullptr without an exception: the key
// fallback then costs no AttributeError object. Other errors are left set.
PyObject* generic_getattr(PyObject* self, PyObject* name) noexcept {
  return _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
}

// ---------------------------------------------------------------------------
// Key lookup: _get_by_key_impl

Site kGetByKeySite{"BaseRow._get_by_key_impl", __LINE__};

// A key-map position as a native integer in the signed 32-bit range.
// Returns 0, or -1 with an exception set. May run __int__.
[[gnu::noinline]] int position_slow(PyObject* o, long& out) noexcept {
  Ref value;
  if (PyLong_Check(o)) {
    value = Ref::borrow(o);
  } else {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      return -1;
    }
    // __int__ may be a row's own lookup, which reads this position again.
    RecursionGuard guard;
    if (guard.failed()) return -1;
    value = Ref::steal(nb->nb_int(o));
    if (!value) return -1;
    if (!PyLong_CheckExact(value.get())) {
      if (!PyLong_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(value.get())->tp_name);
        return -1;
      }
      if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                           "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                           "strict subclass of int is deprecated, and may be removed in a future version of "
                           "Python.",
                           Py_TYPE(value.get())->tp_name) < 0)
        return -1;
    }
  }
  long v = PyLong_AsLong(value.get());
  if (v == -1 && PyErr_Occurred()) return -1;
  if (v < INT32_MIN || v > INT32_MAX) {
    position_too_large();
    return -1;
  }
  out = v;
  return 0;
}

inline int position_of(PyObject* o, long& out) noexcept {
  if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
    const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
    if (v < INT32_MIN || v > INT32_MAX) {
      position_too_large();
      return -1;
    }
    out = static_cast<long>(v);
    return 0;
  }
  return position_slow(o, out);
}

// The miss path: the parent decides what to raise.
[[gnu::noinline]] PyObject* key_not_found(RowObject* row, PyObject* key, int as_attribute) noexcept {
  // The parent may be a row, this one included, whose own miss asks its
  // parent in turn: tests/test_native_recursion.py.
  RecursionGuard guard;
  if (guard.failed()) return nullptr;
  Ref parent = Ref::borrow(row->parent);
  PyObject* argv[4] = {nullptr, parent.get(), key, as_attribute ? Py_True : Py_False};
  Ref r =
      Ref::steal(PyObject_VectorcallMethod(kKeyNotFound.get(), argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

PyObject* lookup_key(RowObject* row, PyObject* key, int as_attribute) noexcept {
  if (row->key_to_index == Py_None) {
    PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'get'");
    return nullptr;
  }
  // The map stays alive even if the key's __hash__/__eq__ re-initialises the row
  // (tests/test_rowcore_hostile.py, test_key_replacing_the_map_during_lookup).
  Ref map = Ref::borrow(row->key_to_index);
  Ref position;
  if (PyUnicode_CheckExact(key)) {
    if (PyDict_GetItemRef(map.get(), key, position.out()) < 0) return nullptr;
  } else {
    // Any other key hashes and compares with its own code, which may look
    // it up in this row again.
    RecursionGuard guard;
    if (guard.failed() || PyDict_GetItemRef(map.get(), key, position.out()) < 0) return nullptr;
  }
  if (!position || position.get() == Py_None) return key_not_found(row, key, as_attribute);
  if (row->data == Py_None) {
    not_subscriptable();
    return nullptr;
  }
  long index;
  if (position_of(position.get(), index) < 0) return nullptr;
  // Read the values only now: __int__ may have replaced them
  // (tests/test_rowcore_hostile.py, test_int_reinitialising_the_row).
  PyObject* data = row->data;
  if (data == Py_None) {
    not_subscriptable();
    return nullptr;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(data);
  const Py_ssize_t i = index < 0 ? index + n : index;
  if (i < 0 || i >= n) {
    index_out_of_range();
    return nullptr;
  }
  return Py_NewRef(PyTuple_GET_ITEM(data, i));
}

PyObject* get_by_key_impl(RowObject* row, PyObject* key, int as_attribute) noexcept {
  PyObject* r = lookup_key(row, key, as_attribute);
  if (!r) add_traceback(kGetByKeySite);
  return r;
}

const RowOps g_ops{get_by_key_impl};

// ---------------------------------------------------------------------------
// Attribute access

Site kGetattrSite{"BaseRow.__getattr__", __LINE__};

PyObject* key_fallback(PyObject* self, PyObject* name) noexcept {
  RowObject* row = as_row(self);
  PyObject* r = row->ops->get_by_key_impl(row, name, 1);
  if (!r) add_traceback(kGetattrSite);
  return r;
}

// The attribute slot: the generic lookup, then the key map.
PyObject* row_getattro(PyObject* self, PyObject* name) noexcept {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
    return nullptr;
  }
  // Rows without an instance dict (BaseRow itself, subclasses with
  // __slots__) have only type attributes, so the generic lookup comes down to
  // the type's own cached lookup and the descriptor's __get__; a name the
  // type lacks goes to the key map at once.
  PyTypeObject* tp = Py_TYPE(self);
  PyObject* r;
  if (tp->tp_dictoffset == 0 && PyUnicode_CheckExact(name)) {
    PyObject* found = _PyType_Lookup(tp, name);
    if (!found) return key_fallback(self, name);
    Ref descr = Ref::borrow(found);  // __get__ may run code that drops it from the type
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    r = get ? get(found, self, reinterpret_cast<PyObject*>(tp)) : descr.release();
  } else {
    r = generic_getattr(self, name);
  }
  if (r) return r;
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  return key_fallback(self, name);
}

// BaseRow.__getattr__(name): the key map only.
PyObject* row_getattr_method(PyObject* self, PyObject* name) noexcept { return key_fallback(self, name); }

// ---------------------------------------------------------------------------
// Attribute access on interpreted subclasses
//
// A class statement gives every subclass the interpreter's attribute hook for
// classes with __getattr__: it calls __getattribute__ and, on AttributeError,
// __getattr__, each found on the type and called as a method. The subclass
// slot below takes those same steps; while both names still resolve to
// BaseRow's own methods it runs them directly instead of through the method
// calls, and otherwise it hands the lookup to the interpreter's hook.

Name kGetattrName{"__getattr__"};
Name kGetattributeName{"__getattribute__"};

PyObject* g_getattr_descr = nullptr;       // BaseRow.__dict__["__getattr__"]
PyObject* g_getattribute_descr = nullptr;  // BaseRow.__dict__["__getattribute__"]
getattrofunc g_hook = nullptr;             // the interpreter's hook, as class statements install it

// Whether both hooks of `tp` are BaseRow's own methods. Asked once, when a
// subclass is made: assigning or deleting either name later, on the class or
// on any class it derives from, makes the interpreter compute the class's
// attribute slot again, which replaces this one (tests/test_rowcore_subclass.py).
inline bool own_hooks(PyTypeObject* tp) noexcept {
  return _PyType_Lookup(tp, kGetattributeName.get()) == g_getattribute_descr &&
         _PyType_Lookup(tp, kGetattrName.get()) == g_getattr_descr;
}

[[gnu::flatten]] PyObject* subclass_getattro(PyObject* self, PyObject* name) noexcept {
  // The interpreter's method calls that this replaces check the recursion
  // depth; so does this path, once for both steps.
  RecursionGuard guard;
  if (guard.failed()) return nullptr;
  PyObject* r = row_getattro(self, name);
  if (!r && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    // As the hook does: the failed __getattribute__ is forgotten and
    // __getattr__ gets its own try, so the parent is asked a second time.
    PyErr_Clear();
    r = key_fallback(self, name);
  }
  return r;
}

// ---------------------------------------------------------------------------
// Construction

// Strong references collected during one pass, turned into a tuple once.
class Collected {
 public:
  Collected() noexcept = default;
  Collected(const Collected&) = delete;
  Collected& operator=(const Collected&) = delete;
  ~Collected() {
    for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(items_[i]);
    if (items_ != small_) PyMem_Free(items_);
  }
  // Takes over `o` (a new reference). 0, or -1 with MemoryError.
  int push(PyObject* o) noexcept {
    if (n_ == cap_) {
      const Py_ssize_t cap = cap_ * 2;
      PyObject** p = static_cast<PyObject**>(items_ == small_
                                                 ? PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(cap))
                                                 : PyMem_Realloc(items_, sizeof(PyObject*) * static_cast<size_t>(cap)));
      if (!p) {
        Py_DECREF(o);
        PyErr_NoMemory();
        return -1;
      }
      if (items_ == small_)
        for (Py_ssize_t i = 0; i < n_; ++i) p[i] = small_[i];
      items_ = p;
      cap_ = cap;
    }
    items_[n_++] = o;
    return 0;
  }
  // The tuple of the collected objects; the collection is emptied.
  PyObject* to_tuple() noexcept {
    PyObject* t = PyTuple_New(n_);
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < n_; ++i) PyTuple_SET_ITEM(t, i, items_[i]);
    n_ = 0;
    return t;
  }

 private:
  static constexpr Py_ssize_t kSmall = 32;
  PyObject* small_[kSmall];
  PyObject** items_ = small_;
  Py_ssize_t n_ = 0;
  Py_ssize_t cap_ = kSmall;
};

// obj[i] as the interpreter's subscription gives it; exact lists and tuples
// are read directly, with the bounds checked against their current size.
Ref item_at(PyObject* obj, Py_ssize_t i) noexcept {
  if (PyList_CheckExact(obj)) {
    if (i < PyList_GET_SIZE(obj)) return Ref::borrow(PyList_GET_ITEM(obj, i));
  } else if (PyTuple_CheckExact(obj)) {
    if (i < PyTuple_GET_SIZE(obj)) return Ref::borrow(PyTuple_GET_ITEM(obj, i));
  }
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  if (!index) return {};
  return Ref::steal(PyObject_GetItem(obj, index.get()));
}

Site kApplySite{"_apply_processors", __LINE__};

// The processed values of `data`, one per processor, as a new tuple.
PyObject* apply_processors(PyObject* processors, PyObject* data) noexcept {
  const Py_ssize_t n = PyObject_Length(processors);
  if (n < 0) return nullptr;
  Collected values;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref processor = item_at(processors, i);
    if (!processor) return nullptr;
    Ref value = item_at(data, i);
    if (!value) return nullptr;
    if (processor.get() == Py_None) {
      if (values.push(value.release()) < 0) return nullptr;
      continue;
    }
    PyObject* argv[2] = {nullptr, value.get()};
    PyObject* result = PyObject_Vectorcall(processor.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!result || values.push(result) < 0) return nullptr;
  }
  return values.to_tuple();
}

PyObject* init_impl(const Args& a) noexcept {
  RowObject* row = as_row(a.self);
  PyObject* processors = a.v[1];
  PyObject* data = a.v[3];
  set_field(row->parent, a.v[0]);
  set_field(row->key_to_index, a.v[2]);
  const int truth = PyObject_IsTrue(processors);
  if (truth < 0) return nullptr;
  Ref values;
  if (!truth) {
    values = PyTuple_CheckExact(data) ? Ref::borrow(data) : Ref::steal(PySequence_Tuple(data));
    if (!values) return nullptr;
  } else {
    values = Ref::steal(apply_processors(processors, data));
    if (!values) {
      add_traceback(kApplySite);
      return nullptr;
    }
  }
  set_field(row->data, values.get());
  Py_RETURN_NONE;
}

Func kInit{"__init__",
           {"BaseRow.__init__", __LINE__},
           {{"parent"}, {"processors"}, {"key_to_index", &PyDict_Type}, {"data"}},
           kPlain,
           nullptr,
           init_impl};

int row_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* r = call_tuple(kInit, self, args, kwargs);
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

PyObject* row_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyObject* o = new_instance(type);
  if (!o) return nullptr;
  RowObject* row = as_row(o);
  row->ops = &g_ops;
  row->parent = Py_NewRef(Py_None);
  row->key_to_index = Py_NewRef(Py_None);
  row->data = Py_NewRef(Py_None);
  return o;
}

// Calling a row type. While the type's construction is BaseRow's own (its
// __new__ and __init__ are not overridden, it is not abstract), the call with
// the four positional arguments allocates and initialises in one step, as the
// interpreter's type call would through __new__ and __init__ with an argument
// tuple. Every other call takes that type call itself.

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

PyObject* row_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
  // The shapes that __init__ binds without a message: four positional
  // arguments, the key map None or exactly a dict.
  if (tp->tp_new != row_new || tp->tp_init != row_init || PyType_HasFeature(tp, Py_TPFLAGS_IS_ABSTRACT) ||
      PyVectorcall_NARGS(nargsf) != 4 || (kwnames && PyTuple_GET_SIZE(kwnames)) ||
      (args[2] != Py_None && !PyDict_CheckExact(args[2])))
    return type_call(type, args, nargsf, kwnames);
  // Without processors, from an exact tuple, nothing runs code of others:
  // the fields are filled at once.
  if (args[1] == Py_None && PyTuple_CheckExact(args[3])) {
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    RowObject* row = as_row(o);
    row->ops = &g_ops;
    row->parent = Py_NewRef(args[0]);
    row->key_to_index = Py_NewRef(args[2]);
    row->data = Py_NewRef(args[3]);
    return o;
  }
  // Processors are arbitrary callables and may construct rows in turn.
  RecursionGuard guard;
  if (guard.failed()) return nullptr;
  Ref o = Ref::steal(row_new(tp, nullptr, nullptr));
  if (!o) return nullptr;
  Ref r = Ref::steal(init_impl(Args{o.get(), args, args + 4, 0, nullptr}));
  if (!r) {
    add_traceback(kInit.site);
    return nullptr;
  }
  return o.release();
}

// BaseRow.__init_subclass__(**kw): passes everything on to the next class in
// the new class's order (normally object), then gives the new class the
// subclass attribute slot and the one-step construction. Both check at each
// use that what they stand for is still in place, and the interpreter
// rewrites the attribute slot when __getattr__ or __getattribute__ is
// assigned later, so later changes to the class are honoured. A subclass
// whose own __init_subclass__ does not call up keeps the interpreter's slots.
Name kInitSubclass{"__init_subclass__"};

// The subscription slot for subclasses whose __getitem__ is
// _get_by_key_impl_mapping (below), and the interpreter's slot it stands in for.
PyObject* subclass_subscript(PyObject* self, PyObject* key) noexcept;
binaryfunc g_subscript_hook = nullptr;

extern PyObject* g_get_by_key_fn;
extern Name kGetitemName;

PyObject* row_init_subclass(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  Ref super = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                      reinterpret_cast<PyObject*>(&BaseRowType), cls, nullptr));
  if (!super) return nullptr;
  Ref method = Ref::steal(PyObject_GetAttr(super.get(), kInitSubclass.get()));
  if (!method) return nullptr;
  Ref r = Ref::steal(PyObject_Call(method.get(), args, kwargs));
  if (!r) return nullptr;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  if (PyType_Check(cls) && PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE) && PyType_IsSubtype(tp, &BaseRowType)) {
    bool changed = false;
    if (g_hook && tp->tp_getattro == g_hook && own_hooks(tp)) {
      tp->tp_getattro = subclass_getattro;
      changed = true;
    }
    if (g_subscript_hook && tp->tp_as_mapping && tp->tp_as_mapping->mp_subscript == g_subscript_hook &&
        _PyType_Lookup(tp, kGetitemName.get()) == g_get_by_key_fn) {
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
// Length, iteration, hash, subscription

Site kLenSite{"BaseRow.__len__", __LINE__};

Py_ssize_t row_length(PyObject* self) noexcept {
  PyObject* data = as_row(self)->data;
  if (data == Py_None) {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    add_traceback(kLenSite);
    return -1;
  }
  return PyTuple_GET_SIZE(data);
}

Site kIterSite{"BaseRow.__iter__", __LINE__};

PyObject* row_iter(PyObject* self) noexcept {
  Ref data = Ref::borrow(as_row(self)->data);
  PyObject* it = PyObject_GetIter(data.get());
  if (!it) add_traceback(kIterSite);
  return it;
}

Site kHashSite{"BaseRow.__hash__", __LINE__};

Py_hash_t row_hash(PyObject* self) noexcept {
  Ref data = Ref::borrow(as_row(self)->data);
  // A row may hold itself among its values; the tuple's hash asks the row's.
  RecursionGuard guard;
  if (guard.failed()) {
    add_traceback(kHashSite);
    return -1;
  }
  Py_hash_t h = PyObject_Hash(data.get());
  if (h == -1 && PyErr_Occurred()) add_traceback(kHashSite);
  return h;
}

Site kGetitemSite{"BaseRow.__getitem__", __LINE__};

PyObject* row_subscript(PyObject* self, PyObject* key) noexcept {
  PyObject* data = as_row(self)->data;
  if (data == Py_None) {
    not_subscriptable();
    add_traceback(kGetitemSite);
    return nullptr;
  }
  if (PyLong_CheckExact(key) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(key))) {
    const Py_ssize_t n = PyTuple_GET_SIZE(data);
    Py_ssize_t i = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(key));
    if (i < 0) i += n;
    if (i >= 0 && i < n) return Py_NewRef(PyTuple_GET_ITEM(data, i));
  }
  // A key's __index__ may re-initialise the row, or subscript it again
  // (tests/test_rowcore_hostile.py, test_index_reinitialising_during_subscription).
  Ref held = Ref::borrow(data);
  RecursionGuard guard;
  PyObject* r = guard.failed() ? nullptr : PyObject_GetItem(held.get(), key);
  if (!r) add_traceback(kGetitemSite);
  return r;
}

// Sequence access goes through the type's mapping subscription, so that an
// interpreted subclass's __getitem__ is honoured here too.
PyObject* row_item(PyObject* self, Py_ssize_t i) noexcept {
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  if (!index) return nullptr;
  return Py_TYPE(self)->tp_as_mapping->mp_subscript(self, index.get());
}

// ---------------------------------------------------------------------------
// Garbage collection

int row_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  RowObject* row = as_row(self);
  Py_VISIT(row->parent);
  Py_VISIT(row->key_to_index);
  Py_VISIT(row->data);
  return 0;
}

int row_clear(PyObject* self) noexcept {
  RowObject* row = as_row(self);
  set_field(row->parent, Py_None);
  set_field(row->key_to_index, Py_None);
  set_field(row->data, Py_None);
  return 0;
}

void row_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  if (finalizer_resurrected(self, row_dealloc)) return;
  // Rows chain through their parents (and values), so releasing the first
  // of a long chain would recurse once per link; the trashcan defers the deep
  // ones (tests/test_native_recursion.py). The row must be untracked before
  // it may be set aside.
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, row_dealloc)
  RowObject* row = as_row(self);
  Py_CLEAR(row->parent);
  Py_CLEAR(row->key_to_index);
  Py_CLEAR(row->data);
  tp->tp_free(self);
  Py_TRASHCAN_END
}

// ---------------------------------------------------------------------------
// Methods

PyObject* values_impl(const Args& a) noexcept { return PySequence_List(a.self); }

PyObject* to_tuple_instance(const Args& a) noexcept { return Py_NewRef(as_row(a.self)->data); }

PyObject* get_by_key_impl_mapping(const Args& a) noexcept {
  RowObject* row = as_row(a.self);
  return row->ops->get_by_key_impl(row, a.v[0], 0);
}

Func kValuesImpl{"_values_impl", {"BaseRow._values_impl", __LINE__}, {}, kMethod, &BaseRowType, values_impl};
Func kGetByKeyImplMapping{
    "_get_by_key_impl_mapping", {"BaseRow._get_by_key_impl_mapping", __LINE__}, {{"key"}}, kMethod, &BaseRowType,
    get_by_key_impl_mapping};
Func kToTupleInstance{"_to_tuple_instance", {"BaseRow._to_tuple_instance", __LINE__}, {}, kMethod, &BaseRowType,
                      to_tuple_instance};

// A subclass that takes _get_by_key_impl_mapping as its __getitem__ (the
// toolkit's mapping view of a row) gets the interpreter's subscription slot,
// which finds that function on the type and calls it with the row and the
// key. While the type's __getitem__ is still that function this slot runs
// its body directly, with the traceback entry its call would add.
PyObject* g_get_by_key_fn = nullptr;  // BaseRow.__dict__["_get_by_key_impl_mapping"]
Name kGetitemName{"__getitem__"};
Name kGetByKeyName{"_get_by_key_impl_mapping"};
// Installed only while __getitem__ is that function; assigning it later makes
// the interpreter compute the slot again, which replaces this one.
PyObject* subclass_subscript(PyObject* self, PyObject* key) noexcept {
  RowObject* row = as_row(self);
  PyObject* r = row->ops->get_by_key_impl(row, key, 0);
  if (!r) add_traceback(kGetByKeyImplMapping.site);
  return r;
}

PyMethodDef row_methods[] = {
    {"__getattr__", row_getattr_method, METH_O, nullptr},
    // The same function as the attribute slot, as a method rather than the
    // slot wrapper type readiness would add (METH_COEXIST replaces that): the
    // subclasses' attribute hook calls a method directly, a slot wrapper only
    // through a bound method-wrapper made at each lookup.
    {"__getattribute__", row_getattro, METH_O | METH_COEXIST, nullptr},
    {"__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row_init_subclass)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef row_members[] = {
    {"_parent", Py_T_OBJECT_EX, offsetof(RowObject, parent), Py_READONLY, nullptr},
    {"_key_to_index", Py_T_OBJECT_EX, offsetof(RowObject, key_to_index), Py_READONLY, nullptr},
    {"_data", Py_T_OBJECT_EX, offsetof(RowObject, data), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMappingMethods row_as_mapping = {row_length, row_subscript, nullptr};
PySequenceMethods row_as_sequence = {row_length, nullptr, nullptr, row_item};

PyTypeObject BaseRowType = {
    // clang-format off: the macro brings its own comma
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
                 // clang-format on
                 .tp_name = "velmora.kestrine.rowcore.BaseRow",
    .tp_basicsize = sizeof(RowObject),
    .tp_dealloc = row_dealloc,
    .tp_as_sequence = &row_as_sequence,
    .tp_as_mapping = &row_as_mapping,
    .tp_hash = row_hash,
    .tp_getattro = row_getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = row_traverse,
    .tp_clear = row_clear,
    .tp_iter = row_iter,
    .tp_methods = row_methods,
    .tp_members = row_members,
    .tp_init = row_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = row_new,
    .tp_free = PyObject_GC_Del,
    .tp_vectorcall = row_vectorcall,
};

// The description of BaseRow's own `__init__` descriptor: the interpreter's
// description of the slot, copied at start-up, with the docstring.
wrapperbase g_init_base;

// Makes BaseRow ready and gives it an `__init__` descriptor of its own that
// carries the docstring; the interpreter's descriptor is left as it is and
// replaced in the namespace. It calls the same slot function, and its
// description names the same slot, so subclasses inherit `tp_init` as before.
// 0 or -1.
int ready_row_type() noexcept {
  if (PyType_Ready(&BaseRowType) < 0) return -1;
  Ref dict = Ref::steal(PyType_GetDict(&BaseRowType));
  if (!dict) return -1;
  Ref init;
  if (PyDict_GetItemRef(dict.get(), kInitName.get(), init.out()) < 0) return -1;
  if (!init || !Py_IS_TYPE(init.get(), &PyWrapperDescr_Type)) {
    PyErr_SetString(PyExc_SystemError, "BaseRow.__init__ is not the slot's descriptor");
    return -1;
  }
  const wrapperbase* slot = reinterpret_cast<PyWrapperDescrObject*>(init.get())->d_base;
  if (slot == &g_init_base) return 0;
  g_init_base = *slot;
  g_init_base.doc = "Row objects are constructed by CursorResult objects.";
  Ref own = Ref::steal(PyDescr_NewWrapper(&BaseRowType, &g_init_base, reinterpret_cast<void*>(row_init)));
  if (!own || PyDict_SetItem(dict.get(), kInitName.get(), own.get()) < 0) return -1;
  PyType_Modified(&BaseRowType);
  return 0;
}

// obj.name(*args[1:]) where args[0] is obj and args[-1] is writable scratch,
// so that a subclass's override is used. Returns a new reference or nullptr.
PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargs) noexcept {
  return PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---------------------------------------------------------------------------
// Pickled state

Name kParentKey{"_parent"};
Name kDataKey{"_data"};
Name kKeyToIndex{"_key_to_index"};
Name kClass{"__class__"};
Name kNew{"__new__"};
Name kGetstate{"__getstate__"};
Name kSetstate{"__setstate__"};
Name kRowproxyReconstructor{"rowproxy_reconstructor"};
Name kOperator{"operator"};
Name kItemgetter{"itemgetter"};

// The objects the pickling steps find when nothing is overridden, kept from
// start-up: BaseRow's own __getstate__, __setstate__ and __new__, and
// object's __class__.
PyObject* g_getstate_fn = nullptr;
PyObject* g_setstate_fn = nullptr;
PyObject* g_base_new = nullptr;
PyObject* g_class_descr = nullptr;

// Whether an attribute of `self` is exactly the type's attribute: the row's
// lookup is BaseRow's (no __getattribute__ override) and there is no
// instance dict that could shadow it. The type lookup is cached.
inline bool type_attr_is(PyObject* self, const Name& name, PyObject* expected) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  if (tp->tp_dictoffset != 0) return false;
  if (tp->tp_getattro != row_getattro &&
      !(tp->tp_getattro == subclass_getattro && _PyType_Lookup(tp, kGetattributeName.get()) == g_getattribute_descr))
    return false;
  return _PyType_Lookup(tp, name.get()) == expected;
}

PyObject* getstate_impl(const Args& a) noexcept;
PyObject* setstate_impl(const Args& a) noexcept;
extern Func kGetstateFunc;
extern Func kSetstateFunc;

PyObject* reduce_impl(const Args& a) noexcept {
  Ref reconstructor = Ref::steal(lookup(kRowproxyReconstructor));
  if (!reconstructor) return nullptr;
  // self.__class__ and self.__getstate__(), called directly when they are
  // the base implementations.
  Ref cls = type_attr_is(a.self, kClass, g_class_descr) ? Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(a.self)))
                                                        : Ref::steal(PyObject_GetAttr(a.self, kClass.get()));
  if (!cls) return nullptr;
  Ref state;
  if (type_attr_is(a.self, kGetstate, g_getstate_fn)) {
    state = Ref::steal(getstate_impl(Args{a.self, nullptr, nullptr, 0, nullptr}));
    if (!state) add_traceback(kGetstateFunc.site);
  } else {
    PyObject* argv[2] = {nullptr, a.self};
    state = Ref::steal(call_method(kGetstate.get(), argv + 1, 1));
  }
  if (!state) return nullptr;
  Ref inner = Ref::steal(PyTuple_Pack(2, cls.get(), state.get()));
  if (!inner) return nullptr;
  return PyTuple_Pack(2, reconstructor.get(), inner.get());
}

PyObject* getstate_impl(const Args& a) noexcept {
  Ref state = Ref::steal(PyDict_New());
  if (!state) return nullptr;
  RowObject* row = as_row(a.self);
  if (PyDict_SetItem(state.get(), kParentKey.get(), row->parent) < 0 ||
      PyDict_SetItem(state.get(), kDataKey.get(), row->data) < 0)
    return nullptr;
  return state.release();
}

// state[key] for an exact dict; KeyError(key) when it is missing.
Ref state_item(PyObject* state, const Name& key) noexcept {
  Ref value;
  int r = PyDict_GetItemRef(state, key.get(), value.out());
  if (r == 0) PyErr_SetObject(PyExc_KeyError, key.get());
  return value;
}

PyObject* setstate_impl(const Args& a) noexcept {
  PyObject* state = a.v[0];
  RowObject* row = as_row(a.self);
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return nullptr;
  }
  Ref parent = state_item(state, kParentKey);
  if (!parent) return nullptr;
  set_field(row->parent, parent.get());
  Ref data = state_item(state, kDataKey);
  if (!data) return nullptr;
  if (data.get() != Py_None && !PyTuple_CheckExact(data.get())) {
    field_type_error("tuple", data.get());
    return nullptr;
  }
  set_field(row->data, data.get());
  Ref key_to_index = Ref::steal(PyObject_GetAttr(parent.get(), kKeyToIndex.get()));
  if (!key_to_index) return nullptr;
  if (key_to_index.get() != Py_None && !PyDict_CheckExact(key_to_index.get())) {
    field_type_error("dict", key_to_index.get());
    return nullptr;
  }
  set_field(row->key_to_index, key_to_index.get());
  Py_RETURN_NONE;
}

PyObject* reconstructor_impl(const Args& a) noexcept {
  PyObject* cls = a.v[0];
  PyObject* state = a.v[1];
  Ref obj;
  // cls.__new__(cls): when that is BaseRow's own __new__ reached through a
  // plain class, it allocates with BaseRow's allocation, which it checks
  // applies to cls.
  if (Py_IS_TYPE(cls, &PyType_Type) && reinterpret_cast<PyTypeObject*>(cls)->tp_new == row_new &&
      _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), kNew.get()) == g_base_new) {
    obj = Ref::steal(row_new(reinterpret_cast<PyTypeObject*>(cls), nullptr, nullptr));
  } else {
    Ref new_fn = Ref::steal(PyObject_GetAttr(cls, kNew.get()));
    if (!new_fn) return nullptr;
    obj = Ref::steal(PyObject_CallOneArg(new_fn.get(), cls));
  }
  if (!obj) return nullptr;
  Ref r;
  // obj.__setstate__(state): the base implementation directly, when its
  // argument passes the exact-type check.
  if ((state == Py_None || PyDict_CheckExact(state)) && type_attr_is(obj.get(), kSetstate, g_setstate_fn)) {
    r = Ref::steal(setstate_impl(Args{obj.get(), &a.v[1], nullptr, 0, nullptr}));
    if (!r) add_traceback(kSetstateFunc.site);
  } else {
    PyObject* argv[3] = {nullptr, obj.get(), state};
    r = Ref::steal(call_method(kSetstate.get(), argv + 1, 2));
  }
  if (!r) return nullptr;
  return obj.release();
}

constexpr int kStateLine = __LINE__;
Func kReduce{"__reduce__", {"BaseRow.__reduce__", kStateLine}, {}, kMethod, &BaseRowType, reduce_impl};
Func kGetstateFunc{"__getstate__", {"BaseRow.__getstate__", kStateLine}, {}, kMethod, &BaseRowType, getstate_impl};
Func kSetstateFunc{
    "__setstate__", {"BaseRow.__setstate__", kStateLine}, {{"state", &PyDict_Type}}, kMethod, &BaseRowType,
    setstate_impl};
Func kReconstructor{
    "rowproxy_reconstructor", {"rowproxy_reconstructor", kStateLine}, {{"cls"}, {"state"}}, kPlain, nullptr,
    reconstructor_impl};

// ---------------------------------------------------------------------------
// tuplegetter

Site kContiguousSite{"is_contiguous", __LINE__};

// Whether each position is one more than the one before it: 1, 0, or -1 with
// an exception set. Stops at the first gap.
int is_contiguous(PyObject* const* indexes, Py_ssize_t n) noexcept {
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return -1;
  for (Py_ssize_t i = 1; i < n; ++i) {
    PyObject* prev = indexes[i - 1];
    PyObject* cur = indexes[i];
    if (PyLong_CheckExact(prev) && PyLong_CheckExact(cur) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(prev)) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(cur))) {
      if (PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(prev)) !=
          PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(cur)) - 1)
        return 0;
      continue;
    }
    Ref shifted = Ref::steal(PyNumber_Subtract(cur, one.get()));
    if (!shifted) return -1;
    Ref differs = Ref::steal(PyObject_RichCompare(prev, shifted.get(), Py_NE));
    if (!differs) return -1;
    int truth = PyObject_IsTrue(differs.get());
    if (truth != 0) return truth < 0 ? -1 : 0;
  }
  return 1;
}

// The sign of a position.
enum class Sign { kNegative, kZero, kPositive, kNotInt };

Sign int_sign(PyObject* o) noexcept {
  if (!PyLong_Check(o)) return Sign::kNotInt;
  int overflow;
  const long v = PyLong_AsLongAndOverflow(o, &overflow);
  if (overflow) return overflow < 0 ? Sign::kNegative : Sign::kPositive;
  return v < 0 ? Sign::kNegative : v == 0 ? Sign::kZero : Sign::kPositive;
}

bool is_minus_one(PyObject* o) noexcept {
  if (!PyLong_Check(o)) return false;
  int overflow;
  return PyLong_AsLongAndOverflow(o, &overflow) == -1 && !overflow;
}

PyObject* tuplegetter_impl(const Args& a) noexcept {
  PyObject* const* indexes = a.rest;
  const Py_ssize_t n = a.nrest;
  bool contiguous = true;
  if (n != 1) {
    int c = is_contiguous(indexes, n);
    if (c < 0) {
      add_traceback(kContiguousSite);
      return nullptr;
    }
    contiguous = c != 0;
  }
  Ref op = Ref::steal(lookup(kOperator));
  if (!op) return nullptr;
  Ref itemgetter = Ref::steal(PyObject_GetAttr(op.get(), kItemgetter.get()));
  if (!itemgetter) return nullptr;
  if (contiguous) {
    if (n == 0) {
      PyErr_SetString(PyExc_IndexError, "tuple index out of range");
      return nullptr;
    }
    PyObject* first = indexes[0];
    PyObject* last = indexes[n - 1];
    // Negative positions count from the end, so a run ending at -1 reaches
    // the end of the sequence: its slice is open-ended (a stop of 0 would
    // select nothing). A run from a negative to a non-negative position
    // wraps around the end and has no slice at all; it takes the item form.
    Ref stop;
    if (is_minus_one(last)) {
      stop = Ref::borrow(Py_None);
    } else if (int_sign(first) == Sign::kNegative &&
               (int_sign(last) == Sign::kZero || int_sign(last) == Sign::kPositive)) {
      contiguous = false;
    } else {
      Ref one = Ref::steal(PyLong_FromLong(1));
      if (!one) return nullptr;
      stop = Ref::steal(PyNumber_Add(last, one.get()));
      if (!stop) return nullptr;
    }
    if (contiguous) {
      Ref slice = Ref::steal(PySlice_New(first, stop.get(), nullptr));
      if (!slice) return nullptr;
      return PyObject_CallOneArg(itemgetter.get(), slice.get());
    }
  }
  return PyObject_Vectorcall(itemgetter.get(), indexes, static_cast<size_t>(n), nullptr);
}

Func kTuplegetter{"tuplegetter", {"tuplegetter", __LINE__}, {}, kVarargs, nullptr, tuplegetter_impl, "indexes"};

// ---------------------------------------------------------------------------
// Module body: the names in their fixed order.

PyObject* operator_module() noexcept {
  Ref name = Ref::steal(PyUnicode_FromString("operator"));
  if (!name) return nullptr;
  PyObject* loaded = PyImport_GetModule(name.get());
  if (loaded || PyErr_Occurred()) return loaded;
  return import_module("operator");
}

// A type attribute of BaseRow (new reference) or nullptr with an exception.
PyObject* own_attr(PyTypeObject* type, const Name& name) noexcept {
  PyObject* found = _PyType_Lookup(type, name.get());
  if (!found) PyErr_Format(PyExc_SystemError, "%s lacks %s", type->tp_name, name.text());
  return Py_XNewRef(found);
}

// The attribute hook that a class statement installs for a class with
// __getattr__, read off a throwaway class: the subclass slot hands to it
// whatever it does not take itself.
int find_getattr_hook() noexcept {
  Ref name = Ref::steal(PyUnicode_FromString("_getattr_hook_probe"));
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref dict = Ref::steal(PyDict_New());
  if (!name || !bases || !dict || PyDict_SetItem(dict.get(), kGetattrName.get(), g_getattr_descr) < 0 ||
      PyDict_SetItem(dict.get(), kGetitemName.get(), g_getattr_descr) < 0)
    return -1;
  Ref probe = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name.get(),
                                                      bases.get(), dict.get(), nullptr));
  if (!probe) return -1;
  g_hook = reinterpret_cast<PyTypeObject*>(probe.get())->tp_getattro;
  g_subscript_hook = reinterpret_cast<PyTypeObject*>(probe.get())->tp_as_mapping->mp_subscript;
  return 0;
}

int remember_own_methods() noexcept {
  if (g_getattr_descr) return 0;
  g_getattr_descr = own_attr(&BaseRowType, kGetattrName);
  g_getattribute_descr = own_attr(&BaseRowType, kGetattributeName);
  g_getstate_fn = own_attr(&BaseRowType, kGetstate);
  g_setstate_fn = own_attr(&BaseRowType, kSetstate);
  g_base_new = own_attr(&BaseRowType, kNew);
  g_class_descr = own_attr(&PyBaseObject_Type, kClass);
  g_get_by_key_fn = own_attr(&BaseRowType, kGetByKeyName);
  if (!g_getattr_descr || !g_getattribute_descr || !g_getstate_fn || !g_setstate_fn || !g_base_new || !g_class_descr ||
      !g_get_by_key_fn)
    return -1;
  return find_getattr_hook();
}

int body(PyObject*, PyObject*) noexcept {
  if (ready_row_type() < 0 || bind("BaseRow", Py_NewRef(reinterpret_cast<PyObject*>(&BaseRowType))) < 0 ||
      bind("operator", operator_module()) < 0 || install(&BaseRowType, kReduce) < 0 ||
      install(&BaseRowType, kGetstateFunc) < 0 || install(&BaseRowType, kSetstateFunc) < 0 ||
      install(&BaseRowType, kValuesImpl) < 0 || install(&BaseRowType, kGetByKeyImplMapping) < 0 ||
      install(&BaseRowType, kToTupleInstance) < 0 ||
      bind("rowproxy_reconstructor", make_function(kReconstructor)) < 0 ||
      bind("tuplegetter", make_function(kTuplegetter)) < 0 || remember_own_methods() < 0)
    return -1;
  return 0;
}

const ModuleSpec kSpec{"rowcore", "kestrine/rowcore/rowcore.cpp", body};

}  // namespace
}  // namespace kx::rowcore

PyMODINIT_FUNC PyInit_rowcore() { return kx::module_init(kx::rowcore::kSpec); }
