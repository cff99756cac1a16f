/* A gxemp client in C with sd-bus and its sd-event loop: open an engine, subscribe to gestures
 * and faces, print every event, close the engine on exit.
 *
 *     gxemp-client-c [--widget NAME] [--count N]
 *
 * Build: cc gxemp-client.c $(pkg-config --cflags --libs libsystemd) (the build of this repository
 * makes build/default/examples/c/gxemp-client-c). The service is found as gxempctl finds it:
 * $GXEMP_ADDRESS, else unix:path=$XDG_RUNTIME_DIR/gxemp/host.sock. Ctrl-C (or SIGTERM) closes the
 * engine and exits 0. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#define NAME "org.gxemp.Host1"
#define PATH "/org/gxemp/Host1"
#define INTERFACE "org.gxemp.Host1"

struct client {
    sd_bus* bus;
    sd_event* loop;
    uint32_t engine;
    long count, received;
};

static int fail(const char* what, int r) {
    fprintf(stderr, "gxemp-client-c: %s: %s\n", what, strerror(-r));
    return 1;
}

/* Runs one command; returns its integer result, or -1 when it was not served or is no integer. */
static int execute(struct client* c, const char* command, const char* arg1, const char* arg2) {
    sd_bus_message* reply = NULL;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int served = 0, result = -1;
    int r = sd_bus_call_method(c->bus, NAME, PATH, INTERFACE, "Execute", &error, &reply, "usssss",
                               c->engine, command, arg1, arg2, "", "");
    if (r >= 0) r = sd_bus_message_read(reply, "b", &served);
    /* The result is a variant: an int32, or a string for text results. */
    if (r >= 0 && served && sd_bus_message_enter_container(reply, 'v', "i") >= 0)
        sd_bus_message_read(reply, "i", &result);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return result;
}

/* Closes the engine, then ends the loop. This runs inside the loop: once the loop has ended,
 * sd-bus closes the connection attached to it. */
static void stop(struct client* c) {
    int r = sd_bus_call_method(c->bus, NAME, PATH, INTERFACE, "Close", NULL, NULL, "u", c->engine);
    if (r < 0)
        fail("Close", r);
    else
        printf("engine %u closed\n", c->engine);
    sd_event_exit(c->loop, r < 0 ? 1 : 0);
}

static int on_stop_signal(sd_event_source* s, const struct signalfd_siginfo* si, void* userdata) {
    (void)s;
    (void)si;
    stop(userdata);
    return 0;
}

/* Event(u engine, i code, s name, s data), sent to this connection only. */
static int on_event(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    struct client* c = userdata;
    uint32_t engine;
    int32_t code;
    const char *name, *data;
    (void)error;
    if (sd_bus_message_read(m, "uiss", &engine, &code, &name, &data) < 0 || engine != c->engine)
        return 0; /* another engine of this connection */
    printf("event %d %s%s%s\n", code, name, *data ? ": " : "", data);
    fflush(stdout);
    if (++c->received == c->count) stop(c);
    return 0;
}

int main(int argc, char** argv) {
    struct client c = {0};
    const char* widget = "example";
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--widget") == 0 && i + 1 < argc)
            widget = argv[++i];
        else if (strcmp(argv[i], "--count") == 0 && i + 1 < argc)
            c.count = atol(argv[++i]);
        else {
            fprintf(stderr, "usage: gxemp-client-c [--widget NAME] [--count N]\n");
            return 2;
        }
    }

    /* The address, as gxempctl finds it. */
    char address[4200];
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (getenv("GXEMP_ADDRESS") != NULL)
        snprintf(address, sizeof address, "%s", getenv("GXEMP_ADDRESS"));
    else if (runtime != NULL)
        snprintf(address, sizeof address, "unix:path=%s/gxemp/host.sock", runtime);
    else
        snprintf(address, sizeof address, "unix:path=/tmp/gxemp-%u/host.sock", (unsigned)getuid());

    /* The service speaks like a message bus (it answers Hello): a bus client on its address. */
    int r = sd_bus_new(&c.bus);
    if (r >= 0) r = sd_bus_set_address(c.bus, address);
    if (r >= 0) r = sd_bus_set_bus_client(c.bus, 1);
    if (r >= 0) r = sd_bus_start(c.bus);
    if (r < 0) return fail(address, r);

    /* Our own loop: the bus, and SIGINT/SIGTERM as events (blocked, so that sd-event gets them). */
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, NULL);
    sd_event_default(&c.loop);
    sd_event_add_signal(c.loop, NULL, SIGINT, on_stop_signal, &c);
    sd_event_add_signal(c.loop, NULL, SIGTERM, on_stop_signal, &c);
    sd_bus_attach_event(c.bus, c.loop, SD_EVENT_PRIORITY_NORMAL);

    /* Subscribe to the signal before asking for events, so that none is missed. */
    r = sd_bus_match_signal(c.bus, NULL, NULL, PATH, INTERFACE, "Event", on_event, &c);
    if (r < 0) return fail("AddMatch", r);

    /* An engine lives as long as this connection. */
    sd_bus_message* reply = NULL;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    r = sd_bus_call_method(c.bus, NAME, PATH, INTERFACE, "Open", &error, &reply, "s", "c-example");
    if (r >= 0) r = sd_bus_message_read(reply, "u", &c.engine);
    sd_bus_message_unref(reply);
    if (r < 0) {
        fprintf(stderr, "gxemp-client-c: Open: %s\n", error.message ? error.message : strerror(-r));
        return 1;
    }

    /* Gestures: one subscription with the list; the events come as NAME-widget. */
    int motion = execute(&c, "SetMotionSubscribeInfo", widget,
                         "{\"motionEventList\":[{\"itemType\":\"EVENT_MOTION_SLAP_LEFT\"},"
                         "{\"itemType\":\"EVENT_MOTION_SLAP_RIGHT\"},"
                         "{\"itemType\":\"EVENT_MOTION_SLAP_UP\"},"
                         "{\"itemType\":\"EVENT_MOTION_SLAP_DOWN\"},"
                         "{\"itemType\":\"EVENT_MOTION_CIRCLE\"},"
                         "{\"itemType\":\"EVENT_MOTION_GRAB\"},"
                         "{\"itemType\":\"EVENT_MOTION_UNGRAB\"}]}");
    /* Faces: the face library needs a handle first, then all six face signals are subscribed. */
    int face = execute(&c, "InitializeFace", "", "") == 1 &&
               execute(&c, "SubscribeFaceEvent", widget, "") == 1;
    printf("engine %u: gestures %s, faces %s\n", c.engine, motion == 1 ? "on" : "off",
           face ? "on" : "off");
    fflush(stdout);

    /* Runs until stop(): the --count-th event, or SIGINT/SIGTERM. Closing the engine there is what
     * a well-behaved client does; the service would also close it when the connection goes. */
    r = sd_event_loop(c.loop);
    sd_bus_flush_close_unref(c.bus);
    sd_event_unref(c.loop);
    return r < 0 ? fail("loop", r) : r;
}
