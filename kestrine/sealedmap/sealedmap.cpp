// Module velmora.kestrine.sealedmap: the immutable mapping type `sealedmap`
// (a dict subclass whose own mutators all refuse), its merges (`union`,
// `merge_with`, `|` and the refusing `|=`), the refusal functions
// `_readonly_fn` and `_immutable_fn`, the two ordinary classes built at
// start-up whose mutators refuse through them (`ReadOnlyContainer`,
// `SealedMapBase`), and the module body with its namespace order.
#include "frame/frame.hpp"
#include "frame/internal.hpp"

#include <initializer_list>

namespace kx::sealedmap {
namespace {

Name kImmutableFnName("_immutable_fn");
Name kReadonlyFnName("_readonly_fn");
Name kKeysName("keys");
Name kClassName("__class__");
Name kNameName("__name__");
Name kReadonlyMessage("%s object is immutable and/or readonly");
Name kImmutableMessage("%s object is immutable");
Name kModuleName("__module__");
Name kQualnameName("__qualname__");
Name kSlotsName("__slots__");
Name kPrepareName("__prepare__");

PyObject* g_empty_tuple = nullptr;  // the interpreter's empty tuple, for dict's tp_new
#ifdef KX_DICT_LAYOUT
// The shared table every new dict starts from, read at exec; left empty when
// the interpreter at hand does not share one, and then dict's tp_new makes
// every instance.
PyDictKeysObject* g_empty_table = nullptr;
#endif

// The sealedmap type, made ready by the module body.
extern PyTypeObject SealedMapType;

// ---------------------------------------------------------------------------
// What the refusals and the merges share

// A new, empty instance of exactly `sealedmap`, as calling the type with no
// arguments makes it: a collected object's allocation, which the collector
// counts as any other, tracked from the start. Made here rather than through
// dict's tp_new, which would take an argument tuple only to ignore it and
// clear memory that is then written anyway.
PyObject* new_empty() noexcept {
#ifdef KX_DICT_LAYOUT
  if (g_empty_table) [[likely]] {
    PyObject* o = reinterpret_cast<PyObject*>(PyObject_GC_New(PyDictObject, &SealedMapType));
    if (!o) return nullptr;
    internal::init_empty_dict(o, g_empty_table);
    PyObject_GC_Track(o);
    return o;
  }
#endif
  return PyDict_Type.tp_new(&SealedMapType, g_empty_tuple, nullptr);
}

// The same steps as dict's own constructor takes for its positional argument,
// so that every construction and merge accepts and rejects exactly what
// `dict(arg)` does, with dict's own messages.
int update_arg(PyObject* dst, PyObject* arg) noexcept {
  // An exact sealedmap always has dict's `keys` (its type is static and
  // immutable, its instances have no attribute dict), so asking is skipped.
  // PyDict_Update is the same merge as PyDict_Merge(dst, arg, 1), reaching
  // the interpreter's copy of it specialised for overriding.
  if (PyDict_CheckExact(arg) || Py_IS_TYPE(arg, &SealedMapType)) return PyDict_Update(dst, arg);
  // Anything else runs its own `keys`, iteration and items, which may call
  // straight back into construction: tests/test_native_recursion.py.
  RecursionGuard guard;
  if (guard.failed()) return -1;
  int has_keys = PyObject_HasAttrWithError(arg, kKeysName.get());
  if (has_keys < 0) return -1;
  if (has_keys) return PyDict_Update(dst, arg);
  return PyDict_MergeFromSeq2(dst, arg, 1);
}

// The refusal of every mutator: call `_immutable_fn` with `self` alone. 0 when
// it returned (the mutator then changes nothing), -1 with the exception set;
// the caller adds its own traceback entry.
int refuse(PyObject* self) noexcept {
  // Looked up at every call: rebinding the module attribute changes what
  // the refusal does. This is an error path, so nothing is cached.
  Ref fn = Ref::steal(lookup(kImmutableFnName));
  if (!fn) return -1;
  // The name may be rebound to something that assigns to `self` again, for
  // ever: tests/test_native_recursion.py.
  Ref r = Ref::steal(call_one(fn.get(), self));
  return r ? 0 : -1;
}

// ---------------------------------------------------------------------------
// The refusal functions

// Raises TypeError with `tmpl % type(obj).__name__`. Both attributes are read
// by ordinary lookup so that an object overriding `__class__` is honoured, and
// the message is made with the `%` operator so that a str subclass's
// reflected operator is consulted as it would be in interpreted code.
PyObject* raise_refusal(PyObject* obj, PyObject* tmpl) {
  Ref cls = Ref::steal(PyObject_GetAttr(obj, kClassName.get()));
  if (!cls) return nullptr;
  Ref name = Ref::steal(PyObject_GetAttr(cls.get(), kNameName.get()));
  if (!name) return nullptr;
  Ref message = Ref::steal(PyNumber_Remainder(tmpl, name.get()));
  if (!message) return nullptr;
  Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!exc) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject* readonly_fn(const Args& a) noexcept {
  const auto [obj] = a.params<1>();
  return raise_refusal(obj, kReadonlyMessage.get());
}

Func kReadonlyFn{
    .name = "_readonly_fn",
    .site = {"_readonly_fn", __LINE__},
    .params = {{"obj"}},
    .impl = readonly_fn,
};

PyObject* immutable_fn(const Args& a) noexcept {
  const auto [obj] = a.params<1>();
  return raise_refusal(obj, kImmutableMessage.get());
}

Func kImmutableFn{
    .name = "_immutable_fn",
    .site = {"_immutable_fn", __LINE__},
    .params = {{"obj"}},
    .impl = immutable_fn,
};

// The delegating methods: whatever the module name is bound to right now is
// called with `self`; the other arguments only exist so that every mutator
// signature can be aliased to one function.
PyObject* delegate(const Name& fn_name, PyObject* self) {
  Ref fn = Ref::steal(lookup(fn_name));
  if (!fn) return nullptr;
  // The call of the method holds the recursion guard already.
  Ref r = Ref::steal(call_one_guarded_by_caller(fn.get(), self));
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

PyObject* readonly_method(const Args& a) noexcept {
  const auto [self] = a.params<1>();
  return delegate(kReadonlyFnName, self);
}

Func kReadonly{
    .name = "_readonly",
    .site = {"ReadOnlyContainer._readonly", __LINE__},
    .params = {{"self"}},
    .shape = kVarargs | kVarkw,
    .impl = readonly_method,
    .rest_name = "a",
};

PyObject* immutable_method(const Args& a) noexcept {
  const auto [self] = a.params<1>();
  return delegate(kImmutableFnName, self);
}

Func kImmutable{
    .name = "_immutable",
    .site = {"SealedMapBase._immutable", __LINE__},
    .params = {{"self"}},
    .shape = kVarargs | kVarkw,
    .impl = immutable_method,
    .rest_name = "a",
};

PyObject* base_class_getitem(const Args& a) noexcept {
  const auto [cls] = a.params<1>();  // the key is not looked at
  return Py_NewRef(cls);
}

Func kBaseClassGetitem{
    .name = "__class_getitem__",
    .site = {"SealedMapBase.__class_getitem__", __LINE__},
    .params = {{"cls"}, {"key"}},
    .impl = base_class_getitem,
};

// ---------------------------------------------------------------------------
// Building the classes as a class statement would.

// Stores `value` (stolen) under `key` in a class namespace, which need not be
// a dict when it came from a metaclass's __prepare__.
int ns_set(PyObject* ns, const Name& key, PyObject* value) {
  Ref v = Ref::steal(value);
  if (!v) return -1;
  return PyObject_SetItem(ns, key.get(), v.get());
}

int ns_set(PyObject* ns, const char* key, PyObject* value) {
  Ref v = Ref::steal(value);
  Ref k = Ref::steal(PyUnicode_InternFromString(key));
  if (!v || !k) return -1;
  return PyObject_SetItem(ns, k.get(), v.get());
}

// Reads the refusing method back from the namespace and stores it under each
// alias, so that all the aliases are one function object.
int set_aliases(PyObject* ns, const char* method, const char* const* aliases) {
  for (const char* const* alias = aliases; *alias; ++alias) {
    if (ns_set(ns, *alias, PyMapping_GetItemString(ns, method)) < 0) return -1;
  }
  return 0;
}

// Calls `meta(name, bases, ns)` and binds the class in the module.
int finish_class(PyObject* meta, const char* name, PyObject* bases, PyObject* ns) {
  Ref name_obj = Ref::steal(PyUnicode_InternFromString(name));
  if (!name_obj) return -1;
  return bind(name, PyObject_CallFunctionObjArgs(meta, name_obj.get(), bases, ns, nullptr));
}

int build_readonly_container(PyObject* module_name) {
  Ref ns = Ref::steal(PyDict_New());
  Ref bases = Ref::steal(PyTuple_New(0));
  if (!ns || !bases) return -1;
  static const char* const aliases[] = {"__delitem__", "__setitem__", "__setattr__", nullptr};
  if (ns_set(ns.get(), kModuleName, Py_NewRef(module_name)) < 0 ||
      ns_set(ns.get(), kQualnameName, PyUnicode_FromString("ReadOnlyContainer")) < 0 ||
      ns_set(ns.get(), kSlotsName, PyTuple_New(0)) < 0 || ns_set(ns.get(), "_readonly", make_function(kReadonly)) < 0 ||
      set_aliases(ns.get(), "_readonly", aliases) < 0)
    return -1;
  return finish_class(reinterpret_cast<PyObject*>(&PyType_Type), "ReadOnlyContainer", bases.get(), ns.get());
}

int build_sealed_map_base(PyObject* module_name) {
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyDict_Type)));
  if (!bases) return -1;
  // The most derived metaclass of the one base.
  PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(&PyDict_Type));
  Ref name = Ref::steal(PyUnicode_InternFromString("SealedMapBase"));
  if (!name) return -1;
  Ref prepare;
  if (PyObject_GetOptionalAttr(meta, kPrepareName.get(), prepare.out()) < 0) return -1;
  Ref ns = Ref::steal(prepare ? PyObject_CallFunctionObjArgs(prepare.get(), name.get(), bases.get(), nullptr)
                              : PyDict_New());
  if (!ns) return -1;
  static const char* const aliases[] = {"__delitem__", "__setitem__", "__setattr__", "clear", "pop",
                                        "popitem",     "setdefault",  "update",      nullptr};
  if (ns_set(ns.get(), kModuleName, Py_NewRef(module_name)) < 0 ||
      ns_set(ns.get(), kQualnameName, PyUnicode_FromString("SealedMapBase")) < 0 ||
      ns_set(ns.get(), "_immutable", make_function(kImmutable)) < 0)
    return -1;
  Ref getitem = Ref::steal(make_function(kBaseClassGetitem));
  if (!getitem || ns_set(ns.get(), "__class_getitem__", PyClassMethod_New(getitem.get())) < 0 ||
      set_aliases(ns.get(), "_immutable", aliases) < 0)
    return -1;
  return finish_class(meta, "SealedMapBase", bases.get(), ns.get());
}

// Binds the two refusal functions, read-only first.
int bind_refusal_functions() {
  if (bind("_readonly_fn", make_function(kReadonlyFn)) < 0 || bind("_immutable_fn", make_function(kImmutableFn)) < 0)
    return -1;
  return 0;
}

// Builds and binds ReadOnlyContainer, then SealedMapBase.
int bind_base_classes(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  if (build_readonly_container(module_name.get()) < 0 || build_sealed_map_base(module_name.get()) < 0) return -1;
  return 0;
}

// ---------------------------------------------------------------------------
// Merging

PyObject* nb_or(PyObject* left, PyObject* right) noexcept;  // the `|` slot, below

// A new sealedmap holding `first`'s entries updated with `second`'s, both
// dicts. The result stays private until it is returned, so a failing update
// (a key whose __eq__ raises or mutates an operand) only drops it.
PyObject* merged(PyObject* first, PyObject* second) {
  Ref result = Ref::steal(new_empty());
  if (!result || PyDict_Update(result.get(), first) < 0 || PyDict_Update(result.get(), second) < 0) return nullptr;
  return result.release();
}

// The merges take the recursion guard themselves, and only where a merge can
// reach arbitrary code that is not guarded already. A dict whose type is
// exactly dict or sealedmap is merged from its storage: no method of it is
// asked, and what can still run is a key's __eq__ (each comparison under the
// interpreter's own guard) and the release of a replaced value, which from
// 3.14 on the interpreter sets aside itself when the stack runs low. Before
// 3.14 releases are not guarded, so there the function's call holds the
// guard for the whole body.
constexpr bool kMergesGuardThemselves = PY_VERSION_HEX >= 0x030E0000;

[[maybe_unused]] bool merged_from_storage(PyObject* d) noexcept {
  return PyDict_CheckExact(d) || Py_IS_TYPE(d, &SealedMapType);
}

// `self` merged with `d`, or `self` itself when `d` has no entries.
[[maybe_unused]] PyObject* merged_or_self(PyObject* self, PyObject* d) noexcept {
  return PyDict_GET_SIZE(d) == 0 ? Py_NewRef(self) : merged(self, d);
}

// union(*args, **kw): a dict argument is merged as it is; anything else goes
// through dict(*args, **kw). The keyword dict is the binder's own new dict,
// so with no positional argument it already is `dict(**kw)`.
PyObject* union_general(const Args& a) noexcept {
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

// The merges' commonest call, `m.union(d)` or `m.merge_with(d)` on an exact
// sealedmap with one dict merged from its storage, goes from the call
// straight to the merge (an exact dict is true exactly when it has entries).
// union_impl takes the same road when keywords come with the dict.
template <Func& F>
PyObject* one_dict_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  if (!kwnames && PyVectorcall_NARGS(nargsf) == 2 && Py_IS_TYPE(args[0], &SealedMapType) &&
      merged_from_storage(args[1])) [[likely]] {
    PyObject* r = merged_or_self(args[0], args[1]);
    if (!r) [[unlikely]]
      body_failed(F);
    return r;
  }
  return frame_entry(callable, args, nargsf, kwnames);
}

PyObject* union_impl(const Args& a) noexcept {
  if constexpr (kMergesGuardThemselves) {
    if (a.nrest == 1 && merged_from_storage(a.self) && merged_from_storage(a.rest[0])) [[likely]]
      return merged_or_self(a.self, a.rest[0]);
    RecursionGuard guard;
    if (guard.failed()) return nullptr;
    return union_general(a);
  } else {
    return union_general(a);
  }
}

Func kUnion{
    .name = "union",
    .site = {"sealedmap.union", __LINE__},
    .shape = kMethod | kVarargs | kVarkw,
    .owner = &SealedMapType,
    .impl = union_impl,
    .rest_name = "args",
    .guarded = !kMergesGuardThemselves,
    .entry = kMergesGuardThemselves ? one_dict_entry<kUnion> : nullptr,
};

// merge_with(*other): the result is made only at the first true argument;
// false ones (None, empty containers) are skipped.
PyObject* merge_with_general(const Args& a) noexcept {
  Ref result;
  for (Py_ssize_t i = 0; i < a.nrest; ++i) {
    PyObject* d = a.rest[i];
    // An exact dict's truth is its size; anything else may define its own.
    int truth = PyDict_CheckExact(d) ? PyDict_GET_SIZE(d) != 0 : PyObject_IsTrue(d);
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

PyObject* merge_with_impl(const Args& a) noexcept {
  if constexpr (kMergesGuardThemselves) {
    bool from_storage = merged_from_storage(a.self);
    for (Py_ssize_t i = 0; from_storage && i < a.nrest; ++i) from_storage = merged_from_storage(a.rest[i]);
    if (from_storage) [[likely]]
      return merge_with_general(a);
    RecursionGuard guard;
    if (guard.failed()) return nullptr;
    return merge_with_general(a);
  } else {
    return merge_with_general(a);
  }
}

Func kMergeWith{
    .name = "merge_with",
    .site = {"sealedmap.merge_with", __LINE__},
    .shape = kMethod | kVarargs,
    .owner = &SealedMapType,
    .impl = merge_with_impl,
    .rest_name = "other",
    .guarded = !kMergesGuardThemselves,
    .entry = kMergesGuardThemselves ? one_dict_entry<kMergeWith> : nullptr,
};

// `left | right` is what dict's own union slot gives, sealed. Asking the slot
// itself keeps every operand rule of the running interpreter: which operands
// it accepts (on 3.15 also a frozendict), how it copies the first one (the
// storage as it stands, an empty one at once, a subclass's own keys() and
// __getitem__ only where its copy asks for them) and what it refuses
// (NotImplemented, from which building a sealedmap fails with the
// constructor's own error).
//
// The slot's result is a new plain dict, copied into a new sealedmap as
// `sealedmap(result)` copies it. When nothing else references the result and
// its table is combined, the copy is an exchange instead: a new empty
// sealedmap, made as any other, takes over the table as it stands, and the
// emptied dict goes on to dict's own release. A table taken over differs from
// a copied one in one thing only: copying a table that has grown compares
// colliding keys, and those comparisons then run only in the union's own
// building. The result is not itself turned into the sealedmap: it mostly
// comes from dict's free list, which the collector's allocation count does
// not see, while every sealedmap's release is counted, so gc.get_count()
// would fall by one for each result released.
[[gnu::noinline]] PyObject* copied_union(PyObject* u) {
  Ref result = Ref::steal(new_empty());
  if (!result || update_arg(result.get(), u) < 0) return nullptr;
  if (u == Py_NotImplemented) {
    PyErr_SetString(PyExc_SystemError, "sealedmap built from NotImplemented");
    return nullptr;
  }
  return result.release();
}

[[gnu::always_inline]] inline PyObject* dict_union(PyObject* left, PyObject* right) {
  Ref u = Ref::steal(PyDict_Type.tp_as_number->nb_or(left, right));
  if (!u) return nullptr;
#ifndef Py_GIL_DISABLED
  if (Py_IS_TYPE(u.get(), &PyDict_Type) && Py_REFCNT(u.get()) == 1 &&
      !reinterpret_cast<PyDictObject*>(u.get())->ma_values) [[likely]] {
    PyObject* result = new_empty();
    if (result) internal::swap_dict_storage(result, u.get());
    return result;
  }
#endif
  return copied_union(u.get());
}

bool has_own_or(PyTypeObject* t) { return t->tp_as_number && t->tp_as_number->nb_or == nb_or; }

Site kOrSite{"sealedmap.__or__", __LINE__};
PyObject* or_method(PyObject* self, PyObject* other) noexcept {
  PyObject* r = dict_union(self, other);
  if (!r) add_traceback(kOrSite);
  return r;
}

Site kRorSite{"sealedmap.__ror__", __LINE__};
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
  if (lt == rt || has_own_or(lt) || PyType_IsSubtype(lt, &SealedMapType)) {
    PyObject* r = or_method(left, right);
    if (r != Py_NotImplemented) return r;
    Py_DECREF(r);
  }
  if (lt == rt || has_own_or(rt) || PyType_IsSubtype(rt, &SealedMapType)) return ror_method(right, left);
  Py_RETURN_NOTIMPLEMENTED;
}

// `m |= x` refuses; `x` is not looked at. Should the refusal function return,
// the statement binds None.
Site kIorSite{"sealedmap.__ior__", __LINE__};
PyObject* nb_inplace_or(PyObject* self, PyObject*) noexcept {
  if (refuse(self) < 0) {
    add_traceback(kIorSite);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Slots

// `sealedmap(...)` without the tuple and keyword dict that the generic type
// call would build: dict's creation, then what dict's initialiser does with
// the same arguments, with the same messages. The type is never a subclass
// here, as a type's vectorcall is not inherited.
[[gnu::noinline]] PyObject* construct_general(PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (n > 1) {
    PyErr_Format(PyExc_TypeError, "dict expected at most 1 argument, got %zd", n);
    return nullptr;
  }
  Ref self = Ref::steal(new_empty());
  if (!self) return nullptr;
  if (n == 1 && update_arg(self.get(), args[0]) < 0) return nullptr;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
      if (PyDict_SetItem(self.get(), PyTuple_GET_ITEM(kwnames, i), args[n + i]) < 0) return nullptr;
  }
  return self.release();
}

// The common call, one exact dict, on a road of its own: the same creation
// and the same merge, without the general call's frame around them.
PyObject* construct(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  if (PyVectorcall_NARGS(nargsf) == 1 && !kwnames && PyDict_CheckExact(args[0])) [[likely]] {
    PyObject* self = new_empty();
    if (self && PyDict_Update(self, args[0]) < 0) Py_CLEAR(self);
    return self;
  }
  return construct_general(args, nargsf, kwnames);
}

Site kReprSite{"sealedmap.__repr__", __LINE__};
PyObject* repr(PyObject* self) noexcept {
  // dict's own representation, not the instance's class's.
  Ref inner = Ref::steal(PyDict_Type.tp_repr(self));
  PyObject* r = inner ? PyUnicode_FromFormat("sealedmap(%U)", inner.get()) : nullptr;
  if (!r) add_traceback(kReprSite);
  return r;
}

// Item assignment and deletion: the key and value are never looked at, so an
// unhashable key gets the refusal, not a hashing error.
Site kSetitemSite{"sealedmap.__setitem__", __LINE__};
Site kDelitemSite{"sealedmap.__delitem__", __LINE__};
int ass_subscript(PyObject* self, PyObject*, PyObject* value) noexcept {
  if (refuse(self) < 0) {
    add_traceback(value ? kSetitemSite : kDelitemSite);
    return -1;
  }
  return 0;
}

Site kSetattrSite{"sealedmap.__setattr__", __LINE__};
int setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  // Deletion is dict's (and so fails: instances have no attribute dict).
  if (!value) return PyDict_Type.tp_setattro(self, name, nullptr);
  if (refuse(self) < 0) {
    add_traceback(kSetattrSite);
    return -1;
  }
  return 0;
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept { return PyDict_Type.tp_traverse(self, visit, arg); }

int clear_slot(PyObject* self) noexcept {
  PyDict_Type.tp_clear(self);
  return 0;
}

// From 3.14 on the interpreter guards every deallocation against deep
// recursion itself, and the type's deallocation is dict's own (set at
// readiness): sealedmap has no finaliser, and a subclass's deallocation runs
// its own before it reaches the base's.
#if PY_VERSION_HEX < 0x030E0000
void dealloc(PyObject* self) noexcept {
  // A subclass's own deallocation runs finalisers itself; only when this is
  // the instance's deallocation does it run a pending finaliser, which may
  // bring the instance back to life. sealedmap itself has none.
  if (Py_TYPE(self)->tp_finalize && finalizer_resurrected(self, dealloc)) return;
  // dict's own guard against deep recursion only engages for dict's own
  // deallocation, so a long chain of nested instances needs this one. The
  // instance must be untracked before it may be set aside.
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, dealloc)
  PyDict_Type.tp_dealloc(self);
  Py_TRASHCAN_END
}
#endif

PyNumberMethods number_methods = {.nb_or = nb_or, .nb_inplace_or = nb_inplace_or};
// The reading slots are inherited from dict.
PyMappingMethods mapping_methods = {.mp_ass_subscript = ass_subscript};

// Start-up replaces these entries with function objects before anyone can
// see the type; they are here so that the namespace keeps this order.
PyObject* unfinished(PyObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_SystemError, "sealedmap is not fully initialised");
  return nullptr;
}
const PyCFunction kUnfinished = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unfinished));

// `__or__`/`__ror__` replace the slot wrappers of the same names (hence
// METH_COEXIST) so that they are ordinary methods taking one argument.
PyMethodDef methods[] = {
    {"__class_getitem__", kUnfinished, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"union", kUnfinished, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"merge_with", kUnfinished, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"copy", kUnfinished, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"__reduce__", kUnfinished, METH_VARARGS | METH_KEYWORDS | METH_COEXIST, nullptr},
    {"clear", kUnfinished, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"pop", kUnfinished, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"popitem", kUnfinished, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"setdefault", kUnfinished, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"update", kUnfinished, METH_VARARGS | METH_KEYWORDS, nullptr},
    {"__or__", or_method, METH_O | METH_COEXIST, nullptr},
    {"__ror__", ror_method, METH_O | METH_COEXIST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject SealedMapType = {
    // clang-format off: the macro brings its own comma
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
                 // clang-format on
                 .tp_name = "velmora.kestrine.sealedmap.sealedmap",
#if PY_VERSION_HEX < 0x030E0000
    .tp_dealloc = dealloc,
#endif
    .tp_repr = repr,
    .tp_as_number = &number_methods,
    .tp_as_mapping = &mapping_methods,
    .tp_setattro = setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = traverse,
    .tp_clear = clear_slot,
    .tp_methods = methods,
    .tp_base = &PyDict_Type,
    .tp_vectorcall = construct,
};

int ready_type() noexcept {
  if (SealedMapType.tp_flags & Py_TPFLAGS_READY) return 0;
  // dict's creation, set before readiness so that the type's own namespace
  // gets its `__new__` (an inherited one would not).
  SealedMapType.tp_new = PyDict_Type.tp_new;
#if PY_VERSION_HEX >= 0x030E0000
  SealedMapType.tp_dealloc = PyDict_Type.tp_dealloc;
#endif
  return PyType_Ready(&SealedMapType);
}

// ---------------------------------------------------------------------------
// Methods exposed as function objects

PyObject* class_getitem(const Args& a) noexcept { return Py_NewRef(a.self); }

Func kClassGetitem{
    .name = "__class_getitem__",
    .site = {"sealedmap.__class_getitem__", __LINE__},
    .params = {{"key"}},
    .shape = kMethod,
    .impl = class_getitem,
    .self_name = "cls",
};

PyObject* copy(const Args& a) noexcept { return Py_NewRef(a.self); }

Func kCopy{
    .name = "copy",
    .site = {"sealedmap.copy", __LINE__},
    .shape = kMethod,
    .owner = &SealedMapType,
    .impl = copy,
};

// (sealedmap, (dict(self),)): always this module's type, so an instance of a
// subclass comes back as a plain sealedmap.
PyObject* reduce(const Args& a) noexcept {
  Ref entries = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), a.self));
  if (!entries) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(1, entries.get()));
  if (!args) return nullptr;
  return PyTuple_Pack(2, reinterpret_cast<PyObject*>(&SealedMapType), args.get());
}

Func kReduce{
    .name = "__reduce__",
    .site = {"sealedmap.__reduce__", __LINE__},
    .shape = kMethod,
    .owner = &SealedMapType,
    .impl = reduce,
};

PyObject* refusing_method(const Args& a) noexcept {
  if (refuse(a.self) < 0) return nullptr;
  Py_RETURN_NONE;
}

// dict's mutators, each refusing whatever it is given.
constexpr unsigned kAnyArgs = kMethod | kVarargs | kVarkw;
Func kClear{
    .name = "clear",
    .site = {"sealedmap.clear", __LINE__},
    .shape = kAnyArgs,
    .owner = &SealedMapType,
    .impl = refusing_method,
};
Func kPop{
    .name = "pop",
    .site = {"sealedmap.pop", __LINE__},
    .shape = kAnyArgs,
    .owner = &SealedMapType,
    .impl = refusing_method,
};
Func kPopitem{
    .name = "popitem",
    .site = {"sealedmap.popitem", __LINE__},
    .shape = kAnyArgs,
    .owner = &SealedMapType,
    .impl = refusing_method,
};
Func kSetdefault{
    .name = "setdefault",
    .site = {"sealedmap.setdefault", __LINE__},
    .shape = kAnyArgs,
    .owner = &SealedMapType,
    .impl = refusing_method,
};
Func kUpdate{
    .name = "update",
    .site = {"sealedmap.update", __LINE__},
    .shape = kAnyArgs,
    .owner = &SealedMapType,
    .impl = refusing_method,
};

// Finishes the type's namespace, in its fixed order: __class_getitem__ as a
// classmethod, then the methods that are function objects.
int finish_type() {
  if (install(&SealedMapType, kClassGetitem) < 0) return -1;
  Ref dict = Ref::steal(PyType_GetDict(&SealedMapType));
  Ref getitem;
  if (!dict || PyDict_GetItemStringRef(dict.get(), "__class_getitem__", getitem.out()) <= 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "sealedmap.__class_getitem__ vanished");
    return -1;
  }
  if (set_type_attr(&SealedMapType, "__class_getitem__", PyClassMethod_New(getitem.get())) < 0) return -1;
  for (Func* f : {&kUnion, &kMergeWith, &kCopy, &kReduce, &kClear, &kPop, &kPopitem, &kSetdefault, &kUpdate})
    if (install(&SealedMapType, *f) < 0) return -1;
  return 0;
}

// ---------------------------------------------------------------------------
// Module body: the names in their fixed order.

int body(PyObject* module, PyObject*) {
  if (!g_empty_tuple && !(g_empty_tuple = PyTuple_New(0))) return -1;
#ifdef KX_DICT_LAYOUT
  if (!g_empty_table) {
    // Both of the interpreter's ways of making an empty dict must start from
    // one and the same table; it is then the shared one, owned by no dict.
    Ref a = Ref::steal(PyDict_New());
    Ref b = Ref::steal(PyDict_Type.tp_new(&PyDict_Type, g_empty_tuple, nullptr));
    if (!a || !b) return -1;
    if (internal::empty_table(a.get()) == internal::empty_table(b.get()))
      g_empty_table = internal::empty_table(a.get());
  }
#endif
  if (ready_type() < 0 || bind("sealedmap", Py_NewRef(reinterpret_cast<PyObject*>(&SealedMapType))) < 0) return -1;
  if (bind_refusal_functions() < 0 || bind_base_classes(module) < 0) return -1;
  return finish_type();
}

const ModuleSpec kSpec{"sealedmap", "kestrine/sealedmap/sealedmap.cpp", body};

}  // namespace
}  // namespace kx::sealedmap

PyMODINIT_FUNC PyInit_sealedmap() { return kx::module_init(kx::sealedmap::kSpec); }
