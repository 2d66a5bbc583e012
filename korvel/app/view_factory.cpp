#include "korvel/app/view_factory.h"

#include <cstdlib>
#include <cstring>

#include "korvel/app/console_view.h"

std::unique_ptr<KorvelView> CreateView(MessageLoop& loop) {
    // The windowed view joins here once it exists; until then the console
    // view serves every case.
    return std::make_unique<ConsoleView>(loop);
}
