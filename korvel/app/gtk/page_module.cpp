#include "korvel/app/gtk/page_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <mutex>

namespace gtkui {

namespace {

std::mutex g_mutex;
std::string g_path;              // set for tests; empty: the default places
WebPageMaker g_maker = nullptr;  // once loaded
std::string g_error;             // why it could not be loaded, once tried
bool g_tried = false;

std::string ProgramFolder() {
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size())
        return {};
    path.resize(static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string DefaultWebPageModulePath() {
    const std::string folder = ProgramFolder();
    if (folder.empty())
        return {};
    const std::string beside = folder + "/korvel-page.so";
    if (::access(beside.c_str(), F_OK) == 0)
        return beside;
    return folder + "/" + KORVEL_PAGE_MODULE_FROM_BIN;
}

void SetWebPageModulePath(const std::string& path) {
    std::lock_guard lock(g_mutex);
    if (path != g_path && !g_maker)
        g_tried = false;
    g_path = path;
}

bool WebPageModuleLoaded() {
    std::lock_guard lock(g_mutex);
    return g_maker != nullptr;
}

WebPageMaker LoadWebPageModule(std::string& error) {
    std::lock_guard lock(g_mutex);
    if (!g_tried) {
        g_tried = true;
        const std::string path = g_path.empty() ? DefaultWebPageModulePath() : g_path;
        // Never closed: WebKit cannot be unloaded.
        void* module = path.empty() ? nullptr : ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            const char* why = ::dlerror();
            g_error = path.empty() ? "the program's folder is unknown" : why ? why : path;
        } else {
            g_maker = reinterpret_cast<WebPageMaker>(::dlsym(module, kWebPageMakerName));
            if (!g_maker)
                g_error = path + ": no " + kWebPageMakerName;
        }
    }
    error = g_error;
    return g_maker;
}

}  // namespace gtkui
