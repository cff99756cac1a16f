// Test main of the simulator tests. The binary doubles as a helper process for the tests that
// need two processes: "--store-writer PATH PREFIX COUNT" writes PREFIX/0..COUNT-1 to the settings
// store and exits; "--store-burst PATH KEY" writes KEY = 1, 2, 3, ... until it is killed (or a
// bound is reached); "--log-writer FILE COUNT" logs COUNT long lines into FILE; "--face-trainer"
// trains a face into the default face image directory and exits 0 if its image is there;
// "--ring-delivery" runs a shared TV's owner, and that runs "--ring-join FD LINK" (RingTest.cpp).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SimFixture.h"
#include "dlog.h"
#include "face_recognition.h"
#include "vconf.h"

void WriteText(const std::string& path, const std::string& text) {
    ASSERT_TRUE(
        g_file_set_contents(path.c_str(), text.data(), static_cast<gssize>(text.size()), nullptr))
        << path;
}

namespace {

// KEY/0..COUNT-1 each set to its number, or (a burst) KEY itself set to 1, 2, ... COUNT in turn.
int StoreWriter(const char* path, const std::string& key, int count, bool burst) {
    gxsim::SetSettingsPath(path);
    for (int i = burst ? 1 : 0; i < count + (burst ? 1 : 0); ++i)
        if (vconf_set_int((burst ? key : key + "/" + std::to_string(i)).c_str(), i) != 0) return 2;
    return 0;
}

// Long lines into the log file the parent writes too: "[4] W: 3 <i> <body>".
int LogWriter(const char* path, int count) {
    std::string err;
    if (!gxsim::OpenLog(path, &err)) return 2;
    std::string body(4600, 'd');
    for (int i = 0; i < count; ++i) __dlog_print(LOG_ID_MAIN, 4, "W", "3 %d %s", i, body.c_str());
    gxsim::FlushLog();
    return 0;
}

int FaceTrainer() {
    int h = 0;
    gxsim::SetFacesInView({{4, 0, 0, 10, 10}});
    gx_face_detect_data face{1, 0, 0, 0, 0};
    if (gx_face_recog_create(&h) != 1 || gx_start_face_training(h, &face) != 1) return 2;
    std::string image = gxsim::StoredFaces().at(0).imagePath;
    return access(image.c_str(), F_OK) == 0 ? 0 : 3;
}

}  // namespace

int RingDeliveryHelper(int argc, char** argv);

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "--store-writer") == 0)
        return StoreWriter(argv[2], argv[3], atoi(argv[4]), false);
    // Bounded, so that a parent that fails to kill it does not leave it running for long.
    if (argc == 4 && strcmp(argv[1], "--store-burst") == 0)
        return StoreWriter(argv[2], argv[3], 200000, true);
    if (argc == 4 && strcmp(argv[1], "--log-writer") == 0) return LogWriter(argv[2], atoi(argv[3]));
    if (argc == 2 && strcmp(argv[1], "--face-trainer") == 0) return FaceTrainer();
    if ((argc == 2 && strcmp(argv[1], "--ring-delivery") == 0) ||
        (argc == 4 && strcmp(argv[1], "--ring-join") == 0))
        return RingDeliveryHelper(argc, argv);
    gxsim::SetLogQuiet(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
