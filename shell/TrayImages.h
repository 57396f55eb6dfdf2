#pragma once

// The tray icon's six 32 x 32 images: new, normal and busy, each in a
// 16-colour and a full-colour set.

#include "engine/WindowHost.h"

#include <QIcon>

QIcon TrayImage(TTrayImage image, bool lowColour);
