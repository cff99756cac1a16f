// The recognition plug-in process: the host framework owns the process from here on.
#include "EmpAppGX.h"
#include "EmpMain.h"

int main(int argc, char** argv) {
    kiv::CEmpAppGX* app = new kiv::CEmpAppGX();
    return kiv::EmpMain(argc, argv, app);
}
