// The repair tool's dialog template.
#pragma once

#include "common/dialog_template.h"

namespace vellum {

inline constexpr unsigned IDD_VELLUM_DIALOG = 102;

// The template with the given id; nullptr for an unknown one.
const dlg::DialogTemplate* FindDialogTemplate(unsigned id);

}  // namespace vellum
