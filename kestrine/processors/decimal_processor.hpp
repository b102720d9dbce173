// DecimalResultProcessor: renders a value through a format string and hands
// the text to a type (typically a decimal type). The module body calls these
// two at their places in the namespace order.
#pragma once

namespace kx::processors {

// Make the type ready, install its pickling refusal and bind it as the module
// attribute `DecimalResultProcessor`. Returns 0 or -1 with an exception.
int bind_decimal_processor() noexcept;

// Install `process` as a function object into the type's dictionary.
// Returns 0 or -1 with an exception.
int install_decimal_process() noexcept;

}  // namespace kx::processors
