// Velmora Anonymizer entry point:
//   velmora               the window (without a display: as --headless)
//   velmora --log FILE    the window, its activity also appended to FILE
//   velmora --headless    the services without a window
//   velmora list|import|check|chain|run ...   the commands of TCli
//   velmora --version     the name and version
//   velmora --files       where the theme and the user guide are read from
// The window is in the module velmora-window.so beside the program (the
// build tree) or in the installation's library folder, loaded only when it
// opens.
#include "app/Cli.h"
#include "app/Headless.h"
#include "platform/FdLimit.h"
#include "platform/ProgramFiles.h"

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
    // The build tree; the installation, found from the program's folder
    // (any prefix) or where it was built to go; an older layout.
    for (const std::string &path : {folder + "/velmora-window.so",
                                    folder + "/" VELMORA_BINDIR_TO_MODULEDIR "/velmora-window.so",
                                    std::string(VELMORA_MODULEDIR "/velmora-window.so"),
                                    folder + "/../lib/velmora/velmora-window.so"}) {
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

// Prints where each file that comes with the program was found; 1 when one
// was found nowhere.
int PrintFiles() {
    int status = 0;
    for (const QString &name : {TProgramFiles::ThemeFile, TProgramFiles::HelpFile}) {
        const QString path = TProgramFiles::Locate(name);
        if (path.isEmpty()) {
            std::printf(
                "%s: not found in %s\n", name.toLocal8Bit().constData(),
                TProgramFiles::Folders().join(QStringLiteral(", ")).toLocal8Bit().constData());
            status = 1;
        } else {
            std::printf("%s: %s\n", name.toLocal8Bit().constData(), path.toLocal8Bit().constData());
        }
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    // Proxy checks hold one socket per check in flight, thousands at once;
    // every mode may run a batch.
    RaiseDescriptorLimit();
    if (argc > 1 && TCli::IsCommand(argv[1]))
        return TCli::Run(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Velmora Anonymizer %s\n", VELMORA_VERSION);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
        return TCli::Help();
    if (argc == 2 && std::strcmp(argv[1], "--files") == 0)
        return PrintFiles();
    if (argc == 3 && std::strcmp(argv[1], "--log") == 0) {
        if (!DisplayAvailable()) {
            std::fprintf(stderr, "velmora: --log is for the window, and there is no display\n");
            return 1;
        }
        return RunWindow(argc, argv);
    }
    if (argc > 1 && std::strcmp(argv[1], "--headless") != 0) {
        std::fprintf(stderr, "velmora: unknown argument \"%s\"\n", argv[1]);
        return TCli::Usage();
    }
    if (argc > 1 || !DisplayAvailable())
        return THeadless::Run(argc, argv);
    return RunWindow(argc, argv);
}
