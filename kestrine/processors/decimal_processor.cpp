// DecimalResultProcessor: an instance holds a type and a format string and,
// through `process`, turns each non-None value of a result column into
// type_(format_ % value). This file holds the extension type, its
// constructor, `process`, the pickling refusal and the garbage-collection
// slots.
#include "decimal_processor.hpp"

// The interpreter's header comes before any standard one.
#include "frame/frame.hpp"

#include "float_text.hpp"

#include <cstring>

namespace kx::processors {
namespace {

struct DecimalProcessor {
  PyObject_HEAD
  PyObject* type_;    // any object, called with the formatted text
  PyObject* format_;  // exactly str, or None
};

DecimalProcessor* as_processor(PyObject* o) { return reinterpret_cast<DecimalProcessor*>(o); }

extern PyTypeObject DecimalProcessorType;

// ---------------------------------------------------------------------------
// process

// The precision of a format that is exactly "%.<digits>f" with one or two
// digits, else -1. Such a format applied to a float is nothing but the
// float's fixed-point text; longer precisions, flags and widths are left to
// the interpreter's formatting.
int fixed_point_digits(PyObject* format) noexcept {
  const Py_ssize_t len = PyUnicode_GET_LENGTH(format);
  if (len < 4 || len > 5 || !PyUnicode_IS_ASCII(format)) return -1;
  const Py_UCS1* s = PyUnicode_1BYTE_DATA(format);
  if (s[0] != '%' || s[1] != '.' || s[len - 1] != 'f') return -1;
  int digits = 0;
  for (Py_ssize_t i = 2; i < len - 1; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    digits = digits * 10 + (s[i] - '0');
  }
  return digits;
}

// A str of `len` characters of ASCII text (digits, sign, point, "inf" or
// "nan"), copied as it is.
PyObject* ascii_text(const char* text, std::size_t len) noexcept {
  PyObject* r = PyUnicode_New(static_cast<Py_ssize_t>(len), 127);
  if (r) std::memcpy(PyUnicode_1BYTE_DATA(r), text, len);
  return r;
}

// `format % value` for such a format and an exact float: the text the
// interpreter's own `%` makes for it. Most values are rendered here in
// integers, exactly; the rest go through the interpreter's own conversion.
PyObject* fixed_point_text(double value, int digits) noexcept {
  char exact[floattext::kFixedMax];
  if (const std::size_t len = floattext::fixed(value, digits, exact)) [[likely]]
    return ascii_text(exact, len);
  char* text = PyOS_double_to_string(value, 'f', digits, 0, nullptr);
  if (!text) return nullptr;
  PyObject* r = ascii_text(text, std::strlen(text));
  PyMem_Free(text);
  return r;
}

// `format % value`, the general way. Formatting may run the value's own code,
// and that code may call straight back into a processor.
PyObject* formatted(PyObject* format, PyObject* value) noexcept {
  RecursionGuard guard;
  if (guard.failed()) return nullptr;
  // A str subclass value may define __rmod__, and a None format must raise
  // the operator's own TypeError: both go through the generic `%`.
  if (format == Py_None || (PyUnicode_Check(value) && !PyUnicode_CheckExact(value)))
    return PyNumber_Remainder(format, value);
  return PyUnicode_Format(format, value);
}

// The call holds no recursion guard around this body; each call-out that can
// come back here holds its own.
PyObject* process(const Args& a) noexcept {
  const auto [value] = a.params<1>();
  if (value == Py_None) return Py_NewRef(value);
  DecimalProcessor* self = as_processor(a.self);
  // Formatting can run the value's own code, and `type_` anything at all;
  // hold the fields strongly (tests/test_hostile_processors.py,
  // test_process_type_that_drops_the_processor).
  Ref type = Ref::borrow(self->type_);
  Ref text;
  int digits;
  if (PyFloat_CheckExact(value) && self->format_ != Py_None && (digits = fixed_point_digits(self->format_)) >= 0) {
    // Nothing here runs Python code: the format is read while it is held.
    text = Ref::steal(fixed_point_text(PyFloat_AS_DOUBLE(value), digits));
  } else {
    Ref format = Ref::borrow(self->format_);
    text = Ref::steal(formatted(format.get(), value));
  }
  if (!text) return nullptr;
  // `type_` may be another processor's bound `process`, and a chain of them
  // as deep as the caller likes: the guard of this call ends it
  // (tests/test_native_recursion.py).
  return call_one(type.get(), text.get());
}

Func kProcess{
    .name = "process",
    .site = {"DecimalResultProcessor.process", __LINE__},
    .params = {{"value"}},
    .shape = kMethod,
    .owner = &DecimalProcessorType,
    .impl = process,
    .guarded = false,
};

// ---------------------------------------------------------------------------
// Construction

PyObject* cinit(const Args& a) noexcept {
  const auto [type, format] = a.params<2>();
  DecimalProcessor* self = as_processor(a.self);
  set_field(self->type_, type);
  if (format != Py_None && !PyUnicode_CheckExact(format)) {
    field_type_error("str", format);
    return nullptr;
  }
  set_field(self->format_, format);
  Py_RETURN_NONE;
}

Func kCinit{
    .name = "__cinit__",
    .site = {"DecimalResultProcessor.__cinit__", __LINE__},
    .params = {{"type_"}, {"format_"}},
    .impl = cinit,
};

PyObject* decimal_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  Ref self = Ref::steal(new_instance(type));
  if (!self) return nullptr;
  DecimalProcessor* p = as_processor(self.get());
  p->type_ = Py_NewRef(Py_None);
  p->format_ = Py_NewRef(Py_None);
  Ref done = Ref::steal(call_tuple(kCinit, self.get(), args, kwargs));
  if (!done) return nullptr;  // the half-built instance goes with `self`
  return self.release();
}

// ---------------------------------------------------------------------------
// Pickling refusal: the instance cannot be rebuilt without its constructor
// arguments, so pickling and copying fail loudly instead of producing an
// instance with None fields.

[[gnu::cold]] PyObject* refuse_pickling(const Args&) noexcept {
  PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}

Func kReduce{
    .name = "__reduce__",
    .site = {"DecimalResultProcessor.__reduce__", __LINE__},
    .impl = refuse_pickling,
};
Func kSetstate{
    .name = "__setstate__",
    .site = {"DecimalResultProcessor.__setstate__", __LINE__},
    .params = {{"state"}},
    .impl = refuse_pickling,
};

PyObject* reduce_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_tuple(kReduce, self, args, kwargs);
}

PyObject* setstate_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_tuple(kSetstate, self, args, kwargs);
}

PyMethodDef pickling_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce_method)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setstate_method)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
};

int install_pickling() noexcept {
  for (PyMethodDef& def : pickling_methods) {
    if (set_type_attr(&DecimalProcessorType, def.ml_name, PyDescr_NewMethod(&DecimalProcessorType, &def)) < 0) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", DecimalProcessorType.tp_name);
      return -1;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Garbage collection. Only `type_` can be part of a cycle: `format_` is a str
// or None.

int decimal_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(as_processor(self)->type_);
  return 0;
}

int decimal_clear(PyObject* self) noexcept {
  Py_XSETREF(as_processor(self)->type_, Py_NewRef(Py_None));
  return 0;
}

void decimal_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (finalizer_resurrected(self, decimal_dealloc)) return;
  // Processors chain through `type_` (a bound `process` of the next one), so
  // releasing the first of a long chain would recurse once per link; the
  // trashcan defers the deep ones (tests/test_native_recursion.py). The
  // instance must be untracked before it may be set aside.
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, decimal_dealloc)
  DecimalProcessor* p = as_processor(self);
  Py_CLEAR(p->type_);
  Py_CLEAR(p->format_);
  type->tp_free(self);
  Py_TRASHCAN_END
}

PyTypeObject DecimalProcessorType = {
    // clang-format off: the macro brings its own comma
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
                 // clang-format on
                 .tp_name = "velmora.kestrine.processors.DecimalResultProcessor",
    .tp_basicsize = sizeof(DecimalProcessor),
    .tp_dealloc = decimal_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = decimal_traverse,
    .tp_clear = decimal_clear,
    .tp_new = decimal_new,
    .tp_free = PyObject_GC_Del,
};

}  // namespace

int bind_decimal_processor() noexcept {
  if (PyType_Ready(&DecimalProcessorType) < 0 || install_pickling() < 0) return -1;
  return bind("DecimalResultProcessor", Py_NewRef(reinterpret_cast<PyObject*>(&DecimalProcessorType)));
}

int install_decimal_process() noexcept { return install(&DecimalProcessorType, kProcess); }

}  // namespace kx::processors
