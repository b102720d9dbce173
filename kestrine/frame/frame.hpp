// The calling frame shared by the three extension modules: owning references,
// interned names, functions described as data and the function-object type
// that exposes them, argument binding with its fixed messages, exact-type
// checks, call-time lookup of module-level names, traceback entries, the
// recursion guard and the module's create/exec start-up.
//
// One source (frame.cpp) is compiled into each module, so every module has
// its own copy of the process-wide state kept here.
//
// Design
// ------
// The life of a function. A module describes each of its functions once, as
// a static `Func`: plain name, traceback site (qualified name, line, file),
// parameter names with an optional exact type, a shape (method, *args,
// **kw), the class its instance must belong to, and the body. Nothing else
// about the function is written by hand.
//   1. Declared. The `Func` is a static aggregate; its last member links it
//      into the module's list when the library is loaded (as `Site` and
//      `Name` do), and nothing else runs before exec.
//   2. Prepared, at exec. `prepare_all` interns every `Name`, every
//      parameter name, and makes the code object of every traceback site,
//      before the module body runs. After exec the frame writes no
//      process-wide state, which is what lets the modules promise that all
//      writing happens during start-up.
//   3. Bound to the module. The module body calls `make_function` (a module
//      function) or `install` (a method stored in its type's namespace): a
//      function object with the vectorcall entry, `__code__` built from the
//      parameter list, names and `__module__`.
//   4. Called. The function object's vectorcall takes the fast path when
//      the arguments already fit (one positional argument; exactly the
//      parameters, positionally; for a method with an owner type, the
//      instance and then those), else the one binder `bind_vector`, which
//      a native type's vectorcall reaches through `call_vector`.
//      Constructors and initialisers that arrive as a tuple and a mapping go
//      through `call_tuple`. All end in `run`: exact-type checks, then the
//      body under the recursion guard, then the traceback entry on failure.
//      A native shortcut that skips the function object calls `run` too.
//      A `Func` may bring its own vectorcall entry (`entry`) for one call
//      whose binding is evident (sealedmap's merges with one dict): it runs
//      the body directly, adds the failure through `body_failed`, and hands
//      every other call to `frame_entry`, so binding and messages stay here.
//
// Namespace order. A module's names are bound by its `body`, in the one fixed
// order that module promises (types, imports, functions, methods installed in
// types, `__test__` last); the frame sets the generic names (`__builtins__`,
// the module's import-spec attributes) before it. Bodies bind with `bind`, never through
// a dict that could reorder.
//
// Who adds the traceback entry. The callee does, once, in `run` (or a slot's
// own failure path, through `traced`), because only the callee knows its qualified name and
// whether its failure is one of the two that go without an entry (the
// argument errors of a function without parameters, and the exact-type
// check). A caller that sees a callee fail only passes the error on.
//
// Naming. A module's statics are named by kind: an interned name is
// `k<Text>Name` (kGetstateName for "__getstate__"), a function description
// `k<PlainName>` (kGetstate; with its owner's name when two of a module share a
// plain name, kBaseClassGetitem), a traceback site `k<Qualname>Site`
// (kGetByKeyImplSite), a message text `k<What>Message`.
//
// Errors. Every message the frame makes is written in one cold function in
// frame.cpp (count_error, unexpected_keyword, multiple_values...); a module
// makes its own messages in cold helpers of its own file.
//
// State written after start-up. Process-wide state is written during create
// and exec only. Anything a call would write for later calls (a free list of
// released instances, a lookup cache) is allowed only if no Python code can
// tell it is there: no behaviour, message, object lifetime or reference count
// changes (weak references, gc.get_objects(), gc.get_count() and so the
// moment automatic collections run, finalisers, sys.getrefcount after
// release, subclasses); it is safe under the GIL the modules declare and
// compiled out for the free-threaded build; a cache is invalidated exactly
// when the interpreter's own would be and holds no pointer that can outlive
// its object. A free list of released sealedmaps fails this: instances taken
// from it skip the collector's allocation count, so gc.get_count() and the
// timing of collections move by up to the list's length. So does turning a
// dict from dict's own free list into a sealedmap: its release is counted
// and its allocation was not.
//
// Re-entrancy. Any call that can run Python code (a converter, a key's
// __hash__, the parent's method, a rebound module name) may re-initialise the
// object being worked on or come straight back into this module. So objects
// used across such a call are held by `Ref`, fields are re-read after it,
// and the call is made under a `RecursionGuard`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <array>
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
// The interpreter's recursion guard, held for a scope. Every native path that
// calls out to an arbitrary object which can come back into this module (a
// converter, the parent's method, a rebound module name, a key's __hash__)
// holds one, so that a cycle made only of native calls ends in RecursionError,
// as the same cycle written in Python would, instead of overflowing the stack.
class RecursionGuard {
 public:
  RecursionGuard() noexcept : entered_(Py_EnterRecursiveCall(" while calling a Python object") == 0) {}
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  // True when the limit was hit: RecursionError is set and the caller fails.
  bool failed() const noexcept { return !entered_; }

 private:
  bool entered_;
};

// SystemError "NULL result without error in PyObject_Call": a callee returned
// no result and set no exception.
[[gnu::cold]] void null_result() noexcept;

// callable(arg). The spare slot in front lets a bound method put its instance
// there instead of allocating. Returns a new reference, or nullptr with an
// exception set (never without one). `call_one` holds the recursion guard;
// `call_one_guarded_by_caller` is for a body that already holds it.
PyObject* call_one(PyObject* callable, PyObject* arg) noexcept;
PyObject* call_one_guarded_by_caller(PyObject* callable, PyObject* arg) noexcept;

// ---------------------------------------------------------------------------
// A place in the module that can show up in a traceback: the qualified name
// inside the module ("BaseRow.__init__"), the source line and the source file.
// Every site links itself into the module's list when it is constructed, and
// exec makes its code object, so that a failure later writes no process-wide
// state.
struct Site;
Site* enlist(Site* site) noexcept;

struct Site {
  const char* qualname;
  int line;
  // The file that defines the site, as the compiler names it (a default
  // member initializer reports where the aggregate is initialised); exec
  // trims it to the path below the project root, "kestrine/rowcore/row.cpp".
  const char* file = __builtin_FILE();
  PyObject* code = nullptr;  // made at exec
  Site* next = enlist(this);
};

// Append the traceback entry for `site` to the exception being raised.
void add_traceback(const Site& site) noexcept;

// A slot's failure path: `r` is its result; on failure (nullptr) the entry of
// `site` is added, so the slot reads `return traced(compute(...), kSite);`.
inline PyObject* traced(PyObject* r, const Site& site) noexcept {
  if (!r) [[unlikely]]
    add_traceback(site);
  return r;
}

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

  // The first N parameters as named locals:
  //   const auto [parent, processors, key_to_index, data] = a.params<4>();
  template <int N>
  std::array<PyObject*, N> params() const noexcept {
    static_assert(N > 0 && N <= kMaxParams);
    std::array<PyObject*, N> out;
    for (int i = 0; i < N; ++i) out[i] = v[i];
    return out;
  }
};

// Returns a new reference, or nullptr with an exception set. Never throws:
// the modules are built without exceptions, and the type says so.
using Impl = PyObject* (*)(const Args&) noexcept;

struct Func;
Func* enlist(Func* f) noexcept;

// Written with designated initializers beside its body:
//   Func kGetstate{
//       .name = "__getstate__",
//       .site = {"BaseRow.__getstate__", __LINE__},
//       .shape = kMethod,
//       .owner = &BaseRowType,
//       .impl = getstate,
//   };
struct Func {
  const char* name;  // plain name, used by the argument messages
  Site site;         // qualified name and definition line
  Param params[kMaxParams] = {};
  unsigned shape = kPlain;
  PyTypeObject* owner = nullptr;  // kMethod: the instance must be of this type
  Impl impl;
  const char* rest_name = nullptr;  // kVarargs: the name shown for `*args`
  const char* self_name = "self";   // kMethod: the name shown for the instance
  // Whether the call holds the recursion guard around the body. Only a body
  // whose fast paths cannot call out, and that guards its own call-outs,
  // goes without: the guard costs about 24 instructions a call.
  bool guarded = true;
  // A vectorcall entry of the module's own for the commonest call, in place
  // of the frame's: it takes only calls whose binding is evident and hands
  // every other one to frame_entry(), so messages and binding stay the
  // frame's. On failure it adds the entry through body_failed().
  vectorcallfunc entry = nullptr;
  // Filled once at exec.
  int nparams = -1;
  bool checks = false;  // some parameter has an exact type
  PyObject* names[kMaxParams] = {};
  Func* next = enlist(this);  // every description of the module, prepared at exec
};

// A new function object for `f`, bound to this module's namespace.
PyObject* make_function(Func& f) noexcept;

// The frame's entry for the function object `callable` (of a Func with its
// own entry): binding, checks, guard and body as for any other function.
PyObject* frame_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

// What the frame does when a body fails: an exception made sure of, and the
// traceback entry of `f` added. For a module's own entry.
void body_failed(const Func& f) noexcept;

// What a caller of `run` has done already, so that `run` leaves it out.
enum Done : unsigned {
  kNothingDone = 0,
  kChecked = 1,  // the arguments pass the exact-type checks of `f`
  kGuarded = 2,  // the caller holds the recursion guard (it is a body itself)
};

// Run the body of `f` on arguments already bound: the exact-type checks, the
// body under the recursion guard (unless `f` goes without), and the traceback
// entry of `f` when it fails. The one way a described body is run, so a
// native shortcut that calls a body directly (instead of through its function
// object) adds the same entry, once. Returns a new reference or nullptr.
PyObject* run(Func& f, const Args& a, unsigned done = kNothingDone) noexcept;

// Bind a call that arrives in the vectorcall convention (`n` positional
// arguments, then the values of `kwnames`) and run the body with `self`
// passed through: a native type's call that needs no argument tuple.
PyObject* call_vector(Func& f, PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) noexcept;

// Bind a call that arrives as a tuple and a keyword mapping (constructors and
// initialisers) and run the body. `self` is passed through. Returns a new
// reference or nullptr; adds the traceback entry of `f` as the rules say.
PyObject* call_tuple(Func& f, PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// ---------------------------------------------------------------------------
// Slot helpers shared by the modules' native types.

// The start of a native type's deallocation: runs a pending finaliser when
// `own` is the instance's own deallocation (an interpreted subclass's
// deallocation has run it already). True when the finaliser resurrected the
// instance: deallocation must stop there.
bool finalizer_resurrected(PyObject* self, destructor own) noexcept;

// A new instance of `type` with its fields zeroed, for a type whose
// construction ignores `__new__`'s arguments: an abstract class is refused by
// object.__new__, with its message. New reference or nullptr.
PyObject* new_instance(PyTypeObject* type) noexcept;

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
// builtins, else NameError. A lazy-import binding (3.15) is resolved as the
// interpreter's own global read resolves it. Returns a new reference or
// nullptr.
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

// Bind a function object for the module function `f` under its plain name.
inline int bind(Func& f) noexcept { return bind(f.name, make_function(f)); }

// `import module`; returns the top-level package for a dotted name.
PyObject* import_module(const char* module) noexcept;
// `from module import name`, with the sys.modules fallback and the
// "cannot import name" error. Returns a new reference or nullptr.
PyObject* import_from(const char* module, const char* name) noexcept;

}  // namespace kx
