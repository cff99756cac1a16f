// Types of the plug-in host framework that the application and engine slots name.
#pragma once

#include <string>
#include <vector>

namespace kiv {

// Arguments of an ExecuteWithParamList call, in order.
typedef std::vector<std::string> ParamList;

// How a client closes an application session.
struct EmpType {
    enum type {
        EMP_TYPE_NORMAL = 0,
        EMP_TYPE_FORCE = 1,
    };
};

}  // namespace kiv
