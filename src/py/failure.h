// py/failure.h: texts of Python-level failures met while converting requests and results.
#pragma once

#include <Python.h>

#include <string>

namespace quorvane::py {

/// Takes the pending exception and returns its text: the qualified name of its type,
/// ": " and str() of it (characters that cannot be UTF-8 become U+FFFD).
std::string take_exception_text();

/// Whether the pending exception must leave the call as it was raised, rather than be
/// read as a fault of the input: one not derived from Exception (KeyboardInterrupt,
/// SystemExit), or MemoryError.
bool exception_passes();

/// The qualified name (`__qualname__`) of the type of `object`.
std::string type_name(PyObject* object);

/// UTF-8 form of a str object for a message, lone surrogates replaced by U+FFFD.
std::string lossy_utf8(PyObject* str);

}  // namespace quorvane::py
