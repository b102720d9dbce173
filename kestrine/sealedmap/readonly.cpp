// The refusal functions `_readonly_fn` and `_immutable_fn`, the only makers of
// the two refusal messages, and the two ordinary classes built at start-up
// whose mutators refuse through them: `ReadOnlyContainer` and `SealedMapBase`.
#include "sealedmap/sealedmap.hpp"

namespace kx::sealed {
namespace {

Name kClassAttr("__class__");
Name kNameAttr("__name__");
Name kReadonlyTemplate("%s object is immutable and/or readonly");
Name kImmutableTemplate("%s object is immutable");
Name kReadonlyFnName("_readonly_fn");
Name kImmutableFnName("_immutable_fn");
Name kModuleKey("__module__");
Name kQualnameKey("__qualname__");
Name kSlotsKey("__slots__");
Name kPrepare("__prepare__");

// ---------------------------------------------------------------------------
// The refusal functions

// Raises TypeError with `tmpl % type(obj).__name__`. Both attributes are read
// by ordinary lookup so that an object overriding `__class__` is honoured, and
// the message is made with the `%` operator so that a str subclass's
// reflected operator is consulted as it would be in interpreted code.
PyObject* raise_refusal(PyObject* obj, PyObject* tmpl) {
  Ref cls = Ref::steal(PyObject_GetAttr(obj, kClassAttr.get()));
  if (!cls) return nullptr;
  Ref name = Ref::steal(PyObject_GetAttr(cls.get(), kNameAttr.get()));
  if (!name) return nullptr;
  Ref message = Ref::steal(PyNumber_Remainder(tmpl, name.get()));
  if (!message) return nullptr;
  Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!exc) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject* readonly_fn(const Args& a) { return raise_refusal(a.v[0], kReadonlyTemplate.get()); }
PyObject* immutable_fn(const Args& a) { return raise_refusal(a.v[0], kImmutableTemplate.get()); }

// The delegating methods: whatever the module name is bound to right now is
// called with `self`; the other arguments only exist so that every mutator
// signature can be aliased to one function.
PyObject* delegate(const Name& fn_name, PyObject* self) {
  Ref fn = Ref::steal(lookup(fn_name));
  if (!fn) return nullptr;
  Ref r = Ref::steal(PyObject_CallOneArg(fn.get(), self));
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

PyObject* readonly_method(const Args& a) { return delegate(kReadonlyFnName, a.v[0]); }
PyObject* immutable_method(const Args& a) { return delegate(kImmutableFnName, a.v[0]); }

PyObject* class_getitem(const Args& a) { return Py_NewRef(a.v[0]); }

constexpr int kFnLine = __LINE__;
Func kReadonlyFn{"_readonly_fn", {"_readonly_fn", kFnLine}, {{"obj"}}, kPlain, nullptr, readonly_fn};
Func kImmutableFn{"_immutable_fn", {"_immutable_fn", kFnLine}, {{"obj"}}, kPlain, nullptr, immutable_fn};
constexpr int kMethodLine = __LINE__;
Func kReadonly{"_readonly",       {"ReadOnlyContainer._readonly", kMethodLine}, {{"self"}}, kVarargs | kVarkw,
               nullptr,           readonly_method,                             "a"};
Func kImmutable{"_immutable",     {"SealedMapBase._immutable", kMethodLine}, {{"self"}}, kVarargs | kVarkw,
                nullptr,          immutable_method,                          "a"};
Func kBaseClassGetitem{"__class_getitem__", {"SealedMapBase.__class_getitem__", kMethodLine},
                       {{"cls"}, {"key"}},  kPlain,
                       nullptr,             class_getitem};

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
  if (ns_set(ns.get(), kModuleKey, Py_NewRef(module_name)) < 0 ||
      ns_set(ns.get(), kQualnameKey, PyUnicode_FromString("ReadOnlyContainer")) < 0 ||
      ns_set(ns.get(), kSlotsKey, PyTuple_New(0)) < 0 ||
      ns_set(ns.get(), "_readonly", make_function(kReadonly)) < 0 || set_aliases(ns.get(), "_readonly", aliases) < 0)
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
  if (PyObject_GetOptionalAttr(meta, kPrepare.get(), prepare.out()) < 0) return -1;
  Ref ns = Ref::steal(prepare ? PyObject_CallFunctionObjArgs(prepare.get(), name.get(), bases.get(), nullptr)
                              : PyDict_New());
  if (!ns) return -1;
  static const char* const aliases[] = {"__delitem__", "__setitem__", "__setattr__", "clear", "pop",
                                        "popitem",     "setdefault",  "update",      nullptr};
  if (ns_set(ns.get(), kModuleKey, Py_NewRef(module_name)) < 0 ||
      ns_set(ns.get(), kQualnameKey, PyUnicode_FromString("SealedMapBase")) < 0 ||
      ns_set(ns.get(), "_immutable", make_function(kImmutable)) < 0)
    return -1;
  Ref getitem = Ref::steal(make_function(kBaseClassGetitem));
  if (!getitem || ns_set(ns.get(), "__class_getitem__", PyClassMethod_New(getitem.get())) < 0 ||
      set_aliases(ns.get(), "_immutable", aliases) < 0)
    return -1;
  return finish_class(meta, "SealedMapBase", bases.get(), ns.get());
}

}  // namespace

int bind_refusal_functions() noexcept {
  if (bind("_readonly_fn", make_function(kReadonlyFn)) < 0 ||
      bind("_immutable_fn", make_function(kImmutableFn)) < 0)
    return -1;
  return 0;
}

int bind_base_classes(PyObject* module) noexcept {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  if (build_readonly_container(module_name.get()) < 0 || build_sealed_map_base(module_name.get()) < 0) return -1;
  return 0;
}

}  // namespace kx::sealed
