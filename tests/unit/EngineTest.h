// The one fixture of the unit tables: an engine with motion handle M and face handle F, two faces
// in view, both trained and both recognised, and motion recognition started with its zoom and
// rotate triggers set to 17 and -5. That state is written through the libraries themselves, so
// that a query command reports something other than its preset.
#pragma once

#include "EmpProviderPlugin.h"
#include "PluginFixture.h"
#include "face_recognition.h"

namespace gxtest {

class EngineTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        gxsim::SetFacesInView({{1, 10, 20, 30, 40}, {2, 50, 60, 70, 80}});
        m_Engine = NewEngine();
        ASSERT_EQ(Exec(m_Engine, "InitializeFace").result, "1");
        gx_face_detect_data first{1, 0, 0, 0, 0}, second{2, 0, 0, 0, 0}, all{0, 0, 0, 0, 0};
        gx_start_face_training(kFace, &first);
        gx_start_face_training(kFace, &second);
        gx_start_face_recognition(kFace, &all);
        kiv::CEmpProviderPlugin::gx_start_motion_recog(kMotion);
        kiv::CEmpProviderPlugin::gx_set_zoom_trigger_condition(kMotion, 17);
        kiv::CEmpProviderPlugin::gx_set_rotate_trigger_condition(kMotion, -5);
        Calls();
        TakeLog();
    }
    kiv::CEmpEngineGX* m_Engine = nullptr;
};

// Names a parameterised row after its command.
inline std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    return std::string(info.param.cmd) + "_" + std::to_string(info.index);
}

}  // namespace gxtest
