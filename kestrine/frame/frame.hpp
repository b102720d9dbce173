// The calling frame shared by the three extension modules: owning references,
// interned names, functions described as data and the function-object type
// that exposes them, argument binding with its fixed messages, exact-type
// checks, call-time lookup of module-level names, traceback entries and the
// module's create/exec start-up.
//
// One source (frame.cpp) is compiled into each module, so every module has
// its own copy of the process-wide state kept here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

namespace kx {

// ---------------------------------------------------------------------------
// Owning reference. Borrowed references stay raw `PyObject*`; an owner is made
// only on purpose, with `steal` (take over a new reference) or `borrow` (add
// one). `release` hands the reference out.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    // Drop the old object last: its deallocation may run Python code.
    PyObject* old = p_;
    p_ = o.p_;
    o.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Out-parameter for the `...Ref(..., PyObject** result)` APIs; the
  // reference must be empty.
  PyObject** out() noexcept { return &p_; }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// Replace a strong field with a new strong reference, dropping the old value
// only after the field already holds the new one.
inline void set_field(PyObject*& field, PyObject* value) noexcept {
  PyObject* old = field;
  Py_XINCREF(value);
  field = value;
  Py_XDECREF(old);
}

// ---------------------------------------------------------------------------
// An interned string, declared as a static object and created once at exec.
// `get()` is a borrowed reference that lives for the rest of the process.
class Name {
 public:
  explicit Name(const char* text) noexcept;
  PyObject* get() const noexcept { return obj_; }
  const char* text() const noexcept { return text_; }

 private:
  friend int intern_all() noexcept;
  const char* text_;
  PyObject* obj_ = nullptr;
  Name* next_;
};

// ---------------------------------------------------------------------------
// A place in the module that can show up in a traceback: the qualified name
// inside the module ("BaseRow.__init__") and the source line. The code object
// of the entry is made at the first failure and kept.
struct Site {
  const char* qualname;
  int line;
  const char* file = nullptr;  // the source file, when not the module's main one
  PyObject* code = nullptr;
  PyObject* frame = nullptr;  // the entry's frame, kept for the next failure
};

// Append the traceback entry for `site` to the exception being raised.
void add_traceback(Site& site) noexcept;

// ---------------------------------------------------------------------------
// Functions as data.

inline constexpr int kMaxParams = 4;

struct Param {
  const char* name = nullptr;
  // When set, the argument must be exactly this type or None; the check runs
  // after binding, before the body, and adds no traceback entry.
  PyTypeObject* exact = nullptr;
};

enum Shape : unsigned {
  kPlain = 0,
  kMethod = 1,   // the first positional argument is the instance, not a parameter
  kVarargs = 2,  // extra positional arguments are accepted (`*args`)
  kVarkw = 4,    // extra keyword arguments are accepted (`**kw`)
};

// What a function body receives once its arguments are bound. All pointers
// are borrowed and stay valid for the duration of the call.
struct Args {
  PyObject* self;         // the instance for kMethod, else nullptr
  PyObject* const* v;     // the parameters, in declaration order
  PyObject* const* rest;  // extra positional arguments (kVarargs)
  Py_ssize_t nrest;
  PyObject* kw;  // extra keywords as a new dict (kVarkw), or nullptr when none
};

// Returns a new reference, or nullptr with an exception set.
using Impl = PyObject* (*)(const Args&);

struct Func {
  const char* name;  // plain name, used by the argument messages
  Site site;         // qualified name and definition line
  Param params[kMaxParams];
  unsigned shape;
  PyTypeObject* owner;  // kMethod: the instance must be of this type
  Impl impl;
  const char* rest_name = nullptr;  // kVarargs: the name shown for `*args`
  // Filled once at exec.
  int nparams = -1;
  bool checks = false;  // some parameter has an exact type
  PyObject* names[kMaxParams] = {};
};

// A new function object for `f`, bound to this module's namespace.
PyObject* make_function(Func& f) noexcept;

// Bind a call that arrives as a tuple and a keyword mapping (constructors and
// initialisers) and run the body. `self` is passed through. Returns a new
// reference or nullptr; adds the traceback entry of `f` as the rules say.
PyObject* call_tuple(Func& f, PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// Store `value` (a new reference, stolen; may be nullptr after a failed call)
// in a static type's namespace as an assignment in a class body would:
// __set_name__ is honoured and the type's attribute cache invalidated.
int set_type_attr(PyTypeObject* type, const char* name, PyObject* value) noexcept;

// Install a function object for the method `f` in `type`'s namespace under
// its plain name.
inline int install(PyTypeObject* type, Func& f) noexcept { return set_type_attr(type, f.name, make_function(f)); }

// ---------------------------------------------------------------------------
// Errors with fixed texts.

// "Expected %s, got %.200s": a typed field assigned a value of another type.
[[gnu::cold]] void field_type_error(const char* expected, PyObject* got) noexcept;

// A module-level name read at call time: the module namespace, then the
// builtins, else NameError. Returns a new reference or nullptr.
PyObject* lookup(const Name& name) noexcept;

// ---------------------------------------------------------------------------
// Module start-up.

struct ModuleSpec {
  const char* short_name;  // "processors"
  const char* source;      // file name carried by traceback entries
  // Binds the module's names in their fixed order; 0 or -1 with an exception.
  int (*body)(PyObject* module, PyObject* ns);
};

// The entry function's result: the module definition, through PyModuleDef_Init.
PyObject* module_init(const ModuleSpec& spec) noexcept;

// This module's namespace (borrowed), valid from exec on.
PyObject* ns() noexcept;

// Bind `value` (a new reference, may be nullptr after a failed call) as the
// module attribute `name`. Returns 0 or -1.
int bind(const char* name, PyObject* value) noexcept;

// `import module`; returns the top-level package for a dotted name.
PyObject* import_module(const char* module) noexcept;
// `from module import name`, with the sys.modules fallback and the
// "cannot import name" error. Returns a new reference or nullptr.
PyObject* import_from(const char* module, const char* name) noexcept;

}  // namespace kx
