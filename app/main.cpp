// Velmora Anonymizer entry point.
#include "app/Cli.h"
#include "app/Headless.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc > 1 && TCli::IsCommand(argv[1]))
        return TCli::Run(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--headless") != 0) {
        std::fprintf(stderr, "velmora: unknown argument \"%s\"\n", argv[1]);
        return TCli::Usage();
    }
    // The window comes later; until then the services run headless.
    return THeadless::Run(argc, argv);
}
