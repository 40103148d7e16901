#pragma once
// Plug-in modules for a subcommand: loaded from the program's folder as the desktop program loads them,
// before any document (function nodes find their functions when they are loaded), and released after
// everything that refers to them (registry first, then the modules).
#include "plugin_host/KVPluginMgr.h"

class TCliPlugins {
 public:
  TCliPlugins() {
    LoadPlugins("*.qxp", "PluginCreateObject");
    RebuildFunctionRegistry();
  }
  ~TCliPlugins() { KVReleasePlugins(); }
  TCliPlugins(const TCliPlugins&) = delete;
  TCliPlugins& operator=(const TCliPlugins&) = delete;
};
