// Declarations shared by the files of module velmora.kestrine.sealedmap: the
// sealedmap type, the refusal every mutator ends in, the dict-construction
// helpers the merges share, and the pieces each file contributes to the
// module body.
#pragma once

#include "frame/frame.hpp"

namespace kx::sealed {

// The sealedmap type (static storage, made ready by the module body).
extern PyTypeObject Type;

// A new, empty instance of exactly `sealedmap`, as calling the type with no
// arguments makes it. Returns a new reference or nullptr.
PyObject* new_empty() noexcept;

// `dst.update(arg)` as dict's own constructor applies its positional
// argument: an exact dict is merged directly, anything with `keys` merged as
// a mapping, anything else taken as an iterable of pairs. 0 or -1.
int update_arg(PyObject* dst, PyObject* arg) noexcept;

// The refusal of every mutator: call the module's `_immutable_fn`, looked up
// now, with `self` alone. 0 when it returned (the mutator then does nothing),
// -1 with the exception set. Adds no traceback entry.
int refuse(PyObject* self) noexcept;

// merge.cpp: the merge methods installed at the end of start-up, and the
// slots and method-table entries of `|` and `|=`.
extern Func kUnion;
extern Func kMergeWith;
PyObject* nb_or(PyObject* left, PyObject* right) noexcept;
PyObject* nb_inplace_or(PyObject* self, PyObject* other) noexcept;
PyObject* or_method(PyObject* self, PyObject* other) noexcept;
PyObject* ror_method(PyObject* self, PyObject* other) noexcept;

// readonly.cpp: module body steps 2 to 5 (the refusal functions and the two
// ordinary base classes). 0 or -1.
int bind_refusal_functions() noexcept;
int bind_base_classes(PyObject* module) noexcept;

}  // namespace kx::sealed
