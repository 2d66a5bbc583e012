#include "korvel/res/app_message_box.h"

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
    platform::MessageBoxSpec box;
    box.owner = owner;
    box.caption = res::kAppName;
    box.text = text;
    box.buttons = buttons;
    box.icon = icon;
    box.defaultButton = defaultButton;
    return platform::ShowMessageBox(box);
}

void SystemErrorBox(const std::string& text) {
    platform::MessageBoxSpec box;
    box.caption = "错误";
    box.text = text;
    box.icon = MbIcon::Error;
    platform::ShowMessageBox(box);
}
