#include "korvel/app/view_factory.h"

#include <cstdlib>
#include <cstring>

#include "korvel/app/console_view.h"

namespace {

WindowedViewMaker g_windowedViewMaker = nullptr;

bool HasDisplay() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

bool ConsoleAskedFor() {
    const char* ui = std::getenv("KORVEL_UI");
    return ui && std::strcmp(ui, "console") == 0;
}

}  // namespace

void SetWindowedViewMaker(WindowedViewMaker maker) {
    g_windowedViewMaker = maker;
}

bool WindowedViewWanted() {
    return g_windowedViewMaker && !ConsoleAskedFor() && HasDisplay();
}

std::unique_ptr<KorvelView> CreateView(MessageLoop& loop) {
    if (WindowedViewWanted()) {
        if (std::unique_ptr<KorvelView> view = g_windowedViewMaker(loop))
            return view;
    }
    return std::make_unique<ConsoleView>(loop);
}
