// The updater's dialog templates.
#pragma once

#include "common/dialog_template.h"

namespace res {

inline constexpr unsigned IDD_KORVEL_DIALOG = 102;

// The template with the given id; nullptr for an unknown one.
const dlg::DialogTemplate* FindDialogTemplate(unsigned id);

}  // namespace res
