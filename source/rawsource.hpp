// What the two raw market-data sources share: the download driver, the awaitable operations it
// is made of, and the filter that keeps the API key out of the logs.
#pragma once

#include "pyclass.hpp"

#include <functional>
#include <optional>
#include <string>
#include <utility>

// getAsync, getAsyncUrl, getCurrenciesAsync and getCurrencyAsync are asynchronous operations:
// callers await them, gather them or hand them to asyncio.run, and a subclass may replace any
// of them with an `async def` of its own. C++ has no coroutine body to give them, so each one
// returns an Operation: an object with the coroutine protocol whose work starts only when the
// event loop first drives it, as a coroutine's body does. That work never waits itself. It
// starts the HTTP client's own request coroutines as tasks and answers with an asyncio future
// that a done-callback settles once the answer is in. So every request of a download is in
// flight at once on one client and one loop, results keep the order of the symbols, and a
// cancellation of an operation reaches its request through the future.

// Hidden like pybind11's own namespace, whose types these functions capture.
namespace velmora {
namespace __attribute__((visibility("hidden"))) rawsource {

using Work = std::function<py::object()>;
using Step = std::function<py::object(py::object)>;

inline py::module_ asyncio() { return py::module_::import("asyncio"); }

// ---- errors between C++ and the event loop ----

// Whatever `body` throws reaches `onError` as the Python exception object, so that it can be
// logged with its traceback or handed to a future.
template <typename Handler>
void guarded(const std::function<void()> &body, Handler &&onError) {
    py::object error;
    try {
        body();
        return;
    } catch (...) {
        error = velmora::currentException();
    }
    onError(error);
}

// The value of `work`, or what `failure` makes of the error `work` raised.
inline py::object orElse(const Work &work, const Step &failure) {
    py::object value, error;
    guarded([&] { value = work(); }, [&](py::object caught) { error = caught; });
    return error ? failure(error) : value;
}

inline bool isDone(py::handle future) { return future.attr("done")().cast<bool>(); }

// Settles `future` with what `produce` returns or raises. `produce` runs even when the future
// was cancelled meanwhile: a request cancelled by an abort is still logged and counted.
inline void settle(py::object future, const Work &produce) {
    py::object value, error;
    guarded([&] { value = produce(); }, [&](py::object caught) { error = caught; });
    if (isDone(future)) return;
    if (!error)
        future.attr("set_result")(value);
    else if (py::isinstance(error, asyncio().attr("CancelledError")))
        future.attr("cancel")();
    else
        future.attr("set_exception")(error);
}

// ---- the operations ----

// The coroutine protocol over a future that is made when the loop first drives the operation
// (send). From then on send and throw go to the future's own iterator, which hands the future
// to the driving task to wait on and raises StopIteration with its result. A throw or close
// cancels the future, so that the work behind it stops. asyncio takes such an object for a
// coroutine because it has send, throw, close and __await__.
inline py::object *operationType = nullptr;

inline void defineOperation(const py::module_ &m) {
    if (operationType != nullptr) return;
    py::object made = newClass(m, "Operation");
    auto cancelFuture = [](py::object self) {
        py::object future = self.attr("_future");
        if (!future.is_none() && !isDone(future)) future.attr("cancel")();
    };
    method(made, "__await__", [](py::object self) { return self; });
    method(made, "__iter__", [](py::object self) { return self; });
    method(made, "send", [](py::object self, py::object value) {
        if (self.attr("_iterator").is_none()) {
            py::object start = self.attr("_start");
            if (start.is_none()) throw std::runtime_error("cannot reuse already awaited coroutine");
            self.attr("_start") = py::none();
            py::object future = start();
            self.attr("_future") = future;
            self.attr("_iterator") = future.attr("__await__")();
        }
        return self.attr("_iterator").attr("send")(value);
    }, "value"_a);
    method(made, "__next__", [](py::object self) { return self.attr("send")(py::none()); });
    method(made, "throw", [cancelFuture](py::object self, py::args args) -> py::object {
        cancelFuture(self);
        if (self.attr("_iterator").is_none()) {  // thrown in before it started: it ends with the error
            self.attr("_start") = py::none();
            py::object error = args[0];
            if (py::isinstance<py::type>(error)) error = error();
            velmora::raise(error);
        }
        return self.attr("_iterator").attr("throw")(*args);
    });
    method(made, "close", [cancelFuture](py::object self) {
        self.attr("_start") = py::none();
        cancelFuture(self);
    });
    operationType = new py::object(made);  // lives as long as the process, like a class statement's class
}

// An operation whose result is that of the future `start` returns. An error that `start`
// raises is raised by the operation, as the body of a coroutine would raise it. The name
// shows in the repr of the task that runs it.
inline py::object operation(const char *name, Work start) {
    py::object made = (*operationType)();
    made.attr("__qualname__") = name;
    made.attr("__name__") = name;
    made.attr("_start") = py::cpp_function(std::move(start));
    made.attr("_future") = py::none();
    made.attr("_iterator") = py::none();
    return made;
}

// The future of an operation that has its result without waiting.
inline py::object finished(py::object value) {
    py::object future = asyncio().attr("get_running_loop")().attr("create_future")();
    future.attr("set_result")(value);
    return future;
}

// Sends the request coroutine that `request` makes as a task of its own and answers with a
// future settled with `answer(response)`, or with `failure(error)` when making the request,
// the request or `answer` fails (a cancellation of the request included). Cancelling the
// returned future cancels the request.
inline py::object afterRequest(const Work &request, Step answer, Step failure) {
    py::object loop = asyncio().attr("get_running_loop")();
    py::object result = loop.attr("create_future")();
    py::object task;
    guarded([&] { task = loop.attr("create_task")(request()); },
            [&](py::object error) { settle(result, [&] { return failure(error); }); });
    if (!task) return result;
    task.attr("add_done_callback")(py::cpp_function([result, answer, failure](py::object done) {
        settle(result, [&] { return orElse([&] { return answer(done.attr("result")()); }, failure); });
    }));
    result.attr("add_done_callback")(py::cpp_function([task](py::object self) {
        if (self.attr("cancelled")().cast<bool>()) task.attr("cancel")();
    }));
    return result;
}

// Runs the awaitables that `makeChildren` makes all at once and answers with a future settled,
// once `client` is closed, with their results in their order. The client is closed however the
// wait ends; the first error of a child (or of making them) is the future's error.
inline py::object gatherOnClient(py::object client, const std::function<py::list()> &makeChildren) {
    py::object loop = asyncio().attr("get_running_loop")();
    py::object gathered;
    guarded([&] { gathered = asyncio().attr("gather")(*makeChildren()); },
            [&](py::object error) {
                gathered = loop.attr("create_future")();
                gathered.attr("set_exception")(error);
            });
    py::object outer = loop.attr("create_future")();
    gathered.attr("add_done_callback")(py::cpp_function([outer, client](py::object all) {
        py::object closing = asyncio().attr("ensure_future")(client.attr("aclose")());
        closing.attr("add_done_callback")(py::cpp_function([outer, all](py::object closed) {
            settle(outer, [&] {
                py::object results = all.attr("result")();  // raises the first failure, or the cancellation
                closed.attr("result")();
                return results;
            });
        }));
    }));
    outer.attr("add_done_callback")(py::cpp_function([gathered](py::object self) {
        if (self.attr("cancelled")().cast<bool>()) gathered.attr("cancel")();
    }));
    return outer;
}

// ---- what both sources do alike ----

// The service's base address: the class attribute, unless the environment names another
// one (a test service, a proxy).
inline py::object serviceBase(py::object self, const char *variable) {
    py::object chosen = py::module_::import("os").attr("environ").attr("get")(variable);
    if (!chosen.is_none() && py::len(chosen) > 0) return chosen;
    return self.attr("baseUrl");
}

struct Parms {
    py::object stock, startDate, endDate, removeAdjusted;
};

// `stock, startDate, endDate, removeAdjusted = parms`, failing as that statement fails.
inline Parms unpack(py::handle parms) {
    py::tuple values = py::tuple(py::reinterpret_borrow<py::object>(parms));
    if (values.size() < 4)
        throw py::value_error("not enough values to unpack (expected 4, got " +
                              std::to_string(values.size()) + ")");
    if (values.size() > 4) throw py::value_error("too many values to unpack (expected 4)");
    return {values[0], values[1], values[2], values[3]};
}

// ---- why a request failed ----

// What the user is told of a failed request: the service could not be reached, it answered
// with an error, or its answer could not be read.
enum class Failure { unreachable, errorAnswer, unreadable };

inline Failure failureOf(py::handle error) {
    py::module_ httpx = py::module_::import("httpx");
    if (py::isinstance(error, httpx.attr("TransportError"))) return Failure::unreachable;
    if (py::isinstance(error, httpx.attr("HTTPStatusError"))) return Failure::errorAnswer;
    return Failure::unreadable;
}

// An answer with an error status that could not be used is the service's error, whatever part
// of it then failed to read; named by its status alone, since the address holds the key.
inline py::object statusError(py::object response) {
    py::object message =
        py::str("HTTP {} {}").format(response.attr("status_code"), response.attr("reason_phrase"));
    return py::module_::import("httpx").attr("HTTPStatusError")(
        message, "request"_a = response.attr("request"), "response"_a = response);
}

// What `read` makes of an answer; when that fails on an answer with an error status, the
// failure is the status.
inline py::object readAnswer(py::object response, const Work &read) {
    return orElse(read, [&](py::object error) -> py::object {
        if (!truthy(response.attr("is_error"))) velmora::raise(error);
        py::object failure = statusError(response);
        failure.attr("__cause__") = error;
        velmora::raise(failure);
    });
}

// The service's word, or its answer's, that it holds no prices for a symbol in (part of) the period
// asked for: no failure of the download, which the data provider tells apart from one.
inline py::object noPricesError(const char *text) {
    py::object error = py::module_::import("builtins").attr("LookupError")(text);
    error.attr("noPrices") = true;
    return error;
}

// What a source raises when an answer says that the service holds no prices for the symbol in
// the period asked for.
[[noreturn]] inline void raiseNoPrices() {
    velmora::raise(noPricesError("no prices in the period asked for"));
}

// The service's own word that it holds no prices for a symbol: the symbol is not found, or has
// no prices in the period. Everything else (no connection, another error status, an answer that
// cannot be read) says nothing about the symbol.
inline bool answeredNoPrices(py::handle error) {
    if (truthy(py::getattr(error, "noPrices", py::bool_(false)))) return true;
    if (failureOf(error) != Failure::errorAnswer) return false;
    py::object status = error.attr("response").attr("status_code");
    return status.equal(py::int_(404));
}

// What a symbol that failed yields: logged with the traceback, counted as finished, no result.
// A failure of the download rather than of the symbol is kept in `downloadFailures`, so that
// the symbol is not taken for one without prices.
inline Step symbolFailed(py::object logger, py::object self, py::object stock) {
    return [logger, self, stock](py::object error) -> py::object {
        logger.attr("exception")("Error getting data for %s", stock, "exc_info"_a = error);
        if (!answeredNoPrices(error)) self.attr("downloadFailures")[stock] = error;
        self.attr("incProgress")();
        return py::none();
    };
}

// True when the close exceeds the adjusted close on any row, NaN left out.
inline bool closeEverAboveAdjusted(py::object frame) {
    py::object ratio = frame["Close"] / frame["Adjusted_close"];
    return ratio.attr("max")() > py::float_(1.0);
}

// ---- the symbol search ----

// What a search shows can be added to the selection, which must save it: a symbol is a non-empty
// text of Unicode characters (a lone surrogate is valid JSON but no character), and a result without
// one is left out.
inline bool savableText(py::handle value) {
    if (!py::isinstance<py::str>(value) || py::len(value) == 0) return false;
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(value.ptr(), &size) != nullptr) return true;
    PyErr_Clear();
    return false;
}

// The name a search shows for a result: a name that is no text the table could show and the selection
// write back (an object, a list, a number, a lone surrogate) is no name, and the symbol stands for it;
// a name given as null stays null.
inline py::object shownName(py::handle name, py::object symbol) {
    return name.is_none() || savableText(name) ? py::reinterpret_borrow<py::object>(name) : symbol;
}

// Runs a symbol search: `search` sends the request, keeps the service's answer in the place it
// is given and returns the stock table. A failed search is logged and answers null, as callers
// of the search expect; why it failed stays on the source as `queryFailure` (none after a search
// that answered), for the tab that tells the user.
inline py::object searchOrNull(py::object logger, py::object self,
                               const std::function<py::object(py::object &)> &search) {
    py::object response;
    return orElse([&] {
        py::object found = search(response);
        self.attr("queryFailure") = py::none();
        return found;
    }, [&](py::object error) -> py::object {
        logger.attr("exception")("Querying for symbol", "exc_info"_a = error);
        bool answeredWithError = response && truthy(response.attr("is_error"));
        self.attr("queryFailure") = answeredWithError ? statusError(response) : error;
        return py::none();
    });
}

// ---- the download driver ----

// Brings the loop of a download to rest after its end. After an abort, cancelling the download
// reaches every request still in flight through the futures the operations wait on, and the
// loop runs on until each has wound down inside its HTTP library, been logged and counted, and
// the client is closed. A progress callback that keeps answering false stops these runs too,
// so they are repeated; the bound only guards against a task that never ends.
inline void runUntilComplete(py::object loop, py::object awaitable) {
    guarded([&] { loop.attr("run_until_complete")(awaitable); }, [](py::object) {});
}

inline void windDown(py::object loop, py::object download) {
    py::object aio = asyncio();
    if (download) download.attr("cancel")();
    for (int round = 0; round < 100; ++round) {
        py::list pending(aio.attr("all_tasks")(loop));
        if (pending.empty()) break;
        runUntilComplete(loop, aio.attr("gather")(*pending, "return_exceptions"_a = true));
    }
    runUntilComplete(loop, loop.attr("shutdown_asyncgens")());
    runUntilComplete(loop, loop.attr("shutdown_default_executor")());
    loop.attr("close")();
}

// A service may send a day twice, or stamp its days with a time of day, and the cache keeps one row
// per calendar day: each symbol's answer becomes whole days, the last row of a day standing for it
// (a day's close), before it joins the others. Raises when the answer's dates or prices cannot be read
// as such. Several rows that all fall on one day are no history of a period but dates in a unit the
// reader does not take (seconds read as nanoseconds of the first day of 1970): their one day would be
// the day each answer loses, and the symbol would seem to be one the service holds no prices for.
inline py::object wholeDays(py::object series) {
    py::object pandas = py::module_::import("pandas");
    py::object stamps = pandas.attr("DatetimeIndex")(series.attr("index"));
    if (!stamps.attr("tz").is_none()) stamps = stamps.attr("tz_localize")(py::none());
    py::object values = series.attr("to_numpy")("dtype"_a = "float64");
    py::object prices = pandas.attr("Series")(values, "index"_a = stamps);
    prices = prices[stamps.attr("notna")()].attr("sort_index")("kind"_a = "stable");
    size_t dated = py::len(prices);
    py::object days = prices.attr("index").attr("normalize")();
    prices.attr("index") = days;
    prices = prices[days.attr("duplicated")("keep"_a = "last").attr("__invert__")()];
    prices.attr("index").attr("name") = "Date";
    if (dated > 1 && py::len(prices) == 1) {
        py::object day = prices.attr("index")[py::int_(0)].attr("date")();
        velmora::raise(PyExc_ValueError,
                       translate("the answer's {} rows all fall on one day, {}").attr("format")(dated, day));
    }
    return prices;
}

// The per-symbol results as one price table: a column per symbol that delivered, in their
// order, a later series of the same symbol in the place of the earlier one, each answer's earliest
// date dropped: a symbol's stray early row, the one the join would begin with, costs no other symbol
// its first day. When nothing was delivered or the series do not join: an empty frame. An answer
// that cannot be made whole days is that symbol's failure alone. The days each answer lists, priced
// or not, are kept as `answeredDays`: after the join every symbol has empty rows on the days of
// the others, and a day listed without a price is one the service failed to price.
inline py::object priceTable(const py::module_ &m, py::object self, py::object results) {
    py::dict series, answeredDays;
    self.attr("answeredDays") = answeredDays;
    for (py::handle result : results) {
        if (result.is_none()) continue;
        py::object stock = result[py::int_(0)], answer = result[py::int_(1)];
        auto laterDays = [&] {
            series[stock] = wholeDays(answer).attr("iloc")[py::slice(1, std::nullopt, std::nullopt)];
            answeredDays[stock] = series[stock].attr("index");
        };
        guarded(laterDays, [&](py::object error) {
            m.attr("logger").attr("exception")("Error getting data for %s", stock, "exc_info"_a = error);
            self.attr("downloadFailures")[stock] = error;
        });
    }
    py::object pandas = py::module_::import("pandas");
    py::object table;
    guarded([&] { table = pandas.attr("concat")(series, "axis"_a = 1, "join"_a = "outer", "sort"_a = true); },
            [&](py::object) { table = pandas.attr("DataFrame")(); });
    return table;
}

// The user's Cancel in the progress meter is read when the meter is redrawn, which an answer
// brings; while the service is slow to answer, a provider's progress (its `update`, which draws
// the meter) is also told on a steady beat, so that a Cancel is honoured at once and not only with
// the next answer. Any other callback hears of each answer only, as it may count them.
class ProgressBeat {
  public:
    ProgressBeat(py::object self, py::object loop, py::object progress)
        : self_(std::move(self)), loop_(std::move(loop)), progress_(std::move(progress)) {
        py::object owner = py::getattr(progress_, "__self__", py::none());
        if (!owner.is_none() && py::hasattr(owner, "lastProgressUpdate")) schedule();
    }
    ~ProgressBeat() { stop(); }
    ProgressBeat(const ProgressBeat &) = delete;
    ProgressBeat &operator=(const ProgressBeat &) = delete;

    // Before the loop winds down: a beat then would stop the loop's last runs.
    void stop() {
        if (!handle_) return;
        guarded([&] { handle_.attr("cancel")(); }, [](py::object) {});
        handle_ = py::object();
    }

  private:
    void schedule() {
        handle_ = loop_.attr("call_later")(0.1, py::cpp_function([this] { beat(); }));
    }
    void beat() {
        bool goOn = true;
        guarded([&] { goOn = truthy(progress_(py::getattr(self_, "progressValue", py::int_(0)))); },
                [](py::object) {});
        if (goOn)
            schedule();
        else
            loop_.attr("stop")();
    }

    py::object self_, loop_, progress_, handle_;
};

// Runs the operation that `start` makes on an event loop of its own to its end, with the progress
// beat. An abort (the loop stopped by incProgress or the beat) or an error out of the operation
// reaches the caller as the loop's error. The client's closing always takes the loop past the last
// answer, so a stop asked for by the last symbol still ends the run before the operation has its
// result.
inline py::object runToEnd(py::object self, py::object progress, const Work &start) {
    py::object loop = asyncio().attr("new_event_loop")();
    py::object operation, results;
    ProgressBeat beat(self, loop, progress);
    try {
        operation = asyncio().attr("ensure_future")(start(), "loop"_a = loop);
        results = loop.attr("run_until_complete")(operation);
    } catch (...) {
        beat.stop();
        windDown(loop, operation);
        throw;
    }
    beat.stop();
    windDown(loop, operation);
    return results;
}

inline py::object get(const py::module_ &m, py::object self, py::object stocks, py::object startDate,
                      py::object endDate, py::object removeAdjusted, py::object progress) {
    return priceTable(m, self, runToEnd(self, progress, [&] {
        return self.attr("getAsync")(stocks, startDate, endDate, removeAdjusted, progress);
    }));
}

// The asynchronous client of one download (and of one batch of currency lookups), with the
// source's standing options.
using OpenClient = py::object (*)(const py::module_ &m, py::object self);

// getAsync: one getAsyncUrl per symbol, all on a fresh client.
inline py::object getAsync(const py::module_ &m, py::object self, OpenClient openClient, py::object stocks,
                           py::object startDate, py::object endDate, py::object removeAdjusted,
                           py::object progress) {
    std::string name = py::str(py::type::of(self).attr("__qualname__")).cast<std::string>() + ".getAsync";
    return operation(name.c_str(), [=]() {
        self.attr("progressValue") = 0;
        self.attr("progress") = progress;
        self.attr("downloadFailures") = py::dict();
        py::object client = openClient(m, self);
        self.attr("asyncClient") = client;
        return gatherOnClient(client, [&] {
            py::list requests;
            for (py::handle stock : stocks)
                requests.append(
                    self.attr("getAsyncUrl")(py::make_tuple(stock, startDate, endDate, removeAdjusted)));
            return requests;
        });
    });
}

inline void incProgress(py::object self) {
    py::object progress = self.attr("progress");
    if (progress.is_none()) return;
    self.attr("progressValue") = py::object(self.attr("progressValue")) + py::int_(1);
    py::object goOn = progress(self.attr("progressValue"));
    if (!truthy(goOn)) asyncio().attr("get_running_loop")().attr("stop")();
}

// Binds the driver, the same in both sources, onto a source class: the two classes share no
// base class, so each gets it as methods of its own.
inline void bindDriver(py::object cls, const py::module_ &m, OpenClient openClient) {
    defineOperation(m);
    method(cls, "get",
           [m](py::object self, py::object stocks, py::object startDate, py::object endDate,
               py::object removeAdjusted, py::object progress) {
               return get(m, self, stocks, startDate, endDate, removeAdjusted, progress);
           },
           "stocks"_a, "startDate"_a = py::none(), "endDate"_a = py::none(), "removeAdjusted"_a = false,
           "progress"_a = py::none());
    method(cls, "getAsync",
           [m, openClient](py::object self, py::object stocks, py::object startDate, py::object endDate,
                           py::object removeAdjusted, py::object progress) {
               return getAsync(m, self, openClient, stocks, startDate, endDate, removeAdjusted, progress);
           },
           "stocks"_a, "startDate"_a = py::none(), "endDate"_a = py::none(), "removeAdjusted"_a = false,
           "progress"_a = py::none());
    method(cls, "incProgress", &incProgress);
}

// ---- the key in the logs ----

// The key of a service travels in its request addresses, which the HTTP libraries log (and
// so do the sources' own debug messages); this filter takes it out of every record of those
// loggers before any handler sees it.
inline void protectKeys(const py::module_ &m) {
    static py::object *keyFilter = nullptr;
    py::module_ logging = py::module_::import("logging");
    if (keyFilter == nullptr) {
        py::object pattern = py::module_::import("re").attr("compile")(R"((api_token=)[^&\s'"<>]*)");
        py::object cls = newClass(m, "KeyFilter", py::make_tuple(logging.attr("Filter")));
        method(cls, "filter", [pattern, logging](py::object self, py::object record) {
            auto redact = [&](py::object text) -> py::object {
                if (!py::isinstance<py::str>(text) || !text.contains("api_token=")) return py::none();
                return pattern.attr("sub")("\\1***", text);
            };
            py::object message = record.attr("msg");
            // The encoded header blocks of HTTP/2 hold the request address in a form no pattern
            // can clean.
            if (py::str(record.attr("name")).attr("startswith")("hpack").cast<bool>() &&
                py::isinstance<py::str>(message) &&
                message.attr("startswith")("Encoded header block").cast<bool>())
                return false;
            guarded([&] {
                py::object clean = redact(record.attr("getMessage")());
                if (!clean.is_none()) {
                    record.attr("msg") = clean;
                    record.attr("args") = py::tuple();
                }
                py::object info = record.attr("exc_info");
                if (truthy(info) && record.attr("exc_text").is_none()) {
                    py::object cleanText = redact(logging.attr("Formatter")().attr("formatException")(info));
                    if (!cleanText.is_none()) record.attr("exc_text") = cleanText;
                }
                py::object cleanStack = redact(record.attr("stack_info"));
                if (!cleanStack.is_none()) record.attr("stack_info") = cleanStack;
            }, [](py::object) {});
            return true;
        }, "record"_a);
        keyFilter = new py::object(cls());
    }
    // A filter acts only on the records of the logger it is added to, not on those that reach
    // it from a child logger, so every logger that may see a request address gets it.
    py::list names;
    for (const char *name : {"httpx", "httpcore", "httpcore.connection", "httpcore.connection_pool",
                             "httpcore.http11", "httpcore.http2", "httpcore.proxy", "httpcore.socks", "hpack",
                             "hpack.hpack", "hpack.table", "h2", "h2.connection", "asyncio"})
        names.append(name);
    names.append(m.attr("logger").attr("name"));
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
