#pragma once
// Linux namespaces for running one program in a network of its own without
// root: a new user namespace mapped to the caller's own uid and gid (never
// root inside unless the caller is root), owning a new network and a new
// mount namespace. Only the process that enters them holds capabilities
// there, and only until it executes a program: Linux drops them at exec for
// a uid other than 0, and DropCapabilities() drops them for root too.
//
// Every function throws EVelmoraError with a message for the user; the cause
// of a refused namespace (a sysctl or an AppArmor rule) and its fix are named.

#include "platform/Error.h"

#include <string>

// The system does not let this user make the namespaces.
class ENamespaceRefused : public EVelmoraError {
public:
    using EVelmoraError::EVelmoraError;
};

class TNamespace {
public:
    // unshare(user | network | mount), then maps the caller's uid and gid to
    // themselves and makes every mount private to the new namespace.
    static void EnterPrivateNetwork();

    // Why unprivileged user namespaces are refused on this machine, with the
    // fix; empty when no known setting refuses them.
    static std::string UserNamespaceBlocker();

    // Bind-mounts the file `source` over `target`, following symbolic links
    // in `target`; when the link's end does not exist but its folder does,
    // the end is made first (an empty file in a folder hidden by HideFolder).
    // False when `target` does not exist and cannot be made.
    static bool BindFile(const std::string &source, const std::string &target);

    // Mounts an empty tmpfs over the folder, when there is one (BindFile may
    // still make a file in it), owned by the caller, with this mode and
    // room; false when there is none.
    static bool HideFolder(const std::string &folder, unsigned mode = 0755,
                           const char *size = "64k");

    // Clears every capability set (effective, permitted, inheritable,
    // ambient, bounding), so that nothing executed later regains one.
    static void DropCapabilities();
};
