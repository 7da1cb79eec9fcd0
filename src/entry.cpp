// entry.cpp: the six module functions and the one call frame they share.
//
// Every call binds its single argument, decodes the request, runs one engine operation
// and encodes the result. Failures travel as values up to here and become Python
// exceptions only here; a broken invariant (a C++ exception) is caught around the whole
// frame and raised as PanicException.
#include "entry.h"

#include <new>  // std::bad_alloc
#include <optional>
#include <string>
#include <string_view>

#include "cat.h"
#include "categorizer/engine.h"
#include "categorizer/model.h"
#include "emi/engine.h"
#include "emi/model.h"
#include "fault.h"
#include "json/read.h"
#include "json/write.h"
#include "py/decode.h"
#include "py/encode.h"
#include "py/failure.h"
#include "py/guard.h"
#include "py/ref.h"
#include "py/runtime.h"

namespace quorvane::entry {
namespace {

using py::PyRef;

struct Signature {
  const char* name;   // the function's name
  const char* param;  // its one parameter
};

PyRef new_str(std::string_view text) {
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Adds `note` to the exception `exc`: by add_note() where the interpreter has it (3.11),
// else by appending to its __notes__ list, which is what add_note() does. False with an
// exception set if that fails.
bool add_note(PyObject* exc, std::string_view note) {
  auto text = new_str(note);
  PyObject* add_note = py::name(py::Name::kAddNote);
  PyObject* notes_name = py::name(py::Name::kNotes);
  if (!text || add_note == nullptr || notes_name == nullptr) return false;
  auto added = PyRef::steal(PyObject_CallMethodObjArgs(exc, add_note, text.get(), nullptr));
  if (added) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  auto notes = PyRef::steal(PyObject_GetAttr(exc, notes_name));
  if (!notes) {
    PyErr_Clear();
    notes = PyRef::steal(PyList_New(0));
    if (!notes || PyObject_SetAttr(exc, notes_name, notes.get()) < 0) return false;
  }
  return PyList_Check(notes.get()) && PyList_Append(notes.get(), text.get()) == 0;
}

// Raises `type` with `message` as its one argument; a note, when given, says where the
// failure is and shows in the traceback without changing the message.
void raise(PyObject* type, std::string_view message, std::string_view note = {}) {
  auto text = new_str(message);
  if (!text) return;
  if (note.empty()) {
    PyErr_SetObject(type, text.get());
    return;
  }
  auto exc = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (exc && add_note(exc.get(), note)) PyErr_SetObject(type, exc.get());
}

// The name under which notes show the request's path.
constexpr std::string_view kRoot = "request";

// "at request["emi"]" for an engine failure about a request field, else nothing.
std::string engine_note(const QuorvaneError& error) {
  std::string_view field = error.field();
  return field.empty() ? std::string() : cat("at ", kRoot, "[\"", field, "\"]");
}

// MARK: argument binding

// Returns the one argument (a new reference), or null with a TypeError set.
PyRef bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
  Py_ssize_t positional = PyTuple_Size(args);
  if (positional > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given", sig.name,
                 positional);
    return {};
  }
  PyRef value = positional == 1 ? PyRef::borrow(PyTuple_GetItem(args, 0)) : PyRef{};
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &item)) {
      if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, sig.param) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name,
                     key);
        return {};
      }
      if (value) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.name, key);
        return {};
      }
      value = PyRef::borrow(item);
    }
  }
  if (!value) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", sig.name,
                 sig.param);
  }
  return value;
}

// MARK: the two forms of the frame

template <class Request, class Response>
using Engine = Result<Response, QuorvaneError> (*)(const Request&);

template <class Request, class Response, Engine<Request, Response> engine>
PyObject* object_form(const Signature&, PyObject* argument) {
  std::optional<Response> response;
  {
    auto request = py::decode_request<Request>(argument);
    if (!request) {
      const DecodeFailure& failure = request.error();
      raise(PyExc_ValueError, cat("invalid request: ", failure.message()),
            cat("at ", failure.path.display(kRoot)));
      return nullptr;
    }
    auto result = engine(request.value());
    if (!result) {
      raise(PyExc_ValueError, result.error().display(), engine_note(result.error()));
      return nullptr;
    }
    response.emplace(std::move(result).value());
  }
  PyRef out = py::encode_value(*response);
  if (!out) {
    raise(PyExc_ValueError, cat("could not build result: ", py::take_exception_text()));
    return nullptr;
  }
  return out.release();
}

#ifdef QV_FAULT_INJECTION
// Test builds only: two request texts that stand for faults the module cannot otherwise
// be made to show.
void inject_faults(std::string_view text) {
  if (text == "\"quorvane: internal fault\"") QV_ASSERT(false, "injected internal fault");
  if (text == "\"quorvane: out of memory\"") throw std::bad_alloc();
}
#endif

// The argument of a JSON form: a str, else a TypeError naming the argument's type.
bool check_text(const Signature& sig, PyObject* argument) {
  if (PyUnicode_Check(argument)) return true;
  raise(PyExc_TypeError, cat("argument '", sig.param, "': '", py::type_name(argument),
                             "' object cannot be converted to 'PyString'"));
  return false;
}

template <class Request, class Response, Engine<Request, Response> engine>
PyObject* json_form(const Signature& sig, PyObject* argument) {
  if (!check_text(sig, argument)) return nullptr;
  // The request text is read from one owned copy of the argument's UTF-8 bytes. A str
  // holding a lone surrogate raises the interpreter's UnicodeEncodeError here.
  auto bytes = PyRef::steal(PyUnicode_AsUTF8String(argument));
  if (!bytes) return nullptr;
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return nullptr;
  std::string_view text(data, static_cast<std::size_t>(size));
#ifdef QV_FAULT_INJECTION
  inject_faults(text);
#endif

  std::optional<Response> response;
  {
    auto request = json::read_request<Request>(text);
    if (!request) {
      const DecodeFailure& failure = request.error();
      raise(PyExc_ValueError, cat("invalid request: ", failure.display(text)),
            cat("at ", failure.path.display(kRoot), "\n", failure.excerpt(text)));
      return nullptr;
    }
    bytes.reset();  // the request owns its data now; `text` is gone
    auto result = engine(request.value());
    if (!result) {
      raise(PyExc_ValueError, result.error().display(), engine_note(result.error()));
      return nullptr;
    }
    response.emplace(std::move(result).value());
  }
  // Each stage's memory goes as soon as the next has what it needs: the peak stays a
  // small multiple of the request text.
  json::Buffer out;
  json::write_value(out, *response);
  response.reset();
  std::string_view json = out.view();
  return PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
}

// MARK: the call, guarded

using Body = PyObject* (*)(const Signature&, PyObject*);

PyObject* call(const Signature& sig, PyObject* args, PyObject* kwargs, Body body) {
  return py::guard("quorvane", [&]() -> PyObject* {
    PyRef argument = bind(sig, args, kwargs);
    if (!argument) return nullptr;
    return body(sig, argument.get());
  });
}

constexpr Signature kComputeEmi{"compute_emi", "request"};
constexpr Signature kComputeEmiJson{"compute_emi_json", "request_json"};
constexpr Signature kCategorize{"categorize_transactions", "request"};
constexpr Signature kCategorizeJson{"categorize_transactions_json", "request_json"};
constexpr Signature kDeriveRules{"derive_rules", "request"};
constexpr Signature kDeriveRulesJson{"derive_rules_json", "request_json"};

using categorizer::CategorizeRequest;
using categorizer::CategorizeResponse;
using categorizer::DeriveRulesRequest;
using categorizer::DeriveRulesResponse;
using emi::EmiRequest;
using emi::EmiResult;

}  // namespace

PyObject* compute_emi(PyObject*, PyObject* args, PyObject* kwargs) {
  return call(kComputeEmi, args, kwargs, object_form<EmiRequest, EmiResult, emi::compute>);
}

PyObject* compute_emi_json(PyObject*, PyObject* args, PyObject* kwargs) {
  return call(kComputeEmiJson, args, kwargs, json_form<EmiRequest, EmiResult, emi::compute>);
}

PyObject* categorize_transactions(PyObject*, PyObject* args, PyObject* kwargs) {
  return call(
      kCategorize, args, kwargs,
      object_form<CategorizeRequest, CategorizeResponse, categorizer::categorize_transactions>);
}

PyObject* categorize_transactions_json(PyObject*, PyObject* args, PyObject* kwargs) {
  return call(
      kCategorizeJson, args, kwargs,
      json_form<CategorizeRequest, CategorizeResponse, categorizer::categorize_transactions>);
}

PyObject* derive_rules(PyObject*, PyObject* args, PyObject* kwargs) {
  return call(kDeriveRules, args, kwargs,
              object_form<DeriveRulesRequest, DeriveRulesResponse, categorizer::derive_rules>);
}

PyObject* derive_rules_json(PyObject*, PyObject* args, PyObject* kwargs) {
  return call(kDeriveRulesJson, args, kwargs,
              json_form<DeriveRulesRequest, DeriveRulesResponse, categorizer::derive_rules>);
}

}  // namespace quorvane::entry
