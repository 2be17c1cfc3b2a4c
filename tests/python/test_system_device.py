"""Device information, battery and storage against this machine and against
UPower and power-profiles-daemon mocks speaking the real D-Bus protocol."""

import json
import os
import platform
import shutil
import subprocess
import sys

import pytest

from system_support import MockService, bus_available, error, result

UPOWER = "/org/freedesktop/UPower"
MOCK = "org.freedesktop.DBus.Mock"

needs_bus = pytest.mark.skipif(not bus_available(), reason="needs the private D-Bus bus of run-tests")


def test_device_info_tells_the_truth():
    info = result("device.info")
    assert set(info) == {
        "platform", "system_version", "machine", "cpu_count", "active_cpu_count",
        "physical_memory", "uptime", "low_power", "thermal_state",
    }
    assert info["platform"] == "linux"
    assert info["system_version"] == platform.release()
    assert info["machine"] == platform.machine()
    assert info["cpu_count"] >= info["active_cpu_count"] >= 1
    assert info["active_cpu_count"] == os.cpu_count()
    assert info["physical_memory"] == os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    with open("/proc/uptime") as f:
        assert abs(info["uptime"] - float(f.read().split()[0])) < 5
    assert info["thermal_state"] in {"nominal", "fair", "serious", "critical"}
    assert isinstance(info["low_power"], bool)


class TestStorage:
    def test_matches_the_file_system(self, tmp_path):
        sizes = result("device.storage", {"path": str(tmp_path)})
        usage = shutil.disk_usage(tmp_path)
        assert sizes["total"] == usage.total
        assert abs(sizes["free"] - usage.free) < 64 * 1024 * 1024

    @pytest.mark.parametrize("path", ["", None, 1, [], {}, True])
    def test_path_must_be_a_nonempty_string(self, path):
        assert error("device.storage", {"path": path}) == {"kind": "value", "message": "path must be a nonempty string."}

    def test_missing_path_key(self):
        assert error("device.storage")["message"] == "path must be a nonempty string."

    def test_missing_path_fails_with_the_system_description(self, tmp_path):
        assert error("device.storage", {"path": str(tmp_path / "absent")}) == {
            "kind": "os", "message": os.strerror(2),
        }

    def test_file_access_hooks_wrap_the_query(self, testing_dir, tmp_path):
        # Hooks are looked up once per process, so a fresh one loads them first.
        script = f"""
import ctypes, json
hooks = ctypes.CDLL({str(testing_dir / "libquendal_hooks_pair.so")!r}, mode=ctypes.RTLD_GLOBAL)
from _quendal import _system
handle = _system.start("device.storage", json.dumps({{"path": {str(tmp_path)!r}}}))
state = json.loads(_system.poll(handle, 0))
count = lambda name: ctypes.c_int.in_dll(hooks, name).value
print(json.dumps([state["error"], count("begin_calls"), count("end_calls"),
                  ctypes.c_int64.in_dll(hooks, "last_ended_token").value,
                  ctypes.create_string_buffer(ctypes.string_at(ctypes.addressof(ctypes.c_char.in_dll(hooks, "last_path")))).value.decode()]))
"""
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        assert json.loads(out.stdout) == [None, 1, 1, 42, str(tmp_path)]


@pytest.fixture
def upower():
    services = []

    def start(**parameters):
        service = MockService("upower", "org.freedesktop.UPower", parameters)
        services.append(service)
        return service

    yield start
    for service in services:
        service.stop()


@needs_bus
class TestBattery:
    def test_no_service_at_all(self):
        assert result("device.battery") == {"level": None, "state": "unavailable"}

    def test_no_battery(self, upower):
        service = upower(OnBattery=False)
        service.call(UPOWER, MOCK + ".AddAC", "mock_AC", "Mock AC")
        assert result("device.battery") == {"level": None, "state": "unavailable"}

    def test_discharging(self, upower):
        service = upower(OnBattery=True)
        service.call(UPOWER, MOCK + ".AddDischargingBattery", "mock_BAT", "Mock Battery", "30.0", "1200")
        assert result("device.battery") == {"level": pytest.approx(0.3), "state": "unplugged"}

    def test_charging(self, upower):
        service = upower(OnBattery=False)
        service.call(UPOWER, MOCK + ".AddChargingBattery", "mock_BAT", "Mock Battery", "75.0", "600")
        assert result("device.battery") == {"level": pytest.approx(0.75), "state": "charging"}

    def test_full_on_ac(self, upower):
        service = upower(OnBattery=False)
        path = service.call(UPOWER, MOCK + ".AddChargingBattery", "mock_BAT", "Mock Battery", "100.0", "0")
        device = path.split("'")[1]
        service.call(UPOWER, MOCK + ".SetDeviceProperties", device, "{'State': <uint32 4>}")
        assert result("device.battery") == {"level": pytest.approx(1.0), "state": "full"}

    def test_max_capacity_zero(self, upower):
        service = upower(OnBattery=True)
        path = service.call(UPOWER, MOCK + ".AddDischargingBattery", "mock_BAT", "Mock Battery", "30.0", "1200")
        device = path.split("'")[1]
        service.call(UPOWER, MOCK + ".SetDeviceProperties", device, "{'EnergyFull': <0.0>}")
        assert result("device.battery") == {"level": None, "state": "unplugged"}

    def test_peripheral_battery_does_not_count(self, upower):
        service = upower(OnBattery=True)
        path = service.call(UPOWER, MOCK + ".AddDischargingBattery", "mouse", "Mouse", "50.0", "100")
        device = path.split("'")[1]
        service.call(UPOWER, MOCK + ".SetDeviceProperties", device, "{'PowerSupply': <false>}")
        assert result("device.battery") == {"level": None, "state": "unavailable"}

    def test_service_that_does_not_answer(self, upower):
        upower(OnBattery=True).freeze()
        assert result("device.battery") == {"level": None, "state": "unavailable"}


@pytest.fixture
def power_profiles():
    services = []

    def start(profile):
        service = MockService("power_profiles_daemon", "net.hadess.PowerProfiles", {"ActiveProfile": profile})
        services.append(service)
        return service

    yield start
    for service in services:
        service.stop()


@needs_bus
class TestLowPower:
    def test_power_saver_profile(self, power_profiles):
        power_profiles("power-saver")
        assert result("device.info")["low_power"] is True

    def test_balanced_profile(self, power_profiles):
        power_profiles("balanced")
        assert result("device.info")["low_power"] is False

    def test_no_service(self):
        assert result("device.info")["low_power"] is False

    def test_service_that_does_not_answer(self, power_profiles):
        power_profiles("power-saver").freeze()
        assert result("device.info")["low_power"] is False
