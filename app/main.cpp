// Velmora Anonymizer entry point:
//   velmora               the window (without a display: as --headless)
//   velmora --headless    the services without a window
//   velmora list|import|check|chain|run ...   the commands of TCli
// The window is in the module velmora-window.so beside the program (or in
// ../lib/velmora/ of an installation), loaded only when it opens.
#include "app/Cli.h"
#include "app/Headless.h"
#include "platform/FdLimit.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

bool DisplayAvailable() {
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string folder(path, static_cast<size_t>(n));
    return folder.substr(0, folder.rfind('/'));
}

int RunWindow(int argc, char **argv) {
    const std::string folder = ProgramFolder();
    void *module = nullptr;
    std::string error;
    for (const std::string &path :
         {folder + "/velmora-window.so", folder + "/../lib/velmora/velmora-window.so"}) {
        if ((module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)))
            break;
        if (error.empty() || ::access(path.c_str(), F_OK) == 0)
            error = ::dlerror();
    }
    using TEntry = int (*)(int, char **);
    auto entry = module ? reinterpret_cast<TEntry>(::dlsym(module, "VelmoraWindowMain")) : nullptr;
    if (!entry) {
        std::fprintf(stderr, "velmora: cannot load the window: %s\n",
                     module ? ::dlerror() : error.c_str());
        return 1;
    }
    return entry(argc, argv);
}

} // namespace

int main(int argc, char **argv) {
    // Proxy checks hold one socket per check in flight, thousands at once;
    // every mode may run a batch.
    RaiseDescriptorLimit();
    if (argc > 1 && TCli::IsCommand(argv[1]))
        return TCli::Run(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--headless") != 0) {
        std::fprintf(stderr, "velmora: unknown argument \"%s\"\n", argv[1]);
        return TCli::Usage();
    }
    if (argc > 1 || !DisplayAvailable())
        return THeadless::Run(argc, argv);
    return RunWindow(argc, argv);
}
