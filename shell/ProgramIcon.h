#pragma once

// The program's own picture (a letter with a globe), drawn at any size from
// the same shapes as data/icons/vendrel.svg so that small sizes stay sharp.

#include <QIcon>
#include <QImage>

QImage ProgramImage(int size);
// The picture at 16, 22, 24, 32, 48, 64, 128 and 256 pixels.
QIcon ProgramIcon();
