// Finding and loading the page module (web_page.h) at run time.
#pragma once

#include <string>

#include "korvel/app/gtk/web_page.h"

namespace gtkui {

// Where the module is looked for when no path was set: beside the program
// (the build tree), then in the program's library folder relative to its
// own folder (KORVEL_PAGE_MODULE_FROM_BIN, as installed).
std::string DefaultWebPageModulePath();

// Takes the module from this file instead (programs built for tests). A
// module that could not be loaded is tried again from the new file; one
// that is loaded stays the one used.
void SetWebPageModulePath(const std::string& path);

// The module has been loaded.
bool WebPageModuleLoaded();

// The module's page maker, loading the module on the first call; null when
// it cannot be loaded, with the reason in error. The module stays loaded to
// the end of the process.
WebPageMaker LoadWebPageModule(std::string& error);

}  // namespace gtkui
