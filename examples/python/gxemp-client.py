#!/usr/bin/python3
"""A gxemp client in Python with GLib's Gio: open an engine, subscribe to gestures and faces,
print every event, close the engine on exit.

    examples/python/gxemp-client.py [--widget NAME] [--count N]

Needs python3-gi (Debian). The service is found as gxempctl finds it: $GXEMP_ADDRESS, else
unix:path=$XDG_RUNTIME_DIR/gxemp/host.sock. Ctrl-C (or SIGTERM) closes the engine and exits 0.
"""
import argparse
import json
import os
import signal
import sys

from gi.repository import Gio, GLib

NAME, PATH, INTERFACE = "org.gxemp.Host1", "/org/gxemp/Host1", "org.gxemp.Host1"
GESTURES = ["EVENT_MOTION_SLAP_LEFT", "EVENT_MOTION_SLAP_RIGHT", "EVENT_MOTION_SLAP_UP",
            "EVENT_MOTION_SLAP_DOWN", "EVENT_MOTION_CIRCLE", "EVENT_MOTION_GRAB",
            "EVENT_MOTION_UNGRAB"]


def service_address():
    if os.environ.get("GXEMP_ADDRESS"):
        return os.environ["GXEMP_ADDRESS"]
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    path = f"{runtime}/gxemp/host.sock" if runtime else f"/tmp/gxemp-{os.getuid()}/host.sock"
    return "unix:path=" + path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--widget", default="example", help="the name events are sent under")
    parser.add_argument("--count", type=int, default=0, help="exit after N events (0: never)")
    args = parser.parse_args()

    # The service speaks like a message bus (it answers Hello), so Gio treats it as one.
    bus = Gio.DBusConnection.new_for_address_sync(
        service_address(),
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

    def call(method, params, reply_type):
        return bus.call_sync(NAME, PATH, INTERFACE, method, params,
                             GLib.VariantType(reply_type), Gio.DBusCallFlags.NONE, -1, None)

    # An engine lives as long as this connection; its events come to this connection only.
    engine = call("Open", GLib.Variant("(s)", ("python-example",)), "(u)").unpack()[0]

    def execute(command, arg1="", arg2=""):
        served, result = call("Execute",
                              GLib.Variant("(usssss)", (engine, command, arg1, arg2, "", "")),
                              "(bv)").unpack()
        return result if served else None

    loop = GLib.MainLoop()
    received = 0
    # Ctrl-C and SIGTERM end the loop (and the engine is closed below), from the start on.
    for signum in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, lambda *_: loop.quit() or False)

    def on_event(_bus, _sender, _path, _interface, _signal, params):
        nonlocal received
        event_engine, code, name, data = params.unpack()
        if event_engine != engine:  # another engine of this connection
            return
        print(f"event {code} {name}" + (f": {data}" if data else ""), flush=True)
        received += 1
        if received == args.count:
            loop.quit()

    # Subscribe to the signal before asking for events, so that none is missed.
    bus.signal_subscribe(None, INTERFACE, "Event", PATH, None, Gio.DBusSignalFlags.NONE, on_event)

    # Gestures: one subscription with the list; the events come as NAME-widget.
    gestures = json.dumps({"motionEventList": [{"itemType": g} for g in GESTURES]})
    motion = execute("SetMotionSubscribeInfo", args.widget, gestures)
    # Faces: the face library needs a handle first, then all six face signals are subscribed.
    face = execute("InitializeFace") == 1 and execute("SubscribeFaceEvent", args.widget) == 1
    print(f"engine {engine}: gestures {'on' if motion == 1 else 'off'}, "
          f"faces {'on' if face else 'off'}", flush=True)

    loop.run()

    # Closing is what a well-behaved client does; the service would also close the engine
    # when the connection goes.
    call("Close", GLib.Variant("(u)", (engine,)), "()")
    print(f"engine {engine} closed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
