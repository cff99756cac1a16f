// kiv::EmpMain: reads the command line and runs the service (Run.h).
#include "EmpMain.h"

#include <cstdio>
#include <cstring>

#include "gxhost/Extension.h"
#include "service/Context.h"
#include "service/Options.h"
#include "service/Run.h"

#ifndef GXEMP_VERSION
#define GXEMP_VERSION "0"
#endif

namespace kiv {

int EmpMain(int argc, char** argv, CEmpAppBase* app) {
    // As long-lived as the process, like the application it holds: the caller never frees the
    // application, and the context keeps it reachable (a leak checker sees it as the process's,
    // not as lost); the loop, too, stays until exit, for what the extensions release then.
    static gxhost::ServiceContext ctx;
    ctx.app = app;
    ctx.argc = argc;
    ctx.argv = argv;
    if (argc > 0 && argv[0] != nullptr) {
        ctx.argv0 = argv[0];
        const char* slash = std::strrchr(argv[0], '/');
        ctx.program = slash != nullptr ? slash + 1 : argv[0];
    }
    gxhost::ParsedOptions parsed = gxhost::ParseOptions(argc, argv);
    if (parsed.action != gxhost::Action::Serve) {
        // Nothing is served: what was logged while starting up is of no use to anyone.
        for (gxhost::Extension* ext : gxhost::Extensions()) ext->DiscardEarlyLog();
    }
    const char* program = ctx.program.c_str();
    switch (parsed.action) {
        case gxhost::Action::Help:
            gxhost::PrintHelp(stdout, program);
            return 0;
        case gxhost::Action::Version:
            std::printf("%s %s (application %s %s)\n", program, GXEMP_VERSION,
                        app->m_strName.c_str(), app->m_strVersion.c_str());
            return 0;
        case gxhost::Action::Refuse:
            std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, parsed.error.c_str(),
                         program);
            return 2;
        case gxhost::Action::Serve:
            break;
    }
    ctx.options = std::move(parsed.options);
    return gxhost::Run(&ctx);
}

}  // namespace kiv
