// The online update: the check for update information with its cache, the download and the hand-over.
#include "pyclass.hpp"

#include <cmath>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>

namespace {

constexpr const char *cacheFile = "data/cache/update.json";
constexpr const char *downloadFile = "data/cache/update.exe";
constexpr const char *leftoverFile = "data/cache/update.old";
constexpr const char *handOverFile = "data/cache/oldVersion.json";

// The maker signs the update information for the program; the service names both in the token.
constexpr const char *issuer = "Zeltra";
constexpr const char *audience = "Velmora Update";
// The cache file keeps a signed answer's token beside its claims, so that what is read back
// is trusted no more than what the service sent.
constexpr const char *tokenKey = "token";

py::module_ os() { return py::module_::import("os"); }
py::module_ json() { return py::module_::import("json"); }
py::object programVersion() { return py::module_::import("version").attr("version"); }
py::object now() { return py::module_::import("time").attr("time")(); }

// No real update information comes near this size; a larger file, a device or a pipe is not read.
constexpr long long cacheFileLimit = 1LL << 20;

// Opens a file of the download folder for writing, never through a symbolic link: whoever could
// place one there would otherwise have the program overwrite, or later start, a file of their
// choosing. A named pipe in its place fails at once instead of blocking the open.
py::object createFile(const char *name, const char *mode) {
    py::object flags = os().attr("O_WRONLY") | os().attr("O_CREAT") | os().attr("O_TRUNC") |
                       os().attr("O_NOFOLLOW") | os().attr("O_NONBLOCK");
    py::object descriptor = os().attr("open")(name, flags, 0666);
    try {
        return py::module_::import("builtins").attr("open")(descriptor, mode);
    } catch (...) {
        os().attr("close")(descriptor);
        throw;
    }
}

// ---------------------------------------------------------------------------------------
// Update check

bool isString(py::handle value) { return py::isinstance<py::str>(value); }

bool isNumber(py::handle value) {
    if (py::isinstance<py::bool_>(value)) return false;
    return py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value);
}

// A validity of NaN or an infinity is no length of time: taken, it would be cached and asked for again at
// every start. A whole number is finite however long.
bool isInterval(py::handle value) {
    return isNumber(value) && (PyLong_Check(value.ptr()) || std::isfinite(PyFloat_AsDouble(value.ptr())));
}

// The program's versions have fields of digits of fixed widths ("0.02.0013"), which compare as
// texts in the order of their numbers. A text of any other form compares in no meaningful order,
// and one of some hundred thousand characters would be shown to the user as the new version.
bool ofVersionForm(py::handle offered) {
    std::string own = programVersion().cast<std::string>();
    if (!isString(offered) || static_cast<std::size_t>(py::len(offered)) != own.size()) return false;
    for (std::size_t i = 0; i < own.size(); ++i) {
        Py_UCS4 given = PyUnicode_ReadChar(offered.ptr(), static_cast<Py_ssize_t>(i));
        bool digitDue = own[i] >= '0' && own[i] <= '9';
        if (digitDue ? !(given >= '0' && given <= '9') : given != static_cast<Py_UCS4>(own[i])) return false;
    }
    return true;
}

// An error answer or a half record would otherwise be cached, compared and offered for
// installation: only a record that names its version, its installer, the installer's
// digest and arguments and its validity is update information.
void requireUpdateRecord(py::handle record) {
    bool wellFormed = PyDict_Check(record.ptr());
    if (wellFormed) {
        py::dict fields = py::reinterpret_borrow<py::dict>(record);
        for (const char *key : {"version", "url", "hash"})
            wellFormed = wellFormed && fields.contains(key) && isString(fields[key]);
        wellFormed = wellFormed && ofVersionForm(fields["version"]);
        wellFormed = wellFormed && fields.contains("interval") && isInterval(fields["interval"]);
        wellFormed = wellFormed && fields.contains("args") && PyList_Check(fields["args"].ptr());
        if (wellFormed)
            for (py::handle argument : fields["args"]) wellFormed = wellFormed && isString(argument);
    }
    if (!wellFormed) velmora::raise(PyExc_ValueError, "not update information: " + velmora::reprOf(record));
}

// The service's address as the settings give it, without the blanks an edit may leave around it; an
// empty text when the program has none (it ships without one): then there is no service to ask.
py::str address(py::object config) {
    py::object url = config["updateInfo"]["url"];
    return isString(url) ? py::str(url.attr("strip")()) : py::str("");
}

bool hasAddress(py::object config) { return py::len(address(config)) > 0; }

bool signedAddress(py::object config) { return velmora::truthy(address(config).attr("endswith")(".jwt")); }

// No service asks to be left alone for more than a year; a longer interval is damage, and would
// keep old information fresh as surely as an infinite one.
constexpr long long longestInterval = 366LL * 24 * 3600;

// Cached information is fresh while its time of check lies no more than its interval back. A time
// that is no finite moment in the past (NaN, an infinity, a date in the future) would keep it
// fresh for ever, so it counts as no check at all.
bool stillFresh(py::object checked, py::object interval) {
    if (!isNumber(checked) || !isNumber(interval)) return false;
    py::object current = now();
    py::object isfinite = py::module_::import("math").attr("isfinite");
    bool finite = velmora::truthy(isfinite(checked)) && velmora::truthy(isfinite(interval));
    return finite && interval <= py::int_(longestInterval) && checked <= current && current - checked <= interval;
}

// The claims of a token that the program's key has signed for the program; the key is read
// from the main module every time, so that it is the one the running program holds.
py::object verifiedClaims(py::object token) {
    py::list algorithms, audiences;
    algorithms.append("ES256");
    audiences.append(audience);
    return py::module_::import("jwt").attr("decode")(token, py::module_::import("velmora").attr("publicKey"),
                                                       "algorithms"_a = algorithms, "issuer"_a = issuer,
                                                       "audience"_a = audiences);
}

// An installer still running at the last start may not be deletable; moved aside, it is
// deleted at the next start.
void clearDownload() {
    try {
        os().attr("remove")(leftoverFile);
    } catch (py::error_already_set &) {
    }
    try {
        os().attr("remove")(downloadFile);
    } catch (py::error_already_set &) {
        try {
            os().attr("rename")(downloadFile, leftoverFile);
        } catch (py::error_already_set &) {
        }
    }
}

// Takes the cached information when the file holds a usable record and answers whether the
// service must be asked all the same (the record is too old or carries no time). Whoever can
// write the file must not choose the installer: a token in it is verified again, and with a
// signed address only a record that comes from a verified token counts.
bool readCache(const py::module_ &m, py::object config) {
    try {
        py::object opened = velmora::openRegularFile(py::str(cacheFile), "r", cacheFileLimit, false);
        py::object record = velmora::within(opened, [](py::object file) { return json().attr("load")(file); });
        if (!PyDict_Check(record.ptr())) return true;
        py::object token = record.attr("get")(tokenKey);
        if (!token.is_none() || signedAddress(config)) {
            if (!isString(token)) return true;
            py::object checked = record.attr("get")("checked");
            record = py::dict(verifiedClaims(token));
            record["checked"] = checked;
        }
        requireUpdateRecord(record);
        py::object information = py::module_::import("addict").attr("Dict")(record);
        m.attr("update") = information;
        return !stillFresh(information["checked"], information["interval"]);
    } catch (py::error_already_set &) {
        return true;
    }
}

// The service has a few seconds for its whole answer when the user asks, whatever pace it sends at:
// a time-out per read alone let a service that sends a byte now and then hold the window for minutes.
// The check the program makes by itself, while the main window is built, has a fraction of a second:
// a service that is slow then is asked again at the next start, or when the user asks.
constexpr double answerSeconds = 5.0;
constexpr double startSeconds = 0.5;

// The user's check shows that it is working: its progress is told the tenths of a second waited so
// far, on a steady beat, and the user's Cancel there ends the wait at once. The check made by itself
// has no progress.
struct Watch {
    py::object progress;
    double began;
};

struct Cancelled {};

double monotonic() { return py::module_::import("time").attr("monotonic")().cast<double>(); }

class MeterBeat {
  public:
    MeterBeat(py::object loop, py::object step, const Watch &watch)
        : loop_(std::move(loop)), step_(std::move(step)), watch_(watch) {
        if (!watch_.progress.is_none()) schedule();
    }
    ~MeterBeat() {
        if (handle_) handle_.attr("cancel")();
    }
    MeterBeat(const MeterBeat &) = delete;
    MeterBeat &operator=(const MeterBeat &) = delete;
    bool cancelled() const { return cancelled_; }

  private:
    void schedule() { handle_ = loop_.attr("call_later")(0.1, py::cpp_function([this] { beat(); })); }
    void beat() {
        handle_ = py::object();
        py::int_ waited(static_cast<long long>((monotonic() - watch_.began) * 10));
        if (velmora::truthy(watch_.progress(waited))) return schedule();
        cancelled_ = true;
        step_.attr("cancel")();
    }

    py::object loop_, step_, handle_;
    const Watch &watch_;
    bool cancelled_ = false;
};

// Runs one step of the request on `loop` within what is left of the time the answer has.
py::object withinDeadline(py::object loop, py::object awaitable, double deadline, const Watch &watch) {
    py::module_ asyncio = py::module_::import("asyncio");
    double left = deadline - monotonic();
    py::object bounded = asyncio.attr("wait_for")(awaitable, left > 0 ? left : 0.0);
    py::object step = asyncio.attr("ensure_future")(bounded, "loop"_a = loop);
    MeterBeat beat(loop, step, watch);
    try {
        return loop.attr("run_until_complete")(step);
    } catch (py::error_already_set &) {
        if (beat.cancelled()) throw Cancelled{};
        throw;
    }
}

[[noreturn]] void tooLarge() {
    velmora::raise(PyExc_ValueError,
                   "the answer is larger than " + std::to_string(cacheFileLimit) + " bytes");
}

// An answer the cache could not hold is refused while it arrives, before it fills the memory.
py::object receiveBody(py::object loop, py::object answer, double deadline, const Watch &watch) {
    py::object declared = answer.attr("headers").attr("get")("Content-Length");
    if (!declared.is_none() && declared.attr("isdigit")().cast<bool>() &&
        py::int_(declared) > py::int_(cacheFileLimit))
        tooLarge();
    py::object chunks = answer.attr("aiter_bytes")(), next = velmora::builtins().attr("anext");
    py::list received;
    long long size = 0;
    while (true) {
        py::object chunk = withinDeadline(loop, next(chunks, py::none()), deadline, watch);
        if (chunk.is_none()) break;
        size += static_cast<long long>(py::len(chunk));
        if (size > cacheFileLimit) tooLarge();
        received.append(chunk);
    }
    return py::bytes("").attr("join")(received).attr("decode")(answer.attr("encoding"), "replace");
}

// An answer of an error status is no update information, whatever its body holds: a failing
// service or a proxy before it may well send a record, an old one or another service's, which
// would be cached and offered until the next check.
void requireSuccess(py::object answer) {
    if (velmora::truthy(answer.attr("is_success"))) return;
    py::object status = answer.attr("status_code");
    velmora::raise(PyExc_ValueError, py::str("the service answered with status {}").format(status));
}

// Closing what a request opened loses nothing whatever fails: the answer is complete or refused.
void endRequest(py::object loop, py::object client, py::object answer, double deadline) {
    Watch unwatched{py::none(), 0.0};
    try {
        if (!answer.is_none()) withinDeadline(loop, answer.attr("aclose")(), deadline + 1.0, unwatched);
        withinDeadline(loop, client.attr("aclose")(), deadline + 1.0, unwatched);
        loop.attr("run_until_complete")(loop.attr("shutdown_asyncgens")());
    } catch (py::error_already_set &) {
    }
    loop.attr("close")();
}

// The body of the service's answer as text, taken as a whole within `seconds`.
py::object answerText(py::object config, double seconds, const Watch &watch) {
    py::dict query;
    query["version"] = programVersion();
    query["platform"] = py::module_::import("sysconfig").attr("get_platform")();
    double deadline = watch.began + seconds;
    py::object loop = py::module_::import("asyncio").attr("new_event_loop")();
    py::object client = velmora::httpx().attr("AsyncClient")("timeout"_a = seconds);
    py::object answer = py::none(), text;
    try {
        py::object request =
            client.attr("build_request")("GET", address(config), "params"_a = query);
        answer = withinDeadline(loop, client.attr("send")(request, "stream"_a = true), deadline, watch);
        requireSuccess(answer);
        text = receiveBody(loop, answer, deadline, watch);
    } catch (...) {
        endRequest(loop, client, answer, deadline);
        throw;
    }
    endRequest(loop, client, answer, deadline);
    return text;
}

// Information whose cache file the next start would refuse as too large is refused now: kept, it
// would be asked for again at every start.
py::object cacheText(py::object information, py::object token) {
    py::object content = information.attr("to_dict")();
    if (!token.is_none()) content[tokenKey] = token;
    py::object text = json().attr("dumps")(content);
    if (py::len(text) > static_cast<std::size_t>(cacheFileLimit)) tooLarge();
    return text;
}

// Asks the service; `checkFailed` tells the caller whether the request failed (a Cancel is no failure).
void askService(const py::module_ &m, py::object config, double seconds, py::object progress) {
    try {
        // A body saved by an editor may begin with a byte-order mark, and a token end with a line end.
        py::object body = answerText(config, seconds, Watch{progress, monotonic()});
        body = body.attr("removeprefix")("\ufeff");
        py::object token = py::none(), record;
        if (signedAddress(config)) {
            token = body.attr("strip")();
            record = verifiedClaims(token);
        } else {
            record = json().attr("loads")(body);
        }
        requireUpdateRecord(record);
        py::object information = py::module_::import("addict").attr("Dict")(record);
        information["checked"] = now();
        py::object text = cacheText(information, token);
        m.attr("update") = information;
        velmora::within(createFile(cacheFile, "w"),
                        [&](py::object file) { return file.attr("write")(text); });
    } catch (Cancelled &) {
    } catch (...) {
        m.attr("checkFailed") = true;
        velmora::logFailure(m, "CheckForUpdate");
    }
}

// Without an address there is no service, and nothing that a file in the cache folder holds is
// offered: whoever could place one there would otherwise choose the installer. The check made by
// itself asks the service once a run at most: every rebuild of the window makes it again.
py::tuple checkForUpdate(const py::module_ &m, py::object config, py::object flush, py::object progress) {
    m.attr("checkFailed") = false;
    if (!hasAddress(config)) return py::make_tuple(false, py::none());
    bool onRequest = velmora::truthy(flush), due = onRequest;
    if (m.attr("update").is_none()) {
        clearDownload();
        due = readCache(m, config) || due;
    }
    if (!onRequest && velmora::truthy(m.attr("askedByItself"))) due = false;
    if (due) {
        if (!onRequest) m.attr("askedByItself") = true;
        askService(m, config, onRequest ? answerSeconds : startSeconds, progress);
    }
    py::object information = m.attr("update");
    if (information.is_none()) return py::make_tuple(false, py::none());
    py::object offered = information["version"];
    return py::make_tuple(offered > programVersion(), information);
}

// ---------------------------------------------------------------------------------------
// Download and installation

enum class Download { verified, refused, cancelled };

// Streams the installer into the download file, digesting every chunk as it is written, so
// that the installer is never held in memory as a whole.
Download receiveInstaller(const py::module_ &m, py::object provider, py::object information,
                          py::object answer) {
    py::object logger = m.attr("logger");
    py::object total = py::int_(answer.attr("headers")["Content-Length"]);
    py::object digest = py::module_::import("hashlib").attr("sha512")();
    Download outcome = Download::refused;
    velmora::within(provider.attr("start")(total), [&](py::object) {
        return velmora::within(createFile(downloadFile, "wb"), [&](py::object file) {
            py::object count = py::int_(0);
            for (py::handle chunk : answer.attr("iter_bytes")()) {
                digest.attr("update")(chunk);
                file.attr("write")(chunk);
                count = count + py::int_(py::len(chunk));
                if (!velmora::truthy(provider.attr("update")(count))) {
                    outcome = Download::cancelled;
                    return py::none();
                }
            }
            if (py::object(digest.attr("hexdigest")()).equal(information["hash"]))
                outcome = Download::verified;
            else
                logger.attr("error")("Wrong hash");
            return py::none();
        });
    });
    return outcome;
}

Download download(const py::module_ &m, py::object provider, py::object information) {
    py::object url = information["url"];
    Download outcome = Download::refused;
    try {
        velmora::within(py::module_::import("httpx").attr("stream")("GET", url), [&](py::object answer) {
            py::object status = answer.attr("status_code");
            if (status.equal(py::int_(200))) {
                outcome = receiveInstaller(m, provider, information, answer);
            } else {
                answer.attr("read")();
                py::str message = py::str("Download update from ") + py::str(url) + py::str(": ") +
                                  py::str(status) + py::str(" ") + py::str(answer.attr("text"));
                m.attr("logger").attr("error")(message);
            }
            return py::none();
        });
    } catch (...) {
        velmora::logFailure(m, "Download update file");
    }
    return outcome;
}

// The download as it lies on disk now, not as it was written: another program may have changed
// or replaced it since. Checked right before the start, and given the permission to run that a
// download is written without (a program of this platform).
void checkInstallerOnDisk(py::object information) {
    py::object flags = os().attr("O_RDONLY") | os().attr("O_NOFOLLOW") | os().attr("O_NONBLOCK");
    py::object descriptor = os().attr("open")(downloadFile, flags);
    velmora::within(py::module_::import("builtins").attr("open")(descriptor, "rb"), [&](py::object file) {
        py::object status = os().attr("fstat")(descriptor);
        if (!velmora::truthy(py::module_::import("stat").attr("S_ISREG")(status.attr("st_mode"))))
            velmora::raise(PyExc_OSError, "the installer is not a regular file");
        py::object digest = py::module_::import("hashlib").attr("file_digest")(file, "sha512");
        if (!py::object(digest.attr("hexdigest")()).equal(information["hash"]))
            velmora::raise(PyExc_OSError, "the installer has changed since its download");
        os().attr("fchmod")(descriptor, py::object(status.attr("st_mode")) | py::int_(0111));
    });
}

// Hands the process over to the installer, which learns from the record which version it
// replaces and where.
void handOver(const py::module_ &m, py::object information) {
    py::dict record;
    record["version"] = programVersion();
    record["installtionDir"] = os().attr("path").attr("abspath")(os().attr("getcwd")());
    velmora::within(createFile(handOverFile, "w"),
                    [&](py::object file) { return json().attr("dump")(record, file); });
    checkInstallerOnDisk(information);
    velmora::debug(m.attr("logger"), [] { return py::str("Executing Update"); });
    py::list arguments;
    arguments.append(downloadFile);
    for (py::handle argument : information["args"]) arguments.append(argument);
    os().attr("execv")(downloadFile, arguments);
}

py::object installUpdate(const py::module_ &m, py::object provider, py::object config,
                         py::object information) {
    velmora::debug(m.attr("logger"), [&] {
        return py::str("Downloading update ") + py::str(information["version"]) + py::str(" from ") +
               py::str(information["url"]);
    });
    Download outcome = download(m, provider, information);
    if (outcome == Download::cancelled) return py::bool_(false);
    const char *message = "Error downloading update.";
    if (outcome == Download::verified) {
        // The other tabs have saved the user's work by now; an installer that cannot start must
        // not end the program unseen, nor leave it looking as if nothing was tried.
        try {
            handOver(m, information);
            return py::none();
        } catch (...) {
            velmora::logFailure(m, "Start update installer");
            message = "The update installer could not be started.";
        }
    }
    try {
        os().attr("remove")(downloadFile);
    } catch (py::error_already_set &) {
    }
    velmora::showError(velmora::translate(message));
    return py::none();
}

}  // namespace

PYBIND11_MODULE(update, m) {
    m.attr("logger") = py::module_::import("logging").attr("getLogger")("update");
    m.attr("update") = py::none();
    m.attr("askedByItself") = false;
    m.attr("checkFailed") = false;
    // The user's check waits this long at most; its progress counts tenths of a second.
    m.attr("longestCheck") = answerSeconds;
    m.def("CheckForUpdate", [m](py::object config, py::object flush, py::object progress) {
        return checkForUpdate(m, config, flush, progress);
    }, "config"_a, "flush"_a = false, "progress"_a = py::none());
    // Whether the settings name a service to ask, which the program ships without.
    m.def("HasAddress", [](py::object config) { return hasAddress(config); }, "config"_a);
    m.def("InstallUpdate", [m](py::object provider, py::object config, py::object information) {
        return installUpdate(m, provider, config, information);
    }, "provider"_a, "config"_a, "update"_a);
}
