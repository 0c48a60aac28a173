// libFuzzer target: libs.pyubx2 as a Python host uses it. The interpreter is embedded and
// started once; the binding's source is linked into this program (so it carries the fuzzer's
// instrumentation) and registered as the built-in module libs.pyubx2. Each input goes to
// fuzz_reader_check.check(), which reads it through UBXReader in several ways and reads every
// attribute of every message; an exception there is a finding and aborts.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" PyObject* PyInit_pyubx2(void);

namespace {

PyObject* check_fn = nullptr;

[[noreturn]] void fail() {
    PyErr_Print();
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (PyImport_AppendInittab("libs.pyubx2", PyInit_pyubx2) < 0) std::abort();
    // Plain malloc for every object, as in the sanitized test run: LeakSanitizer neither scans
    // nor tracks CPython's mmap'd small-object arenas, which would hide real leaks and make
    // blocks referenced only from there look leaked.
    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&pre))) std::abort();
    Py_InitializeEx(0);
    // A bare package `libs` with the built-in binding as its submodule.
    const char* setup =
        "import importlib.machinery, importlib.util, sys, types\n"
        "libs = types.ModuleType('libs'); libs.__path__ = []; sys.modules['libs'] = libs\n"
        "spec = importlib.machinery.BuiltinImporter.find_spec('libs.pyubx2')\n"
        "mod = importlib.util.module_from_spec(spec)\n"
        "sys.modules['libs.pyubx2'] = libs.pyubx2 = mod\n"
        "spec.loader.exec_module(mod)\n";
    if (PyRun_SimpleString(setup) != 0) std::abort();
    PyObject* dir = PyUnicode_FromString(ZQ_FUZZ_DIR);
    if (!dir || PyList_Insert(PySys_GetObject("path"), 0, dir) < 0) fail();
    Py_DECREF(dir);
    PyObject* module = PyImport_ImportModule("fuzz_reader_check");
    if (!module) fail();
    check_fn = PyObject_GetAttrString(module, "check");
    Py_DECREF(module);
    if (!check_fn) fail();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                static_cast<Py_ssize_t>(size));
    if (!bytes) fail();
    PyObject* result = PyObject_CallOneArg(check_fn, bytes);
    Py_DECREF(bytes);
    if (!result) fail();
    Py_DECREF(result);
    return 0;
}
