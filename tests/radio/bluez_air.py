'''A bluetoothd for the radio check's tests: python-dbusmock template.

Like dbusmock's own bluez5 template, but with an air around the adapter:
printers on the air have a name and a PIN key, BlueZ keeps what it learned
of a device (its cached name) until the device is removed, Adapter1.ConnectDevice
pages the air, an inquiry finds the discoverable printers, and Device1.Pair
asks the registered default agent for the PIN key (RequestPinCode) and fails
with org.bluez.Error.AuthenticationFailed when it is wrong.

Parameters (AddTemplate): adapter ('hci0'; '' for none), powered (True),
power_state ('on', 'off' or 'off-blocked'), connect_device (True: BlueZ run
with its experimental ConnectDevice), hold_pairing (False: Pair answers at
once; True: it waits after the PIN key until cancelled), air (printers on
the air from the start: a list of [address, name, pin]).

Control, on the main object's org.freedesktop.DBus.Mock interface:
SetAirDevice(address, name, pin), AddCachedDevice(address, name),
AirQuirk(address, kind, value) (a radio that does not follow its module:
kind 'pin' keeps that PIN key whatever the module takes, 'silent' is never
heard, 'delay' answers the PIN key after that many milliseconds) and
AirState() -> JSON text of what BlueZ holds and what happened.
'''

import json
import time

import dbus
from gi.repository import GLib

from dbusmock import MOCK_IFACE, OBJECT_MANAGER_IFACE, mockobject

BUS_NAME = 'org.bluez'
MAIN_OBJ = '/'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

AGENT_MANAGER_IFACE = 'org.bluez.AgentManager1'
ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
AGENT_IFACE = 'org.bluez.Agent1'

AIR = {}  # address -> {'name', 'pin'}
QUIRKS = {}  # address -> {'pin': PIN key kept, 'silent': True}
CACHE = {}  # address -> the name BlueZ learned last; removing the device does not forget it
STATE = {
    'agents': {},           # path -> sender
    'default_agent': None,  # (sender, path)
    'pins': [],             # PIN keys the agent gave
    'paired': [],           # addresses paired at some time
    'cancelled': 0,         # pairings cancelled (CancelPairing or RemoveDevice)
    'removed': [],          # addresses whose device was removed
    'connects': 0,          # ConnectDevice calls
    'inquiries': 0,         # StartDiscovery calls
    'told': [],             # [address, name, pin, CLOCK_MONOTONIC seconds] of each SetAirDevice
}
PARAMS = {}
PENDING = {}  # device path -> (ok, err) of a Pair held open


def _error(name, text):
    return dbus.exceptions.DBusException(text, name=name)


def _adapter_path():
    return '/org/bluez/' + PARAMS['adapter']


def _device_path(address):
    return _adapter_path() + '/dev_' + address.replace(':', '_').upper()


def _inject(obj, iface, name, fn):
    '''A method written the dbus-python way (sender, asynchronous reply) on one object.'''
    obj.methods.setdefault(iface, {})[name] = (fn._dbus_in_signature, fn._dbus_out_signature, None, fn)


def _emit_changed(obj, props):
    obj.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [DEVICE_IFACE, props, []])


# ---- the agent manager -------------------------------------------------------

@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='os', out_signature='', sender_keyword='sender')
def _register_agent(_self, path, capability, sender=None):
    if capability not in ('DisplayOnly', 'DisplayYesNo', 'KeyboardOnly', 'NoInputNoOutput', 'KeyboardDisplay'):
        raise _error('org.bluez.Error.InvalidArguments', 'capability')
    if str(path) in STATE['agents']:
        raise _error('org.bluez.Error.AlreadyExists', 'already registered')
    STATE['agents'][str(path)] = str(sender)


@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='o', out_signature='', sender_keyword='sender')
def _request_default_agent(_self, path, sender=None):
    if STATE['agents'].get(str(path)) != str(sender):
        raise _error('org.bluez.Error.DoesNotExist', 'not registered')
    STATE['default_agent'] = (str(sender), str(path))


@dbus.service.method(AGENT_MANAGER_IFACE, in_signature='o', out_signature='', sender_keyword='sender')
def _unregister_agent(_self, path, sender=None):
    if STATE['agents'].get(str(path)) != str(sender):
        raise _error('org.bluez.Error.DoesNotExist', 'not registered')
    del STATE['agents'][str(path)]
    if STATE['default_agent'] == (str(sender), str(path)):
        STATE['default_agent'] = None


# ---- devices -------------------------------------------------------------------

def _add_device(address, name, connected):
    path = _device_path(address)
    props = {
        'Address': dbus.String(address, variant_level=1),
        'AddressType': dbus.String('public', variant_level=1),
        'Name': dbus.String(name, variant_level=1),
        'Alias': dbus.String(name, variant_level=1),
        'Paired': dbus.Boolean(False, variant_level=1),
        'Bonded': dbus.Boolean(False, variant_level=1),
        'Connected': dbus.Boolean(connected, variant_level=1),
        'Trusted': dbus.Boolean(False, variant_level=1),
        'LegacyPairing': dbus.Boolean(True, variant_level=1),
        'Adapter': dbus.ObjectPath(_adapter_path(), variant_level=1),
        'RSSI': dbus.Int16(-52, variant_level=1),
    }
    adapter = mockobject.objects[_adapter_path()]
    adapter.AddObject(path, DEVICE_IFACE, props, [('CancelPairing', '', '', _cancel_pairing)])
    device = mockobject.objects[path]
    device.address = address
    _inject(device, DEVICE_IFACE, 'Pair', _pair)
    mockobject.objects['/'].EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                                       [dbus.ObjectPath(path), {DEVICE_IFACE: props}])
    return path


def _end_pairing(path, name, text):
    held = PENDING.pop(path, None)
    if held:
        STATE['cancelled'] += 1
        held[1](_error(name, text))
    return held is not None


def _cancel_pairing(device):
    if not _end_pairing(device.path, 'org.bluez.Error.AuthenticationCanceled', 'cancelled'):
        raise _error('org.bluez.Error.DoesNotExist', 'no pairing in progress')


@dbus.service.method(DEVICE_IFACE, in_signature='', out_signature='', async_callbacks=('ok', 'err'))
def _pair(device, ok=None, err=None):
    if device.props[DEVICE_IFACE]['Paired']:
        err(_error('org.bluez.Error.AlreadyExists', 'already paired'))
        return
    if device.address not in AIR:
        err(_error('org.bluez.Error.ConnectionAttemptFailed', 'Page Timeout'))
        return
    if STATE['default_agent'] is None:
        err(_error('org.bluez.Error.AuthenticationRejected', 'no agent'))
        return
    path = device.path
    PENDING[path] = (ok, err)

    def answered(pin):
        STATE['pins'].append(str(pin))
        if path not in PENDING:
            return
        if PARAMS['hold_pairing']:
            return  # until CancelPairing or RemoveDevice
        delay = QUIRKS.get(device.address, {}).get('delay', 0)
        if delay:
            GLib.timeout_add(delay, lambda: finish(pin) and False)
        else:
            finish(pin)

    def finish(pin):
        if path not in PENDING:
            return
        ok_cb, err_cb = PENDING.pop(path)
        if str(pin) != AIR[device.address]['pin']:
            err_cb(_error('org.bluez.Error.AuthenticationFailed', 'Authentication Failed'))
            return
        device.props[DEVICE_IFACE]['Paired'] = dbus.Boolean(True, variant_level=1)
        device.props[DEVICE_IFACE]['Bonded'] = dbus.Boolean(True, variant_level=1)
        STATE['paired'].append(device.address)
        _emit_changed(device, {'Paired': dbus.Boolean(True, variant_level=1),
                               'Bonded': dbus.Boolean(True, variant_level=1)})
        ok_cb()

    def refused(error):
        if path in PENDING:
            PENDING.pop(path)[1](_error('org.bluez.Error.AuthenticationRejected', str(error)))

    sender, agent = STATE['default_agent']
    device.connection.call_async(sender, agent, AGENT_IFACE, 'RequestPinCode', 'o', (dbus.ObjectPath(path),),
                                 answered, refused, timeout=30)


# ---- the adapter ---------------------------------------------------------------

def _remove_device(adapter, path):
    if str(path) not in mockobject.objects:
        raise _error('org.bluez.Error.DoesNotExist', 'Does Not Exist')
    _end_pairing(str(path), 'org.bluez.Error.AuthenticationCanceled', 'device removed')
    STATE['removed'].append(mockobject.objects[str(path)].address)
    adapter.RemoveObject(str(path))
    mockobject.objects['/'].EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                                       [dbus.ObjectPath(path), [DEVICE_IFACE]])


def _connect_device(_adapter, properties):
    STATE['connects'] += 1
    address = str(properties.get('Address', '')).upper()
    if _device_path(address) in mockobject.objects:
        raise _error('org.bluez.Error.AlreadyExists', 'Already Exists')
    if address not in AIR or QUIRKS.get(address, {}).get('silent'):
        raise _error('org.bluez.Error.Failed', 'Page Timeout')
    # The new object starts with the name BlueZ kept; the connection asks the
    # printer for its name, and the air's arrives before the answer.
    path = _add_device(address, CACHE.get(address, AIR[address]['name']), True)
    CACHE[address] = AIR[address]['name']
    device = mockobject.objects[path]
    if device.props[DEVICE_IFACE]['Name'] != CACHE[address]:
        device.UpdateProperties(DEVICE_IFACE, {'Name': dbus.String(CACHE[address], variant_level=1),
                                               'Alias': dbus.String(CACHE[address], variant_level=1)})
    return dbus.ObjectPath(path)


def _start_discovery(adapter):
    STATE['inquiries'] += 1
    adapter.UpdateProperties(ADAPTER_IFACE, {'Discovering': dbus.Boolean(True, variant_level=1)})
    for address, air in AIR.items():
        if _device_path(address) not in mockobject.objects and not QUIRKS.get(address, {}).get('silent'):
            _add_device(address, air['name'], False)


def _stop_discovery(adapter):
    adapter.UpdateProperties(ADAPTER_IFACE, {'Discovering': dbus.Boolean(False, variant_level=1)})


# ---- control -------------------------------------------------------------------

@dbus.service.method(MOCK_IFACE, in_signature='sss', out_signature='')
def SetAirDevice(_self, address, name, pin):
    '''A printer on the air (new, or with a new name and PIN key).'''
    address = str(address).upper()
    AIR[address] = {'name': str(name), 'pin': QUIRKS.get(address, {}).get('pin', str(pin))}
    STATE['told'].append([address, str(name), str(pin), time.monotonic()])


@dbus.service.method(MOCK_IFACE, in_signature='sss', out_signature='')
def AirQuirk(_self, address, kind, value):
    '''A radio that does not follow its module: 'pin' keeps this PIN key, 'silent' is never heard,
    'delay' answers the PIN key after this many milliseconds.'''
    address = str(address).upper()
    if kind == 'pin':
        QUIRKS.setdefault(address, {})['pin'] = str(value)
        if address in AIR:
            AIR[address]['pin'] = str(value)
    elif kind == 'silent':
        QUIRKS.setdefault(address, {})['silent'] = True
    elif kind == 'delay':
        QUIRKS.setdefault(address, {})['delay'] = int(value)
    else:
        raise _error('org.freedesktop.DBus.Error.InvalidArgs', 'unknown quirk ' + str(kind))


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='s')
def AddCachedDevice(_self, address, name):
    '''A device BlueZ knows from before, with the name it heard then.'''
    CACHE[str(address).upper()] = str(name)
    return _add_device(str(address).upper(), str(name), False)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='s')
def AirState(_self):
    '''What BlueZ holds now and what happened, as JSON.'''
    devices = sorted(p for p in mockobject.objects if '/dev_' in p)
    return json.dumps({
        'air': AIR,
        'devices': devices,
        'paired_now': [p for p in devices if mockobject.objects[p].props[DEVICE_IFACE]['Paired']],
        'agents': sorted(STATE['agents']),
        'default_agent': STATE['default_agent'][1] if STATE['default_agent'] else None,
        'pins': STATE['pins'],
        'paired': STATE['paired'],
        'pairing': sorted(PENDING),
        'cancelled': STATE['cancelled'],
        'removed': STATE['removed'],
        'connects': STATE['connects'],
        'inquiries': STATE['inquiries'],
        'told': STATE['told'],
    })


def load(mock, parameters):
    PARAMS['adapter'] = str(parameters.get('adapter', 'hci0'))
    PARAMS['hold_pairing'] = bool(parameters.get('hold_pairing', False))
    for address, name, pin in parameters.get('air', []):
        AIR[str(address).upper()] = {'name': str(name), 'pin': str(pin)}
    mock.AddObject('/org/bluez', AGENT_MANAGER_IFACE, {}, [])
    manager = mockobject.objects['/org/bluez']
    _inject(manager, AGENT_MANAGER_IFACE, 'RegisterAgent', _register_agent)
    _inject(manager, AGENT_MANAGER_IFACE, 'RequestDefaultAgent', _request_default_agent)
    _inject(manager, AGENT_MANAGER_IFACE, 'UnregisterAgent', _unregister_agent)
    if not PARAMS['adapter']:
        return
    powered = bool(parameters.get('powered', True))
    props = {
        'Address': dbus.String('00:1A:7D:DA:71:13', variant_level=1),
        'AddressType': dbus.String('public', variant_level=1),
        'Name': dbus.String('station', variant_level=1),
        'Alias': dbus.String('station', variant_level=1),
        'Powered': dbus.Boolean(powered, variant_level=1),
        'PowerState': dbus.String(str(parameters.get('power_state', 'on' if powered else 'off')), variant_level=1),
        'Discoverable': dbus.Boolean(False, variant_level=1),
        'Pairable': dbus.Boolean(True, variant_level=1),
        'Discovering': dbus.Boolean(False, variant_level=1),
    }
    methods = [
        ('RemoveDevice', 'o', '', _remove_device),
        ('StartDiscovery', '', '', _start_discovery),
        ('StopDiscovery', '', '', _stop_discovery),
        ('SetDiscoveryFilter', 'a{sv}', '', ''),
    ]
    if parameters.get('connect_device', True):
        methods.append(('ConnectDevice', 'a{sv}', 'o', _connect_device))
    mock.AddObject(_adapter_path(), ADAPTER_IFACE, props, methods)
    mock.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                    [dbus.ObjectPath(_adapter_path()), {ADAPTER_IFACE: props}])
