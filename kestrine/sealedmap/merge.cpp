// Merging sealedmap values: `union`, `merge_with`, `__or__`/`__ror__` with
// the `|` dispatch, and the refusing `|=`. A merge never changes an existing
// instance; it fills a new, private, plain sealedmap, or hands back the
// receiver itself when there is nothing to merge.
#include "sealedmap/sealedmap.hpp"

namespace kx::sealed {
namespace {

constexpr int kSlotLine = __LINE__;
Site kOrSite{"sealedmap.__or__", kSlotLine};
Site kRorSite{"sealedmap.__ror__", kSlotLine};
Site kIorSite{"sealedmap.__ior__", kSlotLine};

// A new sealedmap holding `first`'s entries updated with `second`'s, both
// dicts. The result stays private until it is returned, so a failing update
// (a key whose __eq__ raises or mutates an operand) only drops it.
PyObject* merged(PyObject* first, PyObject* second) {
  Ref result = Ref::steal(new_empty());
  if (!result || PyDict_Update(result.get(), first) < 0 || PyDict_Update(result.get(), second) < 0) return nullptr;
  return result.release();
}

// union(*args, **kw): a dict argument is merged as it is; anything else goes
// through dict(*args, **kw). The keyword dict is the binder's own new dict,
// so with no positional argument it already is `dict(**kw)`.
PyObject* union_impl(const Args& a) {
  const Py_ssize_t n = a.nrest;
  if (n > 1) {
    PyErr_Format(PyExc_TypeError, "union expected at most 1 argument, got %zd", n);
    return nullptr;
  }
  Ref made;
  PyObject* mapping;
  if (n == 1 && PyDict_Check(a.rest[0])) {
    mapping = a.rest[0];  // keywords given with a dict are ignored
  } else if (n == 0) {
    if (!a.kw) return Py_NewRef(a.self);
    mapping = a.kw;
  } else {
    made = Ref::steal(PyObject_VectorcallDict(reinterpret_cast<PyObject*>(&PyDict_Type), a.rest, n, a.kw));
    if (!made) return nullptr;
    mapping = made.get();
  }
  // The count kept in the dict storage: an overriding __len__ is not asked.
  if (PyDict_GET_SIZE(mapping) == 0) return Py_NewRef(a.self);
  return merged(a.self, mapping);
}

// merge_with(*other): the result is made only at the first true argument;
// false ones (None, empty containers) are skipped.
PyObject* merge_with_impl(const Args& a) {
  Ref result;
  for (Py_ssize_t i = 0; i < a.nrest; ++i) {
    PyObject* d = a.rest[i];
    int truth = PyObject_IsTrue(d);
    if (truth < 0) return nullptr;
    if (!truth) continue;
    if (!result) {
      result = Ref::steal(new_empty());
      if (!result || PyDict_Update(result.get(), a.self) < 0) return nullptr;
    }
    if (PyDict_Check(d)) {
      if (PyDict_Update(result.get(), d) < 0) return nullptr;
    } else {
      Ref converted = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), d));
      if (!converted || PyDict_Update(result.get(), converted.get()) < 0) return nullptr;
    }
  }
  return result ? result.release() : Py_NewRef(a.self);
}

// `left | right` for two dicts as dict's own union computes it (a copy of
// `left`, then `right` applied as dict's constructor applies an argument),
// built straight into a new sealedmap instead of through a plain dict that is
// copied again. For a non-dict operand dict's union answers NotImplemented,
// and building a sealedmap from that marker fails; the same construction is
// run on it here so that the error is exactly that one.
PyObject* dict_union(PyObject* left, PyObject* right) {
  Ref result = Ref::steal(new_empty());
  if (!result) return nullptr;
  if (!PyDict_Check(left) || !PyDict_Check(right)) {
    if (update_arg(result.get(), Py_NotImplemented) < 0) return nullptr;
    PyErr_SetString(PyExc_SystemError, "sealedmap built from NotImplemented");
    return nullptr;
  }
  if (PyDict_Update(result.get(), left) < 0 || update_arg(result.get(), right) < 0) return nullptr;
  return result.release();
}

bool has_own_or(PyTypeObject* t) { return t->tp_as_number && t->tp_as_number->nb_or == nb_or; }

}  // namespace

PyObject* or_method(PyObject* self, PyObject* other) noexcept {
  PyObject* r = dict_union(self, other);
  if (!r) add_traceback(kOrSite);
  return r;
}

PyObject* ror_method(PyObject* self, PyObject* other) noexcept {
  PyObject* r = dict_union(other, self);
  if (!r) add_traceback(kRorSite);
  return r;
}

// The `|` slot: the left operand's __or__ when it is a sealed mapping, else
// the right operand's __ror__ when that one is.
PyObject* nb_or(PyObject* left, PyObject* right) noexcept {
  PyTypeObject* lt = Py_TYPE(left);
  PyTypeObject* rt = Py_TYPE(right);
  if (lt == rt || has_own_or(lt) || PyType_IsSubtype(lt, &Type)) {
    PyObject* r = or_method(left, right);
    if (r != Py_NotImplemented) return r;
    Py_DECREF(r);
  }
  if (lt == rt || has_own_or(rt) || PyType_IsSubtype(rt, &Type)) return ror_method(right, left);
  Py_RETURN_NOTIMPLEMENTED;
}

// `m |= x` refuses; `x` is not looked at. Should the refusal function return,
// the statement binds None.
PyObject* nb_inplace_or(PyObject* self, PyObject*) noexcept {
  if (refuse(self) < 0) {
    add_traceback(kIorSite);
    return nullptr;
  }
  Py_RETURN_NONE;
}

constexpr int kMethodLine = __LINE__;
Func kUnion{"union", {"sealedmap.union", kMethodLine}, {}, kMethod | kVarargs | kVarkw, &Type, union_impl, "args"};
Func kMergeWith{"merge_with", {"sealedmap.merge_with", kMethodLine}, {}, kMethod | kVarargs, &Type, merge_with_impl,
                "other"};

}  // namespace kx::sealed
