#pragma once

#include <string>

class QWidget;

// Opens a web address or a local document with the desktop's default handler.
void OpenDocument(QWidget* owner, const std::string& target);
