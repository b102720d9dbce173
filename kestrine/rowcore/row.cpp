// BaseRow, the base type of every result row: construction with processor
// application, access by key and attribute, length, iteration, hash, access
// by position, GC support, the value-export methods, and the type object.
// The stand-ins for interpreter hooks that subclasses get are in
// shortcuts.cpp.
#include "rowcore.hpp"

#include <cstddef>
#include <cstdint>

namespace kx::rowcore {
namespace {

Name kKeyNotFoundName{"_key_not_found"};
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
// Key lookup: _get_by_key_impl

Site kGetByKeyImplSite{"BaseRow._get_by_key_impl", __LINE__};

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
  Ref r = Ref::steal(
      PyObject_VectorcallMethod(kKeyNotFoundName.get(), argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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

}  // namespace

PyObject* get_by_key_impl(RowObject* row, PyObject* key, int as_attribute) noexcept {
  return traced(lookup_key(row, key, as_attribute), kGetByKeyImplSite);
}

// ---------------------------------------------------------------------------
// Attribute access

Site kGetattrSite{"BaseRow.__getattr__", __LINE__};

void attribute_name_error(PyObject* name) noexcept {
  PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
}

PyObject* row_getattro(PyObject* self, PyObject* name) noexcept { return lookup_attribute<false>(self, name); }

// As the hook does after a failed __getattribute__: the error is forgotten
// and __getattr__ gets its own try, so the parent is asked a second time.
// Kept out of line: a second copy of the key lookup in the slot would keep
// the compiler from inlining the first.
namespace {

[[gnu::cold, gnu::noinline]] PyObject* getattr_try(PyObject* self, PyObject* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  return key_fallback(self, name);
}

}  // namespace

// The subclass shortcut for the interpreter's attribute hook (shortcuts.cpp
// says when it is installed).
[[gnu::flatten]] PyObject* subclass_getattro(PyObject* self, PyObject* name) noexcept {
  // The interpreter's method calls that this replaces check the recursion
  // depth; this path does where it can run code of others (a descriptor, the
  // instance dict's lookup, the parent, a key's hash or __int__).
  PyObject* r = lookup_attribute<true>(self, name);
  return r ? r : getattr_try(self, name);
}

#ifndef Py_GIL_DISABLED
CachedAttr g_cached_attrs[kCachedAttrs];

void remember_attr(PyTypeObject* tp, unsigned int tag, PyObject* name, PyObject* found) noexcept {
  // The tag alone says whether the type is cacheable: 3.14 leaves
  // Py_TPFLAGS_VALID_VERSION_TAG unset on types its own cache serves.
  if (tag == 0 || tp->tp_version_tag != tag || !internal::is_immortal(name)) return;
  unsigned int field = 0;
  if (found) {
    // Only BaseRow's own members, whose reading runs no code; anything else
    // goes through its descriptor at every read. `found` is a member
    // descriptor (the caller checks).
    const auto* member = reinterpret_cast<PyMemberDescrObject*>(found);
    if (PyDescr_TYPE(found) != &BaseRowType || member->d_member->type != Py_T_OBJECT_EX) return;
    field = static_cast<unsigned int>(member->d_member->offset);
  }
  cached_slot(tag, name) = {tag, field, name};
}
#endif

namespace {

// BaseRow.__getattr__(name): the key map only.
PyObject* row_getattr_method(PyObject* self, PyObject* name) noexcept { return key_fallback(self, name); }

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

Site kApplyProcessorsSite{"_apply_processors", __LINE__};

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

PyObject* init(const Args& a) noexcept {
  const auto [parent, processors, key_to_index, data] = a.params<4>();
  RowObject* row = as_row(a.self);
  set_field(row->parent, parent);
  set_field(row->key_to_index, key_to_index);
  const int truth = PyObject_IsTrue(processors);
  if (truth < 0) return nullptr;
  Ref values;
  if (!truth) {
    values = PyTuple_CheckExact(data) ? Ref::borrow(data) : Ref::steal(PySequence_Tuple(data));
    if (!values) return nullptr;
  } else {
    values = Ref::steal(traced(apply_processors(processors, data), kApplyProcessorsSite));
    if (!values) return nullptr;
  }
  set_field(row->data, values.get());
  Py_RETURN_NONE;
}

}  // namespace

Func kInit{
    .name = "__init__",
    .site = {"BaseRow.__init__", __LINE__},
    .params = {{"parent"}, {"processors"}, {"key_to_index", &PyDict_Type}, {"data"}},
    .impl = init,
};

int row_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* r = call_tuple(kInit, self, args, kwargs);
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

PyObject* row_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyObject* o = new_instance(type);
  if (!o) return nullptr;
  fill(as_row(o), Py_None, Py_None, Py_None);
  return o;
}

namespace {

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
  return traced(PyObject_GetIter(data.get()), kIterSite);
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
  // Written out rather than with traced(): its branch hint makes the compiler
  // keep `key` in a saved register, which costs the fast path above.
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

Func kValuesImpl{
    .name = "_values_impl",
    .site = {"BaseRow._values_impl", __LINE__},
    .shape = kMethod,
    .owner = &BaseRowType,
    .impl = values_impl,
};

PyObject* get_by_key_impl_mapping(const Args& a) noexcept {
  const auto [key] = a.params<1>();
  RowObject* row = as_row(a.self);
  return row->ops->get_by_key_impl(row, key, 0);
}

}  // namespace

Func kGetByKeyImplMapping{
    .name = "_get_by_key_impl_mapping",
    .site = {"BaseRow._get_by_key_impl_mapping", __LINE__},
    .params = {{"key"}},
    .shape = kMethod,
    .owner = &BaseRowType,
    .impl = get_by_key_impl_mapping,
};

// The subclass shortcut for that method as __getitem__ (shortcuts.cpp says
// when it is installed), with the traceback entry the method's call would add.
PyObject* subclass_subscript(PyObject* self, PyObject* key) noexcept {
  RowObject* row = as_row(self);
  return traced(row->ops->get_by_key_impl(row, key, 0), kGetByKeyImplMapping.site);
}

namespace {

PyObject* to_tuple_instance(const Args& a) noexcept { return Py_NewRef(as_row(a.self)->data); }

Func kToTupleInstance{
    .name = "_to_tuple_instance",
    .site = {"BaseRow._to_tuple_instance", __LINE__},
    .shape = kMethod,
    .owner = &BaseRowType,
    .impl = to_tuple_instance,
};

// ---------------------------------------------------------------------------
// The type

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

}  // namespace

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

namespace {

// The description of BaseRow's own `__init__` descriptor: the interpreter's
// description of the slot, copied at start-up, with the docstring.
wrapperbase g_init_base;

}  // namespace

// Readiness, and then a descriptor of BaseRow's own for `__init__` that
// carries the docstring; the interpreter's descriptor is left as it is and
// replaced in the namespace. It calls the same slot function, and its
// description names the same slot, so subclasses inherit `tp_init` as before.
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
  const wrapperbase* slot = internal::wrapper_slot(init.get());
  if (slot == &g_init_base) return 0;
  g_init_base = *slot;
  g_init_base.doc = "Row objects are constructed by CursorResult objects.";
  Ref own = Ref::steal(PyDescr_NewWrapper(&BaseRowType, &g_init_base, reinterpret_cast<void*>(row_init)));
  if (!own || PyDict_SetItem(dict.get(), kInitName.get(), own.get()) < 0) return -1;
  PyType_Modified(&BaseRowType);
  return 0;
}

int install_row_methods() noexcept {
  if (install(&BaseRowType, kValuesImpl) < 0 || install(&BaseRowType, kGetByKeyImplMapping) < 0 ||
      install(&BaseRowType, kToTupleInstance) < 0)
    return -1;
  return 0;
}

}  // namespace kx::rowcore
