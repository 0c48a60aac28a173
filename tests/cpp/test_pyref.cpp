// common/pyref.hpp in an embedded interpreter: the GIL given back by without_gil, and threads
// that are in our code when the interpreter finalizes. Each finalization runs in a child
// process of its own (a death test's), which must end with status 0: an abort there is the
// fault these helpers exist to prevent.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "pyref.hpp"

using pyref::Ref;

// For the sanitized run: an embedded interpreter does not free all it allocated when it ends,
// and never what its daemon threads held, so this program's leak check leaves the blocks that
// libpython allocated out. (The modules' leaks are looked for in the sanitized pytest run.)
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libpython3\n";
}

namespace {

using namespace std::chrono_literals;

// What the threads report to the main thread. Never destroyed: they may still touch it while
// the process exits.
struct Board {
    std::mutex m;
    std::condition_variable changed;
    int entered = 0;  // passes through the code under test
    bool released = false;
    bool unwound = false;  // the thread's end passed through our frames
    bool gil_in_unwind = true;
    bool refused = false;  // with_gil declined to run

    template <class F>
    void update(F&& f) {
        {
            std::lock_guard<std::mutex> hold(m);
            f();
        }
        changed.notify_all();
    }
    // Waits, bounded, for PRED; false when it did not come true.
    template <class P>
    bool wait(P&& pred) {
        std::unique_lock<std::mutex> hold(m);
        return changed.wait_for(hold, 10s, pred);
    }
};
Board& board = *new Board;

void note_unwind() {
    const bool held = pyref::holds_gil();
    board.update([&] {
        board.unwound = true;
        board.gil_in_unwind = held;
    });
}

// A Python thread's target: time.sleep in a loop, holding references across each call.
PYREF_PASSES_UNWIND PyObject* sleep_loop(PyObject*, PyObject* sleep) {
    try {
        for (;;) {
            Ref pause = Ref::steal(PyFloat_FromDouble(0.001));
            board.update([] { ++board.entered; });
            Ref done = Ref::steal(PyObject_CallOneArg(sleep, pause.get()));
            if (!done) return nullptr;
        }
    } catch (abi::__forced_unwind&) {
        note_unwind();
        throw;
    }
}

// A Python thread's target: a blocking wait with the GIL let go, until the main thread says.
PYREF_PASSES_UNWIND PyObject* wait_released(PyObject*, PyObject*) {
    try {
        Ref held = Ref::steal(PyLong_FromLong(123456789));
        pyref::without_gil([] {
            board.update([] { ++board.entered; });
            board.wait([] { return board.released; });
        });
        return Py_NewRef(Py_None);
    } catch (abi::__forced_unwind&) {
        note_unwind();
        throw;
    }
}

PyMethodDef targets[] = {
    {"sleep_loop", sleep_loop, METH_O, nullptr},
    {"wait_released", wait_released, METH_NOARGS, nullptr},
};

// Starts a daemon threading.Thread on TARGET (with time.sleep as its argument for sleep_loop).
void start_daemon(PyMethodDef* target) {
    Ref fn = Ref::steal(PyCFunction_New(target, nullptr));
    Ref globals = Ref::steal(PyDict_New());
    ASSERT_TRUE(fn && globals);
    ASSERT_EQ(PyDict_SetItemString(globals.get(), "fn", fn.get()), 0);
    ASSERT_EQ(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()), 0);
    const char* code =
        "import threading, time\n"
        "args = (time.sleep,) if fn.__name__ == 'sleep_loop' else ()\n"
        "threading.Thread(target=fn, args=args, daemon=True).start()\n";
    Ref done = Ref::steal(PyRun_String(code, Py_file_input, globals.get(), globals.get()));
    if (!done) PyErr_Print();
    ASSERT_TRUE(done);
}

// Finalizes with a daemon thread inside TARGET, lets it go on, and exits 0 when the thread's
// end passed through our frames without the GIL.
void finalize_under(PyMethodDef* target, int passes) {
    Py_Initialize();
    start_daemon(target);
    if (!pyref::without_gil([&] { return board.wait([&] { return board.entered >= passes; }); }))
        std::exit(2);
    if (Py_FinalizeEx() < 0) std::exit(3);
    board.update([] { board.released = true; });
    if (!board.wait([] { return board.unwound; })) std::exit(4);
    std::exit(board.gil_in_unwind ? 5 : 0);
}

TEST(PyrefExit, PythonThreadInASleepEndsThroughRefsWithoutTheGil) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(finalize_under(&targets[0], 3), testing::ExitedWithCode(0), "");
}

TEST(PyrefExit, PythonThreadWaitingWithoutTheGilEndsWhenItWantsItBack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(finalize_under(&targets[1], 1), testing::ExitedWithCode(0), "");
}

// A native thread calls into the interpreter as fast as it can until with_gil refuses, which
// it does from the interpreter's atexit callbacks on, before the teardown; it is then joined.
// (Taking the GIL for the first time while the interpreter clears its thread states ends the
// process: "Fatal Python error: init_threadstate".)
void native_thread_across_finalization() {
    Py_Initialize();
    std::thread native([]() PYREF_PASSES_UNWIND {
        try {
            while (pyref::with_gil([] {
                Ref n = Ref::steal(PyLong_FromLong(7));
                Ref sum = Ref::steal(PyNumber_Add(n.get(), n.get()));
                board.update([] { ++board.entered; });
            })) {
            }
            board.update([] { board.refused = true; });
        } catch (abi::__forced_unwind&) {
            note_unwind();
            throw;
        }
    });
    if (!pyref::without_gil([] { return board.wait([] { return board.entered >= 3; }); }))
        std::exit(2);
    if (Py_FinalizeEx() < 0) std::exit(3);
    native.join();
    // Nothing may reach the interpreter once it has gone.
    if (pyref::with_gil([] { std::exit(6); })) std::exit(7);
    std::exit(board.refused && !board.unwound ? 0 : 5);
}

TEST(PyrefExit, NativeThreadStopsCallingInWhenTheInterpreterEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(native_thread_across_finalization(), testing::ExitedWithCode(0), "");
}

TEST(PyrefWithoutGil, GivesTheGilBackWithTheResultOrTheException) {
    if (!Py_IsInitialized()) Py_Initialize();
    EXPECT_EQ(pyref::without_gil([] { return PyGILState_Check(); }), 0);
    EXPECT_EQ(PyGILState_Check(), 1);
    EXPECT_THROW(pyref::without_gil([] { throw std::runtime_error("blocking work failed"); }),
                 std::runtime_error);
    EXPECT_EQ(PyGILState_Check(), 1);
    EXPECT_TRUE(pyref::holds_gil());
    int calls = 0;
    EXPECT_TRUE(pyref::with_gil([&] { calls += PyGILState_Check(); }));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(pyref::install_exit_gate());
}

}  // namespace
