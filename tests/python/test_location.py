"""Location against a GeoClue2 mock speaking the real D-Bus protocol on the
private system bus, and geocoding against a loopback Nominatim server."""

import http.server
import json
import os
import socket
import threading
import time
import urllib.parse
import uuid
from pathlib import Path

import pytest

from _quendal import _system
from system_support import MockService, bus_available, error, result, snapshot

GEOCLUE = "org.freedesktop.GeoClue2"
MANAGER = "/org/freedesktop/GeoClue2/Manager"
MOCK = "org.freedesktop.DBus.Mock."
TEMPLATE = str(Path(__file__).with_name("geoclue_template.py"))
UNKNOWN_ALTITUDE = -1.7976931348623157e308
OPTIONS = {"accuracy": 50, "max_age": 60, "distance_filter": 0, "capacity": 8}

needs_bus = pytest.mark.skipif(not bus_available(), reason="needs the private D-Bus bus of run-tests")


def start(operation, payload=None):
    return _system.start(operation, json.dumps(payload or {}))


def wait(handle, until=lambda s: s["done"], seconds=30, consume=False):
    """Polls until the snapshot satisfies until; bounded so that a hang fails the test."""
    deadline = time.monotonic() + seconds
    while True:
        state = snapshot(handle, 0.05, consume)
        if until(state) or time.monotonic() > deadline:
            return state


class GeoClue(MockService):
    def __init__(self, **parameters):
        super().__init__(TEMPLATE, GEOCLUE, parameters)

    def clients(self):
        out = self.call(MANAGER, MOCK + "GetClients")
        # "([(objectpath '/…/Client/1', 'id', true, uint32 8, uint32 0)],)"
        rows = []
        for part in out.split("(objectpath ")[1:]:
            fields = [f.strip(" '") for f in part.split(")")[0].split(",")]
            rows.append({"path": fields[0], "desktop_id": fields[1], "active": fields[2] == "true",
                         "level": int(fields[3].split()[-1]), "distance": int(fields[4].split()[-1])})
        return rows

    def active_clients(self):
        return [c for c in self.clients() if c["active"]]

    def wait_for(self, predicate, seconds=10):
        deadline = time.monotonic() + seconds
        while not predicate() and time.monotonic() < deadline:
            # The request's callbacks run while the main thread sits in poll.
            time.sleep(0.02)
        return predicate()

    def emit(self, latitude=52.52, longitude=13.405, accuracy=12.5, altitude=UNKNOWN_ALTITUDE, speed=-1.0,
             heading=-1.0, timestamp=None):
        stamp = time.time() if timestamp is None else timestamp
        seconds, micros = int(stamp), int(round((stamp - int(stamp)) * 1e6))
        values = (f"{{'Latitude': <{float(latitude)!r}>, 'Longitude': <{float(longitude)!r}>, "
                  f"'Accuracy': <{float(accuracy)!r}>, 'Altitude': <{float(altitude)!r}>, "
                  f"'Speed': <{float(speed)!r}>, 'Heading': <{float(heading)!r}>, "
                  f"'Timestamp': <(uint64 {seconds}, uint64 {micros})>}}")
        told = self.call(MANAGER, MOCK + "EmitLocation", values)
        return int(told.strip("()\n,").split()[-1])


def pump_until(handle, predicate, seconds=30):
    """Lets callbacks run (poll pumps the main context) until predicate holds."""
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        snapshot(handle, 0.02, False)
    return predicate()


@pytest.fixture
def main_loop(testing_dir):
    """Runs the default main context like an application's loop, for callbacks
    that must run while a poll would not wait (a sample is already buffered)."""
    import _quendal_testhost

    def run_until(predicate, seconds=10):
        deadline = time.monotonic() + seconds
        while not predicate() and time.monotonic() < deadline:
            _quendal_testhost.run_main_loop(0.02)
        return predicate()

    return run_until


@pytest.fixture
def geoclue():
    services = []

    def make(**parameters):
        service = GeoClue(**parameters)
        services.append(service)
        return service

    yield make
    for service in services:
        service.stop()


@pytest.fixture
def bundle(tmp_path, monkeypatch):
    """A host bundle with a desktop id of its own: GeoClue's answer is remembered
    per desktop id for the life of the process."""

    def make(usage="Shows where you are."):
        folder = tmp_path / f"bundle-{uuid.uuid4().hex[:8]}"
        folder.mkdir()
        info = {"CFBundleIdentifier": f"org.quendal.test{uuid.uuid4().hex[:12]}"}
        if usage is not None:
            info["NSLocationUsageDescription"] = usage
        (folder / "Info.json").write_text(json.dumps(info))
        monkeypatch.setenv("QUENDAL_BUNDLE", str(folder))
        return info["CFBundleIdentifier"]

    return make


@needs_bus
def test_messages_and_error_kinds(bundle, geoclue, nominatim):
    assert error("location.track") == {"kind": "value", "message": "Unknown location operation."}
    assert error("location.geocode", {"address": ""}) == {
        "kind": "value", "message": "A nonempty address or valid coordinates are required."}
    assert error("location.current", {}) == {"kind": "value", "message": "Invalid location sampling options."}

    bundle(usage=None)
    service = geoclue(AvailableAccuracyLevel=0)
    assert error("location.watch", OPTIONS) == {"kind": "permission", "message": "Location Services are disabled."}
    assert error("location.request_permission") == {
        "kind": "runtime",
        "message": "The host app must provide NSLocationUsageDescription. On macOS, use the quendal-py launcher.",
    }
    bundle(usage="")
    assert error("location.request_permission")["kind"] == "runtime"

    bundle()
    service.call(MANAGER, MOCK + "SetAvailableAccuracyLevel", "uint32 8")
    service.call(MANAGER, MOCK + "SetAuthorization", "denied")
    assert wait(start("location.request_permission"))["result"] == "denied"
    assert error("location.current", OPTIONS) == {
        "kind": "permission", "message": "Location access was denied or restricted."}

    nominatim.answers["/reverse"] = (503, {"error": "busy"})
    state = wait(start("location.reverse_geocode", {"latitude": 1, "longitude": 2}))
    assert state["error"] == {
        "kind": "os", "message": "The geocoding service answered HTTP 503 (Service Unavailable): busy."}


class TestValidation:
    @pytest.mark.parametrize("change", [
        {"capacity": 0}, {"capacity": 4097}, {"accuracy": 0.09}, {"accuracy": 10000.5}, {"max_age": -1},
        {"max_age": 86401}, {"distance_filter": 100001}, {"accuracy": "50"}, {"capacity": None}, {"max_age": [1]},
    ])
    def test_out_of_bounds_or_wrong_type(self, change):
        assert error("location.watch", {**OPTIONS, **change})["message"] == "Invalid location sampling options."

    @pytest.mark.parametrize("missing", ["accuracy", "max_age", "distance_filter", "capacity"])
    def test_each_option_is_required(self, missing):
        payload = {k: v for k, v in OPTIONS.items() if k != missing}
        assert error("location.current", payload)["message"] == "Invalid location sampling options."

    def test_inclusive_bounds_pass_validation(self, monkeypatch):
        # With no bus the next check fails, which shows that validation passed.
        monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quendal-test-bus")
        for payload in ({"accuracy": 0.1, "max_age": 0, "distance_filter": 0, "capacity": 1},
                        {"accuracy": 10000, "max_age": 86400, "distance_filter": 100000, "capacity": 4096},
                        {"accuracy": True, "max_age": False, "distance_filter": 0, "capacity": 1.9}):
            assert error("location.current", payload)["message"] == "Location Services are disabled."

    def test_non_finite_numbers_are_not_json(self):
        with pytest.raises(ValueError, match="The operation payload must be a JSON object."):
            _system.start("location.current", json.dumps({**OPTIONS, "accuracy": float("nan")}))


@needs_bus
class TestStatus:
    def test_no_service(self, bundle):
        bundle()
        assert result("location.status") == {"permission": "not_determined", "enabled": False, "precise": False}

    @pytest.mark.parametrize("level, enabled, precise", [(8, True, True), (4, True, False), (0, False, False)])
    def test_available_accuracy_level(self, bundle, geoclue, level, enabled, precise):
        bundle()
        geoclue(AvailableAccuracyLevel=level)
        assert result("location.status") == {"permission": "not_determined", "enabled": enabled, "precise": precise}

    def test_disabled_service_refuses_positions(self, bundle, geoclue):
        bundle()
        service = geoclue(AvailableAccuracyLevel=0)
        assert error("location.current", OPTIONS) == {
            "kind": "permission", "message": "Location Services are disabled."}
        assert service.clients() == []


@needs_bus
class TestAuthorization:
    def test_granted(self, bundle, geoclue):
        desktop_id = bundle()
        service = geoclue()
        handle = start("location.request_permission")
        assert snapshot(handle)["done"] is False  # the answer comes from GeoClue, later
        state = wait(handle)
        assert (state["result"], state["error"], state["capacity"]) == ("authorized", None, 1)
        assert result("location.status")["permission"] == "authorized"
        # Asked only for the answer: the client is stopped and deleted again.
        assert service.wait_for(lambda: service.clients() == [])
        # Another desktop id has not been asked yet.
        bundle()
        assert result("location.status")["permission"] == "not_determined"
        _system.close(handle)
        assert desktop_id

    def test_denied(self, bundle, geoclue):
        bundle()
        geoclue(Authorization="denied")
        handle = start("location.request_permission")
        assert wait(handle)["result"] == "denied"
        assert result("location.status")["permission"] == "denied"
        # Known to be denied: refused at once, without asking again.
        assert error("location.current", OPTIONS) == {
            "kind": "permission", "message": "Location access was denied or restricted."}
        assert error("location.watch", OPTIONS)["message"] == "Location access was denied or restricted."

    def test_denied_while_asking_for_positions(self, bundle, geoclue):
        bundle()
        geoclue(Authorization="denied")
        handle = start("location.watch", OPTIONS)
        state = wait(handle)
        assert state["error"] == {"kind": "permission", "message": "Location access was denied or restricted."}

    def test_pending_then_granted(self, bundle, geoclue):
        bundle()
        service = geoclue(Authorization="pending")
        handle = start("location.request_permission")
        assert pump_until(handle, lambda: len(service.clients()) == 1)
        state = wait(handle, seconds=0.3)
        assert state["done"] is False
        assert result("location.status")["permission"] == "not_determined"
        assert service.call(MANAGER, MOCK + "Authorize", "true").strip() == "(1,)"
        assert wait(handle)["result"] == "authorized"

    def test_pending_then_denied_for_a_position(self, bundle, geoclue):
        bundle()
        service = geoclue(Authorization="pending")
        handle = start("location.current", OPTIONS)
        assert pump_until(handle, lambda: len(service.clients()) == 1)
        service.call(MANAGER, MOCK + "Authorize", "false")
        assert wait(handle)["error"]["kind"] == "permission"

    def test_no_service_fails_in_bounded_time(self, bundle):
        bundle()
        handle = start("location.request_permission")
        state = wait(handle)
        assert state["error"]["kind"] == "os"
        assert state["error"]["message"].startswith("The location service (GeoClue) is not running")

    def test_silent_service_fails_in_bounded_time(self, bundle, geoclue):
        bundle()
        service = geoclue()
        service.freeze()
        assert result("location.status")["enabled"] is False
        handle = start("location.request_permission")
        state = wait(handle)
        assert state["error"] == {"kind": "os", "message": "The location service (GeoClue) did not answer in time."}


@needs_bus
class TestPositions:
    def authorized(self, bundle, geoclue, **parameters):
        desktop_id = bundle()
        return desktop_id, geoclue(**parameters)

    def test_current_finishes_with_the_first_fix_and_stops_its_client(self, bundle, geoclue):
        desktop_id, service = self.authorized(bundle, geoclue)
        handle = start("location.current", {**OPTIONS, "accuracy": 50})
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        client = service.active_clients()[0]
        assert (client["desktop_id"], client["level"], client["distance"]) == (desktop_id, 8, 0)
        stamp = time.time()
        assert service.emit(52.52, 13.405, accuracy=12.5, altitude=34.25, speed=1.5, heading=90.0,
                            timestamp=stamp) == 1
        state = wait(handle)
        assert state["error"] is None and state["sample"] is None
        assert state["result"] == {
            "latitude": 52.52, "longitude": 13.405, "altitude": 34.25, "horizontal_accuracy": 12.5,
            "vertical_accuracy": 12.5, "speed": 1.5, "course": 90.0,
            "timestamp": pytest.approx(stamp, abs=1e-5),
        }
        assert service.wait_for(lambda: service.clients() == [])
        # Already authorized for this desktop id: the next request asks GeoClue directly.
        handle = start("location.current", OPTIONS)
        state = wait(handle)  # GeoClue sends the position it has at once
        assert state["result"]["latitude"] == 52.52

    def test_services_before_create_client_share_one_client(self, bundle, geoclue):
        _, service = self.authorized(bundle, geoclue, CreateClient=False)
        handle = start("location.current", OPTIONS)
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        service.emit(latitude=3.5)
        assert wait(handle)["result"]["latitude"] == 3.5
        # GetClient's client belongs to the connection: stopped, not deleted.
        assert service.wait_for(lambda: len(service.clients()) == 1 and service.active_clients() == [])

    def test_unknown_values_are_null(self, bundle, geoclue):
        _, service = self.authorized(bundle, geoclue)
        handle = start("location.current", OPTIONS)
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        service.emit(accuracy=30.0, altitude=UNKNOWN_ALTITUDE, speed=-1.0, heading=-1.0)
        sample = wait(handle)["result"]
        assert sample["horizontal_accuracy"] == 30.0
        assert (sample["altitude"], sample["vertical_accuracy"], sample["speed"], sample["course"]) == (
            None, None, None, None)

    def test_invalid_and_old_fixes_are_skipped(self, bundle, geoclue):
        _, service = self.authorized(bundle, geoclue)
        handle = start("location.watch", {**OPTIONS, "max_age": 30})
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        service.emit(latitude=1.0, accuracy=-1.0)
        service.emit(latitude=2.0, timestamp=time.time() - 120)
        service.emit(latitude=3.0)
        state = wait(handle, lambda s: s["buffered"] > 0)
        assert state["sample"]["latitude"] == 3.0
        assert (state["buffered"], state["dropped"], state["done"]) == (1, 0, False)

    def test_max_age_zero_only_takes_fixes_from_the_future(self, bundle, geoclue):
        _, service = self.authorized(bundle, geoclue)
        handle = start("location.watch", {**OPTIONS, "max_age": 0})
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        service.emit(latitude=1.0, timestamp=time.time() - 1)
        service.emit(latitude=2.0, timestamp=time.time() + 3600)
        state = wait(handle, lambda s: s["buffered"] > 0)
        assert state["sample"]["latitude"] == 2.0 and state["dropped"] == 0

    def test_watch_with_capacity_one_keeps_the_newest(self, bundle, geoclue, main_loop):
        _, service = self.authorized(bundle, geoclue)
        handle = start("location.watch", {**OPTIONS, "capacity": 1})
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        service.emit(latitude=10.0)
        service.emit(latitude=11.0)
        assert main_loop(lambda: snapshot(handle, 0, False)["dropped"] == 1)
        state = snapshot(handle)
        assert (state["sample"]["latitude"], state["dropped"], state["buffered"], state["capacity"]) == (
            11.0, 1, 0, 1)
        assert state["done"] is False

    def test_distance_filter_is_applied_by_the_service(self, bundle, geoclue, main_loop):
        _, service = self.authorized(bundle, geoclue)
        handle = start("location.watch", {**OPTIONS, "accuracy": 5000, "distance_filter": 999.5})
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        client = service.active_clients()[0]
        assert (client["level"], client["distance"]) == (4, 1000)
        assert service.emit(latitude=48.0) == 1
        assert service.emit(latitude=48.0001) == 0  # about 11 m further
        assert service.emit(latitude=48.1) == 1
        assert main_loop(lambda: snapshot(handle, 0, False)["buffered"] == 2)
        assert snapshot(handle)["sample"]["latitude"] == 48.0
        assert snapshot(handle)["sample"]["latitude"] == 48.1

    def test_unreadable_position_does_not_end_a_watch(self, bundle, geoclue):
        _, service = self.authorized(bundle, geoclue)
        handle = start("location.watch", OPTIONS)
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        assert service.call(MANAGER, MOCK + "EmitMissingLocation").strip() == "(1,)"
        service.emit(latitude=7.0)
        state = wait(handle, lambda s: s["buffered"] > 0 or s["done"])
        assert state["error"] is None and state["sample"]["latitude"] == 7.0

    def test_service_stopping_the_client_ends_a_watch(self, bundle, geoclue):
        _, service = self.authorized(bundle, geoclue)
        handle = start("location.watch", OPTIONS)
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        assert service.call(MANAGER, MOCK + "StopClients").strip() == "(1,)"
        state = wait(handle)
        assert state["error"] == {"kind": "permission", "message": "GeoClue stopped locating for this application."}
        assert service.wait_for(lambda: service.clients() == [])

    def test_watch_from_a_worker_while_the_application_runs(self, bundle, geoclue, testing_dir):
        import _quendal_testhost as host

        _, service = self.authorized(bundle, geoclue)
        outcome = {}

        def worker():
            try:
                deadline = time.monotonic() + 10
                while not host.application_is_running() and time.monotonic() < deadline:
                    time.sleep(0.005)
                handle = start("location.watch", OPTIONS)
                while not service.active_clients() and time.monotonic() < deadline:
                    time.sleep(0.02)
                service.emit(latitude=-12.5)
                outcome["state"] = wait(handle, lambda s: s["buffered"] > 0 or s["done"])
                _system.close(handle)
            finally:
                host.quit_main_loop()

        thread = threading.Thread(target=worker)
        thread.start()
        # The main thread only runs the loop; the delegate callbacks arrive there.
        host.run_main_loop(20.0)
        thread.join()
        assert outcome["state"]["sample"]["latitude"] == -12.5
        assert service.wait_for(lambda: service.clients() == [])

    def test_closing_a_watch_stops_its_client(self, bundle, geoclue):
        _, service = self.authorized(bundle, geoclue)
        handle = start("location.watch", OPTIONS)
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        _system.close(handle)
        assert service.wait_for(lambda: service.clients() == [])
        service.emit(latitude=5.0)
        state = snapshot(handle, 0.1)
        assert (state["closed"], state["sample"], state["buffered"], state["error"]) == (True, None, 0, None)

    def test_service_leaving_ends_a_watch(self, bundle, geoclue, main_loop):
        _, service = self.authorized(bundle, geoclue)
        handle = start("location.watch", OPTIONS)
        assert pump_until(handle, lambda: len(service.active_clients()) == 1)
        service.emit(latitude=5.0)
        assert wait(handle, lambda s: s["buffered"] == 1)["buffered"] == 1
        service.stop()
        assert main_loop(lambda: snapshot(handle, 0, False)["done"])
        state = snapshot(handle)
        assert state["error"] == {"kind": "os", "message": "The location service (GeoClue) stopped running."}
        # What arrived before the failure is still there.
        assert state["sample"]["latitude"] == 5.0


class Nominatim(http.server.ThreadingHTTPServer):
    """Serves canned Nominatim answers and records what it was asked."""

    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), NominatimHandler)
        self.answers = {}      # path -> (status, body)
        self.requests = []     # (path, query dict, headers)
        self.hold = None       # an Event that holds every answer back until set
        self.client_left = threading.Event()
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server_address[1]}"


class NominatimHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        parsed = urllib.parse.urlsplit(self.path)
        self.server.requests.append((parsed.path, urllib.parse.parse_qs(parsed.query), dict(self.headers)))
        if self.server.hold is not None:
            # Watch for the client hanging up while the answer is held back.
            self.connection.settimeout(0.05)
            while not self.server.hold.is_set():
                try:
                    if self.connection.recv(1, socket.MSG_PEEK) == b"":
                        self.server.client_left.set()
                        return
                except socket.timeout:
                    continue
                except OSError:
                    self.server.client_left.set()
                    return
            self.connection.settimeout(None)
        status, body = self.server.answers.get(parsed.path, (404, {"error": "not found"}))
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


@pytest.fixture
def nominatim(monkeypatch):
    server = Nominatim()
    monkeypatch.setenv("QUENDAL_GEOCODER_URL", server.url + "/")
    yield server
    if server.hold is not None:
        server.hold.set()
    server.shutdown()
    server.server_close()


EIFFEL = {
    "lat": "48.8582599", "lon": "2.2945006", "name": "Tour Eiffel", "display_name": "Tour Eiffel, 5, Avenue…",
    "address": {"house_number": "5", "road": "Avenue Anatole France", "city": "Paris", "state": "Île-de-France",
                "postcode": "75007", "country": "France", "country_code": "fr"},
}
VILLAGE = {
    "lat": "47.1", "lon": "8.2", "name": "", "address": {"village": "Emmen", "country_code": "ch"},
    "extratags": {"timezone": "Europe/Zurich"},
}


class TestGeocoding:
    def test_forward(self, nominatim):
        nominatim.answers["/search"] = (200, [EIFFEL, VILLAGE])
        places = result_of(start("location.geocode", {"address": "Tour Eiffel, Paris & co"}))
        assert places == [
            {"latitude": 48.8582599, "longitude": 2.2945006, "name": "Tour Eiffel",
             "street": "Avenue Anatole France", "street_number": "5", "city": "Paris", "region": "Île-de-France",
             "country": "France", "country_code": "FR", "postal_code": "75007", "time_zone": None},
            {"latitude": 47.1, "longitude": 8.2, "name": None, "street": None, "street_number": None,
             "city": "Emmen", "region": None, "country": None, "country_code": "CH", "postal_code": None,
             "time_zone": "Europe/Zurich"},
        ]
        path, query, headers = nominatim.requests[-1]
        assert path == "/search"
        assert query == {"q": ["Tour Eiffel, Paris & co"], "format": ["json"], "addressdetails": ["1"]}
        assert "quendal" in headers["User-Agent"]

    def test_reverse_at_the_inclusive_bounds(self, nominatim):
        nominatim.answers["/reverse"] = (200, {**EIFFEL, "address": {"town": "Nowhere", "country_code": "aq"}})
        places = result_of(start("location.reverse_geocode", {"latitude": 90, "longitude": -180}))
        assert [(p["city"], p["country_code"], p["latitude"]) for p in places] == [("Nowhere", "AQ", 48.8582599)]
        path, query, _ = nominatim.requests[-1]
        assert path == "/reverse"
        assert (float(query["lat"][0]), float(query["lon"][0]), query["format"]) == (90.0, -180.0, ["json"])

    @pytest.mark.parametrize("payload", [
        {"latitude": 90.0001, "longitude": 0}, {"latitude": 0, "longitude": -180.0001}, {"latitude": 0},
        {"latitude": "1", "longitude": "2"}, {"latitude": None, "longitude": 0},
    ])
    def test_reverse_refuses_bad_coordinates(self, payload, nominatim):
        assert error("location.reverse_geocode", payload) == {
            "kind": "value", "message": "A nonempty address or valid coordinates are required."}
        assert nominatim.requests == []

    @pytest.mark.parametrize("payload", [{}, {"address": ""}, {"address": 5}, {"address": None}])
    def test_forward_needs_an_address(self, payload, nominatim):
        assert error("location.geocode", payload)["kind"] == "value"

    def test_no_match_is_an_empty_array(self, nominatim):
        nominatim.answers["/search"] = (200, [])
        nominatim.answers["/reverse"] = (200, {"error": "Unable to geocode"})
        assert result_of(start("location.geocode", {"address": "nowhere at all"})) == []
        assert result_of(start("location.reverse_geocode", {"latitude": 0, "longitude": 0})) == []

    def test_http_error_fails_os(self, nominatim):
        nominatim.answers["/search"] = (500, {"error": {"code": 500, "message": "database offline"}})
        state = wait(start("location.geocode", {"address": "Berlin"}))
        assert state["error"] == {
            "kind": "os",
            "message": "The geocoding service answered HTTP 500 (Internal Server Error): database offline.",
        }

    def test_answer_that_is_not_nominatim_json_fails_os(self, nominatim):
        nominatim.answers["/search"] = (200, {"unexpected": True})
        state = wait(start("location.geocode", {"address": "Berlin"}))
        assert state["error"] == {
            "kind": "os", "message": "The geocoding service sent an answer that is not Nominatim JSON."}

    def test_unreachable_server_fails_os(self, monkeypatch):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        monkeypatch.setenv("QUENDAL_GEOCODER_URL", f"http://127.0.0.1:{port}")
        state = wait(start("location.geocode", {"address": "Berlin"}))
        assert state["error"]["kind"] == "os"
        assert state["error"]["message"].startswith("The geocoding service could not be reached: ")

    def test_not_a_web_address_fails_os(self, monkeypatch):
        monkeypatch.setenv("QUENDAL_GEOCODER_URL", "ftp://example.org")
        state = wait(start("location.geocode", {"address": "Berlin"}))
        assert state["error"]["kind"] == "os"

    def test_closing_cancels_the_http_request(self, nominatim, main_loop):
        nominatim.hold = threading.Event()
        nominatim.answers["/search"] = (200, [EIFFEL])
        handle = start("location.geocode", {"address": "Paris"})
        deadline = time.monotonic() + 10
        while not nominatim.requests and time.monotonic() < deadline:
            snapshot(handle, 0.02)
        _system.close(handle)
        assert main_loop(nominatim.client_left.is_set)
        nominatim.hold.set()
        state = snapshot(handle, 0.1)
        assert (state["closed"], state["done"], state["result"], state["error"]) == (True, False, None, None)


def result_of(handle):
    state = wait(handle)
    assert state["done"] and state["error"] is None, state
    _system.close(handle)
    return state["result"]
