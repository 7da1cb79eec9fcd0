// columns/table.cpp: the native result object, a table that exports the Arrow PyCapsule
// interface (any number of times, sharing its buffers) and converts to plain Python.
#include "columns/table.h"

#include <memory>
#include <vector>

#include "columns/arrow_output.h"
#include "columns/flat.h"
#include "columns/input.h"
#include "py/guard.h"

namespace quorvane::columns {
namespace {

using py::PyRef;

struct TableObject {
  PyObject_HEAD SharedTable* table;  // null only while an object is being made
};

const Table* table_of(PyObject* self) {
  const SharedTable* table = reinterpret_cast<TableObject*>(self)->table;
  if (table == nullptr) {
    PyErr_SetString(PyExc_ValueError, "an empty Table: tables come from quorvane_columns");
    return nullptr;
  }
  return table->get();
}

// A new object of `type` holding `table`, or null with an exception set.
PyObject* new_table(PyTypeObject* type, SharedTable table) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  auto object = PyRef::steal(alloc(type, 0));
  if (!object) return nullptr;
  reinterpret_cast<TableObject*>(object.get())->table = new SharedTable(std::move(table));
  return object.release();
}

// MARK: exports sharing one table

// One exported array node: its children are exported the same way, and the table's
// buffers stay alive until every export of it was released.
struct SharedExport {
  SharedTable owner;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  std::unique_ptr<ArrowArray> dictionary;

  ~SharedExport() {
    for (ArrowArray& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
    if (dictionary && dictionary->release != nullptr) dictionary->release(dictionary.get());
  }
};

void release_shared(ArrowArray* array) {
  delete static_cast<SharedExport*>(array->private_data);
  array->release = nullptr;
}

void export_shared(const ArrowArray& source, const SharedTable& owner, ArrowArray* out) {
  auto data = std::make_unique<SharedExport>();
  data->owner = owner;
  data->children.resize(static_cast<std::size_t>(source.n_children));
  for (std::int64_t i = 0; i < source.n_children; ++i) {
    export_shared(*source.children[i], owner, &data->children[static_cast<std::size_t>(i)]);
    data->child_pointers.push_back(&data->children[static_cast<std::size_t>(i)]);
  }
  if (source.dictionary != nullptr) {
    data->dictionary = std::make_unique<ArrowArray>();
    export_shared(*source.dictionary, owner, data->dictionary.get());
  }
  *out = source;
  out->children = data->child_pointers.empty() ? nullptr : data->child_pointers.data();
  out->dictionary = data->dictionary.get();
  out->release = release_shared;
  out->private_data = data.release();
}

template <class T>
void delete_capsule(PyObject* capsule, const char* name) {
  auto* value = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (value == nullptr) {
    PyErr_Clear();
    return;
  }
  if (value->release != nullptr) value->release(value);
  delete value;
}

void delete_schema(PyObject* capsule) { delete_capsule<ArrowSchema>(capsule, "arrow_schema"); }
void delete_array(PyObject* capsule) { delete_capsule<ArrowArray>(capsule, "arrow_array"); }
void delete_stream(PyObject* capsule) {
  delete_capsule<ArrowArrayStream>(capsule, "arrow_array_stream");
}

// A capsule owning `value` (released and freed by `destructor`), or null.
template <class T>
PyRef capsule(std::unique_ptr<T> value, const char* name, PyCapsule_Destructor destructor) {
  auto made = PyRef::steal(PyCapsule_New(value.get(), name, destructor));
  if (made) value.release();  // the capsule owns it now
  return made;
}

std::unique_ptr<ArrowSchema> schema_copy(const Table& table) {
  auto schema = std::make_unique<ArrowSchema>();
  check_arrow(ArrowSchemaDeepCopy(table.schema.get(), schema.get()));
  return schema;
}

// MARK: methods

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
  const Table* table = table_of(self);
  if (table == nullptr) return nullptr;
  return capsule(schema_copy(*table), "arrow_schema", delete_schema).release();
}

PyObject* arrow_c_array(PyObject* self, PyObject*, PyObject*) {
  const Table* table = table_of(self);
  if (table == nullptr) return nullptr;
  auto array = std::make_unique<ArrowArray>();
  export_shared(*table->array.get(), *reinterpret_cast<TableObject*>(self)->table, array.get());
  PyRef schema = capsule(schema_copy(*table), "arrow_schema", delete_schema);
  if (!schema) return nullptr;
  PyRef exported = capsule(std::move(array), "arrow_array", delete_array);
  if (!exported) return nullptr;
  return PyTuple_Pack(2, schema.get(), exported.get());
}

PyObject* arrow_c_stream(PyObject* self, PyObject*, PyObject*) {
  const Table* table = table_of(self);
  if (table == nullptr) return nullptr;
  auto stream = std::make_unique<ArrowArrayStream>();
  std::unique_ptr<ArrowSchema> schema = schema_copy(*table);
  check_arrow(ArrowBasicArrayStreamInit(stream.get(), schema.get(), 1));  // takes the schema
  ArrowArray array{};
  export_shared(*table->array.get(), *reinterpret_cast<TableObject*>(self)->table, &array);
  ArrowBasicArrayStreamSetArray(stream.get(), 0, &array);  // takes the array
  return capsule(std::move(stream), "arrow_array_stream", delete_stream).release();
}

// One column as a list of Python values.
PyRef column_list(const ArrowSchema* schema, const ArrowArray* array) {
  ArrowArrayView view;
  ArrowError error{};
  check_arrow(ArrowArrayViewInitFromSchema(&view, schema, &error));
  struct Reset {
    ArrowArrayView* v;
    ~Reset() { ArrowArrayViewReset(v); }
  } reset{&view};
  check_arrow(ArrowArrayViewSetArray(&view, array, &error));

  auto text = [](ArrowStringView s) {
    return PyRef::steal(PyUnicode_FromStringAndSize(s.data, static_cast<Py_ssize_t>(s.size_bytes)));
  };
  std::vector<PyRef> words;  // a dictionary's values, made once
  if (view.dictionary != nullptr) {
    for (std::int64_t i = 0; i < view.dictionary->length; ++i) {
      words.push_back(text(ArrowArrayViewGetStringUnsafe(view.dictionary, i)));
      if (!words.back()) return {};
    }
  }
  auto list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(view.length)));
  if (!list) return {};
  for (std::int64_t i = 0; i < view.length; ++i) {
    PyRef item;
    if (ArrowArrayViewIsNull(&view, i)) {
      item = PyRef::borrow(Py_None);
    } else if (view.dictionary != nullptr) {
      item = PyRef::borrow(
          words[static_cast<std::size_t>(ArrowArrayViewGetIntUnsafe(&view, i))].get());
    } else if (view.storage_type == NANOARROW_TYPE_STRING) {
      item = text(ArrowArrayViewGetStringUnsafe(&view, i));
    } else if (view.storage_type == NANOARROW_TYPE_DOUBLE) {
      item = PyRef::steal(PyFloat_FromDouble(ArrowArrayViewGetDoubleUnsafe(&view, i)));
    } else if (view.storage_type == NANOARROW_TYPE_LIST) {
      // A list of texts, the one kind of list a result holds.
      const std::int64_t begin = ArrowArrayViewListChildOffset(&view, i);
      const std::int64_t end = ArrowArrayViewListChildOffset(&view, i + 1);
      item = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(end - begin)));
      for (std::int64_t k = begin; item && k < end; ++k) {
        PyRef element = text(ArrowArrayViewGetStringUnsafe(view.children[0], k));
        if (!element) return {};
        PyList_SetItem(item.get(), static_cast<Py_ssize_t>(k - begin), element.release());
      }
    } else {
      item = PyRef::steal(PyLong_FromLongLong(ArrowArrayViewGetIntUnsafe(&view, i)));
    }
    if (!item) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

PyObject* to_pydict(PyObject* self, PyObject*) {
  const Table* table = table_of(self);
  if (table == nullptr) return nullptr;
  auto dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const ArrowSchema* schema = table->schema.get();
  for (std::int64_t i = 0; i < schema->n_children; ++i) {
    PyRef list = column_list(schema->children[i], table->array->children[i]);
    if (!list || PyDict_SetItemString(dict.get(), schema->children[i]->name, list.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

PyObject* column_names(PyObject* self, PyObject*) {
  const Table* table = table_of(self);
  if (table == nullptr) return nullptr;
  const ArrowSchema* schema = table->schema.get();
  auto list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (std::int64_t i = 0; i < schema->n_children; ++i) {
    auto name = PyRef::steal(PyUnicode_FromString(schema->children[i]->name));
    if (!name || PyList_Append(list.get(), name.get()) < 0) return nullptr;
  }
  return list.release();
}

Py_ssize_t length(PyObject* self) {
  const Table* table = table_of(self);
  if (table == nullptr) return -1;
  return static_cast<Py_ssize_t>(table->array->length);
}

// MARK: pickling

// (Table, (bytes,)): unpickling calls Table(bytes), which reads the flat form back.
PyObject* reduce(PyObject* self, PyObject*) {
  const Table* table = table_of(self);
  if (table == nullptr) return nullptr;
  std::string flat = flatten(*table);
  auto bytes =
      PyRef::steal(PyBytes_FromStringAndSize(flat.data(), static_cast<Py_ssize_t>(flat.size())));
  if (!bytes) return nullptr;
  flat = std::string();  // the bytes object has its own copy
  return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), bytes.get());
}

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* data = nullptr;
  static const char* keywords[] = {"data", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:Table", const_cast<char**>(keywords),
                                   &PyBytes_Type, &data)) {
    return nullptr;
  }
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return nullptr;
  Read<SharedTable> table = unflatten({bytes, static_cast<std::size_t>(size)});
  if (!table) return Inputs::raise(table.error()), nullptr;
  return new_table(type, std::move(table).value());
}

// Each method runs under the guard: a C++ exception becomes MemoryError or
// PanicException.
template <auto Method, class... Args>
auto guarded(Args... args) {
  return py::guard("quorvane_columns", [&] { return Method(args...); });
}

template <auto Method>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

PyMethodDef g_methods[] = {
    {"__arrow_c_schema__", guarded<arrow_c_schema, PyObject*, PyObject*>, METH_NOARGS,
     "The table's schema as an 'arrow_schema' PyCapsule."},
    {"__arrow_c_array__", as_cfunction<guarded<arrow_c_array, PyObject*, PyObject*, PyObject*>>(),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__(requested_schema=None)\n--\n\nThe table as a struct array: a pair of "
     "'arrow_schema' and 'arrow_array' PyCapsules."},
    {"__arrow_c_stream__", as_cfunction<guarded<arrow_c_stream, PyObject*, PyObject*, PyObject*>>(),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None)\n--\n\nThe table as an 'arrow_array_stream' "
     "PyCapsule of one record batch."},
    {"to_pydict", guarded<to_pydict, PyObject*, PyObject*>, METH_NOARGS,
     "The columns as a dict of lists, None for nulls."},
    {"column_names", guarded<column_names, PyObject*, PyObject*>, METH_NOARGS,
     "The names of the columns, in order."},
    {"__reduce__", guarded<reduce, PyObject*, PyObject*>, METH_NOARGS,
     "Pickles the table as the bytes of its buffers."},
    {nullptr, nullptr, 0, nullptr},
};

void dealloc(PyObject* self) {
  delete reinterpret_cast<TableObject*>(self)->table;
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);  // a heap type's instances hold a reference to it
}

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("A result table; exports the Arrow PyCapsule interface.\n\n"
                                  "Table(data) reads back the bytes a pickled table holds.")},
    {Py_tp_new, reinterpret_cast<void*>(guarded<table_new, PyTypeObject*, PyObject*, PyObject*>)},
    {Py_tp_methods, g_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_mp_length, reinterpret_cast<void*>(guarded<length, PyObject*>)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "quorvane_columns._native.Table",
    static_cast<int>(sizeof(TableObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_slots,
};

}  // namespace

PyRef make_table_type(PyObject*) { return PyRef::steal(PyType_FromSpec(&g_spec)); }

PyRef wrap_table(PyObject* type, SharedTable table) {
  return PyRef::steal(new_table(reinterpret_cast<PyTypeObject*>(type), std::move(table)));
}

}  // namespace quorvane::columns
