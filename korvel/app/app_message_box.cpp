#include "korvel/app/app_message_box.h"

#include "korvel/res/strings.h"

using platform::MbButtons;
using platform::MbIcon;

int AppMessageBox(const std::string& text, MbButtons buttons, MbIcon icon, int defaultButton,
                  const void* owner) {
    if (icon == MbIcon::None) {
        switch (buttons) {
            case MbButtons::Ok:
            case MbButtons::OkCancel:
                icon = MbIcon::Warning;
                break;
            case MbButtons::YesNo:
            case MbButtons::YesNoCancel:
                icon = MbIcon::Question;
                break;
            case MbButtons::RetryCancel:
                break;
        }
    }
    platform::MessageBoxSpec spec;
    spec.owner = owner;
    spec.caption = res::kAppName;
    spec.text = text;
    spec.buttons = buttons;
    spec.icon = icon;
    spec.defaultButton = defaultButton;
    return platform::ShowMessageBox(spec);
}

void SystemErrorBox(const std::string& text) {
    platform::MessageBoxSpec spec;
    spec.caption = "错误";
    spec.text = text;
    spec.icon = MbIcon::Error;
    platform::ShowMessageBox(spec);
}
