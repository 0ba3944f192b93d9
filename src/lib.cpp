// The module frame: the whole boundary between the interpreter and the
// protocol operations. It binds and converts arguments, runs one operation,
// builds the result object, and turns every internal failure into
// PanicException. This is the only file that touches interpreter objects.
//
// It is compiled twice: as `ostrelline`, the seven functions of the protocol,
// and with OSTRELLINE_HIDING_MODULE defined as `ostrelline_hiding`, whose
// `build_okvs` builds the membership-hiding kind of store with the same
// arguments, checks and failures, whose `decode_okvs` and
// `queries_from_cells` are the two steps of initiate_queries apart, and
// whose `build_okvs_packed` builds either kind of store from rows packed
// into one buffer of key bytes and an array of offsets (`distinct_packed`
// keeps one of rows that repeat).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>

#include "src/operations.hpp"
#include "src/store_build.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"

namespace {

using ostrelline::ByteArg;
using ostrelline::DataRow;
using ostrelline::Rows;
using ostrelline::Sink;

// A Python error is already set; unwind to the frame and return it as it is.
struct PythonErrorSet {};

class Ref {
public:
    explicit Ref(PyObject* object = nullptr) noexcept : object_(object) {}
    ~Ref() { Py_XDECREF(object_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    void reset(PyObject* object) noexcept {
        Py_XDECREF(object_);
        object_ = object;
    }
    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept {
        PyObject* o = object_;
        object_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_;
};

// ---------------------------------------------------------------------------
// PanicException and the fault report

constexpr const char* kPanicDoc =
    "An internal failure of ostrelline: an operation stopped with a message "
    "(a wrong argument type or length, an invalid point, a malformed store, ...).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so "
    "that it usually propagates to the top of the program instead of being "
    "swallowed by `except Exception`.";

// Where both extension modules of the wheel (ostrelline and
// ostrelline_hiding) find the class, so that they raise one and the same
// PanicException: the interpreter's dictionary for extension state, not an
// attribute of either module.
constexpr const char* kPanicRegistryKey = "ostrelline.PanicException";

PyObject* panic_exception_type() {
    // Created on first use and kept for the life of the process; the
    // interpreter lock serialises the first creation.
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    PyObject* registry = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (registry != nullptr) {
        PyObject* known = PyDict_GetItemString(registry, kPanicRegistryKey);  // borrowed
        if (known != nullptr) {
            Py_INCREF(known);
            type = known;
            return type;
        }
    }
    type = PyErr_NewExceptionWithDoc("ostrelline.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (type != nullptr && registry != nullptr && PyDict_SetItemString(registry, kPanicRegistryKey, type) < 0) {
        PyErr_Clear();  // the class still serves this module
    }
    return type;
}

// The calling thread's name into `name`; nothing here allocates, so that a
// failure can be reported when memory has run out. The name comes from
// prctl(PR_GET_NAME) (at most 15 bytes and a terminating zero), which every
// glibc has under its oldest symbol version. pthread_getname_np moved from
// libpthread into the C library in glibc 2.34, so a module linked against a
// newer glibc would require 2.34 for it and refuse older systems.
void thread_name(char (&name)[32]) noexcept {
    static_assert(sizeof name >= 16, "PR_GET_NAME writes up to 16 bytes");
    if (static_cast<pid_t>(syscall(SYS_gettid)) == getpid()) {
        std::snprintf(name, sizeof name, "main");
        return;
    }
    if (prctl(PR_GET_NAME, name, 0, 0, 0) == 0 && name[0] != '\0') return;
    std::snprintf(name, sizeof name, "<unnamed>");
}

// Whether the backtrace hint has been written in this process: one byte
// shared by both extension modules through the interpreter's dictionary for
// extension state (set up at initialisation, so that reporting allocates
// nothing), or this module's own byte when that failed.
char own_hint_flag = 0;
char* hint_shown = &own_hint_flag;

void share_hint_flag() noexcept {
    PyObject* registry = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (registry == nullptr) return;
    PyObject* flag = PyDict_GetItemString(registry, "ostrelline.fault_hint_shown");  // borrowed
    if (flag == nullptr) {
        Ref created(PyByteArray_FromStringAndSize(&own_hint_flag, 1));
        if (!created || PyDict_SetItemString(registry, "ostrelline.fault_hint_shown", created.get()) < 0) {
            PyErr_Clear();
            return;
        }
        flag = created.get();
    }
    if (!PyByteArray_Check(flag) || PyByteArray_GET_SIZE(flag) != 1) return;
    // The dictionary keeps the byte alive until the interpreter is finalised.
    hint_shown = PyByteArray_AS_STRING(flag);
}

void report_fault(const char* message, const std::source_location& where) noexcept {
    char name[32] = {};
    thread_name(name);
    std::fprintf(stderr, "thread '%s' failed in ostrelline at %s:%u:%u: %s\n", name, where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), message);
    if (*hint_shown == 0) {
        *hint_shown = 1;
        std::fputs("note: the failure is raised as PanicException; to obtain a backtrace, run the program under "
                   "gdb with `catch throw`\n",
                   stderr);
    }
    std::fflush(stderr);
}

// Runs inside the frame's catch handlers, so it must not throw: the message
// is used as the C string it already is.
void raise_panic(const char* message, const std::source_location& where) noexcept {
    report_fault(message, where);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the error of the class creation stays set
    Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

// Runs an operation and maps every C++ failure to its Python exception.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        return nullptr;
    } catch (const support::Failure& failure) {
        raise_panic(failure.what(), failure.where());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what(), std::source_location::current());
    } catch (...) {
        raise_panic("unknown internal failure", std::source_location::current());
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Argument binding

struct Signature {
    const char* name;  // e.g. "build_okvs()"
    const char* const* params;
    Py_ssize_t count;
};

std::string quoted_list(const Signature& sig, PyObject* const* slots) {
    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < sig.count; ++i)
        if (slots[i] == nullptr) missing.push_back(sig.params[i]);
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) list += " and ";
            else if (i + 1 == missing.size()) list += ", and ";
            else list += ", ";
        }
        list += "'";
        list += missing[i];
        list += "'";
    }
    return list;
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** slots) {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    for (Py_ssize_t i = 0; i < sig.count; ++i) slots[i] = nullptr;
    for (Py_ssize_t i = 0; i < n && i < sig.count; ++i) slots[i] = args[i];
    if (n > sig.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.name, sig.count, n,
                     n == 1 ? "was" : "were");
        return false;
    }
    if (kwnames != nullptr) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t index = -1;
            for (Py_ssize_t i = 0; i < sig.count; ++i) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
                    index = i;
                    break;
                }
            }
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.name, key);
                return false;
            }
            if (slots[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.name,
                             sig.params[index]);
                return false;
            }
            slots[index] = args[n + k];
        }
    }
    Py_ssize_t unfilled = 0;
    for (Py_ssize_t i = 0; i < sig.count; ++i) unfilled += slots[i] == nullptr;
    if (unfilled > 0) {
        // Binding runs before the frame's guard: an allocation failure while
        // naming the missing parameters must not escape into the interpreter.
        try {
            std::string list = quoted_list(sig, slots);
            PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s", sig.name,
                         unfilled, unfilled == 1 ? "" : "s", list.c_str());
        } catch (...) {
            PyErr_NoMemory();
        }
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Row-list conversion

std::string type_qualname(PyObject* object) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (name) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
        if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

void type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

// "'<type>' object cannot be converted to '<target>'"
void conversion_error(PyObject* object, const char* target) {
    std::string name = type_qualname(object);
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name.c_str(), target);
}

// The most room reserved on the word of a `__len__` that the interpreter does
// not vouch for: a sequence type of its own may claim any length, and a
// reservation of that size would fail (or commit memory) for a short list.
constexpr Py_ssize_t kUntrustedReservation = 1024;

// Steps shared by both levels: refuse `str`, require a sequence, and size the
// reservation from its length when it can tell.
bool begin_sequence(PyObject* object, Py_ssize_t& length) {
    if (PyUnicode_Check(object)) {
        type_error("Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        conversion_error(object, "Sequence");
        return false;
    }
    length = PySequence_Size(object);
    if (length < 0) {
        PyErr_Clear();
        length = 0;
    }
    // Only the length of an exact list or tuple is its true item count.
    if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object) && length > kUntrustedReservation) {
        length = kUntrustedReservation;
    }
    return true;
}

// Calls `each(item)` for every item of a sequence; false when iteration or
// `each` failed (with the Python error set).
template <class F>
bool for_each_item(PyObject* object, F&& each) {
    Ref iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    while (true) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        if (!each(item.get())) return false;
    }
}

bool convert_row(PyObject* object, DataRow& row) {
    Py_ssize_t length = 0;
    if (!begin_sequence(object, length)) return false;
    return for_each_item(object, [&](PyObject* item) {
        if (!PyUnicode_Check(item)) {
            conversion_error(item, "PyString");
            return false;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (utf8 == nullptr) return false;  // a lone surrogate: the interpreter's UnicodeEncodeError
        row.push_column(std::string_view(utf8, static_cast<std::size_t>(size)));
        return true;
    });
}

bool convert_rows_unprefixed(PyObject* object, Rows& rows) {
    Py_ssize_t length = 0;
    if (!begin_sequence(object, length)) return false;
    rows.reserve(static_cast<std::size_t>(length));
    return for_each_item(object, [&](PyObject* item) {
        DataRow row;
        if (!convert_row(item, row)) return false;
        rows.push_back(std::move(row));
        return true;
    });
}

// An exact TypeError gets the parameter's name in front and keeps its cause;
// any other error passes unchanged.
void prefix_type_error(const char* parameter) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return;
    if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(raised);
        return;
    }
    Ref value(raised);
#else
    PyObject *type = nullptr, *raw = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &raw, &traceback);
    if (type == nullptr) return;
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, raw, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &raw, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    Ref value(raw);
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "argument conversion failed");
        return;
    }
#endif
    Ref message(PyUnicode_FromFormat("argument '%s': %S", parameter, value.get()));
    if (!message) return;
    Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    PyObject* cause = PyException_GetCause(value.get());  // new reference or NULL
    PyException_SetCause(replacement.get(), cause);      // steals it
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool convert_rows(PyObject* object, const char* parameter, Rows& rows) {
    if (convert_rows_unprefixed(object, rows)) return true;
    prefix_type_error(parameter);
    return false;
}

// ---------------------------------------------------------------------------
// Byte strings and results

std::string describe_object(const void* object) {
    Ref repr(PyObject_Repr(const_cast<PyObject*>(static_cast<const PyObject*>(object))));
    if (repr) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(repr.get(), &size);
        if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return "<unprintable object>";
}

// The name of an object's type as type(object).__name__ gives it: tp_name
// after its last dot. Read from the type itself, so nothing of the object's
// value (a refused secret key) can show.
std::string describe_type(const void* object) {
    const char* name = Py_TYPE(static_cast<const PyObject*>(object))->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? std::string(dot + 1) : std::string(name);
}

ByteArg byte_arg(PyObject* object) {
    ByteArg arg;
    if (PyBytes_Check(object)) {
        arg.is_bytes = true;
        arg.data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object));
        arg.size = static_cast<std::size_t>(PyBytes_GET_SIZE(object));
    } else {
        arg.object = object;
        arg.describe = describe_object;
        arg.type_name = describe_type;
    }
    return arg;
}

// The result byte strings of one call, released unless handed to the caller.
struct Outputs {
    PyObject* objects[4] = {};
    int count = 0;
    ~Outputs() {
        for (int i = 0; i < count; ++i) Py_XDECREF(objects[i]);
    }
    PyObject* take(int i) {
        PyObject* o = objects[i];
        objects[i] = nullptr;
        return o;
    }
    Sink sink() { return Sink{this, &Outputs::allocate}; }

    static std::uint8_t* allocate(void* context, std::size_t size) {
        auto* self = static_cast<Outputs*>(context);
        if (self->count == 4) throw std::logic_error("too many result buffers");
        if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
        if (bytes == nullptr) throw PythonErrorSet{};
        self->objects[self->count++] = bytes;
        return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes));
    }
};

// ---------------------------------------------------------------------------
// Entry points

#define OSTRELLINE_ENTRY(fn) \
    PyObject* fn##_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)

#ifndef OSTRELLINE_HIDING_MODULE
OSTRELLINE_ENTRY(key_gen) {
    static const Signature sig{"key_gen()", nullptr, 0};
    PyObject* slots[1];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        ostrelline::KeyPair pair = ostrelline::key_gen();
        Ref pk(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(pair.public_key.data()), 32));
        Ref sk(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(pair.secret_key.data()), 32));
        support::secure_zero(pair.secret_key.data(), pair.secret_key.size());
        if (!pk || !sk) return nullptr;
        return PyTuple_Pack(2, pk.get(), sk.get());
    });
}
#endif

#ifdef OSTRELLINE_HIDING_MODULE
#define OSTRELLINE_BUILD_OPERATION ostrelline::build_hiding_okvs
#else
#define OSTRELLINE_BUILD_OPERATION ostrelline::build_okvs
#endif

OSTRELLINE_ENTRY(build_okvs) {
    static const char* const params[] = {"public_key", "strings_in_each_row"};
    static const Signature sig{"build_okvs()", params, 2};
    PyObject* slots[2];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        Rows rows;
        if (!convert_rows(slots[1], params[1], rows)) return nullptr;
        Outputs out;
        OSTRELLINE_BUILD_OPERATION(byte_arg(slots[0]), std::move(rows), out.sink());
        return out.take(0);
    });
}

#undef OSTRELLINE_BUILD_OPERATION

#ifdef OSTRELLINE_HIDING_MODULE

OSTRELLINE_ENTRY(decode_okvs) {
    static const char* const params[] = {"data", "okvs"};
    static const Signature sig{"decode_okvs()", params, 2};
    PyObject* slots[2];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        Rows rows;
        if (!convert_rows(slots[0], params[0], rows)) return nullptr;
        Outputs out;
        ostrelline::decode_okvs(std::move(rows), byte_arg(slots[1]), out.sink());
        return out.take(0);
    });
}

OSTRELLINE_ENTRY(queries_from_cells) {
    static const char* const params[] = {"sender_cells", "receiver_cells", "swift_pk"};
    static const Signature sig{"queries_from_cells()", params, 3};
    PyObject* slots[3];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        Outputs out;
        ostrelline::queries_from_cells(byte_arg(slots[0]), byte_arg(slots[1]), byte_arg(slots[2]), out.sink());
        return out.take(0);
    });
}

// "hiding" or "specified", the two constructions of a store, as a flag.
bool hiding_construction(PyObject* construction) {
    if (PyUnicode_Check(construction)) {
        if (PyUnicode_CompareWithASCIIString(construction, "hiding") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(construction, "specified") == 0) return false;
    }
    support::fail("The construction should be 'hiding' or 'specified', not " + describe_object(construction) + ".");
}

OSTRELLINE_ENTRY(distinct_packed) {
    static const char* const params[] = {"row_keys", "row_offsets"};
    static const Signature sig{"distinct_packed()", params, 2};
    PyObject* slots[2];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        Outputs out;
        ostrelline::distinct_packed(byte_arg(slots[0]), byte_arg(slots[1]), out.sink());
        if (out.count != 2) throw std::logic_error("distinct_packed produced an incomplete result");
        return PyTuple_Pack(2, out.objects[0], out.objects[1]);
    });
}

OSTRELLINE_ENTRY(build_okvs_packed) {
    static const char* const params[] = {"public_key", "row_keys", "row_offsets", "construction"};
    static const Signature sig{"build_okvs_packed()", params, 4};
    PyObject* slots[4];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        const bool hiding = hiding_construction(slots[3]);
        Outputs out;
        ostrelline::build_okvs_packed(byte_arg(slots[0]), byte_arg(slots[1]), byte_arg(slots[2]), hiding,
                                      out.sink());
        return out.take(0);
    });
}

#endif  // OSTRELLINE_HIDING_MODULE

#ifndef OSTRELLINE_HIDING_MODULE

OSTRELLINE_ENTRY(initiate_queries) {
    static const char* const params[] = {"sender_data", "receiver_data", "sender_okvs", "receiver_okvs", "swift_pk"};
    static const Signature sig{"initiate_queries()", params, 5};
    PyObject* slots[5];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        Rows sender, receiver;
        if (!convert_rows(slots[0], params[0], sender)) return nullptr;
        if (!convert_rows(slots[1], params[1], receiver)) return nullptr;
        Outputs out;
        ostrelline::initiate_queries(std::move(sender), std::move(receiver), byte_arg(slots[2]), byte_arg(slots[3]),
                                     byte_arg(slots[4]), out.sink());
        return out.take(0);
    });
}

OSTRELLINE_ENTRY(randomize) {
    static const char* const params[] = {"ciphertexts"};
    static const Signature sig{"randomize()", params, 1};
    PyObject* slots[1];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        Outputs out;
        ostrelline::randomize(byte_arg(slots[0]), out.sink());
        return out.take(0);
    });
}

OSTRELLINE_ENTRY(combine) {
    static const char* const params[] = {"sender_ciphertexts", "receiver_ciphertexts"};
    static const Signature sig{"combine()", params, 2};
    PyObject* slots[2];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        Outputs out;
        ostrelline::combine(byte_arg(slots[0]), byte_arg(slots[1]), out.sink());
        if (out.count != 4) throw std::logic_error("combine produced an incomplete result");
        return PyTuple_Pack(4, out.objects[0], out.objects[1], out.objects[2], out.objects[3]);
    });
}

OSTRELLINE_ENTRY(decrypt) {
    static const char* const params[] = {"points", "bank_secret_key"};
    static const Signature sig{"decrypt()", params, 2};
    PyObject* slots[2];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        Outputs out;
        ostrelline::decrypt(byte_arg(slots[0]), byte_arg(slots[1]), out.sink());
        return out.take(0);
    });
}

OSTRELLINE_ENTRY(finish) {
    static const char* const params[] = {"sender_points", "receiver_points", "gamma_points", "delta_points",
                                         "swift_secret_key"};
    static const Signature sig{"finish()", params, 5};
    PyObject* slots[5];
    if (!bind(sig, args, nargsf, kwnames, slots)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<std::uint8_t> matches = ostrelline::finish(byte_arg(slots[0]), byte_arg(slots[1]),
                                                               byte_arg(slots[2]), byte_arg(slots[3]),
                                                               byte_arg(slots[4]));
        Ref list(PyList_New(static_cast<Py_ssize_t>(matches.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < matches.size(); ++i) {
            PyObject* value = matches[i] ? Py_True : Py_False;
            Py_INCREF(value);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
        }
        return list.release();
    });
}
#endif  // !OSTRELLINE_HIDING_MODULE

#undef OSTRELLINE_ENTRY

#define OSTRELLINE_METHOD(fn, doc) \
    PyMethodDef { #fn, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn##_entry)), \
                  METH_FASTCALL | METH_KEYWORDS, doc }

#ifdef OSTRELLINE_HIDING_MODULE
PyMethodDef function_table[] = {
    OSTRELLINE_METHOD(build_okvs,
                      "Builds a membership-hiding OKVS for one party. Takes the public key of this party and the "
                      "data from the database, which is a list of rows. Each row is a list of the relevant columns "
                      "as a String. The store has the byte format of ostrelline.build_okvs, but its bytes at a held "
                      "row look like those at any other row; held rows match only on a query side that clears "
                      "small-order components, as ostrelline.initiate_queries does."),
    OSTRELLINE_METHOD(decode_okvs,
                      "The lookups of ostrelline.initiate_queries alone: the 64-byte cell of each row of `data` "
                      "in the store `okvs`, in row order, concatenated. Rows and store are read, and refused, as "
                      "initiate_queries reads sender_data and sender_okvs."),
    OSTRELLINE_METHOD(queries_from_cells,
                      "The cryptography of ostrelline.initiate_queries alone: the 128-byte query i from cell i of "
                      "sender_cells and of receiver_cells (64 bytes each, as decode_okvs returns them) under "
                      "swift_pk, for every i below the shorter stream's cell count, as initiate_queries makes it "
                      "after its lookups."),
    OSTRELLINE_METHOD(distinct_packed,
                      "The distinct rows of packed rows (row_keys and row_offsets as build_okvs_packed takes them), "
                      "each where it first occurs, in order, packed the same way: a tuple (row_keys, row_offsets). "
                      "Rows are told apart by their key bytes, as a build tells them."),
    OSTRELLINE_METHOD(build_okvs_packed,
                      "build_okvs of rows handed over packed: row_keys holds the key bytes of every row one after "
                      "the other (a row's strings joined, in UTF-8), row_offsets n + 1 offsets into it, 8 bytes "
                      "each, little-endian, from 0 to len(row_keys): row i is row_keys[offsets[i]:offsets[i + 1]]. "
                      "construction 'hiding' builds the store of ostrelline_hiding.build_okvs, 'specified' that of "
                      "ostrelline.build_okvs, with their checks and failures and the same bytes for the same rows "
                      "and random draws."),
};
#else
PyMethodDef function_table[] = {
    OSTRELLINE_METHOD(key_gen,
                      "Generates a key pair for this party, returning a tuple with (public_key: bytes, secret_key: "
                      "bytes)."),
    OSTRELLINE_METHOD(build_okvs,
                      "Builds an OKVS for one party. Takes the public key of this party and the data from the "
                      "database, which is a list of rows. Each row is a list of the relevant columns as a String."),
    OSTRELLINE_METHOD(initiate_queries, nullptr),
    OSTRELLINE_METHOD(randomize, nullptr),
    OSTRELLINE_METHOD(combine, nullptr),
    OSTRELLINE_METHOD(decrypt, nullptr),
    OSTRELLINE_METHOD(finish, nullptr),
};
#endif

#undef OSTRELLINE_METHOD

#ifdef OSTRELLINE_HIDING_MODULE
#define OSTRELLINE_MODULE_NAME "ostrelline_hiding"
#define OSTRELLINE_MODULE_DOC \
    "Membership-hiding stores for the ostrelline protocol: build_okvs with the arguments, failures and byte " \
    "format of ostrelline.build_okvs, whose stores do not tell which rows they hold; and the two steps of " \
    "ostrelline.initiate_queries apart, decode_okvs and queries_from_cells; and build_okvs_packed, either kind " \
    "of store from rows packed into one buffer of key bytes and an array of offsets, with distinct_packed to " \
    "keep one of rows that repeat."
#else
#define OSTRELLINE_MODULE_NAME "ostrelline"
#define OSTRELLINE_MODULE_DOC \
    "A Python module for the cryptographic operations necessary to do feature extraction (element matching in " \
    "two datasets)."
#endif

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    OSTRELLINE_MODULE_NAME,
    OSTRELLINE_MODULE_DOC,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> initialised{false};

// Appends `name` to the module's __all__, creating the list when missing.
bool append_to_all(PyObject* module, PyObject* name) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return false;
    }
    return PyList_Append(all.get(), name) == 0;
}

PyObject* init_module() {
    Ref module(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
    if (initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        OSTRELLINE_MODULE_NAME " may only be initialised once per interpreter process; it cannot "
                        "be imported again, nor into a subinterpreter");
        return nullptr;
    }
    share_hint_flag();
    Ref module_name(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    for (PyMethodDef& def : function_table) {
        Ref function(PyCFunction_NewEx(&def, module.get(), module_name.get()));
        if (!function) return nullptr;
        Ref name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return nullptr;
        if (!append_to_all(module.get(), name.get())) return nullptr;
        if (PyObject_SetAttr(module.get(), name.get(), function.get()) < 0) return nullptr;
    }
    return module.release();
}

}  // namespace

#ifdef OSTRELLINE_HIDING_MODULE
PyMODINIT_FUNC PyInit_ostrelline_hiding(void) {
#else
PyMODINIT_FUNC PyInit_ostrelline(void) {
#endif
    try {
        return init_module();
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}
