// Control of the simulated TV platform.
//
// The simulated platform implements every platform interface the plug-in calls (Include/): the
// logging service, settings store, system information, factory data, camera control, the face
// library, and the motion library, which is the real shared object libgesture-bridge.so. Its state
// lives in libgxemp-sim.so, shared by the service, the motion library and the tests, and is
// changed through the functions below (the D-Bus object /org/gxemp/Simulator1 calls the same
// functions). Every function is thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace gxsim {

// ---- Start state -------------------------------------------------------------------------------

// Back to the built-in default state: a supported model, factory items 830 and 831 set to 1,
// camera connected, face version 1.0, no forced results, no hidden motion entry points, empty
// call trace, no faces in view. Live library instances and subscriptions are dropped, and so are
// signals not yet delivered: once Reset returns, no callback runs (unless Reset was called from
// one). The settings store is not touched.
void Reset();
// The TV back to the same default state as Reset, and the stored faces forgotten, while the live
// library instances keep their handles and subscriptions (as a profile load keeps them) and handles
// and face ids go on counting: running clients keep receiving their events. What
// `gxempctl sim reset` does.
void ResetTv();

// Applies a profile (GKeyFile text) on top of the built-in defaults: the start state (model,
// factory items, camera, face version and image directory, faces in view, motion answers, hidden
// entry points) becomes the defaults changed by what the profile names. Live instances, the trace
// and forced results are kept. Returns false and sets *error (when given) to a message naming the
// line or key when the text is not a valid profile; then nothing is changed. The format is
// documented in docs/SIMULATOR.md.
bool LoadProfile(const std::string& path, std::string* error);
bool LoadProfileFromData(const std::string& data, std::string* error);

// ---- One TV, several processes -----------------------------------------------------------------

// What a client may put into the TV's state. An input over a limit is refused as a whole (nothing
// changes) with a Refusal that names the limit.
constexpr size_t kMaxTextBytes = 4096;            // a model text, a path, a setting's key
constexpr size_t kMaxSignalTextBytes = 1u << 20;  // a signal's text, a record's path
constexpr size_t kMaxFacesInView = 1024;          // faces the camera sees at once
constexpr size_t kMaxImageBytes = 1u << 20;       // an image file handed to the face library
constexpr size_t kMaxStateBytes = 256u << 10;     // the TV's state as a whole, serialised

// Why a change of the TV's state was refused; nothing changed.
struct Refusal {
    enum Kind {
        TooLarge,     // the change passes one of the limits above (named in the message)
        Invalid,      // the change makes no sense (an unknown name...)
        Unavailable,  // the process that owns the TV's state did not answer
    } kind = Invalid;
    std::string message;
};
// Every function below that changes the TV's state returns true when it did, else false with
// *why (when given) filled.

// The broker owns the TV's state (model, factory data, camera, faces in view, face version and
// image directory, motion answers, hidden entry points, forced results, next handles, stored
// faces, settings path): ShareState makes the segment it publishes every new state in and
// returns a close-on-exec descriptor of it for the workers, or -1 with *error. The process keeps
// using the state as before.
int ShareState(std::string* error);
// A worker: reads the TV state from the segment `fd` (from ShareState in another process) instead
// of keeping its own, without waiting on anything another process holds. Its changes go to the
// owner through the transport (SetEditTransport), which applies them and publishes the result.
// Library instances, subscriptions, signals and the trace stay per process; handles and face ids
// are handed out by the owner, so they are distinct across all workers.
bool JoinSharedState(int fd, std::string* error);
// Sends one change (`request`, opaque bytes) to the owner of the TV's state and gives back its
// `answer`; false with *error when the owner cannot be reached. May be called on any thread.
using EditTransport = bool (*)(const std::string& request, std::string* answer, std::string* error);
void SetEditTransport(EditTransport transport);
// The owner: applies a change a worker sent and returns the answer for it (never throws, never
// trusts the request).
std::string ApplyEdit(const std::string& request);
// The default face image directory of a TV whose process has ended is removed (ours alone:
// directories named faces-<pid> under the default place). The TV's own goes when the process
// that made it exits normally.
void RemoveStaleFaceImageDirectories();

// ---- Logging (__dlog_print) --------------------------------------------------------------------

// Each call writes one line "[<priority>] <tag>: <text>"; a line break inside the text is written
// as the two characters \n. Until OpenLog chooses the sink, lines are held in memory (beyond
// 256 KiB, and at exit, they go to stderr).
// Chooses the sink: "" stderr, else the file (appended, created 0640). Lines held or buffered so
// far are written to it first.
bool OpenLog(const std::string& path, std::string* error);
// Opens the log file again under its name (after it was rotated); nothing to do on stderr.
bool ReopenLog(std::string* error);
std::string LogPath();  // the log file, "" for stderr
// Forgets the lines held so far (nothing was served: --help, a bad command line); later lines go
// to stderr.
void DiscardHeldLog();
// Drops every later line of a lower priority (by default none is dropped).
void SetLogLevel(int priority);
void FlushLog();
// While capturing, lines are also kept in memory (for tests).
void StartLogCapture();
std::vector<std::string> TakeLogLines();  // returns and clears what was captured
void StopLogCapture();
// Silences the stream output (captured lines are still kept).
void SetLogQuiet(bool quiet);

// ---- System information and factory data -------------------------------------------------------

// The model text under key 1104; nullopt: the service gives no text.
bool SetModel(const std::optional<std::string>& model, Refusal* why = nullptr);
std::optional<std::string> GetModel();
// A factory-data item; nullopt: reading it fails. Items never set fail to read.
bool SetFactoryItem(int id, const std::optional<int>& value, Refusal* why = nullptr);
std::optional<int> GetFactoryItem(int id);

// ---- Camera control ----------------------------------------------------------------------------

// 0 disconnected, 1..3 connected, other: error state
bool SetCameraState(int state, Refusal* why = nullptr);
// non-zero: the query fails without writing the state
bool SetCameraQueryResult(int rc, Refusal* why = nullptr);
int GetCameraState();
int GetCameraQueryResult();

// ---- Settings store (vconf) --------------------------------------------------------------------

// The key file behind vconf_get_int / vconf_set_int. Default: $GXEMP_SETTINGS when set, else
// $XDG_STATE_HOME/gxemp/settings.ini (~/.local/state/gxemp/settings.ini). A missing file is created
// with the TV's keys on first use. An empty path goes back to the default.
bool SetSettingsPath(const std::string& path, Refusal* why = nullptr);
std::string GetSettingsPath();

// ---- Library calls: trace and forced results ---------------------------------------------------

// Every call of a motion, face or camera entry point is traced (each process keeps its newest
// kMaxTraceCalls, within kMaxTraceBytes).
struct TraceEntry {
    std::string function;           // the entry point, e.g. "gx_set_motion_signal_subscribed"
    std::vector<std::string> args;  // each argument as text: integers in decimal, pointers as
                                    // FormatPointer gives them, texts as they are ("null" for a
                                    // null text)
    int result = 0;
    // What the pointers carried, when there is something to say: "handle=1001" for a create
    // that wrote a handle, "face={7,0,0,0,0}" for a detection record passed in, "status=1" for
    // a value written out. Empty otherwise.
    std::string detail;
    // The call's place in the order of library calls of the whole TV (every process that serves
    // it counts in one sequence), and the process that made it.
    uint64_t seq = 0;
    int pid = 0;
};
std::vector<TraceEntry> Trace();
void ClearTrace();
// What an entry weighs in the trace's bounds: its texts and a little for the rest. Each process
// keeps the newest calls within kMaxTraceBytes and kMaxTraceCalls, whatever their arguments: a
// worker kept 25 MB of small calls under the former 100000.
size_t TraceEntryBytes(const TraceEntry& entry);
constexpr size_t kMaxTraceBytes = 8u << 20;
constexpr size_t kMaxTraceCalls = 10000;
std::string FormatPointer(const void* p);  // "0x..." or "null"

// Makes every later call of the entry point (motion, face or camera, by symbol name) return
// `value` instead of doing its work: nothing is changed and no out-value is written (a forced
// gx_motion_recog_create writes no handle). The exception is the three face get-result functions
// (gx_get_face_detection_result, gx_get_face_recognition_result, gx_get_face_training_result):
// forced, they still fill their out-values with freshly malloc'ed results (the array, each
// record's imageFilePath; a placeholder record when there is nothing to report) and return the
// forced value. That is the library failing after it allocated: the caller must free what it was
// handed whatever the result. Returns false for an unknown name.
bool ForceResult(const std::string& entry, int value, Refusal* why = nullptr);
bool ClearForcedResult(const std::string& entry, Refusal* why = nullptr);
bool ClearForcedResults(Refusal* why = nullptr);

// The 20 motion entry points, in the loader's order.
const std::vector<std::string>& MotionEntryPoints();
// Motion entry points that the next load of libgesture-bridge.so does not offer (dlsym finds
// nothing for them). Returns false when a name is not a motion entry point.
// Each exported entry point is resolved when it is looked up (dlsym), so the set also applies to
// lookups on a library already loaded.
bool SetHiddenMotionEntryPoints(const std::set<std::string>& names, Refusal* why = nullptr);
std::set<std::string> HiddenMotionEntryPoints();

// Handles come from distinct ranges (motion from 1001, face from 5001) so that events route
// plainly; tests may force the next handle a create call returns.
// Creating a handle that is already live makes a second instance with the same handle; calls
// with that handle then address the instance created last.
bool SetNextMotionHandle(int handle, Refusal* why = nullptr);
bool SetNextFaceHandle(int handle, Refusal* why = nullptr);

// ---- Motion library state ----------------------------------------------------------------------

// Library calls return 1 for success and 0 for failure (an unknown handle, a null pointer).
struct MotionState {
    int handle = 0;
    int status = 0;   // gx_get_motion_recognition_status: 0 stopped, 1 running
    int enabled = 0;  // gx_enable_motion_recognition / gx_is_motion_recognition_enabled
    int hint = 0;     // the last value given to gx_enable_motion_hint
    int swipe = 0;    // gx_enable_swipe
    int zoomTrigger = 0;
    int rotateTrigger = 0;
    std::set<int> subscribed;  // signals with a callback
};
// The newest live instance with that handle, or nullopt.
std::optional<MotionState> GetMotionState(int handle);
std::vector<MotionState> MotionStates();  // every live instance, in creation order
std::vector<int> LiveMotionHandles();     // in creation order

// What the motion library answers for every instance.
struct MotionAnswers {
    int brightness = 50;  // gx_get_motion_brightness_level
    int twoHandValid = 1;
    int slapValid = 1;
    int thumbupValid = 1;
    int engineValid = 1;
};
bool SetMotionAnswers(const MotionAnswers& answers, Refusal* why = nullptr);
MotionAnswers GetMotionAnswers();

// ---- Signals -----------------------------------------------------------------------------------

// Queues a motion signal for every live motion instance subscribed to it, delivered from the
// library's own thread. text nullopt: the data pointer is null. Every "{now}" in the text is
// replaced by the CLOCK_MONOTONIC time in ns at which the library hands the signal over (to
// measure what happens after that). Returns how many were queued.
int EmitMotionSignal(int signal, const std::optional<std::string>& text);

// A face record as the face library reports it.
struct FaceRecord {
    int id = 0;                            // detection id, training result or recognised id
    std::optional<std::string> imagePath;  // training / recognition records
    int x = 0, y = 0, w = 0, h = 0;
};
// Queues a face signal (0..5) for every live face instance subscribed to it. record nullopt: the
// data pointer is null. Signal 0 carries a gx_face_detect_data, 2 and 3 a gx_face_recog_result.
int EmitFaceSignal(int signal, const std::optional<FaceRecord>& record);

// Calls the callback registered with the motion (or face) library, from the library's thread,
// with any handle and signal: for routing tests. Returns false when no callback was registered.
bool InvokeMotionCallback(int handle, int signal, const std::optional<std::string>& text);
bool InvokeFaceCallback(int handle, int signal, const std::optional<FaceRecord>& record);

// Waits until every queued signal has been delivered (its callback returned). Called from a
// callback it returns at once.
void Drain();

// In the processes that share a TV (ShareState, JoinSharedState), EmitMotionSignal and
// EmitFaceSignal reach the instances of every one of them, through a ring in the shared segment
// that each joined process reads on a thread of its own; they return how many instances, in all
// of them, subscribe to the signal. Drain in a joined process first waits until its reader has
// queued what the ring held when Drain was called (a writer that stopped halfway holds that up
// for a quarter of a second at most).
struct SignalReader {
    int pid = 0;
    // Ring slots it lost (a signal takes one unless its data is large): overwritten before it
    // read them, reserved but not committed in time, damaged or overwritten while read.
    uint64_t overrun = 0, skipped = 0, torn = 0;
};
// Every process that reads the ring, with what it lost.
std::vector<SignalReader> SignalReaders();
// The owner: `pid` has ended; its subscriptions no longer count.
void ForgetSignalReader(int pid);
// A joined process that serves no more: stops reading the ring and frees its entry.
void LeaveSignalRing();

// Destroying an instance (motion or face) drops its subscriptions and its undelivered signals, and
// waits until a callback running for it on the library thread has returned, unless the destroy is
// called from that callback.

// ---- Face library ------------------------------------------------------------------------------

// Faces the camera sees now; detection reports them, training stores one, recognition matches them.
struct ViewFace {
    int person = 0;  // who it is; a trained face is recognised when the same person is in view
    int x = 0, y = 0, w = 0, h = 0;
};
// At most kMaxFacesInView.
bool SetFacesInView(const std::vector<ViewFace>& faces, Refusal* why = nullptr);
// nullopt: the version is left unwritten
bool SetFaceVersion(std::optional<float> version, Refusal* why = nullptr);
// Where training writes face images and thumbnails are looked for; default a directory under
// $XDG_RUNTIME_DIR (or /tmp) private to the process.
bool SetFaceImageDirectory(const std::string& dir, Refusal* why = nullptr);
std::string GetFaceImageDirectory();
std::vector<ViewFace> GetFacesInView();

// The faces the library has stored (trained), in id order. person is nullopt for a face trained
// from a thumbnail that names nobody.
struct StoredFace {
    int id = 0;
    std::optional<int> person;
    std::string imagePath;
    int x = 0, y = 0, w = 0, h = 0;
};
std::vector<StoredFace> StoredFaces();
std::vector<int> LiveFaceHandles();  // in creation order

}  // namespace gxsim
