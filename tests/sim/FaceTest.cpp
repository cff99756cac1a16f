// The simulated face library: detection, training, recognition, files and result ownership.
// Results are released with free() exactly as the plug-in does, so ASan checks the ownership.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include "SimFixture.h"
#include "face_recognition.h"

namespace {

// One face signal as the callback saw it, copied while the data was alive.
struct FaceCall {
    int handle = 0, signal = 0;
    bool hasData = false;
    int id = 0, x = 0, y = 0, w = 0, h = 0;
    std::string path;
    bool pathNull = true;
    std::thread::id thread;
};

struct FaceSeen {
    std::mutex mu;
    std::vector<FaceCall> calls;

    static void Cb(int handle, int signal, void* data, void* user) {
        auto* self = static_cast<FaceSeen*>(user);
        FaceCall c;
        c.handle = handle;
        c.signal = signal;
        c.hasData = data != nullptr;
        c.thread = std::this_thread::get_id();
        if (data && signal == GX_FACE_SIGNAL_DETECT_FACE) {
            auto* d = static_cast<gx_face_detect_data*>(data);
            c.id = d->nDetectID, c.x = d->x, c.y = d->y, c.w = d->w, c.h = d->h;
        } else if (data) {
            auto* r = static_cast<gx_face_recog_result*>(data);
            c.id = r->id, c.x = r->x, c.y = r->y, c.w = r->w, c.h = r->h;
            c.pathNull = r->imageFilePath == nullptr;
            if (r->imageFilePath) c.path = r->imageFilePath;
        }
        std::lock_guard<std::mutex> lk(self->mu);
        self->calls.push_back(c);
    }

    std::vector<int> Signals() {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<int> out;
        for (const auto& c : calls) out.push_back(c.signal);
        return out;
    }
    std::vector<FaceCall> Take() {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<FaceCall> out;
        out.swap(calls);
        return out;
    }
};

class FaceLib : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_EQ(gx_face_recog_create(&h_), 1);
        for (int s = 0; s <= 5; ++s)
            ASSERT_EQ(gx_set_face_signal_subscribed(h_, s, &FaceSeen::Cb, &seen_), 1);
    }

    // Trains the face with detection id `detectId` and returns its face id.
    int Train(int detectId) {
        gx_face_detect_data d{detectId, 0, 0, 0, 0};
        EXPECT_EQ(gx_start_face_training(h_, &d), 1);
        gxsim::Drain();
        auto calls = seen_.Take();
        EXPECT_EQ(calls.size(), 1u);
        if (calls.size() != 1 || calls[0].signal != GX_FACE_SIGNAL_TRAIN_RESULT) return -1;
        return calls[0].id;
    }

    int h_ = 0;
    FaceSeen seen_;
};

void FreeRecognition(gx_face_recog_result* r, int count) {
    for (int i = 0; i < count; ++i) free(r[i].imageFilePath);
    free(r);
}

TEST_F(FaceLib, DetectionReportsTheFacesInView) {
    EXPECT_EQ(h_, 5001);
    gxsim::SetFacesInView({{1, 10, 20, 40, 40}, {2, 100, 20, 30, 30}});
    EXPECT_EQ(gx_start_face_detection(h_), 1);
    gxsim::Drain();
    auto calls = seen_.Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].signal, GX_FACE_SIGNAL_DETECT_FACE);
    EXPECT_EQ(calls[0].handle, h_);
    EXPECT_EQ((std::vector<int>{calls[0].id, calls[0].x, calls[0].y, calls[0].w, calls[0].h}),
              (std::vector<int>{1, 10, 20, 40, 40}));
    EXPECT_EQ(calls[1].id, 2);
    EXPECT_NE(calls[0].thread, std::this_thread::get_id());

    gx_face_detect_data* faces = nullptr;
    int count = 0;
    ASSERT_EQ(gx_get_face_detection_result(h_, &faces, &count), 1);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(faces[1].nDetectID, 2);
    EXPECT_EQ(faces[1].x, 100);
    free(faces);

    gxsim::SetFacesInView({});
    EXPECT_EQ(gx_start_face_detection(h_), 1);
    gxsim::Drain();
    EXPECT_EQ(seen_.Signals(), std::vector<int>{GX_FACE_SIGNAL_DETECTION_FAIL});
    faces = reinterpret_cast<gx_face_detect_data*>(0x1);
    EXPECT_EQ(gx_get_face_detection_result(h_, &faces, &count), 1);
    EXPECT_EQ(faces, nullptr);
    EXPECT_EQ(count, 0);
}

TEST_F(FaceLib, TrainingWritesAnImageAndRecognitionMatchesThePerson) {
    gxsim::SetFacesInView({{7, 10, 20, 40, 40}, {8, 60, 20, 40, 40}});
    int id = Train(2);
    ASSERT_GT(id, 0);
    auto stored = gxsim::StoredFaces();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].person, 8);
    std::string image = ReadText(stored[0].imagePath);
    EXPECT_EQ(image.compare(0, 3, "P5\n"), 0);
    EXPECT_EQ(stored[0].imagePath.rfind(gxsim::GetFaceImageDirectory(), 0), 0u);

    gx_face_recog_result tr{};
    ASSERT_EQ(gx_get_face_training_result(h_, &tr), 1);
    EXPECT_EQ(tr.id, id);
    ASSERT_NE(tr.imageFilePath, nullptr);
    EXPECT_EQ(std::string(tr.imageFilePath), stored[0].imagePath);
    free(tr.imageFilePath);

    // Person 8 now stands where person 7 was: recognised under the trained id.
    gxsim::SetFacesInView({{8, 5, 6, 7, 8}});
    gx_face_detect_data all{0, 0, 0, 0, 0};
    EXPECT_EQ(gx_start_face_recognition(h_, &all), 1);
    gxsim::Drain();
    auto calls = seen_.Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].signal, GX_FACE_SIGNAL_ON_RECOGNIZING);
    EXPECT_EQ(calls[1].signal, GX_FACE_SIGNAL_RECOGNITION_RESULT);
    EXPECT_EQ(calls[1].id, id);
    EXPECT_EQ(calls[1].x, 5);
    EXPECT_EQ(calls[1].path, stored[0].imagePath);

    gx_face_recog_result* results = nullptr;
    int count = 0;
    ASSERT_EQ(gx_get_face_recognition_result(h_, &results, &count), 1);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(results[0].id, id);
    FreeRecognition(results, count);

    // Someone else: recognition fails.
    gxsim::SetFacesInView({{9, 0, 0, 10, 10}});
    gx_start_face_recognition(h_, &all);
    gxsim::Drain();
    EXPECT_EQ(seen_.Signals(),
              (std::vector<int>{GX_FACE_SIGNAL_ON_RECOGNIZING, GX_FACE_SIGNAL_RECOGNITION_FAIL}));
    results = reinterpret_cast<gx_face_recog_result*>(0x1);
    EXPECT_EQ(gx_get_face_recognition_result(h_, &results, &count), 1);
    EXPECT_EQ(results, nullptr);
    EXPECT_EQ(count, 0);
}

TEST_F(FaceLib, TrainingFailuresAreSignalled) {
    gx_face_detect_data d{1, 0, 0, 0, 0};
    EXPECT_EQ(gx_start_face_training(h_, &d), 1);  // nobody in view
    gxsim::SetFacesInView({{1, 0, 0, 10, 10}});
    d.nDetectID = 3;  // no such detection
    EXPECT_EQ(gx_start_face_training(h_, &d), 1);
    EXPECT_EQ(gx_start_face_training(h_, nullptr), 0);
    gxsim::Drain();
    EXPECT_EQ(seen_.Signals(),
              (std::vector<int>{GX_FACE_SIGNAL_DETECTION_FAIL, GX_FACE_SIGNAL_RECOGNITION_FAIL}));
    gx_face_recog_result tr{};
    EXPECT_EQ(gx_get_face_training_result(h_, &tr), 0);
    EXPECT_EQ(tr.imageFilePath, nullptr);
}

TEST_F(FaceLib, ForcedGetResultsStillHandOverMemory) {
    gxsim::SetFacesInView({{1, 1, 2, 3, 4}});
    ASSERT_TRUE(gxsim::ForceResult("gx_get_face_detection_result", 0));
    ASSERT_TRUE(gxsim::ForceResult("gx_get_face_recognition_result", 0));
    ASSERT_TRUE(gxsim::ForceResult("gx_get_face_training_result", 0));

    gx_face_detect_data* faces = nullptr;
    int count = 0;
    EXPECT_EQ(gx_get_face_detection_result(h_, &faces, &count), 0);
    ASSERT_NE(faces, nullptr);
    EXPECT_EQ(count, 1);
    free(faces);

    // Nothing recognised yet: a placeholder record is still allocated, path included.
    gx_face_recog_result* results = nullptr;
    EXPECT_EQ(gx_get_face_recognition_result(h_, &results, &count), 0);
    ASSERT_NE(results, nullptr);
    ASSERT_EQ(count, 1);
    EXPECT_NE(results[0].imageFilePath, nullptr);
    FreeRecognition(results, count);

    gx_face_recog_result tr{};
    EXPECT_EQ(gx_get_face_training_result(h_, &tr), 0);
    EXPECT_NE(tr.imageFilePath, nullptr);
    free(tr.imageFilePath);
}

TEST_F(FaceLib, EraseAndClearForgetFacesAndEraseImageDeletesTheFile) {
    gxsim::SetFacesInView({{1, 0, 0, 10, 10}, {2, 20, 0, 10, 10}});
    int a = Train(1);
    int b = Train(2);
    std::string pathA = gxsim::StoredFaces()[0].imagePath;
    EXPECT_EQ(gx_erase_face_image_id(h_, a), 1);
    EXPECT_NE(access(pathA.c_str(), F_OK), 0);
    EXPECT_EQ(gx_erase_face_image_id(h_, a), 0);

    EXPECT_EQ(gx_erase_face(h_, b), 1);
    EXPECT_EQ(gx_erase_face(h_, b), 0);
    ASSERT_EQ(gxsim::StoredFaces().size(), 1u);
    gx_face_detect_data two{2, 0, 0, 0, 0};
    gx_start_face_recognition(h_, &two);  // person 2 was erased
    gxsim::Drain();
    EXPECT_EQ(seen_.Take().back().signal, GX_FACE_SIGNAL_RECOGNITION_FAIL);

    EXPECT_EQ(gx_clear_face_recog_data(h_), 1);
    EXPECT_TRUE(gxsim::StoredFaces().empty());
}

TEST_F(FaceLib, ThumbnailsReadRealFiles) {
    gxsim::SetFacesInView({{4, 0, 0, 10, 10}});
    int id = Train(1);
    std::string trained = gxsim::StoredFaces()[0].imagePath;
    std::string copy = dir() + "/thumb.pgm";
    WriteText(copy, ReadText(trained));

    // A thumbnail of person 4 trains a second face of person 4.
    EXPECT_EQ(gx_train_thumbnail(h_, copy.c_str()), 1);
    gxsim::Drain();
    auto calls = seen_.Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].signal, GX_FACE_SIGNAL_TRAIN_RESULT);
    auto stored = gxsim::StoredFaces();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1].person, 4);
    EXPECT_EQ(ReadText(stored[1].imagePath), ReadText(trained));

    std::string junk = dir() + "/junk.txt";
    WriteText(junk, "not an image");
    EXPECT_EQ(gx_train_thumbnail(h_, junk.c_str()), 0);
    EXPECT_EQ(gx_train_thumbnail(h_, (dir() + "/missing.pgm").c_str()), 0);
    EXPECT_EQ(gx_train_thumbnail(h_, nullptr), 0);

    // Overwriting the first face with an image naming nobody: it is no longer recognised as 4.
    std::string anon = dir() + "/anon.pgm";
    WriteText(anon, "P5\n2 1\n255\nab");
    EXPECT_EQ(gx_over_write_thumbnail(h_, anon.c_str(), id), 1);
    EXPECT_EQ(ReadText(trained), "P5\n2 1\n255\nab");
    EXPECT_FALSE(gxsim::StoredFaces()[0].person.has_value());
    EXPECT_EQ(gx_over_write_thumbnail(h_, anon.c_str(), 999), 0);
}

TEST_F(FaceLib, EncryptionIsReversibleAndRefusesWrongInput) {
    std::string file = dir() + "/img.pgm";
    const std::string plain = "P5\n2 2\n255\n\x01\x02\x03\x04";
    WriteText(file, plain);
    std::vector<char> path(file.begin(), file.end());
    path.push_back('\0');

    EXPECT_EQ(gx_decrypt_face_image(h_, path.data()), 0);  // not encrypted
    EXPECT_EQ(gx_encrypt_face_image(h_, path.data()), 1);
    std::string enc = ReadText(file);
    EXPECT_NE(enc, plain);
    EXPECT_EQ(enc.find("P5"), std::string::npos);
    EXPECT_EQ(gx_encrypt_face_image(h_, path.data()), 0);  // already encrypted
    EXPECT_EQ(gx_decrypt_face_image(h_, path.data()), 1);
    EXPECT_EQ(ReadText(file), plain);

    char missing[] = "/nonexistent/gxsim/img.pgm";
    EXPECT_EQ(gx_encrypt_face_image(h_, missing), 0);
}

TEST_F(FaceLib, VersionAndOverwriteAndUnknownHandles) {
    float v = -1;
    EXPECT_EQ(gx_get_face_version(h_, &v), 1);
    EXPECT_FLOAT_EQ(v, 1.0f);
    gxsim::SetFaceVersion(2.5f);
    gx_get_face_version(h_, &v);
    EXPECT_FLOAT_EQ(v, 2.5f);
    gxsim::SetFaceVersion(std::nullopt);
    v = -1;
    gx_get_face_version(h_, &v);
    EXPECT_FLOAT_EQ(v, -1);

    gxsim::SetFacesInView({{1, 0, 0, 10, 10}, {2, 0, 0, 10, 10}});
    int id = Train(1);
    gx_face_detect_data rec{2, 3, 4, 5, 6};
    EXPECT_EQ(gx_over_write_face(h_, &rec, id), 1);
    auto stored = gxsim::StoredFaces();
    EXPECT_EQ(stored[0].person, 2);
    EXPECT_EQ(stored[0].x, 3);
    EXPECT_EQ(gx_over_write_face(h_, &rec, id + 100), 0);

    EXPECT_EQ(gx_start_face_detection(9999), 0);
    EXPECT_EQ(gx_face_recog_destroy(h_), 1);
    EXPECT_EQ(gx_start_face_detection(h_), 0);
    EXPECT_EQ(gxsim::Trace().back().function, "gx_start_face_detection");
    EXPECT_EQ(gxsim::Trace().back().result, 0);
}

TEST_F(FaceLib, EmittedAndInvokedRecordsReachTheCallback) {
    const gxsim::FaceRecord r{3, std::string("/x/y.pgm"), 1, 2, 3, 4};
    const gxsim::FaceRecord noPath{3, std::nullopt, 1, 2, 3, 4};
    EXPECT_EQ(gxsim::EmitFaceSignal(GX_FACE_SIGNAL_RECOGNITION_RESULT, r), 1);
    EXPECT_EQ(gxsim::EmitFaceSignal(GX_FACE_SIGNAL_DETECT_FACE, r), 1);
    EXPECT_EQ(gxsim::EmitFaceSignal(GX_FACE_SIGNAL_TRAIN_RESULT, noPath), 1);
    EXPECT_EQ(gxsim::EmitFaceSignal(GX_FACE_SIGNAL_TRAIN_RESULT, std::nullopt), 1);
    EXPECT_TRUE(gxsim::InvokeFaceCallback(1001, 2, noPath));
    gxsim::Drain();
    auto calls = seen_.Take();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].path, "/x/y.pgm");
    EXPECT_EQ(calls[0].h, 4);
    EXPECT_EQ(calls[1].id, 3);
    EXPECT_EQ(calls[1].h, 4);
    EXPECT_TRUE(calls[2].pathNull);
    EXPECT_FALSE(calls[3].hasData);
    EXPECT_EQ(calls[4].handle, 1001);
}

}  // namespace
