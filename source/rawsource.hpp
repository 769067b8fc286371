// What the two raw market-data sources share: awaitables driven from C++, the concurrent download and key-safe logging.
#pragma once

#include "pyclass.hpp"

#include <functional>
#include <string>

// Hidden like pybind11's own namespace, whose types these functions capture.
namespace velmora {
namespace __attribute__((visibility("hidden"))) rawsource {

using Work = std::function<py::object()>;
using Step = std::function<py::object(py::object)>;

inline py::module_ asyncio() { return py::module_::import("asyncio"); }

// Turns whatever a C++ guard caught into the Python exception object, so that it can
// be logged with its traceback or handed to a future.
template <typename Handler>
void guarded(const std::function<void()> &body, Handler &&onError) {
    py::object error;
    try {
        body();
        return;
    } catch (py::error_already_set &failure) {
        error = failure.value();
    } catch (py::builtin_exception &failure) {
        failure.set_error();
        error = py::error_already_set().value();
    } catch (const std::exception &failure) {
        PyErr_SetString(PyExc_RuntimeError, failure.what());
        error = py::error_already_set().value();
    }
    onError(error);
}

// Raises the given exception object in Python.
[[noreturn]] inline void raise(py::handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// Settles a future with the outcome of `produce`, unless someone (a cancellation) was first.
inline void settle(py::object future, const Work &produce) {
    guarded(
        [&] {
            py::object value = produce();
            if (!future.attr("done")().cast<bool>()) future.attr("set_result")(value);
        },
        [&](py::object error) {
            if (future.attr("done")().cast<bool>()) return;
            if (py::isinstance(error, asyncio().attr("CancelledError")))
                future.attr("cancel")();
            else
                future.attr("set_exception")(error);
        });
}

// The class of the awaitables below. It has the methods of a coroutine (send, throw,
// close, __await__), so asyncio.run, create_task and gather take it like one written in
// Python. Its work starts only when it is first driven, inside the running loop, and
// whatever it is then given (a cancellation above all) passes on to that work's future.
inline py::object operationClass() {
    static py::object *cls = nullptr;
    if (cls != nullptr) return *cls;
    py::dict attributes;
    attributes["__module__"] = "rawsource";
    attributes["__qualname__"] = "Operation";
    py::object type = py::reinterpret_borrow<py::object>((PyObject *)&PyType_Type);
    py::object made = type("Operation", py::tuple(), attributes);
    method(made, "__await__", [](py::object self) { return self; });
    method(made, "__iter__", [](py::object self) { return self; });
    method(made, "send", [](py::object self, py::object value) {
        if (self.attr("_iterator").is_none()) {
            py::object start = self.attr("_start");
            if (start.is_none()) throw py::value_error("cannot reuse already awaited coroutine");
            self.attr("_start") = py::none();
            py::object future = start();
            self.attr("_future") = future;
            self.attr("_iterator") = future.attr("__await__")();
        }
        return self.attr("_iterator").attr("send")(value);
    }, "value"_a);
    method(made, "__next__", [](py::object self) { return self.attr("send")(py::none()); });
    method(made, "throw", [](py::object self, py::args args) -> py::object {
        py::object future = self.attr("_future");
        if (!future.is_none() && !future.attr("done")().cast<bool>()) future.attr("cancel")();
        if (self.attr("_iterator").is_none()) {
            self.attr("_start") = py::none();
            py::object error = args[0];
            if (py::isinstance<py::type>(error)) error = error();
            raise(error);
        }
        return self.attr("_iterator").attr("throw")(*args);
    });
    method(made, "close", [](py::object self) {
        self.attr("_start") = py::none();
        py::object future = self.attr("_future");
        if (!future.is_none() && !future.attr("done")().cast<bool>()) future.attr("cancel")();
    });
    cls = new py::object(made);  // lives as long as the process, like a class statement's class
    return made;
}

// An awaitable whose result is that of the future `start` returns; `start` runs inside
// the event loop when the awaitable is first driven, so errors it raises are raised by
// the awaitable, as the body of a coroutine would raise them.
inline py::object operation(const char *name, Work start) {
    py::object made = operationClass()();
    made.attr("__qualname__") = name;
    made.attr("__name__") = name;
    made.attr("_start") = py::cpp_function(std::move(start));
    made.attr("_future") = py::none();
    made.attr("_iterator") = py::none();
    return made;
}

inline py::object doneFuture(py::object value) {
    py::object future = asyncio().attr("get_running_loop")().attr("create_future")();
    future.attr("set_result")(value);
    return future;
}

// Sends one request coroutine as a task of its own and settles the returned future with
// `answer(response)`, or with `failure(error)` when the request or `answer` fails (a
// cancellation of the request included). Cancelling the returned future cancels the request.
inline py::object afterRequest(const Work &request, Step answer, Step failure) {
    py::object loop = asyncio().attr("get_running_loop")();
    py::object result = loop.attr("create_future")();
    py::object task;
    guarded([&] { task = loop.attr("create_task")(request()); },
            [&](py::object error) { settle(result, [&] { return failure(error); }); });
    if (!task) return result;
    task.attr("add_done_callback")(py::cpp_function([result, answer, failure](py::object done) {
        py::object value, error;
        guarded([&] { value = answer(done.attr("result")()); }, [&](py::object caught) { error = caught; });
        if (error)
            settle(result, [&] { return failure(error); });
        else
            settle(result, [&] { return value; });
    }));
    result.attr("add_done_callback")(py::cpp_function([task](py::object self) {
        if (self.attr("cancelled")().cast<bool>()) task.attr("cancel")();
    }));
    return result;
}

// The service's base address: the class attribute, unless the environment names another
// one (a test service, a proxy).
inline py::object serviceBase(py::object self, const char *variable) {
    py::object chosen = py::module_::import("os").attr("environ").attr("get")(variable);
    if (!chosen.is_none() && py::len(chosen) > 0) return chosen;
    return self.attr("baseUrl");
}

// Runs every awaitable of `children` at once and settles the returned future with their
// results in their order once `client` is closed, which happens however the wait ends.
inline py::object gatherThenClose(py::object client, py::list children) {
    py::object loop = asyncio().attr("get_running_loop")();
    py::object outer = loop.attr("create_future")();
    py::object gathered;
    py::object failed;
    guarded([&] { gathered = asyncio().attr("gather")(*children); }, [&](py::object error) { failed = error; });
    auto whenClosed = [client](std::function<void(py::object)> then) {
        py::object closing;
        guarded([&] { closing = asyncio().attr("ensure_future")(client.attr("aclose")()); },
                [&](py::object) {});
        if (closing)
            closing.attr("add_done_callback")(py::cpp_function(then));
        else
            then(py::none());
    };
    if (failed) {
        for (py::handle child : children)
            if (py::hasattr(child, "close")) guarded([&] { child.attr("close")(); }, [](py::object) {});
        whenClosed([outer, failed](py::object) { settle(outer, [&]() -> py::object { raise(failed); }); });
        return outer;
    }
    gathered.attr("add_done_callback")(py::cpp_function([outer, whenClosed](py::object all) {
        whenClosed([outer, all](py::object closing) {
            settle(outer, [&]() -> py::object {
                py::object waited = all.attr("result")();  // raises the first failure or the cancellation
                if (!closing.is_none() && !closing.attr("cancelled")().cast<bool>() &&
                    !closing.attr("exception")().is_none())
                    raise(closing.attr("exception")());
                return waited;
            });
        });
    }));
    outer.attr("add_done_callback")(py::cpp_function([gathered](py::object self) {
        if (self.attr("cancelled")().cast<bool>()) gathered.attr("cancel")();
    }));
    return outer;
}

// getAsync of both sources: one getAsyncUrl per symbol, all on one fresh client.
inline py::object getAsync(py::object self, py::object stocks, py::object startDate, py::object endDate,
                           py::object removeAdjusted, py::object progress, const char *name,
                           std::function<py::object(py::object)> makeClient) {
    return operation(name, [=]() {
        self.attr("progressValue") = 0;
        self.attr("progress") = progress;
        py::object client = makeClient(self);
        self.attr("asyncClient") = client;
        py::list children;
        guarded([&] {
            for (py::handle stock : stocks)
                children.append(self.attr("getAsyncUrl")(py::make_tuple(stock, startDate, endDate, removeAdjusted)));
        }, [&](py::object error) {
            children = py::list();
            children.append(operation(name, [error]() -> py::object { raise(error); }));
        });
        return gatherThenClose(client, children);
    });
}

// Brings a loop that ended early (an abort, an escaped error) to rest: the requests
// still in flight are cancelled and allowed to finish their own clean-up, and the work
// that the cancellations start (closing the client) runs to its end.
inline void windDown(py::object loop) {
    py::object aio = asyncio();
    for (py::handle task : aio.attr("all_tasks")(loop)) task.attr("cancel")();
    for (int round = 0; round < 100; ++round) {
        py::list pending;
        for (py::handle task : aio.attr("all_tasks")(loop))
            if (!task.attr("done")().cast<bool>()) pending.append(task);
        if (pending.empty()) break;
        // A progress callback that still answers false stops these runs too; the next round goes on.
        guarded([&] { loop.attr("run_until_complete")(aio.attr("gather")(*pending, "return_exceptions"_a = true)); },
                [](py::object) {});
    }
    guarded([&] { loop.attr("run_until_complete")(loop.attr("shutdown_asyncgens")()); }, [](py::object) {});
    loop.attr("close")();
}

// get of both sources.
inline py::object get(py::object self, py::object stocks, py::object startDate, py::object endDate,
                      py::object removeAdjusted, py::object progress) {
    py::object loop = asyncio().attr("new_event_loop")();
    py::object answers;
    try {
        answers = loop.attr("run_until_complete")(
            self.attr("getAsync")(stocks, startDate, endDate, removeAdjusted, progress));
    } catch (...) {
        windDown(loop);
        throw;
    }
    windDown(loop);

    py::dict series;
    for (py::handle answer : answers) {
        if (answer.is_none()) continue;
        series[answer[py::int_(0)]] = answer[py::int_(1)];
    }
    py::object pandas = py::module_::import("pandas");
    py::object table;
    guarded([&] {
        py::object joined = pandas.attr("concat")(series, "axis"_a = 1, "join"_a = "outer", "sort"_a = true);
        joined = joined.attr("sort_index")();
        table = joined.attr("iloc")[py::slice(1, std::nullopt, std::nullopt)];
    }, [&](py::object) { table = pandas.attr("DataFrame")(); });
    return table;
}

// incProgress of both sources.
inline void incProgress(py::object self) {
    py::object progress = self.attr("progress");
    if (progress.is_none()) return;
    self.attr("progressValue") = py::object(self.attr("progressValue")) + py::int_(1);
    py::object goOn = progress(self.attr("progressValue"));
    if (!py::bool_(goOn)) asyncio().attr("get_running_loop")().attr("stop")();
}

// The key of a service travels in its request addresses, which the HTTP libraries log;
// this filter takes it out of every record of those loggers before any handler sees it.
inline void protectKeys(std::initializer_list<const char *> ownLoggers) {
    static py::object *keyFilter = nullptr;
    py::module_ logging = py::module_::import("logging");
    if (keyFilter == nullptr) {
        py::module_ re = py::module_::import("re");
        py::object pattern = re.attr("compile")(R"((api_token=)[^&\s'"<>]*)");
        py::dict attributes;
        attributes["__module__"] = "rawsource";
        attributes["__qualname__"] = "KeyFilter";
        py::object type = py::reinterpret_borrow<py::object>((PyObject *)&PyType_Type);
        py::object cls = type("KeyFilter", py::make_tuple(logging.attr("Filter")), attributes);
        velmora::method(cls, "filter", [pattern, logging](py::object self, py::object record) {
            auto redact = [&](py::object text) -> py::object {
                if (!py::isinstance<py::str>(text) || !text.contains("api_token=")) return py::none();
                return pattern.attr("sub")("\\1***", text);
            };
            py::object message = record.attr("msg");
            // The encoded header blocks of HTTP/2 hold the request address in a form no pattern can clean.
            if (py::str(record.attr("name")).attr("startswith")("hpack").cast<bool>() &&
                py::isinstance<py::str>(message) && message.attr("startswith")("Encoded header block").cast<bool>())
                return false;
            guarded([&] {
                py::object clean = redact(record.attr("getMessage")());
                if (!clean.is_none()) {
                    record.attr("msg") = clean;
                    record.attr("args") = py::tuple();
                }
                py::object info = record.attr("exc_info");
                if (py::bool_(info) && record.attr("exc_text").is_none()) {
                    py::object text = logging.attr("Formatter")().attr("formatException")(info);
                    py::object cleanText = redact(text);
                    if (!cleanText.is_none()) record.attr("exc_text") = cleanText;
                }
                py::object stack = record.attr("stack_info");
                py::object cleanStack = redact(stack);
                if (!cleanStack.is_none()) record.attr("stack_info") = cleanStack;
            }, [](py::object) {});
            return true;
        }, "record"_a);
        keyFilter = new py::object(cls());
    }
    py::module_::import("httpx");
    py::list names;
    for (const char *name : {"httpx", "httpcore", "httpcore.connection", "httpcore.connection_pool",
                             "httpcore.http11", "httpcore.http2", "httpcore.proxy", "httpcore.socks", "hpack",
                             "hpack.hpack", "hpack.table", "h2", "h2.connection", "asyncio"})
        names.append(name);
    for (const char *name : ownLoggers) names.append(name);
    for (py::handle name : names) {
        py::object logger = logging.attr("getLogger")(name);
        bool present = false;
        for (py::handle installed : logger.attr("filters"))
            if (installed.is(*keyFilter)) present = true;
        if (!present) logger.attr("addFilter")(*keyFilter);
    }
}

}  // namespace rawsource
}  // namespace velmora
