"""RS485 meters configured from the local API: the real binary, the meter
simulator (sim/rs485.py) with a Vzlet 24 and a Vist heat meter, a real
mosquitto and WebSocket clients. Meters are written, read, listed, tested
and deleted through "rs485_device"; the store file, the request frames and
the records on the WebSocket stream and the broker are what the meter and
command descriptions say; the store survives a restart and is polled; a
delete waits for the poll in progress; bad commands and faulty answers
leave the gateway working.

The expected frames, store bytes and records are worked out here from the
descriptions, independently of the firmware."""
import json
import re
import struct
import time
from pathlib import Path

import websocket

from conftest import MosquittoBroker
from test_mqtt import Cloud
from test_panel import start_hub  # noqa: F401
from test_radio import UUID, Subscriber, ws_client_with_meter_stream
from test_rs485 import configure_poll, frame, start_rs485  # noqa: F401

HEAT_CONTENTS = r'^Contents: (\{"type":"chmd_heat_meter".*\})$'

VZLET = {"model": "vzlet24", "line": 1, "serial": 777001, "net_id": 7, "time": 1700000000,
         "wts": "123.5/200.75/310", "wgv": "45.25/60.5/12.125"}
VIST = {"model": "vist", "line": 2, "serial": 12345, "net_id": 10, "baud": 2400}
for _n in (1, 2, 3):
    VIST.update({f"volume{_n}": f"{10.5 * _n}/{-2.25 * _n}/0", f"flow{_n}": f"{1.5 * _n}/0.75/-0.25",
                 f"temp{_n}": f"{60 + _n + 0.25}/40.5/20", f"work{_n}": 100.25 * _n, f"energy{_n}": 5000.125 * _n})


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def f3(value):
    return f"{value:.3f}"


def vzlet_texts(meter, rserror=0):
    wts = [float(x) for x in meter["wts"].split("/")]
    wgv = [float(x) for x in meter["wgv"].split("/")]
    return ['{"type":"chmd_heat_meter","model":"ВЗЛЕТ??","meter_sn":%d,"heating_system":%d,"Wts":%s,"Wgv":%s,'
            '"meter_time":%d,"rserror":%d}' % (meter["serial"], k + 1, f3(wts[k]), f3(wgv[k]), meter["time"], rserror)
            for k in range(3)]


def vist_texts(meter):
    texts = []
    for n in (1, 2, 3):
        volume, flow, temp = ([float(x) for x in meter[f"{key}{n}"].split("/")] for key in ("volume", "flow", "temp"))
        points = ",".join('"point_%d":{"volume":%s,"flow":%s,"temp":%s}' % (i + 1, f3(volume[i]), f3(flow[i]),
                                                                          f3(temp[i])) for i in range(3))
        texts.append('{"type":"chmd_heat_meter","model":"ВИСТ","meter_sn":%d,"heating_system":%d,"work_time":%s,'
                     '"e_sum":%s,%s,"rserror":0}' % (meter["serial"], n, f3(meter[f"work{n}"]),
                                                     f3(meter[f"energy{n}"]), points))
    return texts


def silent_vist_texts(serial):
    return ['{"type":"chmd_heat_meter","model":"ВИСТ","meter_sn":%d,"heating_system":%d,"rserror":32769}' % (serial, n)
            for n in (1, 2, 3)]


def write_command(dev_id, meter, driver):
    return {"cmd": "write", "dev_id": dev_id, "driver": driver, "port": meter["line"], "serial": meter["serial"],
            "net_id": meter["net_id"], "baudrate": meter.get("baud", 9600), "mode": "8n1"}


def device_text(dev_id, meter, driver):
    return ('{"dev_id":%d,"driver":"%s","port":%d,"baudrate":%d,"mode":"8n1","serial":%d,"net_id":%d}'
            % (dev_id, driver, meter["line"], meter.get("baud", 9600), meter["serial"], meter["net_id"]))


def wrapped(text):
    return '{"rs485_device":%s}' % text


DONE = wrapped('{"cmd":"done"}')


def vzlet_requests(net_id):
    payloads = []
    for low in (0xBE, 0xD6, 0xEE):
        payloads += [[0x04, 0x80, 0x00, 0x00, 0x04], [0x04, 0xC0, low, 0x00, 0x08]]
    return [frame([net_id], p) for p in payloads]


def vist_requests(net_id):
    payloads = []
    for s in range(3):
        payloads += [[0x03, 0x00, 0x17, 0x00, 0x0B], [0x04, 4 * s + 2, 0x02, 0x00, 0x08],
                     [0x04, 4 * s + 3, 0x06, 0x00, 0x06], [0x14, 0x07, 0x06, 0x00, s, 0x00, 0x00, 0x00, 0x30]]
    return [frame([net_id], p) for p in payloads]


class Api:
    """A logged-in WebSocket client with the meter stream on: commands out,
    answers and records in, in the order they arrive."""

    def __init__(self, hub):
        self.ws = ws_client_with_meter_stream(hub)
        self.records = []

    def send(self, value):
        self.ws.send(value if isinstance(value, str) else compact({"rs485_device": value}))

    def answers(self, dones=1, timeout=30.0):
        """The "rs485_device" texts up to and including the `dones`-th "done";
        "marm" texts met on the way go to self.records."""
        texts = []
        deadline = time.monotonic() + timeout
        while texts.count(DONE) < dones:
            self.ws.settimeout(max(0.1, deadline - time.monotonic()))
            text = self.ws.recv()
            if text.startswith('{"rs485_device":'):
                texts.append(text)
            elif text.startswith('{"marm":'):
                self.records.append(text)
        return texts

    def take_records(self):
        taken, self.records = self.records, []
        return taken

    def close(self):
        self.ws.close()


def marm(text):
    return '{"marm":{"method":"metering","data":%s}}' % text


def rx_frames(sim, line, start=0):
    return [words[4] for words in sim.lines("rx")[start:] if words[1] == str(line)]


def logged_records(hub, start=0):
    return [m.group(1) for m in (re.match(HEAT_CONTENTS, message) for message in hub.messages()[start:]) if m]


def wait_logged(hub, serial, count, timeout, start=0):
    deadline = time.monotonic() + timeout
    while True:
        found = [t for t in logged_records(hub, start) if json.loads(t)["meter_sn"] == serial]
        if len(found) >= count:
            return found
        if time.monotonic() > deadline:
            raise AssertionError(f"{len(found)} of {count} records of {serial}:\n{hub.output[-4000:]}")
        hub.wait_for(HEAT_CONTENTS, timeout=max(0.1, deadline - time.monotonic()), start=len(hub.messages()))


def test_meters_added_from_the_api_are_tested_kept_over_a_restart_and_polled(
        root, start_hub, tmp_path, start_rs485):
    broker = MosquittoBroker(tmp_path)
    cloud = Subscriber(broker.port)
    tunnel = None
    try:
        broker.write_settings(root)
        sim = start_rs485(root, [VZLET, VIST], store=False)
        hub = start_hub(root)
        hub.wait_for(r"^Found 0 serial devices$")
        hub.wait_for(r"^Done subscribing\.", timeout=15)
        api = Api(hub)

        api.send(write_command(31, VZLET, "#vzlet24"))
        api.send(write_command(5, VIST, "#vist"))
        assert api.answers(2) == [DONE, DONE]
        # dev_id 31: file 0001, slot 1, bitmap 2, the record at offset 34.
        content = (Path(root) / "data" / "xdev" / "0001").read_bytes()
        assert len(content) == 904 and struct.unpack_from("<I", content)[0] == 2
        assert content[34:64] == struct.pack("<QQIH3sBB3s", 777001, 7, 9600, 7, b"8n1", 0, 1, b"\0\0\0")

        api.send({"cmd": "read", "dev_id": 5})
        assert api.answers() == [wrapped(device_text(5, VIST, "#vist")), DONE]

        # A test polls at once: every heating system gives a record, on the
        # stream before "done" and on the broker, from exactly these frames.
        start = len(sim.lines("rx"))
        api.send({"cmd": "test", "dev_id": 31})
        assert api.answers() == [DONE]
        assert api.take_records() == [marm(text) for text in vzlet_texts(VZLET)]
        assert rx_frames(sim, 1, start) == vzlet_requests(7)
        start = len(sim.lines("rx"))
        api.send({"cmd": "test", "dev_id": 5})
        assert api.answers() == [DONE]
        assert api.take_records() == [marm(text) for text in vist_texts(VIST)]
        assert rx_frames(sim, 2, start) == vist_requests(10)
        assert {words[2] for words in sim.lines("rx")[start:]} == {"2400"}
        notified = cloud.metering(timeout=15, count=6)
        assert [json.loads(text) for text in vzlet_texts(VZLET) + vist_texts(VIST)] == [
            {k: v for k, v in params.items() if k != "uuid"} for params in notified]
        assert all(list(params)[0] == "uuid" and params["uuid"] == UUID for params in notified)

        listing = [wrapped(device_text(5, VIST, "#vist")), wrapped(device_text(31, VZLET, "#vzlet24")), DONE]
        api.send({"cmd": "list"})
        assert api.answers() == listing
        # Poll on, saved: every client is sent the changed group.
        api.send(compact({"rs485": {"poll": True, "poll_interval": 6}}))
        while api.ws.recv() != '{"rs485":{"poll":true,"poll_interval":6}}':
            pass
        api.close()
        hub.stop()

        # After a restart: the same list, through the MQTT tunnel this time,
        # and the stored meters are polled on schedule.
        hub = start_hub(root)
        hub.wait_for(r"^Found 2 serial devices$")
        hub.wait_for(r"^Done subscribing\.", timeout=15)
        tunnel = Cloud(broker.port)
        tunnel.publish("wsin", compact({"login": "qtr", "password": "5172839406"}))
        tunnel.wait_for("wsout", lambda text: text == '{"auth":"done"}')
        tunnel.publish("wsin", compact({"rs485_device": {"cmd": "list"}}))
        assert [tunnel.wait_for("wsout", lambda text: text.startswith('{"rs485_device":'))[0]
                for _ in listing] == listing
        assert wait_logged(hub, 12345, 3, timeout=40) == vist_texts(VIST)
        assert wait_logged(hub, 777001, 3, timeout=40) == vzlet_texts(VZLET)
    finally:
        cloud.stop()
        if tunnel is not None:
            tunnel.stop()
        broker.stop()


SILENT_VIST = dict(VIST, line=2, serial=12346, net_id=11, baud=9600, fault="silent", dev_id=2)


def test_delete_waits_for_the_poll_in_progress_and_a_full_queue_drops_commands(root, start_hub, start_rs485):
    configure_poll(root, 0)
    start_rs485(root, [dict(VZLET, dev_id=1), SILENT_VIST])
    hub = start_hub(root)
    hub.wait_for(r"^Found 2 serial devices$")
    api = Api(hub)
    # A silent Vist's poll lasts three time-outs of 2 s; commands wait for it.
    hub.wait_for(r"^Serial: 12346$", timeout=30)
    start = hub.messages().index("Serial: 12346")
    api.send({"cmd": "delete", "dev_id": 2})
    for _ in range(5):
        api.send({"cmd": "list"})
    hub.wait_for(r"^RS485 command queue full$", start=start)
    answers = api.answers(5, timeout=30)
    only_vzlet = [wrapped(device_text(1, VZLET, "#vzlet24")), DONE]
    assert answers == [DONE] + only_vzlet * 4
    # The poll in progress published its records before the delete ran.
    assert api.take_records()[-3:] == [marm(text) for text in silent_vist_texts(12346)]
    messages = hub.messages()[start:]
    assert messages.index("Finished Poll!") < messages.index("Deleting device 2")
    assert messages.count("RS485 command queue full") == 1

    # Polling goes on with the Vzlet alone.
    after = len(hub.messages())
    wait_logged(hub, 777001, 6, timeout=30, start=after)
    assert "Serial: 12346" not in hub.messages()[after:]
    api.close()


def test_bad_commands_and_faulty_answers_leave_the_gateway_working(root, start_hub, start_rs485):
    start_rs485(root, [dict(VZLET, fault="badcrc"), dict(VIST, fault="wrongaddress")], store=False)
    hub = start_hub(root)
    hub.wait_for(r"^Found 0 serial devices$")

    ws = websocket.create_connection(f"ws://127.0.0.1:{hub.ws_port}/", timeout=10)
    ws.recv()
    ws.send(compact({"rs485_device": {"cmd": "list"}}))
    assert ws.recv() == '{"auth":"incorrect"}'
    ws.close()

    api = Api(hub)
    for bad in ({"cmd": "bogus", "dev_id": 1}, {"dev_id": 3}, {"cmd": "read"}, {"cmd": "test", "dev_id": 0}):
        api.send(bad)
    api.send(compact({"rs485_device": 5}))
    api.send('{"rs485_device":{"cmd":"list"')
    api.send({"cmd": "read", "dev_id": 2000})
    assert api.answers() == [wrapped('{"dev_id":2000,"error":"no device"}'), DONE]
    assert hub.messages().count("Ignored rs485_device command") == 5
    assert "Listing devices" not in hub.messages()

    api.send({"cmd": "write", "dev_id": 1024, "driver": "#vist", "port": 1})
    assert api.answers() == [wrapped('{"dev_id":1024,"error":"write failed"}'), DONE]
    api.send(write_command(1, VZLET, "#vzlet24"))
    api.send(write_command(2, VIST, "#vist"))
    assert api.answers(2) == [DONE, DONE]

    # Bad CRCs: every Vzlet answer is dropped, so no heating system has a record.
    start = len(hub.messages())
    api.send({"cmd": "test", "dev_id": 1})
    assert api.answers(timeout=30) == [DONE]
    assert api.take_records() == []
    assert "CRC16 Error" in hub.messages()[start:]
    # Answers from another address are no answers: three records, 32769 each.
    start = len(hub.messages())
    api.send({"cmd": "test", "dev_id": 2})
    assert api.answers(timeout=30) == [DONE]
    assert api.take_records() == [marm(text) for text in silent_vist_texts(12345)]
    assert ("Answer to address 10 function 0x03 came from address 11 function 0x03: dropped"
            in hub.messages()[start:])
    api.send({"cmd": "test", "dev_id": 3})
    assert api.answers() == [wrapped('{"dev_id":3,"error":"no device"}'), DONE]
    api.close()
    assert hub.proc.poll() is None
