// Baseline server: a bare GDBus peer-to-peer server with the host's Execute signature.
//
//   gxemp_bench_gdbus_server unix:path=PATH
//
// /org/gxemp/Host1 org.gxemp.Host1: Open(s)->u and Execute(usssss)->(bv) answering
// (true, int32 50). SIGTERM/SIGINT stop it.
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>
#include <string>

#include "BenchSocket.h"

namespace {

const char kIntrospection[] =
    "<node><interface name='org.gxemp.Host1'>"
    "<method name='Open'><arg type='s' direction='in'/><arg type='u' direction='out'/></method>"
    "<method name='Execute'>"
    "<arg type='u' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='b' direction='out'/><arg type='v' direction='out'/></method>"
    "</interface></node>";

GDBusNodeInfo* g_Node = nullptr;

void OnMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
              GVariant*, GDBusMethodInvocation* invocation, gpointer) {
    if (g_strcmp0(method, "Open") == 0) {
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 1u));
        return;
    }
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(bv)", TRUE, g_variant_new_int32(50)));
}

const GDBusInterfaceVTable kVtable = {OnMethod, nullptr, nullptr, {nullptr}};

gboolean OnNewConnection(GDBusServer*, GDBusConnection* connection, gpointer) {
    GError* error = nullptr;
    if (g_dbus_connection_register_object(connection, "/org/gxemp/Host1", g_Node->interfaces[0],
                                          &kVtable, nullptr, nullptr, &error) == 0) {
        std::fprintf(stderr, "register: %s\n", error->message);
        g_error_free(error);
        return FALSE;
    }
    // Kept until the peer goes; the connection closes itself then.
    g_object_ref(connection);
    g_signal_connect(
        connection, "closed",
        G_CALLBACK(+[](GDBusConnection* c, gboolean, GError*, gpointer) { g_object_unref(c); }),
        nullptr);
    return TRUE;
}

gboolean OnStop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = gxbench::SocketPathArgument(argc, argv);
    if (path.empty()) return 2;
    g_Node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    gchar* guid = g_dbus_generate_guid();
    GError* error = nullptr;
    GDBusServer* server =
        g_dbus_server_new_sync(argv[1], G_DBUS_SERVER_FLAGS_NONE, guid, nullptr, nullptr, &error);
    g_free(guid);
    if (server == nullptr) {
        std::fprintf(stderr, "server: %s\n", error->message);
        g_error_free(error);
        return 1;
    }
    g_signal_connect(server, "new-connection", G_CALLBACK(OnNewConnection), nullptr);
    g_dbus_server_start(server);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, OnStop, loop);
    g_unix_signal_add(SIGINT, OnStop, loop);
    g_main_loop_run(loop);
    g_dbus_server_stop(server);
    g_object_unref(server);
    g_main_loop_unref(loop);
    g_dbus_node_info_unref(g_Node);
    return 0;
}
