// tuplegetter(*indexes): an operator.itemgetter over the given positions that
// always gives a tuple, made with a slice when the positions are one run.
#include "rowcore.hpp"

namespace kx::rowcore {
namespace {

Name kOperatorName{"operator"};
Name kItemgetterName{"itemgetter"};

Site kIsContiguousSite{"is_contiguous", __LINE__};

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

PyObject* tuplegetter(const Args& a) noexcept {
  PyObject* const* indexes = a.rest;
  const Py_ssize_t n = a.nrest;
  bool contiguous = true;
  if (n != 1) {
    int c = is_contiguous(indexes, n);
    if (c < 0) {
      add_traceback(kIsContiguousSite);
      return nullptr;
    }
    contiguous = c != 0;
  }
  Ref op = Ref::steal(lookup(kOperatorName));
  if (!op) return nullptr;
  Ref itemgetter = Ref::steal(PyObject_GetAttr(op.get(), kItemgetterName.get()));
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

Func kTuplegetter{
    .name = "tuplegetter",
    .site = {"tuplegetter", __LINE__},
    .shape = kVarargs,
    .impl = tuplegetter,
    .rest_name = "indexes",
};

}  // namespace

int bind_tuplegetter() noexcept { return bind(kTuplegetter); }

}  // namespace kx::rowcore
