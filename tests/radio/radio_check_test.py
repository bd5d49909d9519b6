#!/usr/bin/python3
'''vendrill-cli radio-check against a mocked bluetoothd (bluez_air.py) on a
private system bus, vendrill-sim telling that air the names it takes, and
vendrill-cli station --radio-check naming a simulated line over that air.
What BlueZ holds afterwards is asked of the mock, what the printers hold and
printed of the simulator, what was recorded of the record.'''

import argparse
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import dbus
import dbusmock

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(HERE, 'bluez_air.py')
BIN = None  # the folder of the programs, from the command line

PRINTER = '00:12:F3:A1:B2:C3'
RUN_LIMIT = 60  # seconds: a hung program fails the test instead of the suite


class RadioCheck(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.start_system_bus()
        cls.bus = cls.get_dbus(system_bus=True)

    def setUp(self):
        self.mock = None
        self.children = []
        self.folder = tempfile.mkdtemp(prefix='vendrill-radio-')
        self.db = 'sqlite:' + os.path.join(self.folder, 'records.sqlite')

    def tearDown(self):
        for child in self.children:
            if child.poll() is None:
                child.kill()
            child.communicate()
        self.stop_bluez()
        shutil.rmtree(self.folder, ignore_errors=True)

    # ---- helpers ----

    def start_bluez(self, **params):
        self.mock, self.obj = self.spawn_server_template(TEMPLATE, params, stdout=subprocess.DEVNULL)
        self.control = dbus.Interface(self.obj, dbusmock.MOCK_IFACE)

    def stop_bluez(self, sig=signal.SIGTERM):
        if self.mock:
            self.mock.send_signal(sig)
            self.mock.wait()
            self.mock = None

    def air(self):
        return json.loads(str(self.control.AirState()))

    def cli(self, *args):
        return [os.path.join(BIN, 'vendrill-cli'), *args]

    def check(self, *args):
        run = subprocess.run(self.cli('radio-check', '--address', PRINTER.replace(':', ''), *args, '--json'),
                             capture_output=True, text=True, timeout=RUN_LIMIT, check=False)
        lines = run.stdout.splitlines()
        self.assertEqual(len(lines), 1, run.stdout + run.stderr)
        return run.returncode, json.loads(lines[0]), run.stderr

    def start_check(self, *args):
        child = subprocess.Popen(self.cli('radio-check', '--address', PRINTER, *args, '--json'),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.children.append(child)
        return child

    def wait_for(self, what, condition, child=None):
        for _ in range(RUN_LIMIT * 50):
            if condition():
                return
            if child is not None and child.poll() is not None:
                self.fail(f'ended before {what}: {child.communicate()}')
            time.sleep(0.02)
        self.fail('never ' + what)

    def assert_nothing_kept(self):
        state = self.air()
        self.assertEqual(state['devices'], [], 'the adapter keeps a device')
        self.assertEqual(state['pairing'], [], 'a pairing is still open')
        self.assertEqual(state['agents'], [], 'our agent is still registered')

    # ---- the air answers ----

    def test_heard_named_and_paired(self):
        self.start_bluez()
        self.control.SetAirDevice(PRINTER, 'PRN-00001', '1234')
        code, result, _ = self.check('--name', 'PRN-00001', '--pin', '1234')
        self.assertEqual(code, 0, result)
        self.assertEqual((result['heard'], result['name_heard'], result['name_ok'], result['paired'], result['result']),
                         (True, 'PRN-00001', True, True, 'ok'))
        self.assertNotIn('error', result)
        state = self.air()
        self.assertEqual(state['pins'], ['1234'])  # asked of our agent, through BlueZ
        self.assertEqual(state['paired'], [PRINTER])
        self.assertEqual(state['connects'], 1)  # paged, not inquired
        self.assertEqual(state['inquiries'], 0)
        self.assert_nothing_kept()

        # Plain lines, and no pairing without a PIN key.
        run = subprocess.run(self.cli('radio-check', '--address', PRINTER), capture_output=True, text=True,
                             timeout=RUN_LIMIT, check=False)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn('heard: yes\nname_heard: PRN-00001\n', run.stdout)
        self.assertNotIn('paired', run.stdout)
        self.assertEqual(self.air()['pins'], ['1234'])
        self.assert_nothing_kept()

    def test_inquiry_when_bluez_cannot_page(self):
        self.start_bluez(connect_device=False)
        self.control.SetAirDevice(PRINTER, 'PRN-00001', '1234')
        code, result, _ = self.check('--name', 'PRN-00001', '--pin', '1234')
        self.assertEqual(code, 0, result)
        self.assertEqual((result['heard'], result['name_ok'], result['paired']), (True, True, True))
        self.assertEqual(self.air()['inquiries'], 1)
        self.assert_nothing_kept()

    def test_cached_old_name_is_not_taken_for_the_air(self):
        self.start_bluez()
        self.control.AddCachedDevice(PRINTER, 'PRN-OLD')
        self.control.SetAirDevice(PRINTER, 'PRN-00002', '0000')
        code, result, _ = self.check('--name', 'PRN-00002')
        self.assertEqual(code, 0, result)
        self.assertEqual(result['name_heard'], 'PRN-00002')
        self.assertEqual(self.air()['removed'][0], PRINTER)  # the cache went first
        self.assert_nothing_kept()

        code, result, stderr = self.check('--name', 'PRN-OLD')
        self.assertEqual(code, 5, result)
        self.assertEqual((result['heard'], result['name_ok'], result['result']), (True, False, 'mismatch'))
        self.assertIn("'PRN-00002', not 'PRN-OLD'", stderr)
        self.assert_nothing_kept()

    def test_wrong_pin_is_refused_and_nothing_stays_paired(self):
        self.start_bluez()
        self.control.SetAirDevice(PRINTER, 'PRN-00003', '1234')
        code, result, stderr = self.check('--name', 'PRN-00003', '--pin', '9999')
        self.assertEqual(code, 5, result)
        self.assertEqual((result['heard'], result['name_ok'], result['paired']), (True, True, False))
        self.assertIn('PIN key was refused', stderr)
        self.assertEqual(self.air()['pins'], ['9999'])
        self.assertEqual(self.air()['paired'], [])
        self.assert_nothing_kept()

    def test_not_heard_within_the_time_out(self):
        self.start_bluez()
        code, result, stderr = self.check('--name', 'PRN-00004', '--timeout', '800')
        self.assertEqual(code, 4, result)
        self.assertEqual((result['heard'], result['name_heard'], result['result']), (False, None, 'not-heard'))
        self.assertIn('not heard within 800 ms', stderr)
        self.assertGreater(self.air()['connects'], 0)
        self.assert_nothing_kept()

    # ---- no Bluetooth ----

    def test_no_bluetooth_says_which_and_what_to_do(self):
        cases = [
            ({}, 'bluetoothd is not running: start it with'),
            ({'adapter': ''}, 'no Bluetooth adapter'),
            ({'powered': False}, 'hci0 is off: switch it on with'),
            ({'powered': False, 'power_state': 'off-blocked'}, "blocked (rfkill): unblock it with 'rfkill unblock"),
        ]
        for params, message in cases:
            with self.subTest(params=params):
                if params:
                    self.start_bluez(**params)
                code, result, stderr = self.check('--pin', '1234')
                self.assertEqual(code, 3, stderr)
                self.assertEqual((result['result'], result['exit']), ('no-bluetooth', 3))
                self.assertIn(message, stderr)
                self.stop_bluez()
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS='unix:path=/nonexistent/bus')
        run = subprocess.run(self.cli('radio-check', '--address', PRINTER), env=env, capture_output=True, text=True,
                             timeout=RUN_LIMIT, check=False)
        self.assertEqual(run.returncode, 3)
        self.assertIn('cannot reach the system D-Bus', run.stderr)

    # ---- cut short mid-pairing ----

    def start_held_pairing(self, *args):
        self.start_bluez(hold_pairing=True)
        self.control.SetAirDevice(PRINTER, 'PRN-00005', '1234')
        child = self.start_check('--pin', '1234', *args)
        self.wait_for('pairing', lambda: self.air()['pairing'], child)
        return child

    def test_bluetoothd_gone_mid_check(self):
        child = self.start_held_pairing()
        self.stop_bluez(signal.SIGKILL)
        out, err = child.communicate(timeout=RUN_LIMIT)
        self.assertEqual(child.returncode, 3, err)
        self.assertIn('bluetoothd stopped during the check', err)
        self.assertEqual(json.loads(out)['heard'], True)

    def test_interrupt_mid_pairing_removes_the_pairing(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig):
                child = self.start_held_pairing()
                child.send_signal(sig)
                out, err = child.communicate(timeout=RUN_LIMIT)
                self.assertEqual(child.returncode, 128 + sig, err)
                self.assertEqual(json.loads(out)['result'], 'interrupted')
                state = self.air()
                self.assertEqual(state['cancelled'], 1)
                self.assertEqual(state['paired_now'], [])
                self.assert_nothing_kept()
                self.stop_bluez()

    def test_pairing_that_never_ends_is_bounded_by_the_time_out(self):
        child = self.start_held_pairing('--timeout', '1500')
        out, err = child.communicate(timeout=RUN_LIMIT)
        self.assertEqual(child.returncode, 4, err)
        self.assertIn('pairing did not finish within 1500 ms', err)
        self.assertEqual(json.loads(out)['paired'], False)
        self.assert_nothing_kept()

    # ---- the simulated line on the simulated air ----

    def test_simulated_module_tells_the_air_its_name_and_pin(self):
        self.start_bluez()
        sim = subprocess.Popen([os.path.join(BIN, 'vendrill-sim'), '--air', os.environ['DBUS_SYSTEM_BUS_ADDRESS'],
                                '--pin', '4321'], stdout=subprocess.PIPE, text=True)
        self.children.append(sim)
        port = sim.stdout.readline().split(' module on ')[1].split()[0]
        address = '00:19:01:99:A1:B2'
        self.wait_for('the air hears the module', lambda: address in self.air()['air'], sim)
        self.assertEqual(self.air()['air'][address], {'name': 'VENDRILL-PRN', 'pin': '4321'})

        run = subprocess.run(self.cli('--port', port, 'set-name', 'PRN-AIR'), capture_output=True, text=True,
                             timeout=RUN_LIMIT, check=False)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.wait_for('the air hears the new name', lambda: self.air()['air'][address]['name'] == 'PRN-AIR', sim)
        run = subprocess.run(self.cli('radio-check', '--address', '00190199A1B2', '--name', 'PRN-AIR', '--pin', '4321'),
                             capture_output=True, text=True, timeout=RUN_LIMIT, check=False)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assert_nothing_kept()

    # ---- a station on the simulated line, over the simulated air ----

    def start_line(self, addresses, *args):
        '''vendrill-sim playing these printers (12 hex digits each), telling the air.'''
        sim = subprocess.Popen([os.path.join(BIN, 'vendrill-sim'), '--line', ','.join(addresses), '--air',
                                os.environ['DBUS_SYSTEM_BUS_ADDRESS'], '--pin', '0000', *args],
                               stdout=subprocess.PIPE, text=True)
        self.children.append(sim)
        return sim, sim.stdout.readline().split(' module on ')[1].split()[0]

    def line_end(self, sim):
        '''What each printer's module holds and printed, as the simulator tells when it stops.'''
        sim.terminate()
        out, _ = sim.communicate(timeout=RUN_LIMIT)
        held = {}
        for m in re.finditer(r"printer (\w+): name '([^']*)', PIN key '([^']*)', printed (.*)", out):
            held[m[1]] = {'name': m[2], 'pin': m[3], 'printed': re.findall(r"'([^']*)'", m[4])}
        return held

    def start_station(self, port, *args):
        station = subprocess.Popen(self.cli('--port', port, 'station', '--name', 'R-', '--db', self.db, '--json',
                                            '--create-record', '--print', '--pin', '1234', '--radio-check', *args),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.children.append(station)
        station.events = b''
        return station

    def next_event(self, station, event):
        '''Reads the station's JSON events as they come, up to the next of this kind.'''
        deadline = time.monotonic() + RUN_LIMIT
        while time.monotonic() < deadline:
            while b'\n' in station.events:
                line, station.events = station.events.split(b'\n', 1)
                if json.loads(line)['event'] == event:
                    return json.loads(line)
            if select.select([station.stdout], [], [], 0.2)[0]:
                chunk = os.read(station.stdout.fileno(), 65536)
                if not chunk:
                    self.fail('the station ended before a %s event: %s' % (event, station.stderr.read()))
                station.events += chunk
        self.fail('no %s event' % event)

    def finish(self, station):
        out, err = station.communicate(timeout=RUN_LIMIT)
        return station.returncode, [json.loads(line) for line in (station.events + out).decode().splitlines()], err.decode()

    def visits(self):
        run = subprocess.run(self.cli('records', '--db', self.db, '--json'), capture_output=True, text=True,
                             timeout=RUN_LIMIT, check=False)
        self.assertEqual(run.returncode, 0, run.stderr)
        return {v['address']: v for v in json.loads(run.stdout)}

    def test_station_labels_only_printers_the_air_confirms(self):
        self.start_bluez()
        ok, cached, wrong_pin, silent = '0019019900A1', '0019019900A2', '0019019900A3', '0019019900A4'
        self.control.AddCachedDevice(colons(cached), 'R-OLD')  # BlueZ still knows its name from before
        self.control.AirQuirk(colons(wrong_pin), 'pin', '9999')
        self.control.AirQuirk(colons(silent), 'silent', '')
        sim, port = self.start_line([ok, cached, wrong_pin, silent], '--stay', '200', '--gone', '200')
        code, events, err = self.finish(self.start_station(port, '--count', '4', '--radio-timeout', '1500'))
        self.assertEqual(code, 7, err)  # not every printer passed
        held = self.line_end(sim)
        visits = self.visits()
        want = {ok: ('ok', 'R-00001', True), cached: ('ok', 'R-00002', True),
                wrong_pin: ('mismatch', 'R-00003', False), silent: ('not-heard', '', False)}
        for address, (radio, heard, labelled) in want.items():
            with self.subTest(address=address):
                v = visits[address]
                self.assertEqual((v['result'], v['state'], v['radio'], v['name_heard'], v['label']),
                                 ('named', 'named', radio, heard, labelled), v)
                self.assertEqual((held[address]['name'], held[address]['pin']), (v['name'], '1234'))
                self.assertEqual(held[address]['printed'], [v['name']] if labelled else [])
        self.assertIn('PIN key was refused', visits[wrong_pin]['reason'])
        self.assertIn('not heard within 1500 ms', visits[silent]['reason'])
        printers = [e for e in events if e['event'] == 'printer']
        self.assertEqual([(e['radio'], e['name_heard']) for e in printers],
                         [('ok', 'R-00001'), ('ok', 'R-00002'), ('mismatch', 'R-00003'), ('not-heard', None)])
        self.assertEqual((events[0]['radio_check'], events[-1]['radio_ok'], events[-1]['radio_failed']), (True, 2, 2))
        self.assertEqual(self.air()['pins'], ['1234'] * 3)
        self.assert_nothing_kept()

    def test_station_needs_bluetooth_and_waits_for_it_mid_shift(self):
        # No bluetoothd: refused before any printer is asked anything.
        sim, port = self.start_line(['0019019900B1'])
        code, events, err = self.finish(self.start_station(port))
        self.assertEqual(code, 3, err)
        self.assertIn('bluetoothd is not running', err)
        self.assertEqual(events, [])
        sim.terminate()
        self.assertIn('stopped after 0 requests', sim.communicate(timeout=RUN_LIMIT)[0])

        # Gone in the middle of a check: said, waited for, and the printer in
        # hand checked and labelled once it is back.
        printer = '0019019900B2'
        self.start_bluez(hold_pairing=True)
        sim, port = self.start_line([printer], '--stay', '60000')
        station = self.start_station(port, '--count', '1')
        self.wait_for('pairing', lambda: self.air()['pairing'], station)
        self.stop_bluez(signal.SIGKILL)
        gone = self.next_event(station, 'bluetooth')
        self.assertEqual(gone['state'], 'gone')
        self.assertIn('bluetoothd stopped during the check', gone['reason'])
        self.start_bluez(air=[[colons(printer), 'R-00001', '1234']])
        code, events, err = self.finish(station)
        self.assertEqual(code, 0, err)
        self.assertIn('bluetoothd stopped during the check', err)
        self.assertEqual([e['state'] for e in events if e['event'] == 'bluetooth'], ['back'])
        v = self.visits()[printer]
        self.assertEqual((v['radio'], v['label'], v['state']), ('ok', True, 'named'))
        self.assertEqual(self.line_end(sim)[printer]['printed'], ['R-00001'])
        self.assert_nothing_kept()

    def test_station_interrupted_mid_check(self):
        printer = '0019019900C1'
        self.start_bluez(hold_pairing=True)
        sim, port = self.start_line([printer], '--stay', '60000')
        station = self.start_station(port)
        self.wait_for('pairing', lambda: self.air()['pairing'], station)
        station.send_signal(signal.SIGINT)
        code, events, err = self.finish(station)
        self.assertEqual(code, 128 + signal.SIGINT, err)
        v = self.visits()[printer]
        self.assertEqual((v['result'], v['state'], v['radio'], v['label']), ('named', 'named', 'interrupted', False))
        self.assertEqual([e['radio'] for e in events if e['event'] == 'printer'], ['interrupted'])
        self.assertEqual(self.line_end(sim)[printer], {'name': 'R-00001', 'pin': '1234', 'printed': []})
        self.assertEqual(self.air()['cancelled'], 1)
        self.assert_nothing_kept()

    def test_station_printer_swapped_during_the_check_is_handled_next(self):
        first, second = '0019019900D1', '0019019900D2'
        self.start_bluez()
        self.control.AirQuirk(colons(first), 'delay', '1500')  # leaves while its check still runs
        sim, port = self.start_line([first, second], '--stay', '300', '--gone', '200')
        code, _, err = self.finish(self.start_station(port, '--count', '2'))
        self.assertEqual(code, 0, err)
        held = self.line_end(sim)
        # Its label is not printed on the printer that came instead.
        self.assertEqual((held[first]['printed'], held[second]['printed']), ([], ['R-00002']))
        visits = self.visits()
        self.assertEqual((visits[first]['radio'], visits[first]['label']), ('ok', False))
        self.assertIn('left during the radio check', visits[first]['reason'])
        self.assertEqual((visits[second]['radio'], visits[second]['label']), ('ok', True))
        self.assert_nothing_kept()


def colons(address):
    return ':'.join(address[k:k + 2] for k in range(0, 12, 2))


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--bin-dir', required=True)
    options, rest = parser.parse_known_args()
    BIN = options.bin_dir
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
