#include "Vellum/engine/engine_status.h"

namespace vellum {

EngineStatus g_engineStatus;

void ResetEngineStatus(EngineStatus& status) {
    status = EngineStatus{};
}

}  // namespace vellum
