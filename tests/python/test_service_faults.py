"""Service faults: each D-Bus service the system requests use is killed, or
stopped with SIGSTOP, while a request waits on it. The request ends with the
contract's answer for "nothing there" or a clear failure, and the next request
after the service comes back works. Each case prints how long the faulted
request took (run with -s to see them)."""

import signal
import threading
import time

import pytest

from system_support import MockService, bus_available, result
from test_notifications import make_bundle, run_in_bundle

needs_bus = pytest.mark.skipif(not bus_available(), reason="needs the private D-Bus bus of run-tests")

UPOWER = "/org/freedesktop/UPower"
MOCK = "org.freedesktop.DBus.Mock"


def fault(service, how):
    """Stops the service answering: frozen, or frozen and then killed while the
    request waits on it."""
    service.freeze()
    if how == "kill":
        threading.Timer(0.3, service.process.send_signal, (signal.SIGKILL,)).start()


def timed(what, call):
    started = time.monotonic()
    value = call()
    print(f"\n{what}: ended after {time.monotonic() - started:.2f} s")
    return value


def upower():
    service = MockService("upower", "org.freedesktop.UPower", {"OnBattery": True})
    service.call(UPOWER, MOCK + ".AddDischargingBattery", "mock_BAT", "Mock Battery", "30.0", "1200")
    return service


@needs_bus
@pytest.mark.parametrize("how", ["stop", "kill"])
def test_battery_when_upower_fails_mid_request(how):
    service = upower()
    try:
        fault(service, how)
        battery = timed(f"device.battery, UPower {how}", lambda: result("device.battery"))
        assert battery == {"level": None, "state": "unavailable"}
    finally:
        service.stop()
    service = upower()
    try:
        assert result("device.battery")["state"] == "unplugged"
    finally:
        service.stop()


@needs_bus
@pytest.mark.parametrize("how", ["stop", "kill"])
def test_low_power_when_power_profiles_fails_mid_request(how):
    def start():
        return MockService("power_profiles_daemon", "net.hadess.PowerProfiles", {"ActiveProfile": "power-saver"})

    service = start()
    try:
        fault(service, how)
        info = timed(f"device.info, power profiles {how}", lambda: result("device.info"))
        assert info["low_power"] is False
    finally:
        service.stop()
    service = start()
    try:
        assert result("device.info")["low_power"] is True
    finally:
        service.stop()


NOTIFICATION_FAULT = """
os.kill({pid}, signal.SIGSTOP)
if {kill}:
    threading.Timer(0.3, os.kill, ({pid}, signal.SIGKILL)).start()
started = time.monotonic()
out = [outcome("notification.request_permission"), time.monotonic() - started]
"""


@needs_bus
@pytest.mark.parametrize("how", ["stop", "kill"])
def test_notification_permission_when_the_server_fails_mid_request(how, tmp_path, testing_dir):
    bundle = make_bundle(tmp_path, info={"CFBundleIdentifier": "org.example.faults"})
    service = MockService("notification_daemon", "org.freedesktop.Notifications", bus="session")
    try:
        body = NOTIFICATION_FAULT.format(pid=service.process.pid, kill=how == "kill")
        outcome, seconds = run_in_bundle(testing_dir, bundle, body)
        print(f"\nnotification.request_permission, server {how}: ended after {seconds:.2f} s")
        assert outcome["kind"] == "os" and outcome["message"]
    finally:
        service.stop()
    service = MockService("notification_daemon", "org.freedesktop.Notifications", bus="session")
    try:
        body = 'out = outcome("notification.request_permission")'
        assert run_in_bundle(testing_dir, bundle, body) == {"result": "authorized"}
    finally:
        service.stop()
