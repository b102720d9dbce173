// Module velmora.kestrine.processors: converters applied to every value a
// database driver returns, one column at a time. This file holds the module
// body (its namespace order), the scalar converters int_to_boolean, to_str
// and to_float, and the ISO parsers str_to_datetime, str_to_time and
// str_to_date. DecimalResultProcessor lives in decimal_processor.cpp.
// Python.h (through the frame) comes first: it defines feature macros that
// the C++ standard headers would otherwise fix differently.
#include "frame/frame.hpp"
#include "frame/internal.hpp"

#include "decimal_processor.hpp"
#include "float_text.hpp"

namespace kx::processors {
namespace {

// ---------------------------------------------------------------------------
// int_to_boolean

// The converters are called once per value of every row, so they hold the
// recursion guard only on the paths that call out to the value's own code
// (which may be one of them again: `__bool__ = int_to_boolean`).

PyObject* int_to_boolean(const Args& a) noexcept {
  const auto [value] = a.params<1>();
  if (value == Py_None || value == Py_True || value == Py_False) return Py_NewRef(value);
  if (PyLong_CheckExact(value)) {
    // An int that is not compact is far from zero.
    auto* v = reinterpret_cast<PyLongObject*>(value);
    return PyBool_FromLong(!PyUnstable_Long_IsCompact(v) || PyUnstable_Long_CompactValue(v) != 0);
  }
  RecursionGuard guard;
  if (guard.failed()) return nullptr;
  int truth = PyObject_IsTrue(value);
  if (truth < 0) return nullptr;
  return PyBool_FromLong(truth);
}

// No recursion guard around the body: the bodies guard their own call-outs.
Func kIntToBoolean{
    .name = "int_to_boolean",
    .site = {"int_to_boolean", __LINE__},
    .params = {{"value"}},
    .impl = int_to_boolean,
    .guarded = false,
};

// ---------------------------------------------------------------------------
// to_str

PyObject* to_str(const Args& a) noexcept {
  const auto [value] = a.params<1>();
  if (value == Py_None) return Py_NewRef(value);
  // The interpreter's str() holds the recursion guard itself.
  return PyObject_Str(value);
}

Func kToStr{
    .name = "to_str",
    .site = {"to_str", __LINE__},
    .params = {{"value"}},
    .impl = to_str,
    .guarded = false,
};

// ---------------------------------------------------------------------------
// to_float

// The value of bytes-like text, or nullptr (no exception) when the parser
// leaves it to the interpreter.
PyObject* float_from_ascii(const char* p, const char* end) {
  while (p != end && floattext::is_ascii_space(static_cast<unsigned char>(*p))) ++p;
  while (end != p && floattext::is_ascii_space(static_cast<unsigned char>(end[-1]))) --end;
  double v;
  if (!floattext::parse(p, end, v)) return nullptr;
  return PyFloat_FromDouble(v);
}

// Whitespace that float() strips from text holding non-ASCII characters: it
// turns every non-ASCII whitespace character into a space, keeps each
// character below 128 as it is, then strips the ASCII set. So U+001C to
// U+001F, whitespace to str.isspace(), are never stripped.
inline bool is_float_space(Py_UCS4 c) {
  return c < 128 ? floattext::is_ascii_space(static_cast<unsigned char>(c)) : Py_UNICODE_ISSPACE(c);
}

// Text that is not pure ASCII: strip that whitespace in place; the rest must
// be short ASCII to be parsed here.
PyObject* float_from_unicode(PyObject* s) {
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t lo = 0, hi = PyUnicode_GET_LENGTH(s);
  while (lo < hi && is_float_space(PyUnicode_READ(kind, data, lo))) ++lo;
  while (hi > lo && is_float_space(PyUnicode_READ(kind, data, hi - 1))) --hi;
  char buf[64];
  if (hi - lo > static_cast<Py_ssize_t>(sizeof buf)) return nullptr;
  char* w = buf;
  for (Py_ssize_t i = lo; i < hi; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 128) return nullptr;
    *w++ = static_cast<char>(c);
  }
  double v;
  if (!floattext::parse(buf, w, v)) return nullptr;
  return PyFloat_FromDouble(v);
}

PyObject* to_float(const Args& a) noexcept {
  const auto [value] = a.params<1>();
  if (value == Py_None) return Py_NewRef(value);
  PyTypeObject* t = Py_TYPE(value);
  if (t == &PyFloat_Type) return Py_NewRef(value);
  if (t == &PyLong_Type) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value)))
      return PyFloat_FromDouble(
          static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value))));
    double d = PyLong_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(d);
  }
  PyObject* r = nullptr;
  if (t == &PyUnicode_Type) {
    if (PyUnicode_IS_ASCII(value)) {
      const char* p = static_cast<const char*>(PyUnicode_DATA(value));
      r = float_from_ascii(p, p + PyUnicode_GET_LENGTH(value));
    } else {
      r = float_from_unicode(value);
    }
  } else if (t == &PyBytes_Type) {
    const char* p = PyBytes_AS_STRING(value);
    r = float_from_ascii(p, p + PyBytes_GET_SIZE(value));
  } else if (t == &PyByteArray_Type) {
    const char* p = PyByteArray_AS_STRING(value);
    r = float_from_ascii(p, p + PyByteArray_GET_SIZE(value));
  } else {
    RecursionGuard guard;
    return guard.failed() ? nullptr : PyNumber_Float(value);
  }
  if (r || PyErr_Occurred()) return r;
  return PyFloat_FromString(value);
}

Func kToFloat{
    .name = "to_float",
    .site = {"to_float", __LINE__},
    .params = {{"value"}},
    .impl = to_float,
    .guarded = false,
};

// ---------------------------------------------------------------------------
// str_to_datetime, str_to_time, str_to_date: the class is read from the module
// namespace on every call, so rebinding `datetime_cls` and friends changes
// what later calls use.

Name kDatetimeClsName{"datetime_cls"};
Name kTimeClsName{"time_cls"};
Name kDateClsName{"date_cls"};
Name kFromisoformatName{"fromisoformat"};

// How `cls.fromisoformat(value)` is called.
enum class Route {
  kDirect,   // a C class method of one argument: its function, called in place
  kGeneric,  // anything else: the attribute looked up and called
};

// The route for `cls`. For a class of the plain metatype whose attribute is a
// C class method of one argument (the datetime classes are), its C function
// is called with the class and the value, as the bound method would, without
// creating the bound method; `meth` receives it.
Route fromisoformat_route(PyObject* cls, PyCFunction& meth) {
  if (!Py_IS_TYPE(cls, &PyType_Type)) return Route::kGeneric;  // a metaclass may intercept the lookup
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  Ref attr = internal::type_lookup(type, kFromisoformatName.get());
  if (!attr || !Py_IS_TYPE(attr.get(), &PyClassMethodDescr_Type)) return Route::kGeneric;
  const PyMethodDef* def = internal::descr_method(attr.get());
  if ((def->ml_flags & ~(METH_CLASS | METH_COEXIST)) != METH_O || !PyType_IsSubtype(type, PyDescr_TYPE(attr.get())))
    return Route::kGeneric;
  meth = def->ml_meth;
  return Route::kDirect;
}

// cls.fromisoformat(value), with `cls` the module-level name `cls_name`.
// Returns a new reference or nullptr. The function object's call holds the
// recursion guard around all of this.
PyObject* from_iso(const Name& cls_name, PyObject* value) {
  if (value == Py_None) return Py_NewRef(value);
  Ref cls = Ref::steal(lookup(cls_name));
  if (!cls) return nullptr;
  PyCFunction meth = nullptr;
  if (fromisoformat_route(cls.get(), meth) == Route::kDirect) {
    PyObject* r = meth(cls.get(), value);
    if (!r && !PyErr_Occurred()) null_result();
    return r;
  }
  // The slot in front of the receiver lets a bound method be called in place.
  PyObject* stack[3] = {nullptr, cls.get(), value};
  return PyObject_VectorcallMethod(kFromisoformatName.get(), stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* str_to_datetime(const Args& a) noexcept {
  const auto [value] = a.params<1>();
  return from_iso(kDatetimeClsName, value);
}

Func kStrToDatetime{
    .name = "str_to_datetime",
    .site = {"str_to_datetime", __LINE__},
    .params = {{"value"}},
    .impl = str_to_datetime,
};

PyObject* str_to_time(const Args& a) noexcept {
  const auto [value] = a.params<1>();
  return from_iso(kTimeClsName, value);
}

Func kStrToTime{
    .name = "str_to_time",
    .site = {"str_to_time", __LINE__},
    .params = {{"value"}},
    .impl = str_to_time,
};

PyObject* str_to_date(const Args& a) noexcept {
  const auto [value] = a.params<1>();
  return from_iso(kDateClsName, value);
}

Func kStrToDate{
    .name = "str_to_date",
    .site = {"str_to_date", __LINE__},
    .params = {{"value"}},
    .impl = str_to_date,
};

// ---------------------------------------------------------------------------
// Module body: the names in their fixed order.

int body(PyObject*, PyObject*) {
  if (bind_decimal_processor() < 0 || bind("datetime", import_module("datetime")) < 0 ||
      bind("datetime_cls", import_from("datetime", "datetime")) < 0 ||
      bind("time_cls", import_from("datetime", "time")) < 0 || bind("date_cls", import_from("datetime", "date")) < 0 ||
      bind("re", import_module("re")) < 0 || bind(kIntToBoolean) < 0 || bind(kToStr) < 0 || bind(kToFloat) < 0 ||
      bind(kStrToDatetime) < 0 || bind(kStrToTime) < 0 || bind(kStrToDate) < 0 || install_decimal_process() < 0)
    return -1;
  return 0;
}

const ModuleSpec kSpec{"processors", "kestrine/processors/processors.cpp", body};

}  // namespace
}  // namespace kx::processors

PyMODINIT_FUNC PyInit_processors() { return kx::module_init(kx::processors::kSpec); }
