// Velmora Anonymizer entry point.
#include "app/Headless.h"

#include <cstring>

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--headless") == 0)
            return THeadless::Run(argc, argv);
    // The window comes later; until then the services run headless.
    return THeadless::Run(argc, argv);
}
