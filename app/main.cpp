// Velmora Anonymizer entry point:
//   velmora               the window (without a display: as --headless)
//   velmora --headless    the services without a window
//   velmora list|import|check|chain ...   the commands of TCli
#include "app/Cli.h"
#include "app/Headless.h"
#include "app/WindowApp.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc > 1 && TCli::IsCommand(argv[1]))
        return TCli::Run(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--headless") != 0) {
        std::fprintf(stderr, "velmora: unknown argument \"%s\"\n", argv[1]);
        return TCli::Usage();
    }
    if (argc > 1 || !TWindowApp::DisplayAvailable())
        return THeadless::Run(argc, argv);
    return TWindowApp::Run(argc, argv);
}
