// A row's pickled state: BaseRow.__getstate__, __setstate__ and __reduce__,
// and the module function rowproxy_reconstructor that rebuilds a row from
// its class and state. The state is the parent and the values; the key map
// comes back from the unpickled parent.
#include "rowcore.hpp"

namespace kx::rowcore {

Name kClassName{"__class__"};
Name kGetstateName{"__getstate__"};
Name kSetstateName{"__setstate__"};
Name kNewName{"__new__"};

namespace {

Name kParentName{"_parent"};
Name kDataName{"_data"};
Name kKeyToIndexName{"_key_to_index"};
Name kRowproxyReconstructorName{"rowproxy_reconstructor"};

// obj.name(*args[1:]) where args[0] is obj and args[-1] is writable scratch,
// so that a subclass's override is used. Returns a new reference or nullptr.
PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargs) noexcept {
  return PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---------------------------------------------------------------------------
// __getstate__

PyObject* getstate(const Args& a) noexcept {
  RowObject* row = as_row(a.self);
  Ref state = Ref::steal(PyDict_New());
  if (!state) return nullptr;
  if (PyDict_SetItem(state.get(), kParentName.get(), row->parent) < 0 ||
      PyDict_SetItem(state.get(), kDataName.get(), row->data) < 0)
    return nullptr;
  return state.release();
}

Func kGetstate{
    .name = "__getstate__",
    .site = {"BaseRow.__getstate__", __LINE__},
    .shape = kMethod,
    .owner = &BaseRowType,
    .impl = getstate,
};

// ---------------------------------------------------------------------------
// __setstate__

// state[key] for an exact dict; KeyError(key) when it is missing.
Ref state_item(PyObject* state, const Name& key) noexcept {
  Ref value;
  int r = PyDict_GetItemRef(state, key.get(), value.out());
  if (r == 0) PyErr_SetObject(PyExc_KeyError, key.get());
  return value;
}

// Whether `key` is the exact str `name`, as a dict lookup of `name` would
// match it.
inline bool is_name(PyObject* key, const Name& name, Py_ssize_t length) noexcept {
  return key == name.get() || (PyUnicode_CheckExact(key) && PyUnicode_EqualToUTF8AndSize(key, name.text(), length));
}

// The two entries of a state as __getstate__ makes it and a pickle brings it
// back: exactly "_parent" then "_data", exact str keys. Read in one pass, they
// are what the two lookups would find, as long as nothing runs between them.
bool plain_state(PyObject* state, PyObject*& parent, PyObject*& data) noexcept {
  if (PyDict_GET_SIZE(state) != 2) return false;
  Py_ssize_t pos = 0;
  PyObject* key0;
  PyObject* key1;
  if (!PyDict_Next(state, &pos, &key0, &parent) || !PyDict_Next(state, &pos, &key1, &data)) return false;
  return is_name(key0, kParentName, 7) && is_name(key1, kDataName, 5);
}

PyObject* setstate(const Args& a) noexcept {
  const auto [state] = a.params<1>();
  RowObject* row = as_row(a.self);
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return nullptr;
  }
  Ref parent;
  Ref data;
  PyObject* found_parent;
  PyObject* found_data;
  // The release of the old parent, between the two lookups, may run code that
  // changes the state; a row that holds None (a new one) releases nothing.
  if (row->parent == Py_None && plain_state(state, found_parent, found_data)) {
    parent = Ref::borrow(found_parent);
    data = Ref::borrow(found_data);
    set_field(row->parent, parent.get());
  } else {
    parent = state_item(state, kParentName);
    if (!parent) return nullptr;
    set_field(row->parent, parent.get());
    data = state_item(state, kDataName);
    if (!data) return nullptr;
  }
  if (data.get() != Py_None && !PyTuple_CheckExact(data.get())) {
    field_type_error("tuple", data.get());
    return nullptr;
  }
  set_field(row->data, data.get());
  Ref key_to_index = Ref::steal(PyObject_GetAttr(parent.get(), kKeyToIndexName.get()));
  if (!key_to_index) return nullptr;
  if (key_to_index.get() != Py_None && !PyDict_CheckExact(key_to_index.get())) {
    field_type_error("dict", key_to_index.get());
    return nullptr;
  }
  set_field(row->key_to_index, key_to_index.get());
  Py_RETURN_NONE;
}

Func kSetstate{
    .name = "__setstate__",
    .site = {"BaseRow.__setstate__", __LINE__},
    .params = {{"state", &PyDict_Type}},
    .shape = kMethod,
    .owner = &BaseRowType,
    .impl = setstate,
};

// ---------------------------------------------------------------------------
// __reduce__

// The tuple (first, second), taking over both references; nullptr (both
// released) when either is nullptr or the tuple cannot be made.
PyObject* pair(PyObject* first, PyObject* second) noexcept {
  Ref a = Ref::steal(first);
  Ref b = Ref::steal(second);
  if (!a || !b) return nullptr;
  PyObject* t = PyTuple_New(2);
  if (!t) return nullptr;
  PyTuple_SET_ITEM(t, 0, a.release());
  PyTuple_SET_ITEM(t, 1, b.release());
  return t;
}

PyObject* reduce(const Args& a) noexcept {
  Ref reconstructor = Ref::steal(lookup(kRowproxyReconstructorName));
  if (!reconstructor) return nullptr;
  // self.__class__ and self.__getstate__(), run directly when they are the
  // originals (under this body's recursion guard).
  Ref cls = own_class_attr(a.self) ? Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(a.self)))
                                   : Ref::steal(PyObject_GetAttr(a.self, kClassName.get()));
  if (!cls) return nullptr;
  Ref state;
  if (own_getstate(a.self)) {
    state = Ref::steal(run(kGetstate, Args{a.self, nullptr, nullptr, 0, nullptr}, kGuarded));
  } else {
    PyObject* argv[2] = {nullptr, a.self};
    state = Ref::steal(call_method(kGetstateName.get(), argv + 1, 1));
  }
  if (!state) return nullptr;
  return pair(reconstructor.release(), pair(cls.release(), state.release()));
}

Func kReduce{
    .name = "__reduce__",
    .site = {"BaseRow.__reduce__", __LINE__},
    .shape = kMethod,
    .owner = &BaseRowType,
    .impl = reduce,
};

// ---------------------------------------------------------------------------
// rowproxy_reconstructor

PyObject* rowproxy_reconstructor(const Args& a) noexcept {
  const auto [cls, state] = a.params<2>();
  Ref obj;
  // cls.__new__(cls): BaseRow's own allocates with BaseRow's allocation,
  // which it checks applies to cls.
  if (own_new(cls)) {
    obj = Ref::steal(row_new(reinterpret_cast<PyTypeObject*>(cls), nullptr, nullptr));
  } else {
    Ref new_fn = Ref::steal(PyObject_GetAttr(cls, kNewName.get()));
    if (!new_fn) return nullptr;
    obj = Ref::steal(PyObject_CallOneArg(new_fn.get(), cls));
  }
  if (!obj) return nullptr;
  Ref r;
  // obj.__setstate__(state): the original run directly, when its argument
  // passes the exact-type check.
  if ((state == Py_None || PyDict_CheckExact(state)) && own_setstate(obj.get())) {
    r = Ref::steal(run(kSetstate, Args{obj.get(), &a.v[1], nullptr, 0, nullptr}, kChecked | kGuarded));
  } else {
    PyObject* argv[3] = {nullptr, obj.get(), state};
    r = Ref::steal(call_method(kSetstateName.get(), argv + 1, 2));
  }
  if (!r) return nullptr;
  return obj.release();
}

Func kRowproxyReconstructor{
    .name = "rowproxy_reconstructor",
    .site = {"rowproxy_reconstructor", __LINE__},
    .params = {{"cls"}, {"state"}},
    .impl = rowproxy_reconstructor,
};

}  // namespace

int install_state_methods() noexcept {
  if (install(&BaseRowType, kReduce) < 0 || install(&BaseRowType, kGetstate) < 0 ||
      install(&BaseRowType, kSetstate) < 0)
    return -1;
  return 0;
}

int bind_reconstructor() noexcept { return bind(kRowproxyReconstructor); }

}  // namespace kx::rowcore
