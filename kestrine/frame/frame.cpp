// The calling frame: module create/exec, the function-object type, argument
// binding, call-time lookup and traceback entries. Compiled into each module;
// all state below is the process-wide state of that one module.
#include "frame.hpp"
#include "internal.hpp"

#include <cstddef>
#include <cstring>

namespace kx {
namespace {

struct State {
  PyObject* module = nullptr;       // strong, set at exec, cleared if exec fails
  int64_t interp = -1;              // the one interpreter this module serves
  PyObject* ns = nullptr;           // the module namespace
  PyObject* builtins = nullptr;     // the builtins module
  PyObject* full_name = nullptr;    // strong, exact str: "velmora.kestrine.processors"
  const char* full_text = nullptr;  // its UTF-8, owned by full_name
  const ModuleSpec* spec = nullptr;
  bool prepared = false;  // prepare_all has run: names, parameters, code objects
};
State g_state;

// The registries are plain pointers outside `g_state` because they are filled
// while the library is loaded, by the constructors of the static `Name`,
// `Site` and `Func` objects of every source file of the module, in an order
// between files that the language leaves open. A pointer initialised to
// nullptr is constant-initialised, so it is in place before any of those
// constructors runs. Keeping them apart says so whatever `g_state` comes to
// hold: a member that needs dynamic initialisation would reset a registry in
// it after the first objects enlisted.
Name* g_names = nullptr;          // every Name of the module, interned at exec
Site* g_sites = nullptr;          // every traceback site, given its code object at exec
Func* g_funcs = nullptr;          // every function description, prepared at exec
PyObject* g_init_code = nullptr;  // the "init <module>" entry of a failed exec

}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(g_names) { g_names = this; }

Site* enlist(Site* site) noexcept {
  Site* next = g_sites;
  g_sites = site;
  return next;
}

Func* enlist(Func* f) noexcept {
  Func* next = g_funcs;
  g_funcs = f;
  return next;
}

int intern_all() noexcept {
  for (Name* n = g_names; n; n = n->next_) {
    if (n->obj_) continue;
    n->obj_ = PyUnicode_InternFromString(n->text_);
    if (!n->obj_) return -1;
  }
  return 0;
}

PyObject* ns() noexcept { return g_state.ns; }

// ---------------------------------------------------------------------------
// Traceback entries

namespace {

// The entry for `code`: a frame whose globals are the module namespace.
void add_entry(PyObject* code) noexcept {
  if (!code || !g_state.ns) return;
  PyObject* exc = PyErr_GetRaisedException();
  PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), g_state.ns, nullptr);
  // Making the entry failed: keep the original exception, not ours.
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  if (frame) {
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
  }
}

}  // namespace

void add_traceback(const Site& site) noexcept { add_entry(site.code); }

// ---------------------------------------------------------------------------
// Errors with fixed texts. Kept out of line: they are never on a hot path.

namespace {

[[gnu::cold, gnu::noinline]] void count_error(const Func& f, Py_ssize_t given) noexcept {
  const bool at_least = (f.shape & kVarargs) != 0;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f.name,
               at_least ? "at least" : "exactly", static_cast<Py_ssize_t>(f.nparams), f.nparams == 1 ? "" : "s", given);
}

[[gnu::cold, gnu::noinline]] void unexpected_keyword(const Func& f, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name, key);
}

[[gnu::cold, gnu::noinline]] void multiple_values(const Func& f, PyObject* key) noexcept {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f.name, key);
}

[[gnu::cold, gnu::noinline]] void keywords_not_strings(const Func& f) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
}

[[gnu::cold, gnu::noinline]] void needs_argument(const Func& f) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", f.name);
}

[[gnu::cold, gnu::noinline]] void wrong_instance(const Func& f, PyObject* self) noexcept {
  PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object", f.name,
               f.owner->tp_name, Py_TYPE(self)->tp_name);
}

[[gnu::cold, gnu::noinline]] void argument_type_error(const Param& p, PyObject* got) noexcept {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
               p.exact->tp_name, Py_TYPE(got)->tp_name);
}

}  // namespace

void field_type_error(const char* expected, PyObject* got) noexcept {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got)->tp_name);
}

void null_result() noexcept { PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call"); }

PyObject* call_one_guarded_by_caller(PyObject* callable, PyObject* arg) noexcept {
  PyObject* stack[2] = {nullptr, arg};
  PyObject* r = PyObject_Vectorcall(callable, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!r && !PyErr_Occurred()) null_result();
  return r;
}

PyObject* call_one(PyObject* callable, PyObject* arg) noexcept {
  RecursionGuard guard;
  if (guard.failed()) return nullptr;
  return call_one_guarded_by_caller(callable, arg);
}

// ---------------------------------------------------------------------------
// Argument binding

namespace {

// Interns the parameter names and counts them; run for every description at
// exec, before anything can call it.
int prepare(Func& f) noexcept {
  if (f.nparams >= 0) return 0;
  int n = 0;
  while (n < kMaxParams && f.params[n].name) {
    f.names[n] = PyUnicode_InternFromString(f.params[n].name);
    if (!f.names[n]) return -1;
    f.checks = f.checks || f.params[n].exact;
    ++n;
  }
  f.nparams = n;
  return 0;
}

// Same text as a parameter name that is an exact, interned str.
bool same_text(PyObject* key, PyObject* param) noexcept {
  if (PyUnicode_CheckExact(key)) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    return len == PyUnicode_GET_LENGTH(param) && PyUnicode_KIND(key) == PyUnicode_KIND(param) &&
           std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(param), static_cast<size_t>(len) * PyUnicode_KIND(key)) == 0;
  }
  return false;
}

// Which parameter a keyword names.
struct Match {
  enum Outcome { kError, kNone, kParam } outcome;  // kError: a str subclass's __eq__ raised
  int index;                                       // kParam: the parameter's position
};

// The parameter at or after `from` named `key`: identity first, then text.
Match match(const Func& f, PyObject* key, int from) noexcept {
  for (int i = from; i < f.nparams; ++i)
    if (f.names[i] == key) return {Match::kParam, i};
  if (PyUnicode_CheckExact(key)) {
    for (int i = from; i < f.nparams; ++i)
      if (same_text(key, f.names[i])) return {Match::kParam, i};
    return {Match::kNone, -1};
  }
  for (int i = from; i < f.nparams; ++i) {
    int eq = PyObject_RichCompareBool(key, f.names[i], Py_EQ);
    if (eq < 0) return {Match::kError, -1};
    if (eq) return {Match::kParam, i};
  }
  return {Match::kNone, -1};
}

// Whether an error of this function's binding gets a traceback entry: not for
// functions that take no arguments at all.
bool binding_entry(const Func& f) noexcept { return f.nparams > 0 || (f.shape & (kVarargs | kVarkw)); }

[[gnu::cold, gnu::noinline]] PyObject* binding_failed(Func& f) noexcept {
  if (binding_entry(f)) add_traceback(f.site);
  return nullptr;
}

// The exact-type checks of the parameters; 0, or -1 with the error set.
[[gnu::noinline]] int check_exact(const Func& f, const Args& a) noexcept {
  for (int i = 0; i < f.nparams; ++i) {
    const Param& p = f.params[i];
    if (p.exact && a.v[i] != Py_None && Py_TYPE(a.v[i]) != p.exact) {
      argument_type_error(p, a.v[i]);
      return -1;
    }
  }
  return 0;
}

}  // namespace

// A body returned nullptr: make sure an exception is set, add the entry.
[[gnu::cold, gnu::noinline]] void body_failed(const Func& f) noexcept {
  if (!PyErr_Occurred()) null_result();
  add_traceback(f.site);
}

// The recursion guard is held here, on the way into every function of the
// module, because a body may call out to objects that lead straight back into
// another function of the module (a rebound module name, a bound method as a
// converter, a refusal function that is one of the refusing methods):
// tests/test_native_recursion.py.
PyObject* run(Func& f, const Args& a, unsigned done) noexcept {
  if (f.checks && !(done & kChecked) && check_exact(f, a) < 0) return nullptr;
  PyObject* r;
  if (!f.guarded || (done & kGuarded)) {
    r = f.impl(a);
  } else {
    RecursionGuard guard;
    r = guard.failed() ? nullptr : f.impl(a);
  }
  if (!r) [[unlikely]]
    body_failed(f);
  return r;
}

namespace {

// The general binder for the vectorcall convention (keywords, varargs).
[[gnu::noinline]] PyObject* bind_vector(Func& f, PyObject* self, PyObject* const* args, Py_ssize_t n,
                                        PyObject* kwnames) noexcept {
  const Py_ssize_t nparams = f.nparams;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if ((n > nparams && !(f.shape & kVarargs)) || (nkw == 0 && n < nparams)) {
    count_error(f, n);
    return binding_failed(f);
  }
  PyObject* slots[kMaxParams] = {};
  for (Py_ssize_t i = 0; i < n && i < nparams; ++i) slots[i] = args[i];
  Ref kw;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      keywords_not_strings(f);
      return binding_failed(f);
    }
    const Match m = match(f, key, static_cast<int>(n < nparams ? n : nparams));
    if (m.outcome == Match::kError) return binding_failed(f);
    if (m.outcome == Match::kParam && !slots[m.index]) {
      slots[m.index] = args[n + k];
      continue;
    }
    if (m.outcome == Match::kParam) {
      // A C caller can pass one name twice; a def statement's function refuses.
      multiple_values(f, key);
      return binding_failed(f);
    }
    const Match before = match(f, key, 0);
    if (before.outcome == Match::kError) return binding_failed(f);
    if (before.outcome == Match::kParam) {
      multiple_values(f, key);
      return binding_failed(f);
    }
    if (!(f.shape & kVarkw)) {
      unexpected_keyword(f, key);
      return binding_failed(f);
    }
    if (!kw) {
      kw = Ref::steal(PyDict_New());
      if (!kw) return binding_failed(f);
    }
    if (PyDict_SetItem(kw.get(), key, args[n + k]) < 0) return binding_failed(f);
  }
  for (Py_ssize_t i = 0; i < nparams; ++i) {
    if (!slots[i]) {
      count_error(f, i);
      return binding_failed(f);
    }
  }
  const Py_ssize_t nrest = n > nparams ? n - nparams : 0;
  return run(f, Args{self, slots, args + nparams, nrest, kw.get()});
}

}  // namespace

PyObject* call_vector(Func& f, PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) noexcept {
  if ((!kwnames || PyTuple_GET_SIZE(kwnames) == 0) && n == f.nparams)
    return run(f, Args{self, args, args + n, 0, nullptr});
  return bind_vector(f, self, args, n, kwnames);
}

namespace {

// ---------------------------------------------------------------------------
// The function-object type

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Func* func;
  PyObject* name;      // __name__
  PyObject* qualname;  // __qualname__
  PyObject* module;    // __module__
  PyObject* code;      // __code__
  PyObject* dict;      // __dict__
  PyObject* weakrefs;  // weak references, as to any function
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

[[gnu::noinline]] PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                                PyObject* kwnames) noexcept {
  Func& f = *as_function(callable)->func;
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  PyObject* self = nullptr;
  if (f.shape & kMethod) {
    if (n == 0) {
      needs_argument(f);
      return binding_failed(f);
    }
    self = args[0];
    if (f.owner && !PyObject_TypeCheck(self, f.owner)) {
      wrong_instance(f, self);
      add_traceback(f.site);
      return nullptr;
    }
    ++args;
    --n;
  }
  // Fast path: the parameters (and any extra positional arguments a
  // variadic function takes), positionally, without keywords.
  if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) {
    if (n == f.nparams) return run(f, Args{self, args, args + n, 0, nullptr});
    if (n > f.nparams && (f.shape & kVarargs))
      return run(f, Args{self, args, args + f.nparams, n - f.nparams, nullptr});
  }
  return bind_vector(f, self, args, n, kwnames);
}

// The common shape of a converter, one parameter and no exact type: the
// single positional argument goes straight to the body.
PyObject* one_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  Func& f = *as_function(callable)->func;
  if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames) [[likely]]
    return run(f, Args{nullptr, args, args + 1, 0, nullptr});
  return function_vectorcall(callable, args, nargsf, kwnames);
}

// The same for a body that guards its own call-outs (the converters, called
// once per value of every row): nothing between the call and the body.
PyObject* unguarded_one_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) noexcept {
  Func& f = *as_function(callable)->func;
  if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames) [[likely]] {
    PyObject* r = f.impl(Args{nullptr, args, args + 1, 0, nullptr});
    if (!r) [[unlikely]]
      body_failed(f);
    return r;
  }
  return function_vectorcall(callable, args, nargsf, kwnames);
}

// The common call of a method, `obj.method(...)`: an instance of exactly the
// owner type and exactly the parameters (plus any extra positional arguments
// a variadic one takes), positionally. After the instance check it goes
// straight to `run`; anything else, an instance of a subclass included, takes
// the general entry, which checks the instance against the owner's
// subclasses, so that the common road holds nothing across a call.
PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  Func& f = *as_function(callable)->func;
  const Py_ssize_t n = static_cast<Py_ssize_t>(PyVectorcall_NARGS(nargsf)) - 1;
  if (!kwnames && (n == f.nparams || (n > f.nparams && (f.shape & kVarargs))) && Py_IS_TYPE(args[0], f.owner))
      [[likely]]
    return run(f, Args{args[0], args + 1, args + 1 + f.nparams, n - f.nparams, nullptr});
  return function_vectorcall(callable, args, nargsf, kwnames);
}

// The same for a method with no parameters but `*args` whose body guards its
// own call-outs (sealedmap's merges): the instance check, then the body.
PyObject* unguarded_rest_method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                           PyObject* kwnames) noexcept {
  Func& f = *as_function(callable)->func;
  const Py_ssize_t n = static_cast<Py_ssize_t>(PyVectorcall_NARGS(nargsf)) - 1;
  if (!kwnames && n >= 0 && Py_IS_TYPE(args[0], f.owner)) [[likely]] {
    PyObject* r = f.impl(Args{args[0], args + 1, args + 1, n, nullptr});
    if (!r) [[unlikely]]
      body_failed(f);
    return r;
  }
  return function_vectorcall(callable, args, nargsf, kwnames);
}

// Builds the __code__ that signature introspection reads: the parameters as
// the code's arguments, `*a`/`**kw` flagged as on a def statement.
PyObject* make_code(const Func& f) noexcept {
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(f.site.file, f.name, f.site.line)));
  if (!code) return nullptr;
  const int extra = (f.shape & kMethod ? 1 : 0);
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return nullptr;
  auto append = [&](const char* text) {
    Ref s = Ref::steal(PyUnicode_InternFromString(text));
    return s && PyList_Append(names.get(), s.get()) == 0;
  };
  if (extra && !append(f.self_name)) return nullptr;
  for (int i = 0; i < f.nparams; ++i)
    if (PyList_Append(names.get(), f.names[i]) < 0) return nullptr;
  int flags = CO_OPTIMIZED | CO_NEWLOCALS;
  if (f.shape & kVarargs) {
    flags |= CO_VARARGS;
    if (!append(f.rest_name ? f.rest_name : "args")) return nullptr;
  }
  if (f.shape & kVarkw) {
    flags |= CO_VARKEYWORDS;
    if (!append("kw")) return nullptr;
  }
  Ref varnames = Ref::steal(PyList_AsTuple(names.get()));
  Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
  Ref kwargs = Ref::steal(PyDict_New());
  Ref argcount = Ref::steal(PyLong_FromLong(f.nparams + extra));
  Ref flagobj = Ref::steal(PyLong_FromLong(flags));
  Ref qualobj = Ref::steal(PyUnicode_FromString(f.site.qualname));
  Ref nlocals = Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(names.get())));
  if (!varnames || !replace || !kwargs || !argcount || !flagobj || !qualobj || !nlocals ||
      PyDict_SetItemString(kwargs.get(), "co_nlocals", nlocals.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_flags", flagobj.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_qualname", qualobj.get()) < 0)
    return nullptr;
  Ref empty = Ref::steal(PyTuple_New(0));
  if (!empty) return nullptr;
  return PyObject_Call(replace.get(), empty.get(), kwargs.get());
}

PyObject* function_get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* function_get_globals(PyObject*, void*) noexcept {
  PyObject* d = g_state.ns ? g_state.ns : Py_None;
  return Py_NewRef(d);
}

PyObject* function_get_annotations(PyObject*, void*) noexcept { return PyDict_New(); }

PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_function(self)->qualname); }

PyObject* function_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_function(self)->dict);
  return 0;
}

int function_clear(PyObject* self) noexcept {
  Py_CLEAR(as_function(self)->dict);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  FunctionObject* f = as_function(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->code);
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", function_get_none, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_get_none, nullptr, nullptr, nullptr},
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", function_get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FunctionType = {
    // clang-format off: the macro brings its own comma
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
                 // clang-format on
                 .tp_name = "kestrine_function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    // A method descriptor: `obj.method(x)` calls the function with obj
    // prepended instead of making a bound method first.
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weakrefs),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

// The frame's own entry for the shape of `f`.
vectorcallfunc frame_entry_of(const Func& f) noexcept {
  if (f.shape == kPlain && f.nparams == 1 && !f.checks) return f.guarded ? one_vectorcall : unguarded_one_vectorcall;
  if ((f.shape & kMethod) && (f.shape & kVarargs) && f.owner && f.nparams == 0 && !f.guarded)
    return unguarded_rest_method_vectorcall;
  if ((f.shape & kMethod) && f.owner && !f.checks) return method_vectorcall;
  return function_vectorcall;
}

}  // namespace

PyObject* frame_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  return frame_entry_of(*as_function(callable)->func)(callable, args, nargsf, kwnames);
}

PyObject* make_function(Func& f) noexcept {
  if (!(FunctionType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&FunctionType) < 0) return nullptr;
  Ref code = Ref::steal(make_code(f));
  if (!code) return nullptr;
  FunctionObject* o = PyObject_GC_New(FunctionObject, &FunctionType);
  if (!o) return nullptr;
  o->vectorcall = f.entry ? f.entry : frame_entry_of(f);
  o->func = &f;
  o->name = PyUnicode_InternFromString(f.name);
  o->qualname = PyUnicode_InternFromString(f.site.qualname);
  o->module = Py_NewRef(g_state.full_name);
  o->code = code.release();
  o->dict = nullptr;
  o->weakrefs = nullptr;
  PyObject_GC_Track(o);
  Ref result = Ref::steal(reinterpret_cast<PyObject*>(o));
  if (!o->name || !o->qualname || !o->module) return nullptr;
  return result.release();
}

// ---------------------------------------------------------------------------
// Tuple-and-mapping binding

PyObject* call_tuple(Func& f, PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  const Py_ssize_t nparams = f.nparams;
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (n > nparams || (nkw == 0 && n != nparams)) {
    count_error(f, n);
    return binding_failed(f);
  }
  if (nkw == 0) return run(f, Args{self, &PyTuple_GET_ITEM(args, 0), nullptr, 0, nullptr});

  if (!PyArg_ValidateKeywordArguments(kwargs)) return binding_failed(f);
  // Keyword values are held strongly (tests/test_hostile_processors.py,
  // test_constructor_keyword_dicts_that_are_not_plain): the mapping is the
  // caller's and may change under a callback.
  Ref held[kMaxParams];
  PyObject* slots[kMaxParams] = {};
  for (Py_ssize_t i = 0; i < n; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  Py_ssize_t found = 0;
  for (Py_ssize_t i = n; i < nparams; ++i) {
    int r = PyDict_GetItemRef(kwargs, f.names[i], held[i].out());
    if (r < 0) return binding_failed(f);
    if (r > 0) {
      slots[i] = held[i].get();
      ++found;
    }
  }
  if (found < nkw) {
    // Some key named no free parameter by hash and text. It may still be a
    // str subclass, with a hash of its own, that equals a parameter name, so
    // bind again from the items in the mapping's order, by the interpreter's
    // equality; the first key that binds nothing, or a parameter already
    // bound, is reported. The items are a snapshot: a key's __eq__ may change
    // the mapping (tests/test_frame.py,
    // test_mapping_keywords_of_a_str_subclass_bind_by_equality).
    Ref items = Ref::steal(PyDict_Items(kwargs));
    if (!items) return binding_failed(f);
    for (Py_ssize_t i = n; i < nparams; ++i) {
      held[i] = Ref();
      slots[i] = nullptr;
    }
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* item = PyList_GET_ITEM(items.get(), k);
      PyObject* key = PyTuple_GET_ITEM(item, 0);
      const Match m = match(f, key, 0);
      if (m.outcome == Match::kError) return binding_failed(f);
      if (m.outcome == Match::kNone) {
        unexpected_keyword(f, key);
        return binding_failed(f);
      }
      if (m.index < n || slots[m.index]) {
        multiple_values(f, key);
        return binding_failed(f);
      }
      held[m.index] = Ref::borrow(PyTuple_GET_ITEM(item, 1));
      slots[m.index] = held[m.index].get();
    }
  }
  for (Py_ssize_t i = 0; i < nparams; ++i) {
    if (!slots[i]) {
      count_error(f, i);
      return binding_failed(f);
    }
  }
  return run(f, Args{self, slots, nullptr, 0, nullptr});
}

bool finalizer_resurrected(PyObject* self, destructor own) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  if (!tp->tp_finalize || tp->tp_dealloc != own || PyObject_GC_IsFinalized(self)) return false;
  return PyObject_CallFinalizerFromDealloc(self) < 0;
}

PyObject* new_instance(PyTypeObject* type) noexcept {
  if (!PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) return type->tp_alloc(type, 0);
  Ref empty = Ref::steal(PyTuple_New(0));
  if (!empty) return nullptr;
  return PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
}

int set_type_attr(PyTypeObject* type, const char* name, PyObject* value) noexcept {
  Ref v = Ref::steal(value);
  if (!v) return -1;
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  if (!key || PyDict_SetItem(type->tp_dict, key.get(), v.get()) < 0) return -1;
  PyType_Modified(type);
  Ref set_name;
  if (PyObject_GetOptionalAttrString(v.get(), "__set_name__", set_name.out()) < 0) return -1;
  if (set_name) {
    Ref r =
        Ref::steal(PyObject_CallFunctionObjArgs(set_name.get(), reinterpret_cast<PyObject*>(type), key.get(), nullptr));
    if (!r) return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Call-time lookup

#if PY_VERSION_HEX >= 0x030F0000
// 3.15's lazy imports bind a placeholder in the namespace until the name is
// first read. The interpreter's own global read resolves it the same way: it
// imports the module, rebinds the name when the binding still holds the
// placeholder, and gives the imported object or the import's exception.
namespace {
[[gnu::cold]] PyObject* resolve_lazy(PyObject* placeholder, const Name& name) noexcept {
  Ref held = Ref::steal(placeholder);  // the resolution may drop the binding
  return internal::resolve_lazy_import(held.get(), name.get(), g_state.ns);
}
}  // namespace
#endif

PyObject* lookup(const Name& name) noexcept {
  PyObject* r = nullptr;
  if (g_state.ns) {
    int found = PyDict_GetItemRef(g_state.ns, name.get(), &r);
#if PY_VERSION_HEX >= 0x030F0000
    if (found > 0 && internal::is_lazy_import(r)) [[unlikely]]
      return resolve_lazy(r, name);
#endif
    if (found > 0) return r;
    if (found < 0) PyErr_Clear();
  }
  if (g_state.builtins && PyObject_GetOptionalAttr(g_state.builtins, name.get(), &r) > 0) return r;
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  return nullptr;
}

// ---------------------------------------------------------------------------
// Imports

PyObject* import_module(const char* module) noexcept {
  Ref name = Ref::steal(PyUnicode_FromString(module));
  if (!name) return nullptr;
  return PyImport_ImportModuleLevelObject(name.get(), g_state.ns, nullptr, nullptr, 0);
}

PyObject* import_from(const char* module, const char* name) noexcept {
  Ref mod_name = Ref::steal(PyUnicode_FromString(module));
  Ref attr = Ref::steal(PyUnicode_FromString(name));
  if (!mod_name || !attr) return nullptr;
  Ref fromlist = Ref::steal(PyList_New(1));
  if (!fromlist) return nullptr;
  PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(attr.get()));
  Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(mod_name.get(), g_state.ns, nullptr, fromlist.get(), 0));
  if (!mod) return nullptr;
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(mod.get(), attr.get(), &value) != 0) return value;
  // Not an attribute: a submodule of that name may be in sys.modules.
  Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", mod_name.get(), attr.get()));
  if (!full) return nullptr;
  value = PyImport_GetModule(full.get());
  if (value || PyErr_Occurred()) return value;
  // The message shows the name's repr.
  PyErr_Format(PyExc_ImportError, "cannot import name %R", attr.get());
  return nullptr;
}

int bind(const char* name, PyObject* value) noexcept {
  Ref v = Ref::steal(value);
  if (!v) return -1;
  return PyDict_SetItemString(g_state.ns, name, v.get());
}

// ---------------------------------------------------------------------------
// Module start-up

namespace {

PyModuleDef g_def;

int copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to, bool copy_none) {
  Ref value;
  int r = PyObject_GetOptionalAttrString(spec, from, value.out());
  if (r <= 0) return r;
  if (value.get() == Py_None && !copy_none) return 0;
  return PyObject_SetAttrString(module, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
  PyInterpreterState* interp = PyInterpreterState_Get();
  int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return nullptr;
  if (g_state.interp == -1) {
    g_state.interp = id;
  } else if (g_state.interp != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (g_state.module) return Py_NewRef(g_state.module);
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (copy_spec_attr(spec, module.get(), "loader", "__loader__", true) < 0 ||
      copy_spec_attr(spec, module.get(), "origin", "__file__", true) < 0 ||
      copy_spec_attr(spec, module.get(), "parent", "__package__", true) < 0 ||
      copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", false) < 0)
    return nullptr;
  return module.release();
}

int version_check() noexcept {
  const int major = static_cast<int>((Py_Version >> 24) & 0xff);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                PY_MINOR_VERSION, g_state.full_text, "does not match", major, minor);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// A source file name as the compiler gave it ("../kestrine/rowcore/row.cpp"
// from the build directory, an absolute path in an sdist's build), from the
// project's own top directory on: "kestrine/rowcore/row.cpp".
const char* project_path(const char* file) noexcept {
  static constexpr char kTop[] = "kestrine/";
  const char* found = file;
  for (const char* p = std::strstr(file, kTop); p; p = std::strstr(p + 1, kTop)) found = p;
  return found;
}

// Everything that calls and failures read later is made here, once, so that
// after exec no process-wide state is written: the interned names, the
// parameter names of every function description, the code object of every
// traceback site and of the "init <module>" entry.
int prepare_all() noexcept {
  if (intern_all() < 0) return -1;
  for (Func* f = g_funcs; f; f = f->next)
    if (prepare(*f) < 0) return -1;
  for (Site* site = g_sites; site; site = site->next) {
    if (site->code) continue;
    site->file = project_path(site->file);
    // Names are built as str objects, so a module imported under a name of any
    // length gets its entries without a fixed-size buffer to outgrow.
    Ref name = Ref::steal(PyUnicode_FromFormat("%U.%s", g_state.full_name, site->qualname));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!text) return -1;
    site->code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(site->file, text, site->line));
    if (!site->code) return -1;
  }
  // The entry is named "init <module>", without the module prefix.
  Ref init_name = Ref::steal(PyUnicode_FromFormat("init %U", g_state.full_name));
  const char* text = init_name ? PyUnicode_AsUTF8(init_name.get()) : nullptr;
  if (!text) return -1;
  g_init_code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(g_state.spec->source, text, 1));
  return g_init_code ? 0 : -1;
}

// Registers the module in sys.modules and runs its body; failures here get
// the "init <module>" entry.
int exec_body(PyObject* module) noexcept {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return -1;
  PyObject* modules = PyImport_GetModuleDict();
  int has = PyDict_Contains(modules, name.get());
  if (has < 0) return -1;
  if (!has && PyDict_SetItem(modules, name.get(), module) < 0) return -1;
  if (g_state.spec->body(module, g_state.ns) < 0) return -1;
  return bind("__test__", PyDict_New());
}

int module_exec(PyObject* module) noexcept {
  if (g_state.module) {
    if (g_state.module == module) return 0;
    PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                 g_state.spec->short_name);
    return -1;
  }
  g_state.module = Py_NewRef(module);
  int ok = -1;
  do {
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) break;
#endif
    g_state.ns = PyModule_GetDict(module);
    if (!g_state.ns) break;
    const char* full = PyModule_GetName(module);
    if (!full) break;
    // A copy as an exact str, held for the names built below: the module's
    // own __name__ may be rebound by code that exec runs.
    Py_XSETREF(g_state.full_name, PyUnicode_FromString(full));
    if (!g_state.full_name) break;
    g_state.full_text = PyUnicode_AsUTF8(g_state.full_name);
    if (!g_state.full_text) break;
    Py_XSETREF(g_state.builtins, PyImport_ImportModule("builtins"));
    if (!g_state.builtins || PyObject_SetAttrString(module, "__builtins__", g_state.builtins) < 0) break;
    if (version_check() < 0) break;
    if (!g_state.prepared) {
      if (prepare_all() < 0) break;
      g_state.prepared = true;
    }
    if (exec_body(module) < 0) {
      add_entry(g_init_code);
      break;
    }
    ok = 0;
  } while (false);
  if (ok < 0) {
    g_state.ns = nullptr;  // borrowed from the module being dropped
    Py_CLEAR(g_state.module);
  }
  return ok;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

}  // namespace

PyObject* module_init(const ModuleSpec& spec) noexcept {
  g_state.spec = &spec;
  g_def = PyModuleDef{PyModuleDef_HEAD_INIT, spec.short_name, nullptr, 0, nullptr, g_slots, nullptr, nullptr, nullptr};
  return PyModuleDef_Init(&g_def);
}

}  // namespace kx
