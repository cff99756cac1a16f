// gxemp-bridge: web pages' way in to gxemp. A loopback WebSocket server (libsoup 3 on the GLib
// loop) speaking JSON-RPC 2.0; every WebSocket gets its own D-Bus connection to gxemp, so its own
// worker and one engine, closed with the socket.
//
//   Config.cpp   the allowlist of origins with their rights, and the limits (GKeyFile)
//   Bridge.cpp   the HTTP side: who may connect, the status resource, focus among the pages
//   Session.cpp  one WebSocket: its requests (SessionService.cpp: its engine and events;
//                SessionSend.cpp: what it sends, through a bounded queue)
//   main.cpp     options, the token file, the loop
#pragma once

#include <json/json.h>
#include <libsoup/soup.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace bridge {

constexpr int kProtocol = 1;
constexpr unsigned kDefaultPort = 8790;
constexpr size_t kMaxMessageBytes = 64 * 1024;
constexpr char kPath[] = "/bridge/v1";
constexpr char kStatusPath[] = "/bridge/v1/status";
// The widget name under which every session subscribes its engine to motion events.
constexpr char kWidget[] = "web";

// JSON-RPC error codes: the standard ones, then ours.
constexpr int kParseError = -32700, kInvalidRequest = -32600, kMethodNotFound = -32601,
              kInvalidParams = -32602;
constexpr int kNotAllowed = -32001, kTooManyCommands = -32002, kServiceError = -32003;

// WebSocket close codes the bridge uses (1009, message too big, comes from libsoup).
constexpr unsigned short kCloseNormal = 1000, kCloseGoingAway = 1001, kCloseUnsupported = 1003,
                         kClosePolicy = 1008, kCloseServiceLost = 1011, kCloseTryAgain = 1013;

// What the pages of one origin may do.
struct Rights {
    bool motion = false, face = false, speech = false;  // command groups
    bool faces = false;                                 // receive face events
    bool background = false;  // receive while not the focused, visible page
    Json::Value ToJson() const;
};

struct Limits {
    unsigned connections = 32, perOrigin = 8;
    unsigned inFlight = 8, perSecond = 50;
    unsigned queued = 256;          // outgoing messages waiting for one slow page
    size_t queuedBytes = 4u << 20;  // and their size
    unsigned overrunsToClose = 10;  // overruns within one second that close the socket
    unsigned keepAliveSeconds = 20;
    unsigned authSeconds = 5;  // for a client without Origin to present the token
};

struct Config {
    std::map<std::string, Rights> origins;  // by exact serialised origin
    Limits limits;
};

// Reads `files` in order (a later file's origin replaces an earlier one's; its limits override).
// A missing file is skipped unless `mustExist`. False with a message naming the file and key.
bool LoadConfig(const std::vector<std::string>& files, bool mustExist, Config* out,
                std::string* error);
// True when `text` is an origin as a browser sends it: http or https, a host, a port only when it
// is not the scheme's default, nothing else, in lower case.
bool IsSerialisedOrigin(const std::string& text);

// The command groups of the plug-in, as the rights name them; "" for a name in none.
// `reserved`: a subscription command, which pages reach through `subscribe` only.
std::string CommandGroup(const std::string& name, bool* reserved);

class Session;

class Bridge {
public:
    Bridge(Config config, std::string address, std::string token);
    ~Bridge();
    // Listens on 127.0.0.1:port (0: any free port); false with a message.
    bool Listen(unsigned port, std::string* error);
    unsigned port() const { return m_Port; }

    const Config& config() const { return m_Config; }
    const std::string& address() const { return m_Address; }
    const std::string& token() const { return m_Token; }

    // Focus: the last page to report itself visible and focused holds it.
    void VisibilityChanged(Session* s);
    bool HasFocus(const Session* s) const { return m_Focus == s; }
    // The session's socket closed: it leaves the lists now and is freed from the loop.
    void Closed(Session* s);
    void CloseAll();
    size_t count() const { return m_Sessions.size(); }

private:
    static void OnRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                          gpointer data);
    static void OnWebSocket(SoupServer*, SoupServerMessage* msg, const char* path,
                            SoupWebsocketConnection* ws, gpointer data);
    void Refuse(SoupServerMessage* msg, guint status, const std::string& why);
    void ServeStatus(SoupServerMessage* msg, const char* origin);
    // The checks of an upgrade request; false when refused (and answered).
    bool Admit(SoupServerMessage* msg);
    unsigned CountOf(const std::string& origin) const;

    Config m_Config;
    std::string m_Address, m_Token;
    SoupServer* m_Server = nullptr;
    unsigned m_Port = 0;
    std::vector<std::unique_ptr<Session>> m_Sessions;
    std::vector<std::unique_ptr<Session>> m_Dead;  // closed, freed from the loop
    guint m_Idle = 0;
    Session* m_Focus = nullptr;
};

}  // namespace bridge
