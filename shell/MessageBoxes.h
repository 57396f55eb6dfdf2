#pragma once

// Every modal message of the windows goes through ShowMessageBox, so that the
// texts, kinds and button sets stay in one place and tests can answer them.

#include "delivery/DeliveryHost.h"

#include <functional>
#include <string>

class QWidget;

using TMessageBoxHandler =
    std::function<TModalResult(QWidget* owner, const std::string& text, TMsgKind kind, TMsgButtons buttons)>;

// Shows a modal box with the kind's icon and the button set; the button the
// user pressed, or Cancel/No when the box was closed some other way.
TModalResult ShowMessageBox(QWidget* owner, const std::string& text, TMsgKind kind, TMsgButtons buttons);

// Routes every box to handler instead (an empty handler restores the real
// boxes); gives the handler that was in place.
TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler);
