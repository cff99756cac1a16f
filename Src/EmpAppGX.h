// The plug-in's application object: names the application and builds engines.
#pragma once

#include "EmpAppBase.h"

namespace kiv {

class CEmpAppGX : public CEmpAppBase {
public:
    CEmpAppGX();
    ~CEmpAppGX() override;

    CEmpEngineBase* CreateEmpEngine() override;
};

}  // namespace kiv
