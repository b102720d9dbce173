// Module velmora.kestrine.rowcore: result rows for the velmora toolkit. This
// file holds a row's pickled state (__reduce__, __getstate__, __setstate__,
// rowproxy_reconstructor), tuplegetter and the module body with its fixed
// namespace order. The row type itself is in row.cpp.
#include "rowcore/row.hpp"

namespace kx::rowcore {
namespace {

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

// ---------------------------------------------------------------------------
// Pickled state

PyObject* reduce_impl(const Args& a) noexcept {
  Ref reconstructor = Ref::steal(lookup(kRowproxyReconstructor));
  if (!reconstructor) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttr(a.self, kClass.get()));
  if (!cls) return nullptr;
  PyObject* argv[2] = {nullptr, a.self};
  Ref state = Ref::steal(call_method(kGetstate.get(), argv + 1, 1));
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
  Ref new_fn = Ref::steal(PyObject_GetAttr(cls, kNew.get()));
  if (!new_fn) return nullptr;
  Ref obj = Ref::steal(PyObject_CallOneArg(new_fn.get(), cls));
  if (!obj) return nullptr;
  PyObject* argv[3] = {nullptr, obj.get(), a.v[1]};
  Ref r = Ref::steal(call_method(kSetstate.get(), argv + 1, 2));
  if (!r) return nullptr;
  return obj.release();
}

constexpr int kStateLine = __LINE__;
Func kReduce{"__reduce__", {"BaseRow.__reduce__", kStateLine}, {}, kMethod, &BaseRowType, reduce_impl};
Func kGetstateFunc{"__getstate__", {"BaseRow.__getstate__", kStateLine}, {}, kMethod, &BaseRowType, getstate_impl};
Func kSetstateFunc{"__setstate__",   {"BaseRow.__setstate__", kStateLine}, {{"state", &PyDict_Type}},
                   kMethod,          &BaseRowType,                         setstate_impl};
Func kReconstructor{"rowproxy_reconstructor",
                    {"rowproxy_reconstructor", kStateLine},
                    {{"cls"}, {"state"}},
                    kPlain,
                    nullptr,
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

// The sign of an int position: -1, 0 or 1; 2 for anything that is not an int.
int int_sign(PyObject* o) noexcept {
  if (!PyLong_Check(o)) return 2;
  int overflow;
  long v = PyLong_AsLongAndOverflow(o, &overflow);
  if (overflow) return overflow;
  return (v > 0) - (v < 0);
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
    } else if (int_sign(first) < 0 && (int_sign(last) == 0 || int_sign(last) == 1)) {
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

int body(PyObject*, PyObject*) noexcept {
  if (ready_row_type() < 0 || bind("BaseRow", Py_NewRef(reinterpret_cast<PyObject*>(&BaseRowType))) < 0 ||
      bind("operator", operator_module()) < 0 || install(&BaseRowType, kReduce) < 0 ||
      install(&BaseRowType, kGetstateFunc) < 0 || install(&BaseRowType, kSetstateFunc) < 0 ||
      install(&BaseRowType, values_impl_func()) < 0 || install(&BaseRowType, get_by_key_impl_mapping_func()) < 0 ||
      install(&BaseRowType, to_tuple_instance_func()) < 0 ||
      bind("rowproxy_reconstructor", make_function(kReconstructor)) < 0 ||
      bind("tuplegetter", make_function(kTuplegetter)) < 0)
    return -1;
  return 0;
}

const ModuleSpec kSpec{"rowcore", "kestrine/rowcore/rowcore.cpp", body};

}  // namespace
}  // namespace kx::rowcore

PyMODINIT_FUNC PyInit_rowcore() { return kx::module_init(kx::rowcore::kSpec); }
