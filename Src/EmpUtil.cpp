#include "EmpUtil.h"

#include <cstdlib>

#include "EmpLog.h"
#include "system_info.h"

namespace kiv {

std::string CEMPUtil::GetSWVersion() {
    std::string model = " ";
    char* text = nullptr;
    system_info_get_value_string(SYSTEM_INFO_KEY_MODEL_NAME, &text);
    if (text != nullptr) {
        model = text;
        free(text);  // the service hands over its own copy
    } else {
        EMP_LOGE("can not get current TV Model");
    }
    return model;
}

bool CEMPUtil::MatchModelType(std::string& model, std::string& code) {
    bool same = model.compare(0, code.size(), code) == 0 && model.size() >= code.size();
    EMP_LOGE("Check if the current TV Model-(%s) same as (%s) == %s", model.c_str(), code.c_str(),
             same ? "yes" : "no");
    return same;
}

int CEMPUtil::MatchSpecifiedModels(std::string& model, std::vector<std::string>& codes) {
    for (std::string& code : codes) {
        if (MatchModelType(model, code)) {
            EMP_LOGE("Current TV Model (==%s==) is one of the specified models (==%s==)!",
                     model.c_str(), code.c_str());
            return 0;
        }
    }
    EMP_LOGE("Current TV Model do not belong to specified models");
    return 1;
}

}  // namespace kiv
