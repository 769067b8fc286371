"""The update check against a loopback stub of the update service (plain and signed), its cache and
clean-up, and the download of the installer with its digest check and the hand-over to it."""
import base64
import hashlib
import hmac
import json
import logging
import os
import sysconfig
import time

import PySimpleGUI as sg
import jwt
import pytest
from addict import Dict

import progress
import provider
import update
import velmora
from provider_support import Recorder
from update_stub import SigningKey, UpdateStub

# The progress meter reads the UTC clock the way the toolkit's own meter does.
pytestmark = pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")

VERSION = "0.02.0013"
NEWER = "0.02.0014"
OLDER = "0.02.0012"
# Versions that are not of the program's own form, none of which is offered.
OTHER_FORMS = {"huge": "9" * 150_000, "word": "latest", "empty": "", "wider": "0.02.00140",
               "narrower": "0.2.14", "other-digits": "\u0660.\u0660\u0662.\u0660\u0660\u0661\u0664"}

# The program's first key, whose private half was published and so is compromised; its public half,
# and a token that the private half signed (offering an installer from elsewhere), are public too.
EARLIER_KEY = """-----BEGIN PUBLIC KEY-----
MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEvX0WnO+CzrxScTkJfnwdbmDH2KD1
m0RXhCGu7J798z6afveugDjCP6reNsCxN+oc2uNLXwTl5+jbX3KBZ/vDdg==
-----END PUBLIC KEY-----
"""
EARLIER_TOKEN = (
    "eyJhbGciOiJFUzI1NiIsInR5cCI6IkpXVCJ9.eyJ2ZXJzaW9uIjoiMC4wOS4wMDAwIiwiaW50ZXJ2YWwiOjM2MDAsInVybCI6Imh"
    "0dHA6Ly8xMjcuMC4wLjE6MS9ldmlsIiwiaGFzaCI6IjAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDA"
    "wMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDA"
    "wMDAwMDAwMDAwIiwiYXJncyI6W10sImlzcyI6IlplbHRyYSIsImF1ZCI6IlZlbG1vcmEgVXBkYXRlIn0.NKPOixDfKpQhV6NIU6-"
    "rlEQn4uGNTD_o2y7TqGHi9GFt9zTc1IrSPq-aZuvvsEaGuDindqRReb1FJo4IWzcAUg")


@pytest.fixture
def service():
    stub = UpdateStub()
    stub.installer = os.urandom(200_000)
    yield stub
    stub.close()


@pytest.fixture
def cache(tmp_path, monkeypatch):
    """A fresh run in an empty working directory: no update information held yet."""
    monkeypatch.chdir(tmp_path)
    folder = tmp_path / "data" / "cache"
    folder.mkdir(parents=True)
    newRun(monkeypatch)
    return folder


@pytest.fixture(scope="module")
def testKey():
    return SigningKey()


@pytest.fixture
def trusted(testKey, monkeypatch):
    """The test key's public half in place of the program's, for this test only."""
    monkeypatch.setattr(velmora, "publicKey", testKey.publicPem)
    return testKey


def keyAsSecret(key, claims):
    """A token whose header names HMAC, keyed with the public key's text, which anyone can read."""
    def encode(data):
        return base64.urlsafe_b64encode(data).rstrip(b"=")

    signed = encode(b'{"alg":"HS256","typ":"JWT"}') + b"." + encode(
        json.dumps({**claims, "iss": "Zeltra", "aud": "Velmora Update"}).encode())
    signature = hmac.new(key.publicPem.encode(), signed, hashlib.sha256).digest()
    return (signed + b"." + encode(signature)).decode()


def configFor(address):
    return Dict({"updateInfo": {"url": address}})


def failures(caplog):
    return [each for each in caplog.records if each.name == "update" and each.levelno >= logging.ERROR]


def newRun(monkeypatch):
    monkeypatch.setattr(update, "update", None)
    monkeypatch.setattr(update, "askedByItself", False)


class TestCheck:
    def test_plain_answer_is_cached_and_asked_again_only_on_request(self, service, cache, monkeypatch):
        service.info = (200, service.record(NEWER, channel="stable"))
        config = configFor(service.url + "/info")
        before = time.time()
        needed, information = update.CheckForUpdate(config)
        assert needed is True and information.version == NEWER and information.channel == "stable"
        assert service.requests == [("/info", [("version", VERSION), ("platform", sysconfig.get_platform())])]
        assert before <= information.checked <= time.time()
        text = (cache / "update.json").read_text()
        assert "\n" not in text and json.loads(text) == information.to_dict()

        # Later calls of the run take the same record, whatever the interval says.
        with monkeypatch.context() as later:
            later.setattr(time, "time", lambda: before + 10**7)
            assert update.CheckForUpdate(config) == (True, information)
            assert update.CheckForUpdate(config)[1] is information
        assert len(service.requests) == 1 and (cache / "update.json").read_text() == text

        service.info = (200, service.record(OLDER))
        needed, newer = update.CheckForUpdate(config, flush=True)
        assert needed is False and newer.version == OLDER and len(service.requests) == 2
        assert json.loads((cache / "update.json").read_text())["version"] == OLDER

    @pytest.mark.parametrize("offered, needed", [(NEWER, True), (VERSION, False), (OLDER, False),
                                                 ("0.03.0000", True), ("1.00.0000", True)])
    def test_only_a_greater_version_is_offered(self, service, cache, offered, needed):
        service.info = (200, service.record(offered))
        assert update.CheckForUpdate(configFor(service.url + "/info"))[0] is needed

    def test_cache_is_fresh_for_its_interval(self, service, cache, monkeypatch):
        service.info = (200, service.record(NEWER))
        config = configFor(service.url + "/info")
        cached = service.record("0.02.0020", checked=1_000_000.5, interval=3600)
        (cache / "update.json").write_text(json.dumps(cached))
        monkeypatch.setattr(time, "time", lambda: 1_000_000.5 + 3600)
        assert update.CheckForUpdate(config) == (True, cached) and service.requests == []

        newRun(monkeypatch)
        monkeypatch.setattr(time, "time", lambda: 1_000_000.5 + 3601)
        assert update.CheckForUpdate(config)[1].version == NEWER and len(service.requests) == 1

    @pytest.mark.parametrize("checked", ["no-interval", None, float("nan"), float("inf"), 1e300, "future",
                                         "endless", "decade"])
    def test_cache_without_a_finite_past_check_is_due(self, service, cache, checked):
        service.info = (200, service.record(NEWER))
        cached = service.record("0.02.0020", checked=time.time() + 3600 if checked == "future" else checked)
        if checked is None:
            del cached["checked"]
        elif checked == "no-interval":
            cached["checked"] = time.time()
            del cached["interval"]
        elif checked in ("endless", "decade"):
            cached["checked"] = time.time()
            cached["interval"] = float("inf") if checked == "endless" else 10 * 365 * 86400
        (cache / "update.json").write_text(json.dumps(cached))
        assert update.CheckForUpdate(configFor(service.url + "/info"))[1].version == NEWER
        assert len(service.requests) == 1

    @pytest.mark.parametrize("version", OTHER_FORMS.values(), ids=OTHER_FORMS.keys())
    def test_cache_whose_version_is_of_another_form_is_asked_again(self, service, cache, version):
        service.info = (200, service.record(NEWER))
        (cache / "update.json").write_text(json.dumps(service.record(version, checked=time.time())))
        assert update.CheckForUpdate(configFor(service.url + "/info"))[1].version == NEWER
        assert len(service.requests) == 1

    @pytest.mark.parametrize("kind", ["pipe", "device", "link", "huge"])
    def test_cache_that_is_no_regular_file_or_too_large_is_not_read(self, service, cache, kind):
        service.info = (200, service.record(NEWER))
        stored = cache / "update.json"
        if kind == "pipe":
            os.mkfifo(stored)
        elif kind in ("device", "link"):
            elsewhere = cache / "elsewhere.json"
            elsewhere.write_text(json.dumps(service.record("0.02.0020", checked=time.time())))
            stored.symlink_to("/dev/zero" if kind == "device" else elsewhere)
        else:
            stored.write_text(json.dumps(service.record("0.02.0020", checked=time.time(), pad="x" * 2**20)))
        assert update.CheckForUpdate(configFor(service.url + "/info"))[1].version == NEWER
        assert len(service.requests) == 1
        # Nothing is written into a pipe or through a link; a regular file is replaced.
        assert stored.is_fifo() if kind == "pipe" else stored.is_symlink() if kind != "huge" else (
            json.loads(stored.read_text())["version"] == NEWER)

    def test_without_an_address_no_service_is_asked(self, service, cache, caplog):
        # Nor is a record that the cache folder holds offered.
        stored = cache / "update.json"
        stored.write_text(json.dumps(service.record(NEWER, checked=time.time())))
        for config in (configFor(""), configFor(" "), configFor("\t\n"), Dict()):
            assert update.CheckForUpdate(config) == (False, None)
            assert update.CheckForUpdate(config, flush=True) == (False, None)
        assert failures(caplog) == [] and list(cache.iterdir()) == [stored]

    def test_leftovers_of_a_download_are_cleared_once_per_run(self, service, cache, monkeypatch):
        service.info = (200, service.record(VERSION))
        config = configFor(service.url + "/info")
        (cache / "update.exe").write_bytes(b"installer")
        (cache / "update.old").write_bytes(b"older installer")
        remove = os.remove

        def locked(path):
            if str(path).endswith("update.exe"):
                raise PermissionError(path)
            remove(path)

        monkeypatch.setattr(os, "remove", locked)
        update.CheckForUpdate(config)
        assert sorted(path.name for path in cache.iterdir()) == ["update.json", "update.old"]
        assert (cache / "update.old").read_bytes() == b"installer"

        # Once information is held, nothing is cleared any more in this run.
        (cache / "update.exe").write_bytes(b"new download")
        update.CheckForUpdate(config, flush=True)
        assert (cache / "update.exe").exists()

        monkeypatch.setattr(os, "remove", remove)
        newRun(monkeypatch)
        update.CheckForUpdate(config)
        assert sorted(path.name for path in cache.iterdir()) == ["update.json"]

    def test_unreachable_service_gives_no_information_until_it_answers(self, service, cache, monkeypatch,
                                                                      caplog):
        config = configFor("http://127.0.0.1:1/info")
        assert update.CheckForUpdate(config) == (False, None)
        assert [record.getMessage() for record in failures(caplog)] == ["CheckForUpdate"]
        assert failures(caplog)[0].exc_info is not None

        # The next call starts over: clean-up, cache, service.
        (cache / "update.exe").write_bytes(b"left")
        (cache / "update.json").write_text(json.dumps(service.record(NEWER, checked=time.time())))
        needed, information = update.CheckForUpdate(config)
        assert needed is True and information.version == NEWER and not (cache / "update.exe").exists()
        caplog.clear()

        # Asked on request while unreachable: the record held stays, compared again.
        assert update.CheckForUpdate(config, flush=True) == (True, information)
        assert update.CheckForUpdate(config, flush=True)[1] is information
        assert len(failures(caplog)) == 2

    @pytest.mark.parametrize("status, body", [
        (500, {"error": "internal"}),
        (200, {"version": None, "url": "x", "hash": "y", "args": [], "interval": 1}),
        (200, {"version": "0.09.0000", "interval": 3600}),
        (200, {"version": "0.09.0000", "url": "u", "hash": "h", "args": "/S", "interval": 3600}),
        *[(200, {"version": "0.09.0000", "url": "u", "hash": "h", "args": [], "interval": interval})
          for interval in (float("nan"), float("inf"), float("-inf"))],
        (200, ["0.09.0000"]),
        (200, "0.09.0000 is out"),
        *[(200, {"version": offered, "url": "u", "hash": "h", "args": [], "interval": 1})
          for offered in OTHER_FORMS.values()],
    ], ids=["error", "version-not-text", "no-installer", "args-not-list", "interval-nan", "interval-inf",
            "interval-minus-inf", "list", "not-json",
            *OTHER_FORMS.keys()])
    def test_malformed_answer_keeps_the_earlier_record(self, service, cache, caplog, status, body):
        service.info = (200, service.record(OLDER))
        config = configFor(service.url + "/info")
        needed, earlier = update.CheckForUpdate(config)
        cached = (cache / "update.json").read_text()

        service.info = (status, body)
        assert update.CheckForUpdate(config, flush=True) == (False, earlier)
        assert update.update is earlier and earlier.version == OLDER
        assert (cache / "update.json").read_text() == cached
        assert [record.getMessage() for record in failures(caplog)] == ["CheckForUpdate"]

    def test_a_service_that_sends_slowly_is_given_up_within_seconds(self, service, cache, caplog):
        # Status line, headers and record a byte every half second: well over a minute in all.
        service.info = (200, service.record(NEWER))
        service.infoPause = 0.5
        started = time.monotonic()
        assert update.CheckForUpdate(configFor(service.url + "/info")) == (False, None)
        assert time.monotonic() - started < 15
        assert [record.getMessage() for record in failures(caplog)] == ["CheckForUpdate"]
        assert not (cache / "update.json").exists()

    def test_the_check_made_by_itself_gives_up_soon_and_asks_once_a_run(self, service, cache, caplog):
        # The whole answer, a byte at a time, takes some seconds: more than the check at the start
        # waits, less than the user's check does.
        service.info = (200, service.record(NEWER))
        service.infoPause = 2.5 / 400
        config = configFor(service.url + "/info")
        assert update.CheckForUpdate(config) == (False, None) and update.checkFailed is True
        assert [record.getMessage() for record in failures(caplog)] == ["CheckForUpdate"]
        # Every rebuild of the window checks again, without asking the service again.
        assert update.CheckForUpdate(config) == (False, None) and len(service.requests) == 1
        needed, information = update.CheckForUpdate(config, flush=True)
        assert needed is True and information.version == NEWER and update.checkFailed is False
        assert len(service.requests) == 2

    def test_the_users_check_tells_its_progress_and_a_cancel_ends_it(self, service, cache, caplog):
        service.info = (200, service.record(OLDER))
        config = configFor(service.url + "/info")
        earlier = update.CheckForUpdate(config)[1]
        service.info = (200, service.record(NEWER))
        service.infoPause = 1.0  # a byte a second: the check waits as long as it is let
        told = []

        def progress(tenths):
            told.append(tenths)
            return len(told) < 4

        assert update.CheckForUpdate(config, flush=True, progress=progress) == (False, earlier)
        assert len(told) == 4 and told == sorted(told) and told[-1] < 10 * update.longestCheck
        assert update.checkFailed is False and failures(caplog) == []
        assert json.loads((cache / "update.json").read_text())["version"] == OLDER

    @pytest.mark.parametrize("kind", ["declared", "undeclared", "escaped"])
    def test_an_answer_too_large_for_the_cache_is_refused_and_not_cached(self, service, cache, monkeypatch,
                                                                         caplog, kind):
        service.info = (200, service.record(OLDER))
        config = configFor(service.url + "/info")
        earlier = update.CheckForUpdate(config)[1]
        cached = (cache / "update.json").read_text()
        # Escaped as the cache writes it, a quarter of the size grows past the limit.
        pad = "\u00e9" * 2**18 if kind == "escaped" else "x" * 20 * 2**20
        service.info = (200, service.record(NEWER, pad=pad))
        service.infoLength = kind != "undeclared"
        assert update.CheckForUpdate(config, flush=True) == (False, earlier)
        assert (cache / "update.json").read_text() == cached
        assert [record.getMessage() for record in failures(caplog)] == ["CheckForUpdate"]
        # The next start takes the cache as it was, without asking.
        newRun(monkeypatch)
        assert update.CheckForUpdate(config)[1].version == OLDER and len(service.requests) == 2

    @pytest.mark.parametrize("status", [500, 404, 302])
    @pytest.mark.parametrize("signed", [False, True], ids=["plain", "signed"])
    def test_an_error_status_is_a_failed_check_whatever_its_body(self, service, cache, trusted, caplog, status,
                                                                 signed):
        def answer(version):
            record = service.record(version)
            return (status, trusted.sign(record) if signed else record)

        config = configFor(service.url + ("/info.jwt" if signed else "/info"))
        service.info = answer(NEWER)
        assert update.CheckForUpdate(config) == (False, None) and update.checkFailed is True
        assert not (cache / "update.json").exists()

        service.info = (200, answer(OLDER)[1])
        earlier = update.CheckForUpdate(config, flush=True)[1]
        cached = (cache / "update.json").read_text()
        service.info = answer(NEWER)
        assert update.CheckForUpdate(config, flush=True) == (False, earlier) and update.checkFailed is True
        assert (cache / "update.json").read_text() == cached and earlier.version == OLDER
        assert [record.getMessage() for record in failures(caplog)] == ["CheckForUpdate"] * 2

    def test_malformed_first_answer_gives_no_information(self, service, cache):
        service.info = (404, {"detail": "Not Found"})
        assert update.CheckForUpdate(configFor(service.url + "/info")) == (False, None)
        assert not (cache / "update.json").exists()

    def test_unwritable_cache_keeps_the_answer_for_the_run(self, service, cache, caplog):
        service.info = (200, service.record(NEWER))
        cache.rmdir()
        needed, information = update.CheckForUpdate(configFor(service.url + "/info"))
        assert needed is True and information.version == NEWER
        assert [record.getMessage() for record in failures(caplog)] == ["CheckForUpdate"]


@pytest.mark.parametrize("form", ["token and line end", "token and CRLF", "plain with byte-order mark",
                                  "signed with byte-order mark"])
def test_answers_as_an_editor_saves_them_are_read(service, cache, trusted, form):
    """A line end after a token, or a byte-order mark before an answer, is no part of it."""
    claims = service.record(NEWER)
    if form == "plain with byte-order mark":
        body, address = "\ufeff" + json.dumps(claims), "/info"
    else:
        ending = {"token and line end": "\n", "token and CRLF": "\r\n"}.get(form, "")
        body = ("\ufeff" if form.endswith("mark") else "") + trusted.sign(claims) + ending
        address = "/info.jwt"
    service.info = (200, body)
    needed, information = update.CheckForUpdate(configFor(f"  {service.url}{address} "))
    assert needed is True and information.version == NEWER and update.checkFailed is False
    assert service.requests[0][0] == address


class TestSignedCheck:
    def test_token_signed_with_the_installed_key_is_accepted(self, service, cache, trusted, monkeypatch):
        claims = service.record(NEWER)
        service.info = (200, trusted.sign(claims, audience=["Other", "Velmora Update"]))
        config = configFor(service.url + "/info.jwt")
        needed, information = update.CheckForUpdate(config)
        assert needed is True
        assert information.to_dict() == {**claims, "iss": "Zeltra", "aud": ["Other", "Velmora Update"],
                                         "checked": information.checked}
        assert service.requests[0][0] == "/info.jwt"

        # Read back in the next run, the record is what the token says, not what the file says.
        stored = json.loads((cache / "update.json").read_text())
        stored.update(url="http://127.0.0.1:1/other", hash="0" * 128)
        (cache / "update.json").write_text(json.dumps(stored))
        newRun(monkeypatch)
        needed, again = update.CheckForUpdate(config)
        assert needed is True and again == information and len(service.requests) == 1

    def test_token_of_the_earlier_compromised_key_is_refused(self, service, cache, caplog):
        claims = jwt.decode(EARLIER_TOKEN, EARLIER_KEY, algorithms=["ES256"], audience="Velmora Update")
        assert claims["version"] > VERSION
        service.info = (200, EARLIER_TOKEN)
        assert update.CheckForUpdate(configFor(service.url + "/info.jwt")) == (False, None)
        assert [record.getMessage() for record in failures(caplog)] == ["CheckForUpdate"]
        assert not (cache / "update.json").exists()

    @pytest.mark.parametrize("forge", [
        lambda key, claims: SigningKey().sign(claims),
        lambda key, claims: key.sign(claims, audience="Velmora"),
        lambda key, claims: key.sign(claims, audience=None),
        lambda key, claims: key.sign(claims, issuer="Somebody"),
        lambda key, claims: key.sign({**claims, "exp": int(time.time()) - 60}),
        lambda key, claims: keyAsSecret(key, claims),
        lambda key, claims: key.sign(claims).rsplit(".", 1)[0] + ".",
        lambda key, claims: json.dumps(claims),
    ], ids=["other-key", "wrong-audience", "no-audience", "wrong-issuer", "expired", "key-as-secret",
            "unsigned", "plain-json"])
    def test_forged_answer_keeps_the_earlier_record(self, service, cache, trusted, caplog, forge):
        config = configFor(service.url + "/info.jwt")
        service.info = (200, trusted.sign(service.record(OLDER)))
        needed, earlier = update.CheckForUpdate(config)
        assert needed is False and earlier.version == OLDER

        service.info = (200, forge(trusted, service.record("0.09.0000", url="http://127.0.0.1:1/evil")))
        assert update.CheckForUpdate(config, flush=True) == (False, earlier)
        assert json.loads((cache / "update.json").read_text())["version"] == OLDER
        assert [record.getMessage() for record in failures(caplog)] == ["CheckForUpdate"]

    def test_token_on_a_plain_address_is_not_json(self, service, cache, trusted):
        service.info = (200, trusted.sign(service.record(NEWER)))
        assert update.CheckForUpdate(configFor(service.url + "/info")) == (False, None)

    @pytest.mark.parametrize("tamper", ["plain-record", "foreign-token", "broken-token"])
    def test_cache_not_signed_with_the_installed_key_is_not_trusted(self, service, cache, trusted,
                                                                    monkeypatch, tamper):
        config = configFor(service.url + "/info.jwt")
        service.info = (200, trusted.sign(service.record(OLDER)))
        forged = service.record("0.09.0000", url="http://127.0.0.1:1/evil", checked=time.time())
        if tamper == "foreign-token":
            forged["token"] = SigningKey().sign(forged)
        elif tamper == "broken-token":
            forged["token"] = trusted.sign(forged)[:-4] + "AAAA"
        (cache / "update.json").write_text(json.dumps(forged))
        needed, information = update.CheckForUpdate(config)
        assert needed is False and information.version == OLDER and len(service.requests) == 1

        # Without a service to ask, the forged file gives no information at all.
        newRun(monkeypatch)
        (cache / "update.json").write_text(json.dumps(forged))
        assert update.CheckForUpdate(configFor("http://127.0.0.1:1/info.jwt")) == (False, None)


# --- download and installation --------------------------------------------------------------


class Downloader(provider.Provider):
    """A provider whose progress reports are recorded; answers false from the report `cancelAt` on."""

    working = "Downloading"

    def __init__(self, config, cancelAt=None):
        super().__init__(config)
        self.reports, self.cancelAt, self.meterTitles = [], cancelAt, []

    def update(self, curVal=None, maxValue=None, addValue=None):
        self.reports.append((curVal, self.maxValue))
        if self.cancelAt is not None and len(self.reports) > self.cancelAt:
            meter = progress.QuickMeter.active_meters.get("OK for 1 meter")
            meter.window["Cancel"].click()
        answer = super().update(curVal, maxValue, addValue)
        meter = progress.QuickMeter.active_meters.get("OK for 1 meter")
        if meter is not None:
            self.meterTitles.append(meter.window.TKroot.title())
        return answer


@pytest.fixture
def mainWindow(monkeypatch):
    window = sg.Window("Velmora", [[sg.Text("main")]], location=(100, 100), finalize=True)
    monkeypatch.setattr(provider.ProviderManager, "MainWindow", window, raising=False)
    yield window
    sg.OneLineProgressMeterCancel()
    window.close()


@pytest.fixture
def installing(service, cache, mainWindow, monkeypatch):
    """The stub's installer offered; the process replacement and the error popup recorded."""
    service.blocks, service.pause = 20, 0.02
    monkeypatch.setattr(os, "execv", Recorder())
    monkeypatch.setattr(sg, "Popup", Recorder())
    config = Dict({"progress": {"progressPeriod": 0}})
    return config, Downloader(config)


def popups():
    return [call[0] for call in sg.Popup.calls]


class TestInstall:
    def test_verified_installer_replaces_the_program(self, service, installing, cache, caplog):
        config, downloader = installing
        information = Dict(service.record(NEWER, args=[]))
        caplog.set_level(logging.DEBUG, logger="update")
        assert update.InstallUpdate(downloader, config, information) is None

        assert os.execv.calls == [(("data/cache/update.exe", ["data/cache/update.exe"]), {})]
        assert (cache / "update.exe").read_bytes() == service.installer
        assert os.access(cache / "update.exe", os.X_OK)
        assert (cache / "oldVersion.json").read_text() == json.dumps(
            {"version": VERSION, "installtionDir": os.getcwd()})
        # Progress: the total from the answer's length, then the running count up to it.
        counts = [count for count, total in downloader.reports]
        assert {total for count, total in downloader.reports} == {len(service.installer)}
        assert counts[0] == 0 and counts[-1] == len(service.installer) and len(counts) > 3
        assert counts == sorted(counts)
        assert set(downloader.meterTitles) == {"Downloading"}
        assert popups() == [] and not progress.QuickMeter.active_meters
        assert "Wrong hash" not in caplog.messages

    @pytest.mark.parametrize("digest", ["wrong", "upper"])
    def test_wrong_digest_is_refused(self, service, installing, cache, caplog, digest):
        config, downloader = installing
        value = service.installerHash.upper() if digest == "upper" else "0" * 128
        assert update.InstallUpdate(downloader, config, Dict(service.record(NEWER, hash=value))) is None
        assert os.execv.calls == [] and not (cache / "oldVersion.json").exists()
        assert not (cache / "update.exe").exists()
        assert [record.getMessage() for record in failures(caplog)] == ["Wrong hash"]
        assert popups() == [("Error downloading update.",)]

    @pytest.mark.parametrize("status", [206, 302, 404])
    def test_other_status_is_refused(self, service, installing, cache, caplog, status):
        config, downloader = installing
        service.installerStatus, service.installer = status, b"not here"
        information = Dict(service.record(NEWER))
        update.InstallUpdate(downloader, config, information)
        assert [record.getMessage() for record in failures(caplog)] == [
            f"Download update from {information.url}: {status} not here"]
        assert os.execv.calls == [] and not (cache / "update.exe").exists()
        assert popups() == [("Error downloading update.",)] and downloader.reports == []

    def test_download_without_length_fails(self, service, installing, cache, caplog):
        config, downloader = installing
        service.chunked = True
        update.InstallUpdate(downloader, config, Dict(service.record(NEWER)))
        assert [record.getMessage() for record in failures(caplog)] == ["Download update file"]
        assert failures(caplog)[0].exc_info is not None
        assert os.execv.calls == [] and popups() == [("Error downloading update.",)]

    def test_unreachable_download_fails(self, service, installing, cache, caplog):
        config, downloader = installing
        update.InstallUpdate(downloader, config, Dict(service.record(NEWER, url="http://127.0.0.1:1/x")))
        assert [record.getMessage() for record in failures(caplog)] == ["Download update file"]
        assert popups() == [("Error downloading update.",)]

    def test_cancel_in_the_progress_window_stops_the_download(self, service, installing, cache, caplog,
                                                            monkeypatch):
        config, _ = installing
        downloader = Downloader(config, cancelAt=2)
        assert update.InstallUpdate(downloader, config, Dict(service.record(NEWER))) is False
        assert len(downloader.reports) == 3 and not progress.QuickMeter.active_meters
        partial = (cache / "update.exe").stat().st_size
        assert 0 < partial < len(service.installer)
        assert os.execv.calls == [] and popups() == [] and failures(caplog) == []

        # The next run's first check takes the partial download away.
        newRun(monkeypatch)
        service.info = (200, service.record(NEWER))
        update.CheckForUpdate(configFor(service.url + "/info"))
        assert not (cache / "update.exe").exists()

    @pytest.mark.parametrize("change", ["changed", "linked"])
    def test_installer_changed_on_disk_after_its_download_is_not_started(self, service, installing, cache,
                                                                         tmp_path, monkeypatch, change):
        config, downloader = installing
        dump = json.dump

        def changeInstaller(record, file):
            installer = cache / "update.exe"
            installer.unlink()
            if change == "changed":
                installer.write_bytes(b"another program")
            else:
                (tmp_path / "copy").write_bytes(service.installer)
                installer.symlink_to(tmp_path / "copy")
            dump(record, file)

        monkeypatch.setattr(json, "dump", changeInstaller)
        assert update.InstallUpdate(downloader, config, Dict(service.record(NEWER))) is None
        assert os.execv.calls == [] and popups() == [("The update installer could not be started.",)]
        assert not (cache / "update.exe").exists() and (tmp_path / "copy").exists() == (change == "linked")

    def test_files_of_the_download_folder_are_not_written_through_links(self, service, installing, cache,
                                                                       tmp_path, caplog):
        config, downloader = installing
        victim = tmp_path / "victim"
        victim.write_text("kept")
        service.info = (200, service.record(NEWER))
        (cache / "update.json").symlink_to(victim)
        assert update.CheckForUpdate(configFor(service.url + "/info"))[1].version == NEWER
        (cache / "update.exe").symlink_to(victim)
        update.InstallUpdate(downloader, config, Dict(service.record(NEWER)))
        (cache / "oldVersion.json").symlink_to(victim)
        update.InstallUpdate(downloader, config, Dict(service.record(NEWER)))
        assert victim.read_text() == "kept" and os.execv.calls == []
        assert [record.getMessage() for record in failures(caplog)] == [
            "CheckForUpdate", "Download update file", "Start update installer"]
        assert popups() == [("Error downloading update.",), ("The update installer could not be started.",)]

    def test_installer_that_cannot_start_is_reported(self, service, installing, cache, caplog, monkeypatch):
        config, downloader = installing

        def refuse(path, arguments):
            raise OSError(8, "Exec format error")

        monkeypatch.setattr(os, "execv", refuse)
        assert update.InstallUpdate(downloader, config, Dict(service.record(NEWER))) is None
        assert len(failures(caplog)) == 1 and failures(caplog)[0].exc_info is not None
        assert popups() == [("The update installer could not be started.",)]
        assert not (cache / "update.exe").exists()
