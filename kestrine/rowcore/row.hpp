// What the files of the rowcore module share: the layout of a row, its table
// of native operations, the row type, and the method-call helper that the
// pickling code uses to reach a row's (possibly overridden) methods.
#pragma once

#include "frame/frame.hpp"

namespace kx::rowcore {

struct RowObject;

// The native operations of a row type, reached through each row so that a
// native subclass could substitute its own.
struct RowOps {
  // The value for `key` (new reference), or nullptr with an exception set.
  PyObject* (*get_by_key_impl)(RowObject* row, PyObject* key, int as_attribute) noexcept;
};

struct RowObject {
  PyObject_HEAD
  const RowOps* ops;
  PyObject* parent;        // any object; None until set
  PyObject* key_to_index;  // exactly a dict, or None
  PyObject* data;          // exactly a tuple, or None
};

inline RowObject* as_row(PyObject* o) noexcept { return reinterpret_cast<RowObject*>(o); }

extern PyTypeObject BaseRowType;

// Makes BaseRow ready and gives its __init__ the docstring. 0 or -1.
int ready_row_type() noexcept;

// The row's methods that live in row.cpp, handed to the module body, which
// installs them as function objects in its fixed order.
Func& values_impl_func() noexcept;
Func& get_by_key_impl_mapping_func() noexcept;
Func& to_tuple_instance_func() noexcept;

// obj.name(*args[1:]) where args[0] is obj and args[-1] is writable scratch.
// For rows whose attribute lookup is the row type's own, a method descriptor
// found on the type is called unbound, so no bound method is made. Returns a
// new reference or nullptr.
PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargs) noexcept;

}  // namespace kx::rowcore
