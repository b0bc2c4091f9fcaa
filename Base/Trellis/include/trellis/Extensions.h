#pragma once

#include <string>
#include <vector>

// The host application's list of extension modules: a library registers itself when it is loaded
// and removes itself when it is unloaded, so that the host knows what is in its process.
// Thread-safe.

// Adds `name`; false when it is registered already.
bool appRegisterExtension(const std::string& name);
// Removes `name`; false when it was not registered.
bool appUnregisterExtension(const std::string& name);
// The registered names, in the order of registration.
std::vector<std::string> appExtensions();
