"""python3-dbusmock template: GeoClue2 as versions 2.6 and 2.7 behave.

- The manager offers GetClient (one client per connection), CreateClient and
  DeleteClient, and the AvailableAccuracyLevel property.
- A client's Start is refused with AccessDenied when its DesktopId is empty or
  the agent denies the application; with the decision "pending" the reply waits
  until Authorize is called, as Start waits for the agent's prompt.
- LocationUpdated is sent to the client's owner alone (unicast), and only when
  the client's DistanceThreshold and TimeThreshold let the new position through.
- A client that starts while a position is known hears of it at once.

Parameters: AvailableAccuracyLevel (default 8), Authorization ("granted",
"denied" or "pending"; default "granted"), CreateClient (default true; false
answers it with UnknownMethod, as GeoClue before 2.5 does).

Control methods on org.freedesktop.DBus.Mock at the manager: SetAuthorization(s),
Authorize(b), SetAvailableAccuracyLevel(u), EmitLocation(a{sv}) -> number of
clients told, EmitMissingLocation() -> number of clients told, StopClients() -> number of
clients stopped, GetClients() -> a(osbuu) (path, desktop id, active, accuracy
level, distance threshold).
"""

import math
import time

import dbus
import dbus.lowlevel
import dbus.service

from dbusmock import MOCK_IFACE

BUS_NAME = "org.freedesktop.GeoClue2"
MAIN_OBJ = "/org/freedesktop/GeoClue2/Manager"
MAIN_IFACE = "org.freedesktop.GeoClue2.Manager"
SYSTEM_BUS = True

CLIENT_IFACE = "org.freedesktop.GeoClue2.Client"
LOCATION_IFACE = "org.freedesktop.GeoClue2.Location"
ACCESS_DENIED = "org.freedesktop.DBus.Error.AccessDenied"
UNKNOWN_ALTITUDE = -1.7976931348623157e308


def _variant(value):
    return dbus.Dictionary(value, signature="sv")


class _Exported(dbus.service.Object):
    # dbusmock replaces dbus-python's method lookup with one that reads these.
    methods = {}

    def __init__(self, mock, path, interface, properties):
        self.interface = interface
        self.properties = properties
        self.path = path
        dbus.service.Object.__init__(self, mock.bus_name, path)

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface != self.interface or name not in self.properties:
            raise dbus.exceptions.DBusException(f"No such property {name}",
                                                name="org.freedesktop.DBus.Error.InvalidArgs")
        return self.properties[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return _variant(self.properties if interface == self.interface else {})


class Location(_Exported):
    def __init__(self, mock, path, values):
        properties = {
            "Latitude": dbus.Double(0.0), "Longitude": dbus.Double(0.0), "Accuracy": dbus.Double(0.0),
            "Altitude": dbus.Double(UNKNOWN_ALTITUDE), "Speed": dbus.Double(-1.0), "Heading": dbus.Double(-1.0),
            "Description": dbus.String(""),
            "Timestamp": dbus.Struct((dbus.UInt64(int(time.time())), dbus.UInt64(0)), signature="tt"),
        }
        properties.update(values)
        super().__init__(mock, path, LOCATION_IFACE, properties)


class Client(_Exported):
    WRITABLE = {"DesktopId": dbus.String, "RequestedAccuracyLevel": dbus.UInt32,
                "DistanceThreshold": dbus.UInt32, "TimeThreshold": dbus.UInt32}

    def __init__(self, mock, path, owner):
        super().__init__(mock, path, CLIENT_IFACE, {
            "Location": dbus.ObjectPath("/"), "DistanceThreshold": dbus.UInt32(0),
            "TimeThreshold": dbus.UInt32(0), "DesktopId": dbus.String(""),
            "RequestedAccuracyLevel": dbus.UInt32(0), "Active": dbus.Boolean(False),
        })
        self.mock = mock
        self.owner = owner
        self.last = None  # (latitude, longitude, seconds) of the last position sent

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ssv", out_signature="")
    def Set(self, interface, name, value):
        if interface != CLIENT_IFACE or name not in self.WRITABLE:
            raise dbus.exceptions.DBusException(f"Property {name} is not writable",
                                                name="org.freedesktop.DBus.Error.PropertyReadOnly")
        self.properties[name] = self.WRITABLE[name](value)

    @dbus.service.method(CLIENT_IFACE, in_signature="", out_signature="", sender_keyword="sender",
                         async_callbacks=("ok", "err"))
    def Start(self, sender=None, ok=None, err=None):
        if sender != self.owner:
            err(dbus.exceptions.DBusException("Not the owner of this client", name=ACCESS_DENIED))
            return
        desktop_id = str(self.properties["DesktopId"])
        if not desktop_id:
            err(dbus.exceptions.DBusException("'DesktopId' property must be set", name=ACCESS_DENIED))
            return
        state = self.mock.geoclue
        if state["authorization"] == "pending":
            state["pending"].append((self, ok, err))
            return
        self.answer(state["authorization"] == "granted", ok, err)

    def answer(self, allowed, ok, err):
        if not allowed:
            err(dbus.exceptions.DBusException(
                f"Agent rejected '{self.properties['DesktopId']}' for user '0'", name=ACCESS_DENIED))
            return
        self.properties["Active"] = dbus.Boolean(True)
        ok()
        current = self.mock.geoclue["current"]
        if current is not None:
            self.tell(current, force=True)

    @dbus.service.method(CLIENT_IFACE, in_signature="", out_signature="")
    def Stop(self):
        self.properties["Active"] = dbus.Boolean(False)

    def tell(self, location, force=False):
        """Sends location to the owner when the thresholds let it through."""
        if not self.properties["Active"]:
            return False
        latitude = float(location.properties["Latitude"])
        longitude = float(location.properties["Longitude"])
        seconds = int(location.properties["Timestamp"][0])
        if self.last is not None and not force:
            distance = _distance(self.last[0], self.last[1], latitude, longitude)
            if distance < int(self.properties["DistanceThreshold"]):
                return False
            if seconds - self.last[2] < int(self.properties["TimeThreshold"]):
                return False
        old = self.properties["Location"]
        self.properties["Location"] = dbus.ObjectPath(location.path)
        self.last = (latitude, longitude, seconds)
        signal = dbus.lowlevel.SignalMessage(self.path, CLIENT_IFACE, "LocationUpdated")
        signal.append(dbus.ObjectPath(old), dbus.ObjectPath(location.path), signature="oo")
        signal.set_destination(self.owner)
        self.connection.send_message(signal)
        return True

    def remove(self):
        self.properties["Active"] = dbus.Boolean(False)
        self.remove_from_connection()


def _distance(lat1, lon1, lat2, lon2):
    radius = 6372795.0
    p1, p2 = math.radians(lat1), math.radians(lat2)
    dp, dl = p2 - p1, math.radians(lon2 - lon1)
    a = math.sin(dp / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2) ** 2
    return 2 * radius * math.asin(math.sqrt(a))


def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, {
        "InUse": dbus.Boolean(False),
        "AvailableAccuracyLevel": dbus.UInt32(parameters.get("AvailableAccuracyLevel", 8)),
    })
    mock.geoclue = {
        "authorization": parameters.get("Authorization", "granted"),
        "pending": [],
        "clients": {},  # path -> Client
        "next": 1,
        "current": None,
        "locations": 0,
        "create_client": bool(parameters.get("CreateClient", True)),
    }


def _new_client(self, owner):
    state = self.geoclue
    path = f"/org/freedesktop/GeoClue2/Client/{state['next']}"
    state["next"] += 1
    state["clients"][path] = Client(self, path, owner)
    return dbus.ObjectPath(path)


@dbus.service.method(MAIN_IFACE, in_signature="", out_signature="o", sender_keyword="sender")
def GetClient(self, sender=None):
    for path, client in self.geoclue["clients"].items():
        if client.owner == sender:
            return dbus.ObjectPath(path)
    return _new_client(self, sender)


@dbus.service.method(MAIN_IFACE, in_signature="", out_signature="o", sender_keyword="sender")
def CreateClient(self, sender=None):
    if not self.geoclue["create_client"]:
        raise dbus.exceptions.DBusException("No such method 'CreateClient'",
                                            name="org.freedesktop.DBus.Error.UnknownMethod")
    return _new_client(self, sender)


@dbus.service.method(MAIN_IFACE, in_signature="o", out_signature="")
def DeleteClient(self, path):
    client = self.geoclue["clients"].pop(str(path), None)
    if client is None:
        raise dbus.exceptions.DBusException(f"No client {path}", name="org.freedesktop.DBus.Error.InvalidArgs")
    client.remove()


@dbus.service.method(MAIN_IFACE, in_signature="s", out_signature="")
def AddAgent(self, desktop_id):
    pass


@dbus.service.method(MOCK_IFACE, in_signature="s", out_signature="")
def SetAuthorization(self, decision):
    self.geoclue["authorization"] = str(decision)


@dbus.service.method(MOCK_IFACE, in_signature="b", out_signature="i")
def Authorize(self, allowed):
    pending, self.geoclue["pending"] = self.geoclue["pending"], []
    for client, ok, err in pending:
        client.answer(bool(allowed), ok, err)
    return len(pending)


@dbus.service.method(MOCK_IFACE, in_signature="u", out_signature="")
def SetAvailableAccuracyLevel(self, level):
    self.props[MAIN_IFACE]["AvailableAccuracyLevel"] = dbus.UInt32(level)


@dbus.service.method(MOCK_IFACE, in_signature="a{sv}", out_signature="i")
def EmitLocation(self, values):
    state = self.geoclue
    state["locations"] += 1
    location = Location(self, f"/org/freedesktop/GeoClue2/Location/{state['locations']}", values)
    state["current"] = location
    return sum(1 for client in list(state["clients"].values()) if client.tell(location))


@dbus.service.method(MOCK_IFACE, in_signature="", out_signature="i")
def EmitMissingLocation(self):
    """Points active clients at a location object that is already gone, as
    happens when GeoClue replaces positions faster than a client reads them."""
    told = 0
    for path, client in self.geoclue["clients"].items():
        if client.properties["Active"]:
            signal = dbus.lowlevel.SignalMessage(path, CLIENT_IFACE, "LocationUpdated")
            signal.append(client.properties["Location"], dbus.ObjectPath("/org/freedesktop/GeoClue2/Location/0"),
                          signature="oo")
            signal.set_destination(client.owner)
            client.connection.send_message(signal)
            told += 1
    return told


@dbus.service.method(MOCK_IFACE, in_signature="", out_signature="i")
def StopClients(self):
    """Stops every active client, as GeoClue does when the user withdraws an
    application's access; clients learn it from PropertiesChanged."""
    stopped = 0
    for path, client in self.geoclue["clients"].items():
        if client.properties["Active"]:
            client.properties["Active"] = dbus.Boolean(False)
            signal = dbus.lowlevel.SignalMessage(path, dbus.PROPERTIES_IFACE, "PropertiesChanged")
            signal.append(CLIENT_IFACE, dbus.Dictionary({"Active": dbus.Boolean(False, variant_level=1)},
                                                        signature="sv"),
                          dbus.Array([], signature="s"), signature="sa{sv}as")
            client.connection.send_message(signal)
            stopped += 1
    return stopped


@dbus.service.method(MOCK_IFACE, in_signature="", out_signature="a(osbuu)")
def GetClients(self):
    return dbus.Array([
        dbus.Struct((dbus.ObjectPath(path), c.properties["DesktopId"], c.properties["Active"],
                     c.properties["RequestedAccuracyLevel"], c.properties["DistanceThreshold"]), signature="osbuu")
        for path, c in self.geoclue["clients"].items()
    ], signature="(osbuu)")
